#include "firmware/pei_insert.h"

#include <chrono>

#include "common/hex.h"
#include "firmware/firmware_error.h"
#include "firmware/firmware_phases.h"
#include "firmware/firmware_volume.h"
#include "firmware/lzma_stream.h"
#include "firmware/pe_image.h"
#include "firmware/pei_volume.h"
#include "firmware/pi_guid.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"

namespace firmware {

using common::Hex;

namespace {

bool HoldsSections(uint8_t fileType) {
  return fileType != FV_FILETYPE_RAW && fileType != FV_FILETYPE_FFS_PAD;
}

class Inserter {
 public:
  Inserter(const InsertOptions& options, InsertReport& report) : options_(options), report_(report) {}

  // Edits the PEI volume if it is `bytes` or nested in it; false when not found.
  bool InVolume(std::vector<uint8_t>& bytes) {
    if (!HoldsFfsFiles(bytes)) return false;
    FirmwareVolume volume = ReadVolume(bytes);
    if (volume.FindFile(FV_FILETYPE_PEI_CORE)) {
      EditPeiVolume(volume);
      Replace(bytes, WriteVolume(volume));
      return true;
    }
    for (size_t i = 0; i < volume.files.size(); ++i) {
      const FfsFile& f = volume.files[i];
      if (!HoldsSections(f.type)) continue;
      std::vector<Section> sections;
      try {
        sections = ParseSections(f.data);
      } catch (const FirmwareError&) {
        continue;  // a file whose data is no list of sections holds no volume either
      }
      report_.path.push_back("file " + GuidText(f.name) + " (type " + Hex(f.type, 2) + ") at " + Hex(f.offset));
      if (InSections(sections)) {
        ResizeFile(volume, i, WriteSections(sections));
        Replace(bytes, WriteVolume(volume));
        return true;
      }
      report_.path.pop_back();
    }
    return false;
  }

 private:
  // The volume's bytes are FvLength of what `bytes` held; anything after stays.
  static void Replace(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& volume) {
    std::copy(volume.begin(), volume.end(), bytes.begin());
  }

  bool InSections(std::vector<Section>& sections) {
    for (Section& s : sections) {
      if (s.type == EFI_SECTION_FIRMWARE_VOLUME_IMAGE && LooksLikeVolume(s.payload)) {
        report_.path.push_back("firmware volume section");
        if (InVolume(s.payload)) return true;
        report_.path.pop_back();
      }
      if (s.type == EFI_SECTION_GUID_DEFINED && GuidDefinedFields(s).SectionDefinitionGuid == LZMA_SECTION_GUID) {
        report_.path.push_back("LZMA section");
        if (InCompressed(s)) return true;
        report_.path.pop_back();
      }
    }
    return false;
  }

  bool InCompressed(Section& section) {
    LzmaStream stream = DecodeLzma(section.payload);
    std::vector<Section> inner = ParseSections(stream.data);
    if (!InSections(inner)) return false;
    const auto start = std::chrono::steady_clock::now();
    Recompression r;
    r.before = static_cast<uint32_t>(section.payload.size());
    const std::vector<uint8_t> payload = WriteSections(inner);
    section.payload = EncodeLzma(payload, stream.header);
    r.after = static_cast<uint32_t>(section.payload.size());
    r.uncompressed = payload.size();
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report_.recompressed.push_back(r);
    return true;
  }

  void EditPeiVolume(FirmwareVolume& volume) {
    RequireIa32PeiPhase(volume);
    report_.volumeSize = volume.Size();
    report_.freeBefore = volume.Size() - volume.FreeSpaceStart();
    const std::optional<uint32_t> base = PeimVolumeBase(volume);
    if (!base) throw FirmwareError("the PEI volume has no PE32 PEIM that tells where it runs");
    report_.volumeBase = *base;
    if (options_.module) {
      if (volume.FindFile(options_.peim.name))
        throw FirmwareError("the PEI volume already holds a file named " + GuidText(options_.peim.name));
      if (options_.preMemory) ListFirst(volume);
      AddModule(volume);
    }
    report_.apriori = AprioriList(volume);
    report_.freeAfter = volume.Size() - volume.FreeSpaceStart();
  }

