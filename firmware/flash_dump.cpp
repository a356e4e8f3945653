#include "firmware/flash_dump.h"

#include <algorithm>

#include "common/hex.h"
#include "firmware/flash_descriptor.h"

namespace firmware {

std::vector<uint8_t> BuildFlashDump(std::span<const uint8_t> bios, uint64_t flashSize) {
  const uint64_t below = FLASH_DESCRIPTOR_SIZE + FLASH_BLOCK_SIZE;  // the descriptor and one block of ME region
  if (bios.empty() || bios.size() % FLASH_BLOCK_SIZE != 0 || bios.size() + below > flashSize)
    throw FlashImageError("a BIOS region of " + common::Hex(bios.size()) + " bytes does not fit a flash of " +
                          common::Hex(flashSize) + " bytes above the descriptor and an ME region");
  const auto biosFirst = static_cast<uint32_t>(flashSize - bios.size());
  const std::vector<FlashRegion> regions = {
      {FLASH_REGION_DESCRIPTOR, 0, FLASH_DESCRIPTOR_SIZE - 1},
      {FLASH_REGION_BIOS, biosFirst, static_cast<uint32_t>(flashSize - 1)},
      {FLASH_REGION_ME, FLASH_DESCRIPTOR_SIZE, biosFirst - 1},
  };
  const std::vector<uint8_t> descriptor = BuildFlashDescriptor(regions, flashSize);
  std::vector<uint8_t> dump(flashSize, 0x00);
  std::copy(descriptor.begin(), descriptor.end(), dump.begin());
  std::copy(bios.begin(), bios.end(), dump.begin() + biosFirst);
  return dump;
}

}  // namespace firmware
