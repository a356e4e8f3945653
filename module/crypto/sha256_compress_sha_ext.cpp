// The SHA-256 hash computation on the x86 SHA extensions: SHA256RNDS2 runs two
// rounds, SHA256MSG1 and SHA256MSG2 compute four words of the message
// schedule. SSSE3 (PSHUFB, PALIGNR) and SSE4.1 (PBLENDW) move words into the
// order the SHA instructions want.
//
// The only code of the module that uses XMM registers: the rest is built for
// general registers only, and this function enables SSE for itself. XMM
// registers are caller-saved in the IA-32 calling convention (and the PEI
// core keeps no SSE state across a call into a module), so nothing needs
// saving here.
#include <immintrin.h>

#include "module/crypto/sha256_engine.h"

namespace {

#define SHA_EXT_TARGET __attribute__((target("sha,sse4.1"), always_inline))

// Reverses the bytes of each 32-bit lane: message words are big-endian.
SHA_EXT_TARGET inline __m128i LoadMessageWords(const uint8_t* p) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
}

// Four rounds with W[t..t+3] in `words`: SHA256RNDS2 takes K + W for two
// rounds in the low half of its implicit operand, and the state as the halves
// ABEF and CDGH, which swap roles every two rounds.
SHA_EXT_TARGET inline void FourRounds(__m128i& abef, __m128i& cdgh, __m128i words, int t) {
  __m128i kw = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(SHA256_K + t)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, kw);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(kw, 0x0E));
}

}  // namespace

__attribute__((target("sha,sse4.1"))) void Sha256CompressShaExtensions(uint32_t state[8], const uint8_t* data,
                                                                      uint32_t blocks) {
  // HashState holds A..H from the lowest lane up; the instructions want
  // ABEF and CDGH with A and C in the top lane. Temporaries are named by
  // their lanes, lowest first.
  const __m128i lanesABCD = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i lanesEFGH = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i lanesBADC = _mm_shuffle_epi32(lanesABCD, 0xB1);
  const __m128i lanesHGFE = _mm_shuffle_epi32(lanesEFGH, 0x1B);
  __m128i abef = _mm_alignr_epi8(lanesBADC, lanesHGFE, 8);
  __m128i cdgh = _mm_blend_epi16(lanesHGFE, lanesBADC, 0xF0);

  for (; blocks > 0; --blocks, data += SHA256_BLOCK_SIZE) {
    const __m128i abefSaved = abef;
    const __m128i cdghSaved = cdgh;
    // w[i % 4] holds W[4i..4i+3]; from t = 16 on each group replaces the
    // one sixteen words back, which no later round needs.
    __m128i w[4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      w[i] = LoadMessageWords(data + 16 * i);
      FourRounds(abef, cdgh, w[i], 4 * i);
    }
#pragma GCC unroll 12
    for (int i = 4; i < 16; ++i) {
      // W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16]:
      // MSG1 adds sigma0, PALIGNR brings W[t-7..t-4], MSG2 adds sigma1.
      __m128i next = _mm_sha256msg1_epu32(w[i % 4], w[(i + 1) % 4]);
      next = _mm_add_epi32(next, _mm_alignr_epi8(w[(i + 3) % 4], w[(i + 2) % 4], 4));
      w[i % 4] = _mm_sha256msg2_epu32(next, w[(i + 3) % 4]);
      FourRounds(abef, cdgh, w[i % 4], 4 * i);
    }
    abef = _mm_add_epi32(abef, abefSaved);
    cdgh = _mm_add_epi32(cdgh, cdghSaved);
  }

  const __m128i lanesABEF = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i lanesGHCD = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(lanesABEF, lanesGHCD, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(lanesGHCD, lanesABEF, 8));
}
