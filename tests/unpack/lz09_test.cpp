// The LZ 0.9X expander on streams made by a small test encoder: every token kind, the window
// limits, segment marks and the rebuilt header.
#include <gtest/gtest.h>

#include <string>

#include "lz91_pack.h"
#include "test_util.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

namespace {

using unpack_test::BitWriter;
using unpack_test::le16;
using unpack_test::set_le16;

// Builds the bit stream of a packed file token by token.
struct LzEncoder {
  BitWriter w;

  void literal(uint8_t c) {
    w.bit(1);
    w.byte(c);
  }
  // Long match: distance 1..8192, count 3..9 in the high byte, or any count 3..256 through
  // the third byte when `third` is set.
  void long_match(unsigned distance, unsigned count, bool third = false) {
    const unsigned disp = 0x10000 - distance;  // 0xE000..0xFFFF
    const uint8_t lo = uint8_t(disp & 0xFF);
    uint8_t hi = uint8_t((disp >> 5) & 0xF8);
    w.bit(0);
    w.bit(1);
    w.byte(lo);
    if (third) {
      w.byte(hi);
      w.byte(uint8_t(count - 1));
    } else {
      w.byte(uint8_t(hi | (count - 2)));
    }
  }
  void short_match(unsigned distance, unsigned count) {
    w.bit(0);
    w.bit(0);
    w.bit(int((count - 2) >> 1));
    w.bit(int((count - 2) & 1));
    w.byte(uint8_t(256 - distance));
  }
  void code(uint8_t n) {  // end (0) or segment mark (1)
    w.bit(0);
    w.bit(1);
    w.byte(0);
    w.byte(0xF0);
    w.byte(n);
  }
  std::vector<uint8_t> file(uint16_t ip = 0x0100, uint16_t cs = 0x0000, uint16_t sp = 0x0080, uint16_t ss = 0x0010) {
    return unpack_test::lz91_file(w.out, ip, cs, sp, ss, 0x1234);  // min alloc: kept
  }
};

std::vector<uint8_t> image_of(const std::vector<uint8_t>& out) { return {out.begin() + 512, out.end()}; }

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Lz09, EndRightAfterTheHeaderGivesAnEmptyImage) {
  LzEncoder e;
  e.code(0);
  std::vector<uint8_t> out;
  ASSERT_EQ(unpack::expand_lz09(e.file(0x0100, 0x0002, 0x0080, 0x0003), out), 0);
  ASSERT_EQ(out.size(), 512u);
  // Bytes in the last page, pages, header size, min alloc, SS, SP, IP, CS.
  unpack_test::expect_words(out, {{0x00, 0x5A4D}, {0x02, 0}, {0x04, 1}, {0x08, 32}, {0x0A, 0x1234}, {0x0E, 0x0003},
                                  {0x10, 0x0080}, {0x14, 0x0100}, {0x16, 0x0002}});
  for (size_t i = 0x18; i < 512; ++i) ASSERT_EQ(out[i], 0) << i;  // the "LZ91" text is not kept
}

TEST(Lz09, Tokens) {
  const struct {
    const char* what;
    void (*build)(LzEncoder&);
    std::string image;
  } cases[] = {
      {"literals", [](LzEncoder& e) { e.literal('A'); e.literal('B'); }, "AB"},
      {"long match, third byte 2 copies 3", [](LzEncoder& e) { e.literal('x'); e.literal('y'); e.long_match(2, 3, true); }, "xyxyx"},
      {"long match, count in the high byte", [](LzEncoder& e) { e.literal('a'); e.literal('b'); e.literal('c'); e.long_match(3, 9); }, "abcabcabcabc"},
      {"long match, third byte 255 copies 256", [](LzEncoder& e) { e.literal('z'); e.long_match(1, 256, true); }, std::string(257, 'z')},
      {"short match FFFF count 5 repeats", [](LzEncoder& e) { e.literal('q'); e.literal('r'); e.short_match(1, 5); }, "qrrrrrr"},
      {"short match count 2", [](LzEncoder& e) { e.literal('1'); e.literal('2'); e.literal('3'); e.short_match(3, 2); }, "12312"},
      {"bits of a step straddle control words", [](LzEncoder& e) {
         for (int i = 0; i < 15; ++i) e.literal(uint8_t('a' + i));  // 15 bits used
         e.short_match(15, 4);                                        // bits 16..19
         e.long_match(19, 7);
       }, "abcdefghijklmnoabcdabcdefg"},
  };
  for (const auto& c : cases) {
    LzEncoder e;
    c.build(e);
    e.code(0);
    std::vector<uint8_t> out;
    ASSERT_EQ(unpack::expand_lz09(e.file(), out), 0) << c.what;
    EXPECT_EQ(image_of(out), bytes_of(c.image)) << c.what;
    const size_t size = out.size();
    EXPECT_EQ(le16(out, 0x02), size % 512) << c.what;
    EXPECT_EQ(le16(out, 0x04), size / 512 + 1) << c.what;
  }
}

