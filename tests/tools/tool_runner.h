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

// A fresh directory for one test's files, removed with everything in it
// when the object goes, so no run leaves its images behind.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  operator const std::string&() const { return path_; }

 private:
  std::string path_;
};

inline std::string operator+(const ScratchDir& dir, const std::string& tail) { return dir.path() + tail; }
inline std::string operator+(const std::string& head, const ScratchDir& dir) { return head + dir.path(); }

std::vector<uint8_t> ReadBytes(const std::string& path);
std::vector<uint8_t> Bytes(const std::string& text);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace tools_test
