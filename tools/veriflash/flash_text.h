// How the tool writes the things a firmware engineer reads: addresses as
// physical addresses with their offsets in the BIOS region and in the file,
// in upper-case hexadecimal, and statuses by the module's own names.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/hex.h"
#include "firmware/flash_layout.h"
#include "module/types/efi_types.h"

namespace veriflash {

using common::Hex;

// "0xFFFE0000 (offset 0x7E0000)" in a file that is the BIOS region;
// "0xFFFE0000 (BIOS offset 0x7E0000, file offset 0xFE0000)" in a full dump;
// "0x12345678 (outside the mapped flash)".
std::string Where(const firmware::FlashLayout& layout, uint32_t address);
// {"address": "0xFFFE0000", "offset": "0xFE0000", "biosOffset": "0x7E0000"}:
// the offset in the file and in the BIOS region, both null where nothing is mapped.
nlohmann::json WhereJson(const firmware::FlashLayout& layout, uint32_t address);
// The offsets of a mapped range: "offset 0x270000-0x53FFFF", or in a full
// dump "BIOS 0x270000-0x53FFFF  file 0xA70000-0xD3FFFF". With first == last,
// the offsets of that address, padded to the width of a range.
std::string OffsetRange(const firmware::FlashLayout& layout, uint32_t first, uint32_t last);
// Digits that every offset of the file needs, so that columns line up.
int OffsetDigits(const firmware::FlashLayout& layout);

// "CRC Error" from the module's status table, or "0x8000FFFF" for a value it has no name for.
std::string StatusName(EFI_STATUS status);

// Bytes as a quoted text with escapes: "_FIT_\0\0\0".
std::string Quoted(const uint8_t* bytes, size_t length);

// "8 MiB", "5696 KiB" or "1234 bytes".
std::string SizeText(uint64_t bytes);

}  // namespace veriflash
