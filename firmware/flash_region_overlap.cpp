#include "firmware/flash_region_overlap.h"

#include <algorithm>

namespace firmware {

std::vector<FlashRegionOverlap> FlashRegionOverlaps(const std::vector<FlashRegion>& regions) {
  std::vector<FlashRegionOverlap> overlaps;
  for (size_t i = 0; i < regions.size(); ++i)
    for (size_t j = i + 1; j < regions.size(); ++j) {
      const FlashRegion& a = regions[i];
      const FlashRegion& b = regions[j];
      const uint32_t first = std::max(a.first, b.first);
      const uint32_t last = std::min(a.last, b.last);
      if (first <= last) overlaps.push_back({a, b, first, last});
    }
  return overlaps;
}

std::vector<FlashRegion> OtherRegionsAt(const std::vector<FlashRegion>& regions, const FlashRegion& self,
                                        uint32_t first, uint32_t last) {
  std::vector<FlashRegion> others;
  for (const FlashRegion& r : regions)
    if (r.index != self.index && r.first <= last && first <= r.last) others.push_back(r);
  return others;
}

}  // namespace firmware
