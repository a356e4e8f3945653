// SHA-256 (FIPS 180-4) of data in place, with a context record that the caller
// allocates: Sha256ContextSize bytes, suitably aligned for 64-bit integers.
// Call Sha256Begin once, Sha256Absorb any number of times, Sha256Finish once;
// Finish wipes the context, which then needs Sha256Begin before reuse. The
// only failures are NULL pointers; a refused call leaves the context as it was.
#pragma once

#include "module/types/efi_types.h"

// Bytes a context needs: 112.
uint32_t Sha256ContextSize(void);

// Starts a new hash in context.
BOOLEAN Sha256Begin(void* context);

// Adds length bytes at data. A NULL data pointer is refused even with length 0.
BOOLEAN Sha256Absorb(void* context, const void* data, uint32_t length);

// Writes the 32-byte digest and wipes the context. With a NULL digest the
// context is left intact, so a later call can still finish the hash.
BOOLEAN Sha256Finish(void* context, uint8_t* digest);
