// Keyed checksum and block cipher: table integrity, an independent second implementation,
// fixed known-answer values, and the chaining rules of the 32- and 64-bit values.
#include "virusdata/checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace virusdata;

std::vector<uint8_t> bytes_of(const std::string& s) {
  return {s.begin(), s.end()};
}

// A second cipher written another way: halves as 32-bit words (byte 0 lowest), round keys
// looked up straight from the key bytes, the two-byte turn between the halves as a rotation.
void reference_encipher(const uint8_t key[8], uint8_t block[8]) {
  static const int sel[8][4] = {{5, 1, 6, 4}, {7, 2, 1, 3}, {6, 3, 0, 7}, {0, 4, 2, 5},
                                {4, 6, 7, 1}, {2, 7, 5, 0}, {3, 5, 4, 2}, {1, 0, 3, 6}};
  uint32_t left = 0, right = 0;
  for (int i = 3; i >= 0; --i) left = (left << 8) | block[i];
  for (int i = 7; i >= 4; --i) right = (right << 8) | block[i];
  for (int r = 0; r < 8; ++r) {
    uint32_t t[4];
    for (int j = 0; j < 4; ++j)
      t[j] = kSubstitution[256 * j + (((right >> (8 * j)) & 0xFF) ^ key[sel[r][j]])];
    uint32_t f = 0;
    for (int j = 0; j < 4; ++j) f |= ((t[j] & 0x0F) | (t[(j + 1) % 4] & 0xF0)) << (8 * j);
    const uint32_t next = left ^ ((f >> 16) | (f << 16));  // L0^f2, L1^f3, L2^f0, L3^f1
    left = right;
    right = next;
  }
  for (int i = 0; i < 4; ++i) block[i] = uint8_t(right >> (8 * i));
  for (int i = 0; i < 4; ++i) block[4 + i] = uint8_t(left >> (8 * i));
}

struct RefValue {
  uint32_t v32, w0, w1;
};
RefValue reference_checksum(const uint8_t key[8], const std::vector<uint8_t>& data) {
  uint8_t st[8] = {};
  size_t full = data.size() / 8 * 8;
  for (size_t i = 0; i < full; i += 8) {
    for (int j = 0; j < 8; ++j) st[j] ^= data[i + j];
    reference_encipher(key, st);
  }
  for (size_t i = full; i < data.size(); ++i) st[i - full] ^= data[i];
  auto le = [](const uint8_t* p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24); };
  RefValue v{0, le(st), le(st + 4)};
  if (full != data.size()) reference_encipher(key, st);
  v.v32 = le(st + 4);
  return v;
}

TEST(SubstitutionTables, EachIsAPermutationAndMatchesSpotRows) {
  for (int t = 0; t < 4; ++t) {
    bool seen[256] = {};
    for (int i = 0; i < 256; ++i) seen[kSubstitution[256 * t + i]] = true;
    for (int i = 0; i < 256; ++i) EXPECT_TRUE(seen[i]) << "S" << t + 1 << " misses " << i;
  }
  // First, a middle and the last row of every table, typed in separately.
  const struct {
    int table, row;
    uint8_t v[16];
  } rows[] = {
      {0,
       0x0,
       {0x38, 0x4B, 0xA6, 0x87, 0x19, 0x73, 0x68, 0x51, 0x3E, 0xC7, 0xAD, 0x1B, 0xC2, 0x25, 0x45, 0x94}},
      {0,
       0x7,
       {0x29, 0x4C, 0xB3, 0xDB, 0xE7, 0x46, 0x6C, 0x7E, 0xBB, 0xF7, 0xA2, 0x8B, 0xD2, 0x13, 0x1A, 0x58}},
      {0,
       0xF,
       {0xC8, 0xE1, 0x44, 0x3C, 0xB6, 0x0D, 0xCB, 0x4F, 0x11, 0x07, 0x14, 0x8A, 0x96, 0xBD, 0x0F, 0x9B}},
      {1,
       0x0,
       {0xB2, 0xC8, 0x3E, 0xA8, 0x14, 0xD4, 0x54, 0x40, 0x79, 0xEE, 0x24, 0xD3, 0x6F, 0x37, 0xC4, 0xE7}},
      {1,
       0x8,
       {0x39, 0x6C, 0x94, 0xF6, 0xE4, 0x80, 0x61, 0xCC, 0x93, 0xC7, 0x84, 0xEB, 0xE3, 0x99, 0xAF, 0x47}},
      {1,
       0xF,
       {0x27, 0x05, 0x89, 0x07, 0x9E, 0x20, 0x81, 0x3B, 0x8E, 0x46, 0xF5, 0x4A, 0x2D, 0x15, 0x04, 0xC0}},
      {2,
       0x0,
       {0x31, 0x7A, 0x09, 0xC1, 0x12, 0xEC, 0xA8, 0x6B, 0x0D, 0xCD, 0x43, 0x6E, 0x23, 0xDF, 0xF9, 0xF5}},
      {2,
       0x9,
       {0x9B, 0xB0, 0x05, 0x34, 0xF1, 0xC6, 0x55, 0x89, 0xC0, 0x70, 0xD8, 0x8C, 0xBF, 0x9E, 0x0C, 0x64}},
      {2,
       0xF,
       {0x85, 0x29, 0x87, 0x33, 0x93, 0x53, 0x86, 0x39, 0xE3, 0x6A, 0x4B, 0xDB, 0xF7, 0xA0, 0x2E, 0xDA}},
      {3,
       0x0,
       {0x90, 0x1A, 0xA3, 0x4F, 0x40, 0xA8, 0x1C, 0x9F, 0xC8, 0xB1, 0x9E, 0xE3, 0x60, 0x85, 0x19, 0xE2}},
      {3,
       0x6,
       {0x0C, 0x05, 0xEF, 0xE9, 0x89, 0xA1, 0x79, 0x18, 0x62, 0x96, 0x6F, 0x50, 0xCE, 0x92, 0x7C, 0x2B}},
      {3,
       0xF,
       {0x2F, 0x35, 0x4D, 0x36, 0xE8, 0xBB, 0xAA, 0x17, 0x42, 0xC1, 0x6E, 0x3C, 0x25, 0xF3, 0xD2, 0x94}},
  };
  for (const auto& row : rows)
    for (int i = 0; i < 16; ++i)
      EXPECT_EQ(kSubstitution[256 * row.table + 16 * row.row + i], row.v[i])
          << "S" << row.table + 1 << " entry " << std::hex << 16 * row.row + i;
}

