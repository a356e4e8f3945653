#include "tools/veriflash/check_structures.h"

#include <algorithm>

#include "module/fit/fit.h"

namespace veriflash {

std::vector<StructureSpan> CheckStructures(const Analysis& a, const std::optional<firmware::PlacedModule>& module) {
  std::vector<StructureSpan> spans{
      {CheckStructure::FitPointer, FIT_POINTER_ADDRESS, uint64_t{FIT_POINTER_ADDRESS} + sizeof(uint32_t)}};
  // A FIT that counts no entries still has its header.
  if (a.fit)
    spans.push_back({CheckStructure::Fit, a.fit->address, a.fit->address + uint64_t{std::max(a.fit->count, 1u)} * FIT_ENTRY_SIZE});
  if (a.manifest) {
    spans.push_back({CheckStructure::Manifest, *a.manifest, uint64_t{*a.manifest} + MANIFEST_READ_SIZE});
    spans.push_back({CheckStructure::ReferenceDigest, uint64_t{*a.manifest} + MANIFEST_DIGEST_OFFSET,
                     uint64_t{*a.manifest} + MANIFEST_DIGEST_OFFSET + MANIFEST_DIGEST_SIZE});
  }
  if (module) spans.push_back({CheckStructure::Module, module->base, uint64_t{module->base} + module->size});
  return spans;
}

}  // namespace veriflash
