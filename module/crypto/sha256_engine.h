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

// `blocks` consecutive 64-byte blocks at data (any alignment) into
// context->HashState, on the SHA extensions when ShaExtensionsUsable() says
// so and on the portable code otherwise; both give the same state.
void Sha256CompressBlocks(Sha256Context* context, const uint8_t* data, uint32_t blocks);

// True when the processor has the SHA extensions, SSSE3 and SSE4.1 (CPUID)
// and the system has enabled SSE instructions (CR4.OSFXSR); asked afresh on
// every call, through the hardware seam.
bool ShaExtensionsUsable();

// The two implementations behind Sha256CompressBlocks, for it and the tests.
// The SHA-extensions one may run only when ShaExtensionsUsable() is true.
void Sha256CompressPortable(uint32_t state[8], const uint8_t* data, uint32_t blocks);
void Sha256CompressShaExtensions(uint32_t state[8], const uint8_t* data, uint32_t blocks);

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes.
inline constexpr uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Copies count bytes in ascending order when count > 0; overlap is not handled.
HashStatus HashCopyBytes(void* destination, const void* source, int32_t count);

// Stores the low byte of value into count bytes when count > 0.
HashStatus HashFillBytes(void* buffer, uint32_t value, int32_t count);
