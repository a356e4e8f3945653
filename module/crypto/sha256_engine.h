// The engine beneath the boolean SHA-256 layer of sha256.h: the context
// record, integer status codes, the steps of FIPS 180-4 and the engine's own
// byte routines. Only the crypto subsystem and its tests use it directly.
#pragma once

#include <stddef.h>
#include <stdint.h>

// 0 or HASH_ERROR_NULL_POINTER. The values are fixed numbers of the engine's
// interface: a caller compares the whole 32-bit value against them.
typedef int32_t HashStatus;

inline constexpr HashStatus HASH_SUCCESS = 0;
inline constexpr HashStatus HASH_ERROR_NULL_POINTER = -6001;  // 0xFFFFE88F

inline constexpr uint32_t SHA256_BLOCK_SIZE = 64;
inline constexpr uint32_t SHA256_DIGEST_SIZE = 32;

struct Sha256Context {
  uint32_t HashState[8];  // H0..H7 as native integers
  uint64_t ByteCount;     // bytes absorbed; times 8 only when padding
  int32_t PendingBytes;   // valid bytes at the start of Block, 0..63
  uint8_t Block[SHA256_BLOCK_SIZE];
  uint8_t Reserved[4];    // keeps the size 112 on every ABI; wiped too
};
static_assert(sizeof(Sha256Context) == 112);
static_assert(offsetof(Sha256Context, HashState) == 0);
static_assert(offsetof(Sha256Context, ByteCount) == 32);
static_assert(offsetof(Sha256Context, PendingBytes) == 40);
static_assert(offsetof(Sha256Context, Block) == 44);
static_assert(offsetof(Sha256Context, Reserved) == 108);

// Sets the initial hash value and empties the counters; Block is not touched.
HashStatus Sha256CoreInit(Sha256Context* context);

// Absorbs length bytes. Whole blocks are compressed straight from data, which
// may have any alignment; only a leading top-up and the tail go through Block.
// NULL context or data is refused, for length 0 too, and changes nothing.
HashStatus Sha256CoreUpdate(Sha256Context* context, const void* data, uint32_t length);

// Pads, writes digestLength / 4 words of the hash big-endian (at most eight,
// so never more than 32 bytes) and wipes all 112 context bytes. A NULL digest
// is refused with HASH_ERROR_NULL_POINTER but the context is still wiped.
HashStatus Sha256CoreFinalN(Sha256Context* context, uint8_t* digest, int32_t digestLength);

// Sha256CoreFinalN with the full 32-byte digest.
HashStatus Sha256CoreFinal(Sha256Context* context, uint8_t* digest);

// One block of the FIPS 180-4 hash computation into context->HashState.
void Sha256CompressBlock(Sha256Context* context, const uint8_t* block);

// Copies count bytes in ascending order when count > 0; overlap is not handled.
HashStatus HashCopyBytes(void* destination, const void* source, int32_t count);

// Stores the low byte of value into count bytes when count > 0.
HashStatus HashFillBytes(void* buffer, uint32_t value, int32_t count);
