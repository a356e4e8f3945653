// The portable SHA-256 hash computation of FIPS 180-4 6.2.2. This is where
// nearly all the time of hashing the flash region goes when the processor has
// no SHA extensions, so it is written for the compiler: the working variables
// stay in registers, the message schedule is computed inside the rounds in a
// 16-word window instead of being expanded into 64 words first, and the
// rounds are unrolled sixteen at a time.
#include "module/crypto/sha256_engine.h"

namespace {

constexpr uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Byte by byte so that any alignment works; compilers turn this into one
// 32-bit load and a byte swap.
constexpr uint32_t LoadBigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// The functions of FIPS 180-4 4.1.2. Where a rotation nests inside another,
// Rotr(x ^ Rotr(x, m), n) = Rotr(x, n) ^ Rotr(x, m + n), which needs one
// copy of x instead of two: fewer instructions, above all on i686 with its
// seven registers. Sigma1 keeps three independent rotations: it lies on the
// round's longest dependency chain (e to the next e), where the nested form
// would add two steps of latency.
constexpr uint32_t BigSigma0(uint32_t a) { return Rotr(a ^ Rotr(a ^ Rotr(a, 9), 11), 2); }  // 2, 13, 22
constexpr uint32_t BigSigma1(uint32_t e) { return Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25); }
constexpr uint32_t SmallSigma0(uint32_t x) { return Rotr(x ^ Rotr(x, 11), 7) ^ (x >> 3); }  // 7, 18
constexpr uint32_t SmallSigma1(uint32_t x) { return Rotr(x ^ Rotr(x, 2), 17) ^ (x >> 10); }  // 17, 19

// W[t] for t >= 16 replaces W[t - 16] in the window, which no later round
// needs; `i` is t modulo 16.
inline __attribute__((always_inline)) uint32_t Schedule(uint32_t* w, int i) {
  w[i] += SmallSigma1(w[(i - 2) & 15]) + w[(i - 7) & 15] + SmallSigma0(w[(i - 15) & 15]);
  return w[i];
}

// One round. Instead of shifting the eight working variables along, the caller
// rotates the roles it passes them in, so only d and h are written. c is not
// needed: bc holds b ^ c, which is the previous round's a ^ b, and with it Maj
// costs three operations: Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)).
inline __attribute__((always_inline)) void Round(uint32_t a, uint32_t b, uint32_t& d, uint32_t e,
                                                 uint32_t f, uint32_t g, uint32_t& h, uint32_t& bc,
                                                 uint32_t kw) {
  uint32_t ch = ((f ^ g) & e) ^ g;
  uint32_t t1 = h + BigSigma1(e) + ch + kw;
  uint32_t ab = a ^ b;
  uint32_t t2 = BigSigma0(a) + (b ^ (ab & bc));
  bc = ab;
  d += t1;
  h = t1 + t2;
}

// Eight rounds bring every variable back to its own role. `word(i)` gives
// K[t] + W[t] for the i-th round from `first`.
template <typename Word>
inline __attribute__((always_inline)) void EightRounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d,
                                                       uint32_t& e, uint32_t& f, uint32_t& g, uint32_t& h,
                                                       uint32_t& bc, int first, Word word) {
  Round(a, b, d, e, f, g, h, bc, word(first));
  Round(h, a, c, d, e, f, g, bc, word(first + 1));
  Round(g, h, b, c, d, e, f, bc, word(first + 2));
  Round(f, g, a, b, c, d, e, bc, word(first + 3));
  Round(e, f, h, a, b, c, d, bc, word(first + 4));
  Round(d, e, g, h, a, b, c, bc, word(first + 5));
  Round(c, d, f, g, h, a, b, bc, word(first + 6));
  Round(b, c, e, f, g, h, a, bc, word(first + 7));
}

}  // namespace

void Sha256CompressPortable(uint32_t state[8], const uint8_t* data, uint32_t blocks) {
  for (; blocks > 0; --blocks, data += SHA256_BLOCK_SIZE) {
    uint32_t w[16];
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint32_t bc = b ^ c;
    auto load = [&](int i) {
      w[i] = LoadBigEndian32(data + 4 * i);
      return SHA256_K[i] + w[i];
    };
    EightRounds(a, b, c, d, e, f, g, h, bc, 0, load);
    EightRounds(a, b, c, d, e, f, g, h, bc, 8, load);
    // Rounds 16 to 63 in three passes of sixteen: a body of sixteen rounds
    // keeps every window index a constant, and a loop keeps the code small
    // enough for the processor's cache of decoded instructions (fully
    // unrolled, the host build ran about 8% slower).
#pragma GCC unroll 1
    for (int base = 16; base < 64; base += 16) {
      const uint32_t* k = SHA256_K + base;
      auto schedule = [&](int i) { return k[i] + Schedule(w, i); };
      EightRounds(a, b, c, d, e, f, g, h, bc, 0, schedule);
      EightRounds(a, b, c, d, e, f, g, h, bc, 8, schedule);
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
}
