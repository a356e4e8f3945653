// Any bytes as the top of a flash: every module the search reports is one the
// loader accepts where it lies, aligned, at or above the start, whole below
// 4 GiB, and after the end of the one reported before it.
//
// Input: one byte that sets where the search starts (that many 32-byte steps
// above the window's base), then the window, which ends at 4 GiB.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "firmware/module_search.h"
#include "fuzz/target_support.h"

namespace {

using fuzz::Require;

constexpr uint64_t FOUR_GIB = 0x100000000ull;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::span<const uint8_t> window(data + 1, size - 1);
  const uint64_t base = FOUR_GIB - window.size();
  const uint32_t from = static_cast<uint32_t>(base + uint64_t{data[0]} * firmware::MODULE_PLACEMENT_ALIGN);

  uint64_t previousEnd = 0;
  for (const firmware::PlacedModule& m : firmware::FindPlacedModules(window, from)) {
    Require(m.base % firmware::MODULE_PLACEMENT_ALIGN == 0 && m.base >= from && m.base >= base);
    Require(m.base >= previousEnd && uint64_t{m.base} + m.size <= FOUR_GIB);
    const firmware::PeInfo info = firmware::ReadPe(window.subspan(m.base - base));
    Require(m.size == info.sizeOfImage && m.entry == m.base + info.entryRva);
    previousEnd = uint64_t{m.base} + m.size;
  }
  return 0;
}
