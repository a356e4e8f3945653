// LZMA "alone" streams, as compressed GUID-defined sections hold them: a
// 13-byte header (properties, dictionary size, uncompressed size) and the
// compressed data. Decoded and encoded by liblzma.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "firmware/pi_format.h"

namespace firmware {

struct LzmaStream {
  LzmaAloneHeader header{};
  std::vector<uint8_t> data;  // uncompressed
};

// Throws FirmwareError for a stream liblzma cannot decode, or one whose
// length differs from the size in its header.
LzmaStream DecodeLzma(std::span<const uint8_t> stream);

// Compresses `data` with the properties and dictionary size of `like`, and
// writes the real uncompressed size into the header (liblzma writes
// "unknown" there, which the firmware's decoder does not accept).
std::vector<uint8_t> EncodeLzma(std::span<const uint8_t> data, const LzmaAloneHeader& like);

}  // namespace firmware
