// Any bytes as a module file: the loader either refuses them with a one-line
// reason or accepts an image that then places whole into a flash window,
// rebased to its address, with nothing else in the window touched; a refused
// placement leaves the window as it was.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "firmware/pe_image.h"
#include "fuzz/target_support.h"

namespace {

using fuzz::Require;
using fuzz::RequireOneLine;

// Room for the shipped module (about 24 KiB) and what the fuzzer grows from it.
constexpr uint32_t WINDOW_SIZE = 0x10000;
constexpr uint64_t FOUR_GIB = 0x100000000ull;
constexpr uint8_t WINDOW_FILL = 0xA5;

// The window's bytes from `from` on are as the fill left them.
bool Untouched(const std::vector<uint8_t>& window, size_t from) {
  static const std::vector<uint8_t> fill(WINDOW_SIZE, WINDOW_FILL);
  return std::memcmp(window.data() + from, fill.data(), window.size() - from) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> efi(data, size);
  firmware::PeInfo info;
  try {
    info = firmware::ReadPe(efi);
  } catch (const firmware::PeError& e) {
    RequireOneLine(e);
    return 0;
  }
  Require(info.entryRva != 0 && info.entryRva < info.sizeOfImage);

  // At the lowest aligned address of the window, or (when the image asks for
  // more alignment than that, or is larger than the window) refused.
  static std::vector<uint8_t> window(WINDOW_SIZE);
  std::memset(window.data(), WINDOW_FILL, window.size());
  const uint32_t address = static_cast<uint32_t>(FOUR_GIB - WINDOW_SIZE);
  try {
    const firmware::PlacedModule placed = firmware::PlaceModule(window, efi, address);
    Require(placed.base == address && placed.entry == address + info.entryRva && placed.size == info.sizeOfImage);
    const std::vector<uint8_t> rebased = firmware::RebasePe(efi, address);
    Require(rebased.size() == info.sizeOfImage);
    Require(std::memcmp(window.data(), rebased.data(), rebased.size()) == 0);
    Require(Untouched(window, rebased.size()));
  } catch (const firmware::PeError& e) {
    RequireOneLine(e);
    Require(Untouched(window, 0));
  }
  return 0;
}
