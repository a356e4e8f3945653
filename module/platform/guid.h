// The module's two GUID operations.
#pragma once

#include "module/types/efi_types.h"

// 1 when the GUIDs are equal, compared as four 32-bit words in order and
// stopping at the first difference; 0 otherwise.
BOOLEAN GuidEquals(const EFI_GUID* a, const EFI_GUID* b);

// Copies the four 32-bit words of source in order; returns destination.
EFI_GUID* GuidCopy(EFI_GUID* destination, const EFI_GUID* source);
