// Any flash content and any FIT pointer: the lookup never reads outside the
// address space it was given and only ever reports a manifest that carries
// the manifest signature.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "module/fit/fit.h"
#include "vplat/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  // The first word picks the FIT pointer's low bits inside or near the top 64 KiB;
  // the second is an entry address to continue a search from.
  uint32_t pointer, continueFrom;
  std::memcpy(&pointer, data, 4);
  std::memcpy(&continueFrom, data + 4, 4);
  pointer = 0xFFFF0000u | (pointer & 0xFFFF);
  std::vector<uint8_t> flash(0x10000, 0xFF);
  std::memcpy(flash.data(), data + 8, std::min(size - 8, flash.size()));
  std::memcpy(&flash[0xFFC0], &pointer, 4);

  vplat::Platform platform;
  platform.memory.MapFlash(flash);
  vplat::ScopedPlatform scope(platform);
  PhysAddr manifest = NULL_PHYS;
  if (LocateBootPolicyManifest(&manifest) == EFI_SUCCESS) {
    uint8_t signature[8];
    platform.memory.Peek(Raw(manifest), signature, 8);
    if (std::memcmp(signature, "__ACBP__", 8) != 0) __builtin_trap();
  }
  PhysAddr entry = Phys(continueFrom);
  FindNextManifestEntry(&entry);
  return 0;
}
