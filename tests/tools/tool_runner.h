// Runs the veriflash executable as a user would and captures what it says.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tools_test {

struct ToolResult {
  int status = -1;  // exit status
  std::string out;
  std::string err;

  nlohmann::json Json() const { return nlohmann::json::parse(out); }
  // The stderr lines.
  std::vector<std::string> ErrLines() const;
};

// `args` are passed through the shell unquoted; tests use plain paths.
ToolResult Veriflash(const std::string& args);

// A fresh directory for one test's files.
std::string ScratchDir();

std::vector<uint8_t> ReadBytes(const std::string& path);
std::vector<uint8_t> Bytes(const std::string& text);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace tools_test
