// Hand-made PE32 images for the loader and emulator tests: one code section
// at TEXT_RVA and a relocation section, with every header field the tests
// spoil open to change.
#pragma once

#include <cstdint>
#include <vector>

#include "firmware/pe_format.h"

namespace test_support {

inline constexpr uint32_t TEXT_RVA = 0x1A0;
// Where the headers lie in a built image, for tests that spoil them.
inline constexpr uint32_t PE_HEADER_AT = 0x40;
inline constexpr uint32_t COFF_AT = PE_HEADER_AT + 4;
inline constexpr uint32_t OPTIONAL_AT = COFF_AT + sizeof(firmware::CoffFileHeader);
inline constexpr uint32_t SECTIONS_AT = OPTIONAL_AT + sizeof(firmware::PeOptionalHeader32Full);
inline constexpr uint32_t SECTION_COUNT_AT = COFF_AT + offsetof(firmware::CoffFileHeader, NumberOfSections);
inline constexpr uint32_t TEXT_RAW_SIZE_AT = SECTIONS_AT + offsetof(firmware::PeSectionHeader, SizeOfRawData);

struct PeRecipe {
  std::vector<uint8_t> code;           // .text, entry at its first byte
  std::vector<uint16_t> relocations;   // raw entries of one block for page RVA 0
  bool relocationDirectory = true;
  uint32_t imageBase = 0;
  uint16_t machine = firmware::PE_MACHINE_I386;
  uint16_t magic = firmware::PE_MAGIC_PE32;
  uint16_t subsystem = firmware::PE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER;
  uint32_t textCharacteristics = firmware::PE_SCN_CNT_CODE | firmware::PE_SCN_MEM_EXECUTE | firmware::PE_SCN_MEM_READ;
};

std::vector<uint8_t> BuildPe(const PeRecipe& recipe);

// A HIGHLOW relocation entry for the dword at `rva`.
constexpr uint16_t HighLow(uint32_t rva) {
  return firmware::PeRelocationEntry(firmware::PE_REL_BASED_HIGHLOW, static_cast<uint16_t>(rva));
}

}  // namespace test_support