TEST(Lz09, SegmentMarkKeepsHistory) {
  // 39488 image bytes put the output position at 40000; the mark keeps 8192 + (40000 & 15)
  // = 8192 bytes, so a match 8192 back still reaches the right bytes.
  LzEncoder e;
  std::vector<uint8_t> expected = unpack_test::random_bytes(39488, 1);
  for (uint8_t c : expected) e.literal(c);
  e.code(1);
  e.long_match(8192, 9);
  for (int i = 0; i < 9; ++i) expected.push_back(expected[expected.size() - 8192]);
  e.literal('!');
  expected.push_back('!');
  e.code(1);  // a second mark at 8202: fewer than 8192 + 10 bytes in the window
  e.code(0);
  std::vector<uint8_t> out;
  EXPECT_EQ(unpack::expand_lz09(e.file(), out), -2);

  LzEncoder f;
  for (uint8_t c : std::vector<uint8_t>(expected.begin(), expected.begin() + 39488)) f.literal(c);
  f.code(1);
  f.long_match(8192, 9);
  f.literal('!');
  f.code(0);
  ASSERT_EQ(unpack::expand_lz09(f.file(), out), 0);
  EXPECT_EQ(image_of(out), expected);
  EXPECT_EQ(le16(out, 0x02), out.size() % 512);
  EXPECT_EQ(le16(out, 0x04), out.size() / 512 + 1);
}

TEST(Lz09, MalformedStreams) {
  const struct {
    const char* what;
    void (*build)(LzEncoder&);
  } cases[] = {
      {"reference before the window start", [](LzEncoder& e) { e.long_match(513, 3); }},
      {"segment mark with too little history", [](LzEncoder& e) { e.literal('a'); e.code(1); }},
      {"segment mark right after a mark", [](LzEncoder& e) {
         for (int i = 0; i < 9000; ++i) e.literal('a');
         e.code(1);
         e.code(1);
       }},
      {"65535 window bytes without a mark", [](LzEncoder& e) {
         for (int i = 0; i < 65535 - 512; ++i) e.literal('a');
       }},
      {"match reaching the window end", [](LzEncoder& e) {
         for (int i = 0; i < 65535 - 512 - 9; ++i) e.literal('a');
         e.long_match(1, 9);
       }},
  };
  for (const auto& c : cases) {
    LzEncoder e;
    c.build(e);
    e.code(0);
    std::vector<uint8_t> out;
    EXPECT_EQ(unpack::expand_lz09(e.file(), out), -2) << c.what;
  }
}

TEST(Lz09, WindowFillsToItsLastPosition) {
  LzEncoder e;
  for (int i = 0; i < 65535 - 512 - 10; ++i) e.literal('a');
  e.long_match(1, 9);  // ends at 65534, the last usable position
  e.code(0);
  std::vector<uint8_t> out;
  ASSERT_EQ(unpack::expand_lz09(e.file(), out), 0);
  EXPECT_EQ(out.size(), 65534u);
}

TEST(Lz09, TruncatedInputAndMissingDataBlock) {
  LzEncoder e;
  e.literal('a');
  e.long_match(1, 100, true);
  e.code(0);
  const std::vector<uint8_t> good = e.file();
  std::vector<uint8_t> out;
  ASSERT_EQ(unpack::expand_lz09(good, out), 0);
  for (size_t cut = 0; cut < good.size(); ++cut) {
    const std::vector<uint8_t> part(good.begin(), good.begin() + ptrdiff_t(cut));
    EXPECT_EQ(unpack::expand_lz09(part, out), -2) << "cut at " << cut;
  }
  std::vector<uint8_t> far = good;
  set_le16(far, 0x16, 0x7000);  // data block beyond the end of the file
  EXPECT_EQ(unpack::expand_lz09(far, out), -2);
}

TEST(Lz09, OutputBeyondWhatAnMzHeaderCanDescribeFails) {
  // Each segment: 56000 bytes from 219 matches of 256, then a mark. 600 segments exceed
  // 65535 pages of 512 bytes.
  LzEncoder e;
  e.literal(0);
  for (int seg = 0; seg < 600; ++seg) {
    for (int i = 0; i < 219; ++i) e.long_match(1, 256, true);
    e.code(1);
  }
  e.code(0);
  std::vector<uint8_t> out;
  EXPECT_EQ(unpack::expand_lz09(e.file(), out), -2);
}

}  // namespace
