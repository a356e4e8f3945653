#include "firmware/firmware_modules.h"

#include "firmware/firmware_tree.h"
#include "firmware/pe_image.h"
#include "firmware/peim_file.h"

namespace firmware {

namespace {

// The shipped build rebased to its own ImageBase: what a copy of it becomes
// when its rebase is undone.
struct Shipped {
  PeInfo info;
  std::vector<uint8_t> image;
};

bool SameAsShipped(std::span<const uint8_t> pe32, const PeInfo& info, const Shipped& shipped) {
  if (info.sizeOfImage != shipped.info.sizeOfImage) return false;
  try {
    return RebasePe(pe32, shipped.info.imageBase) == shipped.image;
  } catch (const PeError&) {
    return false;  // relocations it cannot apply: not the shipped build
  }
}

}  // namespace

std::vector<FirmwareModule> FindModulesInFirmware(std::span<const uint8_t> image, std::span<const uint8_t> shipped) {
  std::optional<Shipped> reference;
  if (!shipped.empty()) {
    const PeInfo info = ReadPe(shipped);
    reference = Shipped{info, RebasePe(shipped, info.imageBase)};
  }
  std::vector<FirmwareModule> modules;
  ReadFirmwareTree(image, [&](const TreePe32& at) {
    if (at.file.type != FV_FILETYPE_PEIM) return;
    FirmwareModule m;
    m.namedAsModule = at.file.name == VERIFLASH_PEIM_GUID;
    std::optional<PeInfo> info;
    try {
      info = ReadPe(at.image);
    } catch (const PeError& e) {
      m.unusable = e.what();
    }
    if (reference && info) m.identicalToShipped = SameAsShipped(at.image, *info, *reference);
    if (!m.namedAsModule && m.identicalToShipped != true) return;
    if (reference && !info) m.identicalToShipped = false;
    m.path = at.path;
    m.volumeOffset = at.volume.offset;
    m.volumeName = at.volume.name;
    m.file = at.file.name;
    m.fileIndex = at.file.index;
    m.uiName = at.file.uiName;
    m.fileOffset = at.file.offset;
    m.sectionOffset = at.section.offset;
    m.pe32.assign(at.image.begin(), at.image.end());
    m.inPlaceKnown = at.section.inPlaceAddress.has_value();
    m.preMemory = at.file.apriori;
    if (info) {
      m.imageBase = at.section.inPlaceAddress.value_or(info->imageBase);
      m.entry = m.imageBase + info->entryRva;
      m.sizeOfImage = info->sizeOfImage;
    }
    modules.push_back(std::move(m));
  });
  return modules;
}

}  // namespace firmware
