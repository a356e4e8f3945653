// Any HOB list: every walk ends (a hang is a libFuzzer timeout), and what it
// returns is a GUID-extension HOB whose header lies below 4 GiB (the generic
// header for a scan, the whole GUID header for a lookup by name, which must
// match). The same bytes are walked as the PEI
// core's list in RAM and as a list that ends at 4 GiB in the flash; a new
// HOB made on the list comes back with its data inside it.
//
// Input: the HOB list's bytes (at most 64 KiB), which also end the flash.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/flash_rig.h"
#include "fuzz/target_support.h"
#include "module/platform/guid.h"
#include "module/platform/hob_list.h"
#include "module/platform/tsc_frequency.h"

namespace {

using fuzz::Require;

constexpr uint64_t FOUR_GIB = 0x100000000ull;
constexpr uint32_t MAX_LIST = vplat::HOB_LIST_LIMIT - vplat::HOB_LIST_BASE;
constexpr uint32_t NEW_HOB_DATA = 8;

fuzz::FlashRig& Rig() {
  static fuzz::FlashRig rig([] {
    runners::Scenario s;
    s.image.assign(MAX_LIST, 0xFF);
    return s;
  }());
  return rig;
}

// A GUID-extension HOB: its type, and `header` bytes of it below 4 GiB.
void RequireGuidHob(vplat::Platform& platform, PhysAddr hob, uint32_t header) {
  Require(uint64_t{Raw(hob)} + header <= FOUR_GIB);
  Require(platform.memory.Read(Raw(hob), 2) == EFI_HOB_TYPE_GUID_EXTENSION);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > MAX_LIST) return 0;
  fuzz::FlashRig& rig = Rig();
  rig.Begin();
  vplat::Platform& platform = rig.Platform();
  const uint32_t flashList = static_cast<uint32_t>(FOUR_GIB - size);
  rig.Store(flashList, {data, size});
  if (size != 0) platform.memory.Poke(vplat::HOB_LIST_BASE, data, static_cast<uint32_t>(size));
  vplat::ScopedPlatform scope(platform);

  const PhysAddr tsc = LookupGuidHob(&TscFrequencyGuid);
  if (tsc != NULL_PHYS) {
    RequireGuidHob(platform, tsc, GUID_HOB_HEADER_SIZE);
    Require(GuidEquals(&TscFrequencyGuid, reinterpret_cast<const EFI_GUID*>(
                                              platform.memory.Bytes(Raw(tsc) + 8, sizeof(EFI_GUID)))));
  }
  for (PhysAddr start : {Phys(vplat::HOB_LIST_BASE), Phys(flashList)}) {
    const PhysAddr hob = ScanGuidExtensionHob(start);
    if (hob != NULL_PHYS) RequireGuidHob(platform, hob, HOB_HEADER_SIZE);
  }

  const PhysAddr fresh = ReserveGuidHobData(&TscFrequencyGuid, NEW_HOB_DATA);
  if (fresh != NULL_PHYS) {
    const PhysAddr hob = fresh - GUID_HOB_HEADER_SIZE;
    RequireGuidHob(platform, hob, GUID_HOB_HEADER_SIZE);
    Require(platform.memory.Read(Raw(hob) + 2, 2) >= GUID_HOB_HEADER_SIZE + NEW_HOB_DATA);
  }
  return 0;
}
