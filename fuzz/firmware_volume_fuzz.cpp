// Any bytes as the file area of a firmware volume behind a valid header, and
// as a list of sections: reading never crashes or reads outside the input,
// refuses only with FirmwareError, and a volume it accepts writes back to
// one that reads back to the same files.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/firmware_error.h"
#include "firmware/firmware_volume.h"
#include "firmware/pi_layout.h"
#include "firmware/pi_section.h"

namespace {

constexpr uint32_t HEADER_LENGTH = sizeof(firmware::FirmwareVolumeHeader) + 2 * sizeof(firmware::FvBlockMapEntry);

std::vector<uint8_t> VolumeAround(const uint8_t* data, size_t size) {
  firmware::FirmwareVolume empty;
  const uint32_t length = static_cast<uint32_t>(firmware::AlignUp(HEADER_LENGTH + size, firmware::FFS_FILE_ALIGNMENT));
  empty.header.FileSystemGuid = firmware::FFS2_FILE_SYSTEM_GUID;
  empty.header.FvLength = length;
  empty.header.Signature = firmware::FV_SIGNATURE;
  empty.header.Attributes = firmware::FVB2_ERASE_POLARITY;
  empty.header.HeaderLength = HEADER_LENGTH;
  empty.header.Revision = firmware::FV_REVISION;
  empty.blockMap = {{1, length}};
  std::vector<uint8_t> bytes = firmware::WriteVolume(empty);
  std::memcpy(bytes.data() + HEADER_LENGTH, data, size);
  return bytes;
}

bool SameFiles(const firmware::FirmwareVolume& a, const firmware::FirmwareVolume& b) {
  if (a.files.size() != b.files.size()) return false;
  for (size_t i = 0; i < a.files.size(); ++i) {
    const auto &x = a.files[i], &y = b.files[i];
    if (!(x.name == y.name) || x.type != y.type || x.attributes != y.attributes || x.state != y.state ||
        x.offset != y.offset || x.data != y.data)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  try {
    const firmware::FirmwareVolume volume = firmware::ReadVolume(VolumeAround(data, size));
    const firmware::FirmwareVolume again = firmware::ReadVolume(firmware::WriteVolume(volume));
    if (!SameFiles(volume, again)) std::abort();
  } catch (const firmware::FirmwareError&) {
  }
  try {
    const auto sections = firmware::ParseSections({data, size});
    if (firmware::ParseSections(firmware::WriteSections(sections)).size() != sections.size()) std::abort();
  } catch (const firmware::FirmwareError&) {
  }
  return 0;
}