  // The a-priori file gets the module's name at the end of its list. It is
  // written anew after the last file and the old one becomes a pad file of
  // the same size, so no file that runs in place moves.
  void ListFirst(FirmwareVolume& volume) {
    std::vector<PiGuid> list;
    FfsFile apriori;
    apriori.name = PEI_APRIORI_FILE_GUID;
    apriori.type = FV_FILETYPE_FREEFORM;
    if (FfsFile* old = volume.FindFile(PEI_APRIORI_FILE_GUID)) {
      list = AprioriList(volume);
      apriori.attributes = old->attributes;
      const uint32_t offset = old->offset;
      *old = MakePadFile(old->Size(), volume.ErasePolarity());
      old->offset = offset;
    }
    list.push_back(options_.peim.name);
    std::vector<uint8_t> raw(list.size() * sizeof(PiGuid));
    for (size_t i = 0; i < list.size(); ++i) WriteRecord(raw, i * sizeof(PiGuid), list[i]);
    apriori.data = WriteSections({MakeSection(EFI_SECTION_RAW, std::move(raw))});
    AddFile(volume, std::move(apriori));
  }

  void AddModule(FirmwareVolume& volume) {
    const std::vector<uint8_t>& efi = *options_.module;
    const PeInfo info = ReadPe(efi);
    // The file's layout does not depend on where it goes: place it first,
    // then rebase the image to the address its place gives.
    FfsFile file = MakePeimFile(RebasePe(efi, 0), options_.peim);
    const std::optional<uint32_t> at = PlaceForFile(volume, file);
    if (!at)
      throw FirmwareError("not enough free space in the PEI volume: the module's file needs " + Hex(file.Size()) +
                          " bytes with its alignment, " + Hex(volume.Size() - volume.FreeSpaceStart()) + " are free");
    const uint32_t imageAddress = report_.volumeBase + *at + file.HeaderSize() + PeimImageOffset(info.sectionAlignment);
    file = MakePeimFile(RebasePe(efi, imageAddress), options_.peim);
    report_.fileOffset = AddFile(volume, std::move(file));
    report_.imageAddress = imageAddress;
    report_.entryAddress = imageAddress + info.entryRva;
  }

  const InsertOptions& options_;
  InsertReport& report_;
};

}  // namespace

std::string PathText(const InsertReport& report) {
  std::string text;
  for (const std::string& step : report.path) text += (text.empty() ? "" : " > ") + step;
  return text;
}

InsertResult InsertPeim(std::span<const uint8_t> image, const InsertOptions& options) {
  InsertResult result{{image.begin(), image.end()}, {}};
  Inserter inserter(options, result.report);
  for (size_t at = 0; at + sizeof(FirmwareVolumeHeader) <= image.size(); at += FFS_FILE_ALIGNMENT) {
    if (!LooksLikeVolume(image.subspan(at))) continue;
    const uint64_t length = ReadRecord<FirmwareVolumeHeader>(image, at).FvLength;
    if (length > image.size() - at) continue;
    std::vector<uint8_t> volume(image.begin() + at, image.begin() + at + length);
    result.report.path = {"volume at " + Hex(at)};
    bool found;
    try {
      found = inserter.InVolume(volume);
    } catch (const FirmwareError& e) {
      throw FirmwareError(PathText(result.report) + ": " + e.what());  // the container at fault
    }
    if (found) {
      std::copy(volume.begin(), volume.end(), result.image.begin() + at);
      return result;
    }
    at += length - FFS_FILE_ALIGNMENT;
  }
  throw FirmwareError("no PEI volume: no firmware volume here holds a PEI core, directly or in a compressed section");
}

}  // namespace firmware
