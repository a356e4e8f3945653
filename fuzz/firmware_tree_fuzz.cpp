// Any bytes as a firmware image: the tree reader and the module finder never
// crash, never throw for what the image holds and never read outside it;
// every volume they report lies within what holds it, and every module they
// find has an image that the PE reader accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "firmware/firmware_modules.h"
#include "firmware/firmware_tree.h"
#include "firmware/pe_image.h"

namespace {

void CheckVolumes(const std::vector<firmware::TreeVolume>& volumes, uint64_t room);

void CheckSections(const std::vector<firmware::TreeSection>& sections) {
  for (const firmware::TreeSection& s : sections) {
    CheckSections(s.sections);
    // A volume section's volume lies in the section, after its header.
    CheckVolumes(s.volumes, uint64_t{s.offset} + s.size);
  }
}

void CheckVolumes(const std::vector<firmware::TreeVolume>& volumes, uint64_t room) {
  for (const firmware::TreeVolume& v : volumes) {
    if (v.offset + v.size > room) std::abort();
    for (const firmware::TreeFile& f : v.files) {
      if (uint64_t{f.offset} + f.size > v.size) std::abort();
      CheckSections(f.sections);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (4u << 20)) return 0;
  const std::span<const uint8_t> image(data, size);
  CheckVolumes(firmware::ReadFirmwareTree(image).volumes, size);
  for (const firmware::FirmwareModule& m : firmware::FindModulesInFirmware(image)) {
    if (!m.unusable.empty()) continue;
    if (firmware::ReadPe(m.pe32).sizeOfImage != m.sizeOfImage) std::abort();
  }
  return 0;
}
