// Any flash content and any FIT pointer: the lookup never reads outside the
// address space it was given and only ever reports a manifest that carries
// the manifest signature, through an entry of the table it validated.
//
// Input: the FIT pointer (4 bytes), an entry address to continue a search
// from (4 bytes), then the top 4 KiB of the flash from 0xFFFFF000 on (the
// pointer is stored over its place there).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/flash_rig.h"
#include "fuzz/target_support.h"
#include "module/fit/fit.h"

namespace {

using fuzz::Require;
using fuzz::Word;

constexpr uint32_t WINDOW_BASE = 0xFFFFF000u;

fuzz::FlashRig& Rig() {
  static fuzz::FlashRig rig([] {
    runners::Scenario s;
    s.image.assign(0x10000, 0xFF);
    return s;
  }());
  return rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  fuzz::FlashRig& rig = Rig();
  rig.Begin();
  rig.Store(WINDOW_BASE, {data + 8, size - 8});
  rig.Store(FIT_POINTER_ADDRESS, {data, 4});
  vplat::Platform& platform = rig.Platform();
  vplat::ScopedPlatform scope(platform);

  PhysAddr manifest = NULL_PHYS;
  if (LocateBootPolicyManifest(&manifest) == EFI_SUCCESS) {
    uint8_t signature[8];
    platform.memory.Peek(Raw(manifest), signature, 8);
    Require(std::memcmp(signature, MANIFEST_SIGNATURE, 8) == 0);
    // It came from the first manifest entry (the header itself counts) of a
    // table whose header holds.
    PhysAddr header = NULL_PHYS, entry = NULL_PHYS;
    Require(LocateFitHeader(&header) == EFI_SUCCESS && FindManifestEntry(&entry) == EFI_SUCCESS);
    Require(Raw(entry) >= Raw(header) && (Raw(entry) - Raw(header)) % FIT_ENTRY_SIZE == 0);
    Require(platform.memory.Peek32(Raw(entry)) == Raw(manifest));
  }
  PhysAddr entry = Phys(Word(data + 4));
  if (FindNextManifestEntry(&entry) == EFI_SUCCESS)
    Require(Raw(entry) > Word(data + 4) &&
            (platform.memory.Read(Raw(entry) + offsetof(FitEntry, TypeAndFlags), 1) & FIT_TYPE_MASK) ==
                FIT_TYPE_BOOT_POLICY_MANIFEST);
  return 0;
}
