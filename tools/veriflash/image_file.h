// Reading and writing the files the tool works on: flash images (checked for
// what makes them usable before anything looks inside), module and region
// content files, and atomic writes of new images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veriflash {

// The largest flash that maps below 4 GiB without reaching the MMIO below it
// (the trace hub at 0xFE000000-0xFE3FFFFF): 16 MiB, the usual boot-flash
// decode window, ending at 4 GiB and starting at 0xFF000000.
inline constexpr uint32_t MAX_IMAGE_SIZE = 16u << 20;
inline constexpr uint32_t IMAGE_ALIGN = 0x1000;
// The smallest image that still holds the checked region: 0xFFA70000 to 4 GiB.
inline constexpr uint32_t MIN_IMAGE_SIZE = 0x590000;

// The image at `path`, or a ToolError naming the file: missing, unreadable,
// empty, larger than MAX_IMAGE_SIZE, not a multiple of 4 KiB, or too small to
// hold the checked region.
std::vector<uint8_t> LoadImage(const std::string& path);

// Checks a size for an image; the reason why not, or an empty string.
std::string ImageSizeProblem(uint64_t size);

// The whole file, at most `maxSize` bytes and not empty; `what` names it in errors.
std::vector<uint8_t> ReadFile(const std::string& path, const std::string& what, uint64_t maxSize);

// Writes through a temporary file in the same directory and renames it into
// place, so `path` is either the old file or the whole new one. An existing
// file is replaced only with `replace`.
void WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, bool replace);

}  // namespace veriflash
