#include "firmware/pi_section.h"

#include <cstring>

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/pi_layout.h"

namespace firmware {

using common::Hex;

uint32_t Section::Size() const {
  const size_t header = extendedSize ? sizeof(CommonSectionHeader2) : sizeof(CommonSectionHeader);
  return static_cast<uint32_t>(header + fields.size() + payload.size());
}

std::vector<Section> ParseSections(std::span<const uint8_t> data) {
  std::vector<Section> sections;
  for (size_t at = 0; at < data.size(); at = AlignUp(at, SECTION_ALIGNMENT)) {
    if (data.size() - at < sizeof(CommonSectionHeader))
      throw FirmwareError("section header at " + Hex(at) + " is cut off by the end of the data (" + Hex(data.size()) + ")");
    const auto header = ReadRecord<CommonSectionHeader>(data, at);
    Section s;
    s.type = header.Type;
    size_t size = Read24(header.Size);
    size_t headerSize = sizeof(CommonSectionHeader);
    if (size == FFS_MAX_SIZE_24) {
      if (data.size() - at < sizeof(CommonSectionHeader2))
        throw FirmwareError("extended section header at " + Hex(at) + " is cut off by the end of the data");
      size = ReadRecord<CommonSectionHeader2>(data, at).ExtendedSize;
      headerSize = sizeof(CommonSectionHeader2);
      s.extendedSize = true;
    }
    if (size < headerSize || size > data.size() - at)
      throw FirmwareError("section of type " + Hex(s.type, 2) + " at " + Hex(at) + " has size " + Hex(size) +
                          ", which does not fit in the data (" + Hex(data.size()) + ")");
    size_t payloadAt = headerSize;
    if (s.type == EFI_SECTION_GUID_DEFINED) {
      if (size < headerSize + sizeof(GuidDefinedSectionFields))
        throw FirmwareError("GUID-defined section at " + Hex(at) + " is too short for its header");
      const auto fields = ReadRecord<GuidDefinedSectionFields>(data, at + headerSize);
      if (fields.DataOffset < headerSize + sizeof(GuidDefinedSectionFields) || fields.DataOffset > size)
        throw FirmwareError("GUID-defined section at " + Hex(at) + " has data offset " + Hex(fields.DataOffset) +
                            " outside the section");
      payloadAt = fields.DataOffset;
    }
    s.fields.assign(data.begin() + at + headerSize, data.begin() + at + payloadAt);
    s.payload.assign(data.begin() + at + payloadAt, data.begin() + at + size);
    sections.push_back(std::move(s));
    at += size;
  }
  return sections;
}

std::vector<uint8_t> WriteSections(const std::vector<Section>& sections) {
  std::vector<uint8_t> out;
  for (const Section& s : sections) {
    out.resize(AlignUp(out.size(), SECTION_ALIGNMENT), 0);
    const uint32_t size = s.Size();
    CommonSectionHeader header{};
    header.Type = s.type;
    if (s.extendedSize) {
      Write24(header.Size, FFS_MAX_SIZE_24);
      AppendRecord(out, CommonSectionHeader2{header, size});
    } else {
      if (size >= FFS_MAX_SIZE_24) throw FirmwareError("section of " + Hex(size) + " bytes needs the extended header");
      Write24(header.Size, size);
      AppendRecord(out, header);
    }
    out.insert(out.end(), s.fields.begin(), s.fields.end());
    out.insert(out.end(), s.payload.begin(), s.payload.end());
  }
  return out;
}

Section MakeSection(uint8_t type, std::vector<uint8_t> payload) {
  Section s;
  s.type = type;
  s.extendedSize = payload.size() + sizeof(CommonSectionHeader) >= FFS_MAX_SIZE_24;
  s.payload = std::move(payload);
  return s;
}

GuidDefinedSectionFields GuidDefinedFields(const Section& section) {
  if (section.fields.size() < sizeof(GuidDefinedSectionFields))
    throw FirmwareError("GUID-defined section without its GUID and data offset");
  return ReadRecord<GuidDefinedSectionFields>(section.fields, 0);
}

}  // namespace firmware
