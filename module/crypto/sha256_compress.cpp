// The SHA-256 hash computation of FIPS 180-4 6.2.2 for one 64-byte block.
// This is where nearly all the time of hashing the flash region goes, so the
// rounds are fully unrolled and written for the compiler to keep the working
// variables in registers.
#include "module/crypto/sha256_engine.h"

namespace {

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes.
constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Byte by byte so that any alignment works; compilers turn this into one
// 32-bit load and a byte swap.
constexpr uint32_t LoadBigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// sigma0 and sigma1 of FIPS 180-4 4.1.2, for the message schedule.
constexpr uint32_t SmallSigma0(uint32_t x) { return Rotr(x, 7) ^ Rotr(x, 18) ^ (x >> 3); }
constexpr uint32_t SmallSigma1(uint32_t x) { return Rotr(x, 17) ^ Rotr(x, 19) ^ (x >> 10); }

// One round. Instead of shifting the eight working variables along, the caller
// rotates the roles it passes them in, so only d and h are written. c is not
// needed: bc holds b ^ c, which is the previous round's a ^ b, and with it Maj
// costs three operations: Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)).
inline __attribute__((always_inline)) void Round(uint32_t a, uint32_t b, uint32_t& d, uint32_t e,
                                                 uint32_t f, uint32_t g, uint32_t& h, uint32_t& bc,
                                                 uint32_t kw) {
  uint32_t ch = ((f ^ g) & e) ^ g;
  uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ch + kw;
  uint32_t ab = a ^ b;
  uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + (b ^ (ab & bc));
  bc = ab;
  d += t1;
  h = t1 + t2;
}

}  // namespace

void Sha256CompressBlock(Sha256Context* context, const uint8_t* block) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) w[t] = LoadBigEndian32(block + 4 * t);
  for (int t = 16; t < 64; ++t) {
    w[t] = SmallSigma1(w[t - 2]) + w[t - 7] + SmallSigma0(w[t - 15]) + w[t - 16];
  }

  uint32_t* state = context->HashState;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t bc = b ^ c;
  // Eight rounds bring every variable back to its own role; unrolling all
  // eight groups turns the K[t] into immediates.
#pragma GCC unroll 8
  for (int t = 0; t < 64; t += 8) {
    Round(a, b, d, e, f, g, h, bc, K[t] + w[t]);
    Round(h, a, c, d, e, f, g, bc, K[t + 1] + w[t + 1]);
    Round(g, h, b, c, d, e, f, bc, K[t + 2] + w[t + 2]);
    Round(f, g, a, b, c, d, e, bc, K[t + 3] + w[t + 3]);
    Round(e, f, h, a, b, c, d, bc, K[t + 4] + w[t + 4]);
    Round(d, e, g, h, a, b, c, bc, K[t + 5] + w[t + 5]);
    Round(c, d, f, g, h, a, b, bc, K[t + 6] + w[t + 6]);
    Round(b, c, e, f, g, h, a, bc, K[t + 7] + w[t + 7]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}
