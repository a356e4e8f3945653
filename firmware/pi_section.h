// PI sections, the typed pieces a firmware file's data is made of: parsed
// into a list and written back, with their 4-byte alignment and sizes worked
// out again, so that a list read from a file writes back to the same bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "firmware/pi_format.h"

namespace firmware {

struct Section {
  uint8_t type = 0;
  bool extendedSize = false;  // written with CommonSectionHeader2
  // Between the common header and the payload: a GUID-defined section's
  // GuidDefinedSectionFields and whatever else lies before DataOffset.
  std::vector<uint8_t> fields;
  std::vector<uint8_t> payload;

  uint32_t Size() const;  // header included
};

// The sections of a file's data (or of a decompressed section payload).
// Throws FirmwareError naming the offset of a section that does not fit.
std::vector<Section> ParseSections(std::span<const uint8_t> data);

// The sections one after the other, each starting at a 4-byte boundary; the
// gaps are zero.
std::vector<uint8_t> WriteSections(const std::vector<Section>& sections);

// A section of `type` around `payload`, with the short header when it fits.
Section MakeSection(uint8_t type, std::vector<uint8_t> payload);

// The fields of a GUID-defined section. Throws FirmwareError when `section`
// is too short to hold them.
GuidDefinedSectionFields GuidDefinedFields(const Section& section);

}  // namespace firmware
