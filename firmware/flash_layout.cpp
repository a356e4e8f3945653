#include "firmware/flash_layout.h"

#include <algorithm>

#include "common/hex.h"

namespace firmware {
namespace {

using common::Hex;

FlashLayout MapBios(uint64_t fileSize, const FlashRegion& bios) {
  FlashLayout layout;
  layout.fileSize = fileSize;
  layout.bios = bios;
  layout.windowSize = static_cast<uint32_t>(std::min<uint64_t>(bios.Size(), MAPPED_WINDOW_MAX));
  return layout;
}

}  // namespace

std::string FlashFileSizeProblem(uint64_t size) {
  if (size == 0) return "0 bytes: empty, not a flash image";
  if (size % FLASH_BLOCK_SIZE != 0)
    return std::to_string(size) + " bytes (" + Hex(size) + ") is not a multiple of 4 KiB: truncated, or not a flash image";
  if (size > FLASH_ADDRESSABLE_SIZE)
    return std::to_string(size) + " bytes (" + Hex(size) + ") is more than the 128 MiB a flash descriptor can address";
  return "";
}

FlashLayout LayoutOf(std::span<const uint8_t> file) {
  const std::string problem = FlashFileSizeProblem(file.size());
  if (!problem.empty()) throw FlashImageError(problem);
  if (!HasFlashDescriptor(file)) return BiosRegionLayout(file.size());
  FlashDescriptor descriptor = ReadFlashDescriptor(file);
  FlashLayout layout = MapBios(file.size(), descriptor.bios);
  layout.descriptor = std::move(descriptor);
  return layout;
}

FlashLayout BiosRegionLayout(uint64_t size) {
  return MapBios(size, {FLASH_REGION_BIOS, 0, static_cast<uint32_t>(size - 1)});
}

}  // namespace firmware
