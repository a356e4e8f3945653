// Hand-made PE32 images for the loader and emulator tests: one code section
// at TEXT_RVA and a relocation section, with every header field the tests
// spoil open to change.
#pragma once

#include <cstdint>
#include <vector>

namespace emu_test {

inline constexpr uint32_t TEXT_RVA = 0x1A0;
// Where the fields live in a built image, for tests that spoil them.
inline constexpr uint32_t SECTION_COUNT_AT = 0x46;
inline constexpr uint32_t TEXT_RAW_SIZE_AT = 0x138 + 16;

struct PeSpec {
  std::vector<uint8_t> code;           // .text, entry at its first byte
  std::vector<uint16_t> relocations;   // raw entries of one block for page RVA 0
  bool relocationDirectory = true;
  uint32_t imageBase = 0;
  uint16_t machine = 0x014C;
  uint16_t magic = 0x010B;
  uint16_t subsystem = 11;
};

std::vector<uint8_t> BuildPe(const PeSpec& spec);

// A HIGHLOW relocation entry for the dword at `rva`.
constexpr uint16_t HighLow(uint32_t rva) { return static_cast<uint16_t>(0x3000 | rva); }

}  // namespace emu_test
