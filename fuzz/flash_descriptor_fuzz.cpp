// Any first 4 KiB of a flash file, at any of the sizes a dump comes in: the
// layout is either refused with one line, or maps a BIOS region that lies in
// the file and clear of the descriptor, whose top (at most 16 MiB) ends at
// 4 GiB and is a span inside the file.
//
// Input: one byte choosing the file's size in MiB (1 to 128), then the
// file's first bytes (at most the descriptor's 4 KiB); the rest is erased
// flash. The file is one buffer kept between inputs: only what an input
// wrote is put back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "firmware/flash_descriptor.h"
#include "firmware/flash_layout.h"
#include "fuzz/target_support.h"

namespace {

using fuzz::Require;
using fuzz::RequireOneLine;

constexpr uint8_t ERASED = 0xFF;

std::vector<uint8_t>& File() {
  static std::vector<uint8_t> file(firmware::FLASH_ADDRESSABLE_SIZE, ERASED);
  return file;
}

void RequireSound(const firmware::FlashLayout& layout, std::span<const uint8_t> file) {
  Require(layout.fileSize == file.size());
  Require(layout.descriptor.has_value() == firmware::HasFlashDescriptor(file));
  const firmware::FlashRegion& bios = layout.bios;
  Require(bios.first <= bios.last && bios.last < file.size());
  if (layout.descriptor) {
    Require(layout.descriptor->bios == bios);
    Require(bios.first >= firmware::FLASH_DESCRIPTOR_SIZE);
  }
  Require(layout.windowSize == std::min<uint64_t>(bios.Size(), firmware::MAPPED_WINDOW_MAX));
  Require(layout.WindowFileOffset() >= bios.first);
  Require(uint64_t{layout.WindowFileOffset()} + layout.windowSize == uint64_t{bios.last} + 1);
  Require(layout.Window(file).size() == layout.windowSize);
  Require(layout.FileOffset(0xFFFFFFFFu) == bios.last);
  Require(layout.FileOffset(layout.WindowBase()) == layout.WindowFileOffset());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t fileSize = (size_t{data[0]} % (firmware::FLASH_ADDRESSABLE_SIZE >> 20) + 1) << 20;
  const size_t head = std::min<size_t>(size - 1, firmware::FLASH_DESCRIPTOR_SIZE);
  std::vector<uint8_t>& buffer = File();
  std::memcpy(buffer.data(), data + 1, head);
  const std::span<const uint8_t> file(buffer.data(), fileSize);
  try {
    RequireSound(firmware::LayoutOf(file), file);
  } catch (const firmware::FlashImageError& error) {
    RequireOneLine(error);
  }
  std::memset(buffer.data(), ERASED, head);
  return 0;
}
