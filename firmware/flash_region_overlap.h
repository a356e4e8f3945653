// Regions of a flash descriptor that claim the same bytes. A descriptor may
// give one byte to two regions (a damaged table, or one made by hand); the
// chipset then decides which master may write it, so a tool that writes one
// region's bytes must know when another region owns them too.
#pragma once

#include <cstdint>
#include <vector>

#include "firmware/flash_descriptor.h"

namespace firmware {

struct FlashRegionOverlap {
  FlashRegion a;       // the earlier of the two in table order
  FlashRegion b;
  uint32_t first = 0;  // the flash offsets both hold, inclusive
  uint32_t last = 0;
};

// Every pair of `regions` that share bytes, in table order of the first, then the second.
std::vector<FlashRegionOverlap> FlashRegionOverlaps(const std::vector<FlashRegion>& regions);

// The regions other than `self` that hold any byte of [first, last].
std::vector<FlashRegion> OtherRegionsAt(const std::vector<FlashRegion>& regions, const FlashRegion& self,
                                        uint32_t first, uint32_t last);

}  // namespace firmware
