#include "tools/veriflash/option_words.h"

#include <fmt/core.h>
#include <fmt/format.h>

namespace veriflash {

std::string NotOneOf(const std::string& word, const std::vector<std::string>& words) {
  return fmt::format("'{}' is not one of: {}", word, fmt::join(words, ", "));
}

CLI::Validator OneOf(std::vector<std::string> words) {
  return CLI::Validator(
      [words](std::string& input) {
        for (const std::string& word : words)
          if (input == word) return std::string();
        return NotOneOf(input, words);
      },
      "", "OneOf");
}

}  // namespace veriflash
