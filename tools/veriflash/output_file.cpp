#include "tools/veriflash/output_file.h"

#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/veriflash/image_file.h"
#include "tools/veriflash/tool_error.h"

namespace veriflash {
namespace {

constexpr const char* STDOUT_PATH = "-";

}  // namespace

void CheckOutput(const std::string& path, bool replace) {
  if (path == STDOUT_PATH) return;
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) throw ToolError(path + ": is a folder; give a file name");
    if (!replace) throw ToolError(path + ": exists already; give --force to replace it");
  }
  // The temporary file that WriteFileAtomically makes goes into the same folder.
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    throw ToolError(fmt::format("{}: cannot write into {}: {}", path, folder, std::strerror(errno)));
}

void WriteOutput(const std::string& path, const std::vector<uint8_t>& bytes, bool replace) {
  if (path != STDOUT_PATH) return WriteFileAtomically(path, bytes, replace);
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
    throw ToolError(fmt::format("-: cannot write to stdout: {}", std::strerror(errno)));
}

std::FILE* ReportStream(const std::string& path) { return path == STDOUT_PATH ? stderr : stdout; }

void RefuseJsonToStdout(const std::string& path, bool json) {
  if (path == STDOUT_PATH && json)
    throw ToolError("-o -: the file goes to stdout, so --json cannot; leave out one of them");
}

}  // namespace veriflash
