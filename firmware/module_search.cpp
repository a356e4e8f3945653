#include "firmware/module_search.h"

#include <algorithm>
#include <optional>

namespace firmware {
namespace {

constexpr uint64_t FOUR_GIB = 0x100000000ull;

uint64_t AlignUp(uint64_t address) {
  return (address + MODULE_PLACEMENT_ALIGN - 1) / MODULE_PLACEMENT_ALIGN * MODULE_PLACEMENT_ALIGN;
}

// The module whose first byte is candidate[0], at `address`.
std::optional<PlacedModule> ModuleAt(std::span<const uint8_t> candidate, uint64_t address) {
  if (candidate.size() < 2 || candidate[0] != 'M' || candidate[1] != 'Z') return std::nullopt;
  PlacedModule module;
  try {
    module.info = ReadPe(candidate);
  } catch (const PeError&) {
    return std::nullopt;  // two bytes that only look like a DOS header
  }
  if (address + module.info.sizeOfImage > FOUR_GIB) return std::nullopt;  // its image would pass the top of the flash
  module.base = static_cast<uint32_t>(address);
  module.entry = module.base + module.info.entryRva;
  module.size = module.info.sizeOfImage;
  return module;
}

}  // namespace

std::vector<PlacedModule> FindPlacedModules(std::span<const uint8_t> window, uint32_t from) {
  if (window.size() > FOUR_GIB) window = window.last(FOUR_GIB);
  const uint64_t base = FOUR_GIB - window.size();
  std::vector<PlacedModule> found;
  for (uint64_t address = AlignUp(std::max<uint64_t>(base, from)); address < FOUR_GIB;) {
    auto module = ModuleAt(window.subspan(address - base), address);
    if (!module) {
      address += MODULE_PLACEMENT_ALIGN;
      continue;
    }
    // ReadPe accepts no image smaller than its entry point RVA + 1, so this moves on.
    address = AlignUp(address + module->size);
    found.push_back(std::move(*module));
  }
  return found;
}

}  // namespace firmware
