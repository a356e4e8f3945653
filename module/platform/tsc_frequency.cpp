#include "module/platform/tsc_frequency.h"

#include "module/base/mem.h"
#include "module/hw/hw.h"
#include "module/platform/hob_list.h"

const EFI_GUID TscFrequencyGuid = {0xdba6a7e3, 0xbb57, 0x4be7, {0x8a, 0xf8, 0xd5, 0x78, 0xdb, 0x7e, 0x56, 0x87}};

void PublishTscFrequency() {
  if (LookupGuidHob(&TscFrequencyGuid) != NULL_PHYS) return;
  const uint64_t frequency = MeasureTscFrequency();
  // A failed measurement publishes nothing: consumers must not trust 0 Hz.
  if (frequency == 0) return;
  StoreTscFrequencyHob(&frequency);
}

void StoreTscFrequencyHob(const uint64_t* value) {
  const PhysAddr data = ReserveGuidHobData(&TscFrequencyGuid, TSC_FREQUENCY_HOB_DATA_SIZE);
  if (data == NULL_PHYS) return;
  MemCopy(hw::MutableBytes(data, TSC_FREQUENCY_HOB_DATA_SIZE), value, TSC_FREQUENCY_HOB_DATA_SIZE);
}