TEST(BlockCipher, AgreesWithSecondImplementationAndKnownAnswers) {
  const uint8_t* keys[] = {kStateFileKey, kRequestKey, kPatternKey, kIdentityKey};
  uint8_t block[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  for (const uint8_t* key : keys) {
    for (int n = 0; n < 64; ++n) {  // a chain of blocks, each the previous output
      uint8_t ref[8];
      std::memcpy(ref, block, 8);
      reference_encipher(key, ref);
      key_setup(key);
      encipher_block(block);
      ASSERT_EQ(0, std::memcmp(ref, block, 8)) << "block " << n;
    }
  }
  const struct {
    const uint8_t* key;
    uint8_t in[8];
    uint8_t out[8];
  } kat[] = {
      {kPatternKey, {0, 0, 0, 0, 0, 0, 0, 0}, {0x6B, 0x0C, 0xFC, 0x39, 0xD0, 0x86, 0x11, 0x9C}},
      {kStateFileKey, {0, 1, 2, 3, 4, 5, 6, 7}, {0x58, 0x8D, 0x02, 0x0F, 0x75, 0xBD, 0x51, 0xE1}},
  };
  for (const auto& k : kat) {
    uint8_t b[8];
    std::memcpy(b, k.in, 8);
    key_setup(k.key);
    encipher_block(b);
    EXPECT_EQ(0, std::memcmp(b, k.out, 8));
  }
}

TEST(Checksum, KnownAnswerValuesUnderEveryKey) {
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  const struct {
    const char* what;
    const uint8_t* key;
    std::string data;
    uint32_t v32, w0, w1;
  } cases[] = {
      {"state, empty", kStateFileKey, "", 0, 0, 0},
      {"state, 8 bytes", kStateFileKey, "12345678", 0x30F25E54, 0xEDCC1106, 0x30F25E54},
      {"state, 43 bytes", kStateFileKey, fox, 0x327B6A85, 0xFEF4126A, 0x5297CEBE},
      {"request, AB", kRequestKey, "AB", 0xEAA8677A, 0x00004241, 0},
      {"request, 43 bytes", kRequestKey, fox, 0x25EE60C4, 0xD4FB5C41, 0x2CCF9700},
      {"pattern, 8 bytes", kPatternKey, "12345678", 0xCED3C192, 0xF51FCCF0, 0xCED3C192},
      {"pattern, 43 bytes", kPatternKey, fox, 0xC9925B9B, 0xA73F55FD, 0xC755A924},
      {"identity, AB", kIdentityKey, "AB", 0x19D0A4CA, 0x00004241, 0},
      {"identity, 43 bytes", kIdentityKey, fox, 0x32435A9B, 0x70A368AA, 0xFF67D17F},
  };
  for (const auto& c : cases) {
    reset_checksum();
    const auto data = bytes_of(c.data);
    uint32_t w0 = 1, w1 = 1;
    checksum64_of(c.key, data.data(), int32_t(data.size()), w0, w1);
    EXPECT_EQ(w0, c.w0) << c.what;
    EXPECT_EQ(w1, c.w1) << c.what;
    EXPECT_EQ(checksum32_of(c.key, data.data(), int32_t(data.size())), c.v32) << c.what;
    const RefValue ref = reference_checksum(c.key, data);
    EXPECT_EQ(ref.v32, c.v32) << c.what;
    EXPECT_EQ(ref.w0, c.w0) << c.what;
    EXPECT_EQ(ref.w1, c.w1) << c.what;
  }
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  EXPECT_EQ(checksum32_of(kPatternKey, all.data(), 256), 0xFD402589u);
}

TEST(Checksum, ChainingRules) {
  reset_checksum();
  // Eight bytes: enciphered exactly once, when the eighth is added; the 32-bit value adds
  // nothing, so it equals the second 64-bit word.
  const auto eight = bytes_of("ABCDEFGH");
  checksum_start(kIdentityKey);
  checksum_add(eight.data(), 7);
  uint32_t w0, w1;
  checksum_value64(w0, w1);
  EXPECT_EQ(w0, 0x44434241u);  // not yet enciphered: the bytes in plain
  checksum_add(eight.data() + 7, 1);
  checksum_value64(w0, w1);
  EXPECT_EQ(g_checksum.position, 0);
  EXPECT_EQ(checksum_value32(), w1);

  // Zero bytes inside the last partial block do not change the 32-bit value; a ninth zero
  // byte after a full block does.
  const uint8_t ab[] = {0x41, 0x42}, ab0[] = {0x41, 0x42, 0x00};
  EXPECT_EQ(checksum32_of(kPatternKey, ab, 2), checksum32_of(kPatternKey, ab0, 3));
  std::vector<uint8_t> nine(eight);
  nine.push_back(0);
  EXPECT_NE(checksum32_of(kPatternKey, eight.data(), 8), checksum32_of(kPatternKey, nine.data(), 9));

  // 64 bits over 10 bytes: the last two bytes lie XORed in plain over state bytes 0 and 1.
  std::vector<uint8_t> ten(eight);
  ten.push_back(0x5A);
  ten.push_back(0xC3);
  uint32_t e0, e1, t0, t1;
  checksum64_of(kPatternKey, eight.data(), 8, e0, e1);
  checksum64_of(kPatternKey, ten.data(), 10, t0, t1);
  EXPECT_EQ(t0, e0 ^ 0xC35Au);
  EXPECT_EQ(t1, e1);

  // Lengths of 0 or less add nothing and do not read the data.
  checksum_start(kRequestKey);
  checksum_add(nullptr, 0);
  checksum_add(nullptr, -5);
  EXPECT_EQ(g_checksum.position, 0);
  EXPECT_EQ(checksum_value32(), 0u);
}

TEST(Checksum, PiecesGiveTheSameValueAsTheWhole) {
  std::vector<uint8_t> data(61);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 37 + 11);
  const uint32_t whole = checksum32_of(kIdentityKey, data.data(), int32_t(data.size()));
  uint32_t ww0, ww1;
  checksum64_of(kPatternKey, data.data(), int32_t(data.size()), ww0, ww1);
  for (int32_t piece : {1, 3, 7, 8, 9, 20}) {
    checksum_start(kIdentityKey);
    for (size_t off = 0; off < data.size(); off += piece)
      checksum_add(data.data() + off, int32_t(std::min<size_t>(piece, data.size() - off)));
    EXPECT_EQ(checksum_value32(), whole) << "pieces of " << piece;
    checksum_start(kPatternKey);
    for (size_t off = 0; off < data.size(); off += piece)
      checksum_add(data.data() + off, int32_t(std::min<size_t>(piece, data.size() - off)));
    uint32_t w0, w1;
    checksum_value64(w0, w1);
    EXPECT_EQ(w0, ww0);
    EXPECT_EQ(w1, ww1);
  }
}

TEST(Checksum, StateFileKeyEndsInItsZeroByte) {
  EXPECT_EQ(kStateFileKey[7], 0);
  // The zero byte feeds the rounds: a key differing only there gives another value.
  uint8_t other[8];
  std::memcpy(other, kStateFileKey, 8);
  other[7] = '8';
  const auto data = bytes_of("server state");
  EXPECT_NE(checksum32_of(kStateFileKey, data.data(), int32_t(data.size())),
            checksum32_of(other, data.data(), int32_t(data.size())));
}

}  // namespace
