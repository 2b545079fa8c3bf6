// Helpers of the unpack tests: fixture loading, SHA-256 of byte strings, a bit writer that
// produces the control-word streams of the three packed formats, little-endian access and
// header checks, and reproducible pseudo-random bytes.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/test_util.h"

namespace unpack_test {

inline std::vector<uint8_t> load_fixture(const std::string& name) {
  std::ifstream f(std::string(BRINT_SHARED_DIR) + "/fixtures/packed/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline uint16_t le16(const std::vector<uint8_t>& b, size_t off) { return uint16_t(b.at(off) | b.at(off + 1) << 8); }

// Checks words of a rebuilt EXE header: each pair is an offset and the value it must hold.
inline void expect_words(const std::vector<uint8_t>& b, std::initializer_list<std::pair<size_t, size_t>> words,
                         const std::string& what = "") {
  for (const auto& [off, value] : words) EXPECT_EQ(size_t(le16(b, off)), value) << what << " word at " << off;
}

inline void set_le16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  if (b.size() < off + 2) b.resize(off + 2);
  b[off] = uint8_t(v);
  b[off + 1] = uint8_t(v >> 8);
}

inline void put_bytes(std::vector<uint8_t>& b, size_t off, std::initializer_list<uint8_t> bytes) {
  if (b.size() < off + bytes.size()) b.resize(off + bytes.size());
  for (uint8_t x : bytes) b[off++] = x;
}

using testutil::hex;

// n pseudo-random bytes (a linear congruential sequence from `seed`), the same on every run.
inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  for (uint8_t& b : out) {
    seed = seed * 1103515245 + 12345;
    b = uint8_t(seed >> 16);
  }
  return out;
}

// Writes a stream of 16-bit control words (bits lowest first) interleaved with bytes the way
// the decoders read them: a control word's slot is reserved when its first bit is written,
// and the next slot is reserved right after the 16th bit, before any following byte.
struct BitWriter {
  std::vector<uint8_t> out;
  size_t slot = 0;   // position of the current control word
  int used = 0;      // bits in the current control word
  uint16_t word = 0;

  BitWriter() { reserve(); }
  void reserve() {
    slot = out.size();
    out.push_back(0);
    out.push_back(0);
    used = 0;
    word = 0;
  }
  void bit(int b) {
    if (b) word = uint16_t(word | (1u << used));
    ++used;
    out[slot] = uint8_t(word);
    out[slot + 1] = uint8_t(word >> 8);
    if (used == 16) reserve();
  }
  void bits_msb(unsigned value, int n) {
    for (int i = n - 1; i >= 0; --i) bit(int((value >> i) & 1));
  }
  void code(const char* bits) {
    for (; *bits; ++bits) bit(*bits == '1');
  }
  void byte(uint8_t b) { out.push_back(b); }
};

// SHA-256 as lowercase hex.
inline std::string sha256(const std::vector<uint8_t>& data) {
  static const uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> m = data;
  const uint64_t bits = uint64_t(data.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(uint8_t(bits >> (i * 8)));
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (size_t off = 0; off < m.size(); off += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t(m[off + i * 4]) << 24 | uint32_t(m[off + i * 4 + 1]) << 16 | uint32_t(m[off + i * 4 + 2]) << 8 |
             m[off + i * 4 + 3];
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
  }
  std::string out;
  char buf[9];
  for (uint32_t x : h) {
    std::snprintf(buf, sizeof buf, "%08x", x);
    out += buf;
  }
  return out;
}

}  // namespace unpack_test
