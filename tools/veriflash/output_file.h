// Where a command writes a file it makes: a path, written atomically, or "-"
// for stdout, so an image can go down a pipe. The path is checked before the
// work that makes the bytes, so a typo costs no compression run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace veriflash {

// A ToolError naming `path` when it could not be written later: it exists
// and `replace` is off, it is a folder, or its folder is missing or not
// writable. "-" (stdout) always passes.
void CheckOutput(const std::string& path, bool replace);

// The bytes to `path` (see WriteFileAtomically), or to stdout for "-".
void WriteOutput(const std::string& path, const std::vector<uint8_t>& bytes, bool replace);

// Where the text report goes: stderr when the file itself goes to stdout.
std::FILE* ReportStream(const std::string& path);

// A ToolError when the file and --json would both go to stdout.
void RefuseJsonToStdout(const std::string& path, bool json);

}  // namespace veriflash
