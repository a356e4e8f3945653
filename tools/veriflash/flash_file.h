// A flash file as the platform maps it: the file's bytes, its layout (a full
// dump with a flash descriptor, or a BIOS region), and the mapped bytes that
// the analysis and the engines work on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/flash_layout.h"

namespace veriflash {

// What the IMAGE argument of inspect, run and stamp may be.
inline constexpr const char* IMAGE_ARGUMENT_HELP =
    "Flash image: a BIOS region (its last byte at 0xFFFFFFFF), or a full SPI flash dump that starts with a flash "
    "descriptor";

struct FlashFile {
  std::string name;
  std::vector<uint8_t> bytes;
  firmware::FlashLayout layout;
  std::vector<uint8_t> window;  // the mapped bytes, the last at 0xFFFFFFFF
};

// LoadImage, then the layout; a malformed descriptor is a ToolError naming the file.
FlashFile LoadFlashFile(const std::string& path);

// The same for bytes in memory, named `name` in errors.
FlashFile MapFlashFile(std::string name, std::vector<uint8_t> bytes);

}  // namespace veriflash
