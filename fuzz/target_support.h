// What every fuzz target uses: checking a property, and reading an input.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

namespace fuzz {

// When a property does not hold the target stops at once with a trap, which
// libFuzzer reports as a crash with the input.
inline void Require(bool holds) {
  if (!holds) __builtin_trap();
}

// A refusal is one line a person can read: text, no line breaks or control bytes.
inline void RequireOneLine(const std::exception& error) {
  const std::string message = error.what();
  Require(!message.empty());
  for (unsigned char c : message) Require(c >= 0x20 && c < 0x7F);
}

// The little-endian 32-bit word at `bytes`.
inline uint32_t Word(const uint8_t* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, 4);
  return value;
}

}  // namespace fuzz
