// The processor an executable in a firmware file is built for: the machine
// field of its PE32/PE32+ or TE image, read leniently (only the headers on
// the way to that field), so images that ReadPe would not place in flash,
// such as 64-bit DXE drivers, still tell it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "firmware/ffs_file.h"

namespace firmware {

// The machine of the PE or TE image in `image`; nullopt when it is neither
// or its headers are cut off.
[[nodiscard]] std::optional<uint16_t> ImageMachine(std::span<const uint8_t> image);

// The machine of the file's first PE32 or TE section; nullopt when it has
// none, or its data is no list of sections.
[[nodiscard]] std::optional<uint16_t> FileMachine(const FfsFile& file);

// "IA-32", "x86-64", or "machine 0xAA64" for any other.
std::string MachineName(uint16_t machine);

}  // namespace firmware
