// How the tool writes the things a firmware engineer reads: addresses both as
// physical addresses and as offsets into the image file, in upper-case
// hexadecimal, and statuses by the module's own names.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "module/types/efi_types.h"
#include "common/hex.h"

namespace veriflash {

using common::Hex;

// "0xFFFE0000 (offset 0x7E0000)", or "0x12345678 (outside the image)".
std::string Where(const std::vector<uint8_t>& image, uint32_t address);
// {"address": "0xFFFE0000", "offset": "0x7E0000"}; offset null outside the image.
nlohmann::json WhereJson(const std::vector<uint8_t>& image, uint32_t address);

// "CRC Error" from the module's status table, or "0x8000FFFF" for a value it has no name for.
std::string StatusName(EFI_STATUS status);

// Bytes as a quoted text with escapes: "_FIT_\0\0\0".
std::string Quoted(const uint8_t* bytes, size_t length);

// "8 MiB", "5696 KiB" or "1234 bytes".
std::string SizeText(uint64_t bytes);

}  // namespace veriflash
