// Full SPI flash dumps as a board's flash holds them: the flash descriptor,
// an ME region standing for the regions other than BIOS, and the BIOS region
// at the top of the flash.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace firmware {

// A dump of `flashSize` bytes (one flash component: a power of two up to
// 64 MiB) with `bios` (whole 4 KiB blocks) as its BIOS region. The ME region
// fills the space between the descriptor and the BIOS region with zeros.
// Throws FlashImageError when the BIOS region does not fit above the
// descriptor and at least one block of ME region.
std::vector<uint8_t> BuildFlashDump(std::span<const uint8_t> bios, uint64_t flashSize);

}  // namespace firmware
