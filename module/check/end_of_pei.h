// The module's entry point and its end-of-PEI integrity check of the boot
// flash region against the boot policy manifest's reference digest.
#pragma once

#include "module/types/efi_types.h"

inline constexpr uint32_t VERIFIED_REGION_BASE = 0xFFA70000u;
inline constexpr uint32_t VERIFIED_REGION_SIZE = 0x2D0000u;  // last byte at 0xFFD3FFFF
inline constexpr uint8_t POST_CODE_VERIFY_FAILED = 0x8F;
inline constexpr uint16_t POST_CODE_PORT = 0x80;

// The registration handed to the PEI core: one notify descriptor for the End
// of PEI Phase PPI, leading to OnEndOfPei.
extern const EFI_GUID EndOfPeiPpiGuid;
extern const EFI_PEI_NOTIFY_DESCRIPTOR EndOfPeiNotify;

extern "C" EFI_STATUS ModuleEntry(EFI_PEI_FILE_HANDLE FileHandle, const void* PeiServices);

// Returns EFI_SUCCESS when the region matches; on any failure writes the POST
// code, sends the failure trace line and halts.
EFI_STATUS OnEndOfPei(const void* PeiServices, const EFI_PEI_NOTIFY_DESCRIPTOR* NotifyDescriptor,
                      void* Ppi);
