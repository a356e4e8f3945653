#include "module/platform/guid.h"

#include "module/base/mem.h"

namespace {

// Word `index` of a GUID as stored, little-endian. Read byte by byte so that a
// GUID inside a HOB needs no particular alignment.
uint32_t GuidWord(const EFI_GUID* guid, uint32_t index) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(guid) + 4 * index;
  return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

BOOLEAN GuidEquals(const EFI_GUID* a, const EFI_GUID* b) {
  for (uint32_t i = 0; i < sizeof(EFI_GUID) / 4; ++i)
    if (GuidWord(a, i) != GuidWord(b, i)) return 0;
  return 1;
}

EFI_GUID* GuidCopy(EFI_GUID* destination, const EFI_GUID* source) {
  // Sixteen bytes: MemCopy moves them forward as four words.
  MemCopy(destination, source, sizeof(EFI_GUID));
  return destination;
}
