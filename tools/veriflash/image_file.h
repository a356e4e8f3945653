// Reading and writing the files the tool works on: flash images (checked for
// what makes them usable before anything looks inside), module and region
// content files, and atomic writes of new images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/flash_layout.h"

namespace veriflash {

// The largest BIOS region that maps below 4 GiB without reaching the MMIO
// below it (the trace hub at 0xFE000000-0xFE3FFFFF): 16 MiB, the usual
// boot-flash decode window, ending at 4 GiB and starting at 0xFF000000.
inline constexpr uint32_t MAX_IMAGE_SIZE = firmware::MAPPED_WINDOW_MAX;
// The smallest BIOS region that still holds the checked region: 0xFFA70000 to 4 GiB.
inline constexpr uint32_t MIN_IMAGE_SIZE = 0x590000;

// The flash file at `path` (a BIOS region, or a full dump with a flash
// descriptor), or a ToolError naming the file: missing, unreadable, or of a
// size that firmware::FlashFileSizeProblem refuses.
std::vector<uint8_t> LoadImage(const std::string& path);

// Checks a size for a BIOS region that `image create` builds, which must
// hold the checked region; the reason why not, or an empty string.
std::string ImageSizeProblem(uint64_t size);

// The whole file, at most `maxSize` bytes and not empty; `what` names it in errors.
std::vector<uint8_t> ReadFile(const std::string& path, const std::string& what, uint64_t maxSize);

// Writes through a temporary file in the same directory
// ("<path>.veriflash-tmp-<pid>-XXXXXX") and renames it into place, so `path`
// is either the old file or the whole new one. An existing file is replaced
// only with `replace`. Removes first the temporaries that killed runs left in
// that directory.
void WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, bool replace);

// The same for a file that stays the same file to its users: the new bytes
// keep its mode, owner and group. A ToolError, before anything is written,
// for a symbolic link, a file that is not regular, one with other hard links
// (they would keep the old bytes), one without a write permission bit for
// the caller (root included), and an owner or group the caller cannot give.
void ReplaceFileInPlace(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace veriflash
