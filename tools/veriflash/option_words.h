// Options whose value is one of a few words. CLI11's CheckedTransformer also
// takes the number a word maps to (`--engine 1` meant native) and answers a
// bad word with its internal table; Words takes the words only and names them.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <utility>
#include <vector>

namespace veriflash {

// "'warp' is not one of: emulated, native, qemu"; CLI11 puts the option's name before it.
std::string NotOneOf(const std::string& word, const std::vector<std::string>& words);

// Turns a word into the number of its enumerator, which CLI11 then converts;
// refuses anything else with NotOneOf, the words in the order given.
template <typename Pairs>
CLI::Validator Words(const Pairs& pairs) {
  std::vector<std::pair<std::string, std::string>> table;  // word, the enumerator's number
  std::vector<std::string> words;
  for (const auto& [word, value] : pairs) {
    table.emplace_back(word, std::to_string(static_cast<long long>(value)));
    words.push_back(word);
  }
  return CLI::Validator(
      [table, words](std::string& input) {
        for (const auto& [word, number] : table)
          if (input == word) {
            input = number;
            return std::string();
          }
        return NotOneOf(input, words);
      },
      "", "Words");
}

// For an option kept as text: refuses anything but `words`, with NotOneOf.
CLI::Validator OneOf(std::vector<std::string> words);

}  // namespace veriflash
