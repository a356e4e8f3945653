#include "tools/veriflash/error_document.h"

#include <algorithm>

#include "tools/veriflash/tool_error.h"

namespace veriflash {

nlohmann::json ErrorDocument(const std::string& error, const std::optional<std::string>& file) {
  return {{"schema", "veriflash/error/1"},
          {"error", error},
          {"file", file ? nlohmann::json(*file) : nlohmann::json(nullptr)},
          {"exitStatus", EXIT_UNUSABLE}};
}

std::optional<std::string> FileNamed(const std::string& error, const std::vector<std::string>& words) {
  std::optional<std::string> file;
  for (const std::string& word : words) {
    if (word.empty() || word[0] == '-' || (file && file->size() >= word.size())) continue;
    if (error.compare(0, word.size(), word) == 0 && error.compare(word.size(), 2, ": ") == 0) file = word;
  }
  return file;
}

bool WantsJson(const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(), [](const std::string& w) { return w == "--json" || w == "--json-lines"; });
}

}  // namespace veriflash
