// Byte-range primitives shared by every subsystem. The module links no C
// library, so these are its memcmp/memcpy/memset.
#pragma once

#include <stdint.h>

// Difference of the first differing pair of bytes (each unsigned), or 0.
// The same address on both sides compares equal without reading.
int32_t MemCompare(const void* first, const void* second, uint32_t length);

// Copies length bytes and returns destination. Overlap is handled: forward
// in 32-bit words then bytes, or backward byte by byte when the source lies
// below the destination and reaches into it.
void* MemCopy(void* destination, const void* source, uint32_t length);

// Stores the low byte of value into length bytes, first byte first.
void* MemFill(void* destination, uint32_t value, uint32_t length);

// Stores zeros: 32-bit words first, then the remaining bytes.
void* MemZero(void* destination, uint32_t length);
