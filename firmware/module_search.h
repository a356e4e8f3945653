// Modules already placed in a flash window that ends at 4 GiB: the PE32
// images that ReadPe accepts where they lie, at 32-byte boundaries at or
// above a given address. Every candidate is parsed in place through a view of
// the window; nothing is copied, so a window full of "MZ" costs one header
// parse per candidate, not a copy of the rest of the window.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "firmware/pe_image.h"

namespace firmware {

// lld-link's /align:32: the finest alignment a module is placed at.
inline constexpr uint32_t MODULE_PLACEMENT_ALIGN = 32;

// Every module placed in `window` (whose last byte is at 0xFFFFFFFF) at an
// address that is a multiple of MODULE_PLACEMENT_ALIGN, not below `from`,
// whose SizeOfImage ends at or below 4 GiB; in address order. The bytes of a
// module found are its own: the search goes on after its SizeOfImage.
std::vector<PlacedModule> FindPlacedModules(std::span<const uint8_t> window, uint32_t from);

}  // namespace firmware
