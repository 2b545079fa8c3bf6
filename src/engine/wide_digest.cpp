// Pattern checksums of 64 neighbouring windows at once (see wide_digest.h).
#include "engine/wide_digest.h"

#include "virusdata/checksum.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define BRINT_WIDE_DIGESTS 1
#endif

namespace engine {

namespace {

// The cipher with the pattern key: each round's four table look-ups give the round's output
// word at once, the nibbles of each table entry already where they meet the left half.
struct PatternCipher {
  uint32_t key[virusdata::kRounds] = {};  // round n's K1..K4 as the bytes of one word
  uint32_t t[4][256] = {};
};

PatternCipher make_pattern_cipher() {
  PatternCipher c;
  for (int r = 0; r < virusdata::kRounds; ++r)
    for (int j = 0; j < 4; ++j) c.key[r] |= uint32_t(virusdata::kPatternKey[virusdata::kKeySelect[r][j]]) << (8 * j);
  const uint8_t* s = virusdata::kSubstitution;
  for (uint32_t x = 0; x < 256; ++x) {
    const uint32_t s1 = s[x], s2 = s[256 + x], s3 = s[512 + x], s4 = s[768 + x];
    // f0 = lo S1 | hi S2 meets L2, f1 = lo S2 | hi S3 meets L3, f2 = lo S3 | hi S4 meets
    // L0, f3 = lo S4 | hi S1 meets L1.
    c.t[0][x] = ((s1 & 0x0F) << 16) | ((s1 & 0xF0) << 8);
    c.t[1][x] = ((s2 & 0xF0) << 16) | ((s2 & 0x0F) << 24);
    c.t[2][x] = ((s3 & 0xF0) << 24) | (s3 & 0x0F);
    c.t[3][x] = (s4 & 0xF0) | ((s4 & 0x0F) << 8);
  }
  return c;
}

const PatternCipher& pattern_cipher() {
  static const PatternCipher cipher = make_pattern_cipher();
  return cipher;
}

}  // namespace

uint64_t pattern_digest(const uint8_t* data, size_t count) {
  const PatternCipher& c = pattern_cipher();
  uint64_t state = 0;  // the state block read little-endian
  for (size_t i = 0; i < count; ++i) {
    state ^= uint64_t(data[i]) << (8 * (i & 7));
    if ((i & 7) != 7) continue;
    uint32_t l = uint32_t(state), r = uint32_t(state >> 32);
    for (int n = 0; n < virusdata::kRounds; ++n) {
      const uint32_t x = r ^ c.key[n];
      const uint32_t f = c.t[0][x & 0xFF] | c.t[1][(x >> 8) & 0xFF] | c.t[2][(x >> 16) & 0xFF] | c.t[3][x >> 24];
      const uint32_t next = l ^ f;
      l = r;
      r = next;
    }
    state = uint64_t(r) | (uint64_t(l) << 32);  // right half first
  }
  return state;
}

#ifdef BRINT_WIDE_DIGESTS

namespace {

#define BRINT_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// One substitution table as four 64-byte quarters.
struct WideTable {
  __m512i q[4];
};

BRINT_WIDE_TARGET inline WideTable load_table(const uint8_t* table) {
  WideTable t;
  for (int i = 0; i < 4; ++i) t.q[i] = _mm512_loadu_si512(table + 64 * i);
  return t;
}

// table[x] for each of the 64 bytes of x: the low 7 bits pick within a half, the top bit
// picks the half.
BRINT_WIDE_TARGET inline __m512i look_up(const WideTable& t, __m512i x) {
  const __m512i low = _mm512_permutex2var_epi8(t.q[0], x, t.q[1]);
  const __m512i high = _mm512_permutex2var_epi8(t.q[2], x, t.q[3]);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
}

// (a & 0x0F) | (b & 0xF0) in every byte.
BRINT_WIDE_TARGET inline __m512i low_high(__m512i a, __m512i b) {
  return _mm512_ternarylogic_epi32(_mm512_set1_epi8(0x0F), a, b, 0xCA);  // mask ? a : b
}

}  // namespace

bool wide_digests_available() {
  static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("avx512vbmi");
  return available;
}

BRINT_WIDE_TARGET void wide_digests(const uint8_t* first, size_t count, uint8_t out[8][kWideLanes]) {
  const PatternCipher& cipher = pattern_cipher();
  const WideTable s1 = load_table(virusdata::kSubstitution);
  const WideTable s2 = load_table(virusdata::kSubstitution + 256);
  const WideTable s3 = load_table(virusdata::kSubstitution + 512);
  const WideTable s4 = load_table(virusdata::kSubstitution + 768);
  // The state block, byte b of every lane in block[b].
  __m512i block[8];
#pragma GCC unroll 8
  for (int b = 0; b < 8; ++b) block[b] = _mm512_setzero_si512();
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
#pragma GCC unroll 8
    for (int b = 0; b < 8; ++b) block[b] = _mm512_xor_si512(block[b], _mm512_loadu_si512(first + i + b));
    // Eight rounds over the left half block[0..3] and the right half block[4..7].
    __m512i l0 = block[0], l1 = block[1], l2 = block[2], l3 = block[3];
    __m512i r0 = block[4], r1 = block[5], r2 = block[6], r3 = block[7];
    for (int n = 0; n < virusdata::kRounds; ++n) {
      const __m512i t1 = look_up(s1, _mm512_xor_si512(r0, _mm512_set1_epi8(char(cipher.key[n] >> 0))));
      const __m512i t2 = look_up(s2, _mm512_xor_si512(r1, _mm512_set1_epi8(char(cipher.key[n] >> 8))));
      const __m512i t3 = look_up(s3, _mm512_xor_si512(r2, _mm512_set1_epi8(char(cipher.key[n] >> 16))));
      const __m512i t4 = look_up(s4, _mm512_xor_si512(r3, _mm512_set1_epi8(char(cipher.key[n] >> 24))));
      const __m512i n0 = _mm512_xor_si512(l0, low_high(t3, t4));  // L0 with f2
      const __m512i n1 = _mm512_xor_si512(l1, low_high(t4, t1));  // L1 with f3
      const __m512i n2 = _mm512_xor_si512(l2, low_high(t1, t2));  // L2 with f0
      const __m512i n3 = _mm512_xor_si512(l3, low_high(t2, t3));  // L3 with f1
      l0 = r0, l1 = r1, l2 = r2, l3 = r3;
      r0 = n0, r1 = n1, r2 = n2, r3 = n3;
    }
    // Right half first, then the left half.
    block[0] = r0, block[1] = r1, block[2] = r2, block[3] = r3;
    block[4] = l0, block[5] = l1, block[6] = l2, block[7] = l3;
  }
#pragma GCC unroll 8
  for (size_t b = 0; b < 8; ++b)
    if (i + b < count) block[b] = _mm512_xor_si512(block[b], _mm512_loadu_si512(first + i + b));
  // A partial last block stays as it is, as in the plain checksum's 64-bit value.
  for (int b = 0; b < 8; ++b) _mm512_storeu_si512(out[b], block[b]);
}

#else

bool wide_digests_available() { return false; }

void wide_digests(const uint8_t*, size_t, uint8_t[8][kWideLanes]) {}

#endif

}  // namespace engine
