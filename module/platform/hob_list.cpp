#include "module/platform/hob_list.h"

#include "module/base/pei_services.h"
#include "module/hw/hw.h"
#include "module/platform/guid.h"

namespace {

constexpr uint32_t MAX_HOB_LENGTH = 0xFFFF;

uint16_t HobType(PhysAddr hob) { return hw::Read16(hob + offsetof(EFI_HOB_GENERIC_HEADER, HobType)); }
uint16_t HobLength(PhysAddr hob) { return hw::Read16(hob + offsetof(EFI_HOB_GENERIC_HEADER, HobLength)); }

// The HOB after `hob`, or NULL_PHYS where the walk must stop: a length of 0
// would lead back to `hob` forever, and a next header reaching past 4 GiB
// would wrap around into low memory.
PhysAddr NextHob(PhysAddr hob) {
  const uint32_t length = HobLength(hob);
  if (length == 0 || !FitsBelow4G(hob, length + HOB_HEADER_SIZE)) return NULL_PHYS;
  return hob + length;
}

const EFI_GUID* NameOf(PhysAddr hob) {
  return reinterpret_cast<const EFI_GUID*>(
      hw::Bytes(hob + offsetof(EFI_HOB_GUID_TYPE, Name), sizeof(EFI_GUID)));
}

}  // namespace

PhysAddr LocateHobList() {
  const PhysAddr services = FindPeiServices();
  PhysAddr list = NULL_PHYS;
  const EFI_STATUS status =
      hw::CallGetHobList(PeiServiceFunction(services, PEI_SERVICE_GET_HOB_LIST), services, &list);
  return EfiError(status) ? NULL_PHYS : list;
}

PhysAddr ScanGuidExtensionHob(PhysAddr hob) {
  while (hob != NULL_PHYS && FitsBelow4G(hob, HOB_HEADER_SIZE)) {
    const uint16_t type = HobType(hob);
    if (type == EFI_HOB_TYPE_END_OF_HOB_LIST) return NULL_PHYS;
    if (type == EFI_HOB_TYPE_GUID_EXTENSION) return hob;
    hob = NextHob(hob);
  }
  return NULL_PHYS;
}

PhysAddr LookupGuidHob(const EFI_GUID* guid) {
  for (PhysAddr hob = ScanGuidExtensionHob(LocateHobList()); hob != NULL_PHYS;
       hob = ScanGuidExtensionHob(NextHob(hob))) {
    if (FitsBelow4G(hob, GUID_HOB_HEADER_SIZE) && GuidEquals(guid, NameOf(hob))) return hob;
  }
  return NULL_PHYS;
}

PhysAddr NewGuidExtensionHob(uint32_t length) {
  const PhysAddr services = FindPeiServices();
  PhysAddr hob = NULL_PHYS;
  const EFI_STATUS status =
      hw::CallCreateHob(PeiServiceFunction(services, PEI_SERVICE_CREATE_HOB), services,
                        EFI_HOB_TYPE_GUID_EXTENSION, static_cast<uint16_t>(length), &hob);
  return EfiError(status) ? NULL_PHYS : hob;
}

PhysAddr ReserveGuidHobData(const EFI_GUID* guid, uint32_t dataLength) {
  // A longer HOB would be cut to 16 bits and the data would overrun it.
  if (dataLength > MAX_HOB_LENGTH - GUID_HOB_HEADER_SIZE) return NULL_PHYS;
  const uint32_t length = GUID_HOB_HEADER_SIZE + dataLength;
  const PhysAddr hob = NewGuidExtensionHob(length);
  if (hob == NULL_PHYS || !FitsBelow4G(hob, length)) return NULL_PHYS;
  GuidCopy(reinterpret_cast<EFI_GUID*>(
               hw::MutableBytes(hob + offsetof(EFI_HOB_GUID_TYPE, Name), sizeof(EFI_GUID))),
           guid);
  return hob + GUID_HOB_HEADER_SIZE;
}
