// The regions a flash image holds, for the flash map of `inspect`: the flash
// descriptor's regions, and the firmware volumes at the top level of the
// mapped flash, among them the variable store (a volume without FFS files)
// and the code part (the FFS volumes that run up to 4 GiB, where the reset
// vector is).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/flash_layout.h"

namespace veriflash {

struct FlashArea {
  uint64_t first = 0;  // offsets in the file
  uint64_t last = 0;
  std::string what;    // "variable store: volume fff12b8d-..., 0x84000 bytes"
};

// In file order, containers before what they contain.
std::vector<FlashArea> FlashAreas(const firmware::FlashLayout& layout, const std::vector<uint8_t>& window);

}  // namespace veriflash
