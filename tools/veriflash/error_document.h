// With --json, a refusal is a document too, so that a script reading stdout
// learns why there is no report: {"schema": "veriflash/error/1", "error":
// the line also written to stderr, "file": the file it names or null,
// "exitStatus": 2}.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace veriflash {

nlohmann::json ErrorDocument(const std::string& error, const std::optional<std::string>& file);

// The file a refusal names: the longest of `words` (the command line's) that
// the message starts with, followed by ": "; options and nothing else name none.
std::optional<std::string> FileNamed(const std::string& error, const std::vector<std::string>& words);

// Whether the command line asks for JSON on stdout.
bool WantsJson(const std::vector<std::string>& words);

}  // namespace veriflash
