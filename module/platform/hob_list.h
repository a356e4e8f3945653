// The HOB list that the PEI foundation keeps: the search for a GUID-extension
// HOB by name and the creation of one. HOBs are physical memory. The walk
// trusts the list no further than it must: it stops at the end-of-list HOB, at
// a HOB of length 0 and before anything that would reach past 4 GiB.
#pragma once

#include "module/types/efi_types.h"

struct EFI_HOB_GENERIC_HEADER {
  uint16_t HobType;
  uint16_t HobLength;  // the whole HOB, header included
  uint32_t Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8);
static_assert(offsetof(EFI_HOB_GENERIC_HEADER, HobLength) == 2);

// Followed by HobLength - 24 bytes of data.
struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
};
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24);
static_assert(offsetof(EFI_HOB_GUID_TYPE, Name) == 8);

inline constexpr uint32_t HOB_HEADER_SIZE = sizeof(EFI_HOB_GENERIC_HEADER);
inline constexpr uint32_t GUID_HOB_HEADER_SIZE = sizeof(EFI_HOB_GUID_TYPE);

// The first HOB of the list, or NULL_PHYS when GetHobList fails: an empty list.
PhysAddr LocateHobList();

// `hob` itself or the first GUID-extension HOB after it; NULL_PHYS at the end
// of the list or where the walk has to stop.
PhysAddr ScanGuidExtensionHob(PhysAddr hob);

// The header of the first GUID-extension HOB named `guid` in list order, or
// NULL_PHYS.
PhysAddr LookupGuidHob(const EFI_GUID* guid);

// A new GUID-extension HOB of `length` bytes in all (CreateHob takes it as 16
// bits), with its type and length filled by the PEI foundation; NULL_PHYS when
// CreateHob reports an error.
PhysAddr NewGuidExtensionHob(uint32_t length);

// The first data byte of a new GUID-extension HOB named `guid` with exactly
// `dataLength` bytes of data, or NULL_PHYS when there is none: CreateHob
// failed, or the data would not fit a HOB's 16-bit length.
PhysAddr ReserveGuidHobData(const EFI_GUID* guid, uint32_t dataLength);
