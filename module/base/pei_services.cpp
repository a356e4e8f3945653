#include "module/base/pei_services.h"

#include "module/hw/hw.h"

PhysAddr FindPeiServices() { return Phys(hw::Read32(hw::IdtBase() - 4)); }

PhysAddr PeiServiceFunction(PhysAddr services, uint32_t offset) {
  const PhysAddr table = Phys(hw::Read32(services));
  return Phys(hw::Read32(table + offset));
}

PhysAddr AllocateFromPeiPool(uint32_t size) {
  const PhysAddr services = FindPeiServices();
  PhysAddr block = NULL_PHYS;
  const EFI_STATUS status =
      hw::CallAllocatePool(PeiServiceFunction(services, PEI_SERVICE_ALLOCATE_POOL), services, size, &block);
  return EfiError(status) ? NULL_PHYS : block;
}
