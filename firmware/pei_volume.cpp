#include "firmware/pei_volume.h"

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/pe_image.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"

namespace firmware {

using common::Hex;

std::optional<uint32_t> PeimVolumeBase(const FirmwareVolume& volume) {
  std::optional<uint32_t> base;
  for (const FfsFile& f : volume.files) {
    if (f.type != FV_FILETYPE_PEIM && f.type != FV_FILETYPE_PEI_CORE) continue;
    std::vector<Section> sections;
    try {
      sections = ParseSections(f.data);
    } catch (const FirmwareError&) {
      continue;
    }
    uint64_t inData = 0;
    for (const Section& s : sections) {
      inData = AlignUp(inData, SECTION_ALIGNMENT);
      if (s.type == EFI_SECTION_PE32) {
        const uint64_t imageAt = f.offset + f.HeaderSize() + inData + (s.Size() - s.payload.size());
        uint32_t imageBase;
        try {
          imageBase = ReadPe(s.payload).imageBase;
        } catch (const PeError&) {
          break;  // not an image that runs in place
        }
        if (imageBase < imageAt) break;  // an image never rebased to run in place (ImageBase 0)
        const uint32_t candidate = static_cast<uint32_t>(imageBase - imageAt);
        if (base && *base != candidate)
          throw FirmwareError("the PEIMs of the PEI volume disagree about where it runs (" + Hex(*base, 8) + " and " +
                              Hex(candidate, 8) + " from file " + GuidText(f.name) + ")");
        base = candidate;
        break;
      }
      inData += s.Size();
    }
  }
  return base;
}

std::vector<PiGuid> AprioriList(const FirmwareVolume& volume) {
  std::vector<PiGuid> list;
  const FfsFile* file = nullptr;
  for (const FfsFile& f : volume.files)
    if (f.name == PEI_APRIORI_FILE_GUID && f.type != FV_FILETYPE_FFS_PAD && !file) file = &f;
  if (!file) return list;
  // Its RAW section holds the GUIDs one after the other.
  for (const Section& s : ParseSections(file->data)) {
    if (s.type != EFI_SECTION_RAW) continue;
    for (size_t at = 0; at + sizeof(PiGuid) <= s.payload.size(); at += sizeof(PiGuid))
      list.push_back(ReadRecord<PiGuid>(s.payload, at));
  }
  return list;
}

}  // namespace firmware
