// FFS files: a header (name, type, attributes, size, state, two checksums)
// followed by the file's data. Kept as fields and data; the header and its
// checksums are worked out again whenever a file is written.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "firmware/pi_format.h"

namespace firmware {

struct FfsFile {
  PiGuid name{};
  uint8_t type = 0;
  uint8_t attributes = 0;
  uint8_t state = FFS_STATE_VALID;  // as the bits are set, whatever the erase polarity
  std::vector<uint8_t> data;
  uint32_t offset = 0;  // from the start of its volume

  bool LargeHeader() const { return (attributes & FFS_ATTRIB_LARGE_FILE) != 0; }
  uint32_t HeaderSize() const;
  uint32_t Size() const;  // header included
};

// The alignment in bytes that the file's data must have from the volume's start.
uint32_t FfsDataAlignment(uint8_t attributes);

// The alignment attribute bits for the smallest encodable alignment of at
// least `bytes`. Throws FirmwareError beyond 16 MiB.
uint8_t FfsAlignmentAttributes(uint32_t bytes);

// The file's bytes: header with both checksums, then the data. The state is
// stored inverted when `erasePolarity` is set.
std::vector<uint8_t> WriteFfsFile(const FfsFile& file, bool erasePolarity);

// The file whose header starts at `at` in `volume`; throws FirmwareError when
// its header is not intact or its size reaches past the volume.
FfsFile ReadFfsFile(std::span<const uint8_t> volume, size_t at, bool erasePolarity);

// A pad file of `size` bytes (header included), its data erased.
FfsFile MakePadFile(uint32_t size, bool erasePolarity);

}  // namespace firmware
