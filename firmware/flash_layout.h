// Where the bytes of a flash file appear in the 32-bit physical address
// space. The BIOS region (region 1 of a full dump with a flash descriptor,
// or the whole file without one) is mapped so that its last byte is at
// 0xFFFFFFFF; of a BIOS region larger than the 16 MiB boot-flash window only
// the top 16 MiB are mapped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "firmware/flash_descriptor.h"

namespace firmware {

inline constexpr uint64_t FOUR_GIB = 0x100000000ull;
// The boot-flash decode window below 4 GiB: 0xFF000000-0xFFFFFFFF.
inline constexpr uint32_t MAPPED_WINDOW_MAX = 16u << 20;

struct FlashLayout {
  uint64_t fileSize = 0;
  std::optional<FlashDescriptor> descriptor;
  FlashRegion bios;         // the whole file when there is no descriptor
  uint32_t windowSize = 0;  // the BIOS region's top bytes that are mapped

  uint32_t WindowBase() const { return static_cast<uint32_t>(FOUR_GIB - windowSize); }
  uint32_t WindowFileOffset() const { return bios.last + 1 - windowSize; }
  bool WholeBiosMapped() const { return windowSize == bios.Size(); }
  // `length` bytes from `address` are all mapped.
  bool Maps(uint32_t address, uint64_t length = 1) const {
    return address >= WindowBase() && address + length <= FOUR_GIB;
  }
  // For a mapped address: its offset in the BIOS region and in the file.
  uint32_t BiosOffset(uint32_t address) const { return static_cast<uint32_t>(bios.Size() - (FOUR_GIB - address)); }
  uint32_t FileOffset(uint32_t address) const { return bios.first + BiosOffset(address); }
  // The mapped bytes of `file`, the last at 0xFFFFFFFF.
  std::span<const uint8_t> Window(std::span<const uint8_t> file) const {
    return file.subspan(WindowFileOffset(), windowSize);
  }
};

// Why a file of `size` bytes cannot be a flash image (empty, not whole 4 KiB
// blocks, more than a descriptor can address), or an empty string.
std::string FlashFileSizeProblem(uint64_t size);

// The layout of a flash file: a full dump when it starts with a flash
// descriptor, else a BIOS region. Throws FlashImageError for a size that
// FlashFileSizeProblem refuses and for a descriptor that ReadFlashDescriptor
// refuses.
FlashLayout LayoutOf(std::span<const uint8_t> file);

// The layout of a file that is a BIOS region, without looking for a
// descriptor: for images built in memory.
FlashLayout BiosRegionLayout(uint64_t size);

}  // namespace firmware
