// The module's only way to the PEI services table and the PEI pool.
#pragma once

#include "module/types/efi_types.h"

// The pointer to the services-table pointer, read afresh from the word just
// below the IDT on every call (nothing is cached or validated).
PhysAddr FindPeiServices();

// The function pointer of the service at `offset` in the table that
// `services` leads to.
PhysAddr PeiServiceFunction(PhysAddr services, uint32_t offset);

// A block of `size` bytes from the PEI pool, or NULL_PHYS when the pool
// service reports an error.
PhysAddr AllocateFromPeiPool(uint32_t size);
