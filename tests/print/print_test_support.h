// Helpers shared by the print engine tests: a call with its arguments bound
// (so that tables can hold variadic calls), and a guarded run that checks what
// a call stored, and that it stored nothing else.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "module/print/print.h"

namespace print_test {

// One call of PrintToBufferWithFlags with its format and arguments bound;
// the buffer, size and flags are given when it runs.
using PrintCall = std::function<uint32_t(void* buffer, uint32_t size, uint32_t flags)>;

template <typename FormatChar, typename... Args>
PrintCall Bind(const FormatChar* format, Args... args) {
  return [=](void* buffer, uint32_t size, uint32_t flags) {
    return PrintToBufferWithFlags(buffer, size, flags, format, args...);
  };
}

// Filled into the buffer and the guard region before every call.
inline constexpr uint8_t SENTINEL = 0xA5;
// Bytes after the buffer that must stay untouched.
inline constexpr size_t GUARD_BYTES = 64;

template <typename Char>
struct Stored {
  std::basic_string<Char> text;  // the characters before the terminator
  uint32_t result = 0;
};

// Runs `call` into a buffer of `size` characters of type Char (char for 8-bit
// output, char16_t for 16-bit output; PF_OUT_16BIT must match) followed by a
// guard region. Checks that exactly the result's characters and one zero
// character were stored and nothing else changed (for size 0: nothing at all).
template <typename Char>
Stored<Char> RunGuarded(const PrintCall& call, uint32_t size, uint32_t flags) {
  static_assert(sizeof(Char) == 1 || sizeof(Char) == 2);
  EXPECT_EQ((flags & PF_OUT_16BIT) != 0, sizeof(Char) == 2) << "flags and character type disagree";
  const size_t bytes = size_t{size} * sizeof(Char);
  std::vector<uint8_t> memory(bytes + GUARD_BYTES, SENTINEL);
  Stored<Char> stored;
  stored.result = call(memory.data(), size, flags);

  const size_t changedBytes = size == 0 ? 0 : (size_t{stored.result} + 1) * sizeof(Char);
  if (size == 0) {
    EXPECT_EQ(stored.result, 0u) << "size 0 must return 0";
  } else {
    EXPECT_LT(stored.result, size) << "more characters than fit before the terminator";
  }
  if (changedBytes <= bytes && size != 0) {
    stored.text.resize(stored.result);
    std::memcpy(stored.text.data(), memory.data(), size_t{stored.result} * sizeof(Char));
    Char terminator;
    std::memcpy(&terminator, memory.data() + size_t{stored.result} * sizeof(Char), sizeof(Char));
    EXPECT_EQ(terminator, Char{0}) << "no terminator after the result's characters";
  }
  for (size_t i = changedBytes; i < memory.size(); ++i) {
    if (memory[i] != SENTINEL) {
      ADD_FAILURE() << "byte " << i << " changed although only " << changedBytes
                    << " bytes may be (buffer " << bytes << " bytes)";
      break;
    }
  }
  return stored;
}

// The measuring-mode result, with an absent buffer and size 0.
inline uint32_t Measure(const PrintCall& call, uint32_t flags = 0) {
  return call(nullptr, 0, flags | PF_MEASURE_ONLY);
}

// A deterministic pseudo-random generator (SplitMix64), so that every run
// checks the same generated cases.
struct SplitMix64 {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
};

// Readable rendering of stored text for failure messages.
inline std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace print_test
