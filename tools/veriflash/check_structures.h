// Where the structures the check reads lie in an image: the FIT pointer, the
// FIT, the manifest and its reference digest, and the placed module, as
// address ranges; for the diff to tell which a change touches and for the
// flash map to draw them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "firmware/pe_image.h"
#include "tools/veriflash/flash_analysis.h"

namespace veriflash {

enum class CheckStructure { FitPointer, Fit, Manifest, ReferenceDigest, Module };

struct StructureSpan {
  CheckStructure what;
  uint64_t first = 0;
  uint64_t end = 0;  // exclusive
};

// The FIT pointer always; the others where the analysis found them. The
// manifest spans what the check reads of it, its reference digest included.
std::vector<StructureSpan> CheckStructures(const Analysis& analysis, const std::optional<firmware::PlacedModule>& module);

}  // namespace veriflash
