#include "tools/veriflash/flash_areas.h"

#include <fmt/core.h>

#include <algorithm>
#include <iterator>

#include "firmware/firmware_tree.h"
#include "firmware/pi_guid.h"
#include "tools/veriflash/flash_text.h"

namespace veriflash {
namespace {

std::string VolumeText(const firmware::TreeVolume& v) {
  const std::string name = v.name ? fmt::format("volume {}", firmware::GuidText(*v.name)) : "volume";
  if (!v.ffs) return fmt::format("{} (file system {}), {} bytes", name, firmware::GuidText(v.fileSystem), Hex(v.size));
  return fmt::format("{}, {} bytes, {} files, {} free{}{}", name, Hex(v.size), v.files.size(), Hex(v.freeSpace),
                     v.error.empty() ? "" : ": ", v.error);
}

}  // namespace

std::vector<FlashArea> FlashAreas(const firmware::FlashLayout& layout, const std::vector<uint8_t>& window) {
  std::vector<FlashArea> areas;
  if (layout.descriptor)
    for (const firmware::FlashRegion& r : layout.descriptor->regions)
      areas.push_back({r.first, r.last, fmt::format("{} region {}", firmware::FlashRegionName(r.index), r.index)});
  const uint64_t windowAt = layout.WindowFileOffset();
  const firmware::FirmwareTree tree = firmware::ReadFirmwareTree(window);
  for (const firmware::TreeVolume& v : tree.volumes)
    areas.push_back({windowAt + v.offset, windowAt + v.offset + v.size - 1,
                     fmt::format("{}{}", v.ffs ? "" : "variable store: ", VolumeText(v))});
  // The code part: the FFS volumes that follow one another up to the flash's last byte.
  auto from = tree.volumes.end();
  uint64_t end = window.size();
  while (from != tree.volumes.begin() && std::prev(from)->ffs && std::prev(from)->offset + std::prev(from)->size == end) {
    --from;
    end = from->offset;
  }
  if (from != tree.volumes.end())
    areas.push_back({windowAt + from->offset, windowAt + window.size() - 1,
                     fmt::format("code part: {} volumes up to 4 GiB", tree.volumes.end() - from)});
  std::stable_sort(areas.begin(), areas.end(), [](const FlashArea& a, const FlashArea& b) {
    return a.first != b.first ? a.first < b.first : a.last > b.last;
  });
  return areas;
}

}  // namespace veriflash
