// Upper-case hexadecimal with a 0x prefix, as every host-side message shows
// addresses and values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace common {

// At least `digits` digits, zero-filled; a 64-bit value never needs more
// than 16, which also bounds the text.
inline std::string Hex(uint64_t value, int digits = 0) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", std::clamp(digits, 0, 16), static_cast<unsigned long long>(value));
  return text;
}

}  // namespace common
