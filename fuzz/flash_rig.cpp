#include "fuzz/flash_rig.h"

#include <algorithm>
#include <cstring>

#include "vplat/flash_image.h"

namespace fuzz {

FlashRig::FlashRig(runners::Scenario base) : base_(std::move(base)) { runners::Configure(platform_, base_); }

void FlashRig::Begin() {
  const std::span<uint8_t> flash = platform_.memory.MutableFlash();
  for (const auto& [offset, length] : changed_) std::memcpy(&flash[offset], &base_.image[offset], length);
  changed_.clear();
  platform_.Restart();
  runners::ArmRun(platform_, base_);
}

void FlashRig::Store(uint32_t address, std::span<const uint8_t> bytes) {
  const std::span<uint8_t> flash = platform_.memory.MutableFlash();
  const uint32_t base = vplat::ImageBase(base_.image);
  if (address < base) {
    if (bytes.size() <= base - address) return;
    bytes = bytes.subspan(base - address);
    address = base;
  }
  const size_t offset = address - base;
  const size_t length = std::min(bytes.size(), flash.size() - offset);
  std::memcpy(&flash[offset], bytes.data(), length);
  changed_.emplace_back(offset, length);
}

}  // namespace fuzz
