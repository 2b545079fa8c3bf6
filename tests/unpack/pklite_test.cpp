// The PKLite expander: the bit-stream dialects on hand-built streams, and whole files of
// every 1.00-1.15 layout assembled from the stub pieces that identify them.
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

namespace {

using unpack_test::BitWriter;
using unpack_test::hex;
using unpack_test::le16;
using unpack_test::put_bytes;
using unpack_test::set_le16;

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> decode(const std::vector<uint8_t>& stream, bool large, bool extra, int* result = nullptr) {
  std::vector<uint8_t> image;
  size_t end = 0;
  const int r = unpack::decode_pklite_stream(stream, 0, {large, extra}, image, end);
  if (result) *result = r;
  if (r == 0) {
    EXPECT_EQ(end, stream.size());  // the end code is the stream's last byte
  }
  return r == 0 ? image : std::vector<uint8_t>{};
}

TEST(PkliteStream, HandBuiltStreams) {
  std::string large_expected = "ABCDEFGHIJKLMNOPQOPQO";
  for (int i = 0; i < 30; ++i) large_expected += large_expected[large_expected.size() - 21];
  const struct {
    const char* what;
    const char* stream;
    bool large, extra;
    std::string image;
  } cases[] = {
      {"small: literals, length 3, length 2 without offset code, end", "64 35 41 42 02 01 FF", false, false, "ABABAAA"},
      {"small extra: literals XOR unread control bits", "A0 01 47 4B 41 40 44 FF", false, true, "HELLO"},
      {"large: control word before the 16th literal, mark, length 25+5",
       "00 00 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 62 A7 50 51 03 FE B3 03 05 15 FF", true, false,
       large_expected},
  };
  for (const auto& c : cases) {
    int r = 0;
    EXPECT_EQ(decode(hex(c.stream), c.large, c.extra, &r), bytes_of(c.image)) << c.what;
    EXPECT_EQ(r, 0) << c.what;
  }
}

// A test encoder with the code tables written out bit by bit.
struct PkEncoder {
  BitWriter w;
  bool large = false;
  bool extra = false;

  void literal(uint8_t c) {
    w.bit(0);
    w.byte(extra ? uint8_t(c ^ (16 - w.used)) : c);
  }
  void length_code(unsigned length) {
    static const char* kSmall[] = {nullptr, nullptr, "010", "00", "100", "101", "1100", "1101", "1110", "1111"};
    static const char* kLarge[] = {nullptr,   nullptr,   "10",      "11",       "000",       "0010",      "0011",
                                   "0100",    "01010",   "01011",   "01100",    "011010",    "011011",    "0111010",
                                   "0111011", "0111100", "01111010", "01111011", "01111100", "011111010", "011111011",
                                   "011111100", "011111101", "011111110", "011111111"};
    if (!large && length <= 9) return w.code(kSmall[length]);
    if (large && length <= 24) return w.code(kLarge[length]);
    w.code(large ? "011100" : "011");
    w.byte(uint8_t(length - (large ? 25 : 10)));
  }
  void offset_code(unsigned high) {
    if (high == 0) return w.code("1");
    if (high <= 2) return w.bits_msb(high - 1, 4);
    if (high <= 6) return w.bits_msb(high + 1, 5);
    if (high <= 13) return w.bits_msb(high + 9, 6);
    w.bits_msb(high + 32, 7);
  }
  void match(unsigned distance, unsigned length) {
    w.bit(1);
    length_code(length);
    if (length != 2) offset_code(distance >> 8);
    w.byte(uint8_t(distance & 0xFF));
  }
  void special(uint8_t b) {
    w.bit(1);
    w.code(large ? "011100" : "011");
    w.byte(b);
  }
  void end() { special(0xFF); }
};

TEST(PkliteStream, EveryLengthAndOffsetCode) {
  for (bool large : {false, true}) {
    for (bool extra : {false, true}) {
      PkEncoder e;
      e.large = large;
      e.extra = extra;
      std::vector<uint8_t> expected = unpack_test::random_bytes(8200, 7);
      for (uint8_t c : expected) e.literal(c);
      const unsigned max_length = large ? 278 : 264;
      unsigned step = 0;
      for (unsigned length = 2; length <= max_length; ++length) {
        for (unsigned high = 0; high < 32; ++high) {
          if (length == 2 && high > 0) break;
          const unsigned distance = high * 256 + 1 + (step++ * 37) % 255;
          e.match(distance, length);
          for (unsigned i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
        }
        if (large && length == 100) e.special(0xFE);  // a segment mark changes nothing
      }
      e.end();
      int r = 0;
      const std::vector<uint8_t> image = decode(e.w.out, large, extra, &r);
      EXPECT_EQ(r, 0) << "large " << large << " extra " << extra;
      EXPECT_TRUE(image == expected) << "large " << large << " extra " << extra;
    }
  }
}

TEST(PkliteStream, OffsetHighCodeOneIsDistance261) {
  PkEncoder e;
  e.large = true;
  for (int i = 0; i < 300; ++i) e.literal(uint8_t(i));
  e.w.bit(1);
  e.w.code("11");    // length 3
  e.w.code("0000");  // high part 1
  e.w.byte(0x05);
  e.end();
  const std::vector<uint8_t> image = decode(e.w.out, true, false);
  ASSERT_EQ(image.size(), 303u);
  EXPECT_EQ(image[300], 39);
  EXPECT_EQ(image[302], 41);
}

TEST(PkliteStream, MalformedStreams) {
  const struct {
    const char* what;
    void (*build)(PkEncoder&);
  } cases[] = {
      {"reference before the first byte", [](PkEncoder& e) { e.literal('a'); e.match(2, 3); e.end(); }},
      {"distance 0", [](PkEncoder& e) { e.literal('a'); e.match(0, 3); e.end(); }},
      {"no end code", [](PkEncoder& e) { e.literal('a'); }},
  };
  for (const auto& c : cases) {
    PkEncoder e;
    c.build(e);
    int r = 0;
    decode(e.w.out, false, false, &r);
    EXPECT_EQ(r, -2) << c.what;
  }
}

// Whole EXE files: header, intro at the entry point, the identifying stub pieces of a layout
// row, the stream at the row's data offset, packed relocations and the footer.
struct ExeRow {
  const char* what;
  char intro;  // 'A', 'B', 'C', 'D'
  int decompressor, length_table, offset_table, data;
  bool large, extra;
  bool head81;       // 1.15: FD 8C DB 53 81 C3
  bool scrambled;    // Professional 1.14/1.15 extra: no pieces but the descrambler
  uint16_t version;  // word at 1C
};

std::vector<uint8_t> pklite_exe(const ExeRow& r, const std::vector<uint8_t>& stream) {
  const size_t ep = 0x70;
  std::vector<uint8_t> f(ep, 0);
  f[0] = 'M';
  f[1] = 'Z';
  set_le16(f, 0x08, ep / 16);
  set_le16(f, 0x0A, 0x0040);
  set_le16(f, 0x14, 0x0100);
  set_le16(f, 0x16, 0xFFF0);  // CS:IP FFF0:0100 is the start of the load image
  set_le16(f, 0x1C, r.version);
  const std::string text = "PKLITE Copr. 1990-92 PKWARE Inc. All Rights Reserved";
  std::copy(text.begin(), text.end(), f.begin() + 0x1E);
  f.resize(ep + size_t(r.data), 0x90);
  switch (r.intro) {
    case 'A': put_bytes(f, ep, {0xB8, 0, 0, 0xBA, 0, 0, 0x8C, 0xDB, 0x03, 0xD8, 0x3B, 0x1E, 0x02, 0x00, 0x73, 0x1D}); break;
    case 'B': put_bytes(f, ep, {0xB8, 0, 0, 0xBA, 0, 0, 0x05, 0x00, 0x00, 0x3B, 0x06, 0x02, 0x00, 0x73, 0x1A, 0x2D}); break;
    case 'C': put_bytes(f, ep, {0xB8, 0, 0, 0xBA, 0, 0, 0x05, 0x00, 0x00, 0x3B, 0x06, 0x02, 0x00, 0x72, 0x1B, 0xB4}); break;
    default: put_bytes(f, ep, {0x50, 0xB8, 0, 0, 0xBA, 0, 0, 0x05, 0x00, 0x00, 0x3B, 0x06, 0x02, 0x00, 0x72, 0x2A});
  }
  if (r.scrambled) {
    put_bytes(f, ep + 42, {0x2D, 0x20, 0x00, 0x8E, 0xD0, 0x2D});
  } else {
    put_bytes(f, ep + size_t(r.decompressor), {0xFD, 0x8C, 0xDB, 0x53, uint8_t(r.head81 ? 0x81 : 0x83), 0xC3});
    if (r.extra)
      put_bytes(f, ep + size_t(r.decompressor) + 100, {0xAD, 0x95, 0xB2, 0x10, 0x72, 0x0B, 0xAC, 0x32, 0xC2, 0xAA, 0xD1, 0xED, 0x4A, 0x74});
    else
      put_bytes(f, ep + size_t(r.decompressor) + 100, {0xAD, 0x95, 0xB2, 0x10, 0x72, 0x08, 0xA4, 0xD1, 0xED, 0x4A, 0x74});
    if (r.large)
      put_bytes(f, ep + size_t(r.length_table), {0x04, 0x00, 0x05, 0x06, 0x07, 0x00, 0x00, 0x00});
    else
      put_bytes(f, ep + size_t(r.length_table), {0x03, 0x00, 0x02, 0x0A, 0x04, 0x05, 0x00, 0x00});
    f[ep + size_t(r.offset_table) - 1] = r.large ? 0x18 : 0x09;
    put_bytes(f, ep + size_t(r.offset_table), {0x01, 0x02, 0x00, 0x00, 0x03, 0x04, 0x05, 0x06});
  }
  f.insert(f.end(), stream.begin(), stream.end());
  // Relocations: normal files count bytes (with a segment word), extra files count words.
  if (r.extra)
    f.insert(f.end(), {0x02, 0x00, 0x34, 0x12, 0x78, 0x56, 0xFF, 0xFF});
  else
    f.insert(f.end(), {0x02, 0x00, 0x00, 0x34, 0x12, 0x78, 0x56, 0x00});
  f.insert(f.end(), {0x10, 0x00, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00});  // SS 0010, SP 0200, CS 0000, IP 0003
  return f;
}

std::vector<uint8_t> sample_stream(bool large, bool extra, std::vector<uint8_t>& expected) {
  PkEncoder e;
  e.large = large;
  e.extra = extra;
  expected.clear();
  for (char c : std::string("PACKED PROGRAM ")) {
    e.literal(uint8_t(c));
    expected.push_back(uint8_t(c));
  }
  e.match(15, 30);
  for (int i = 0; i < 30; ++i) expected.push_back(expected[expected.size() - 15]);
  e.end();
  return e.w.out;
}

const ExeRow kAcceptedRows[] = {
    {"1.00-1.05 small", 'A', 72, 422, 438, 464, false, false, false, false, 0x0100},
    {"1.12 small", 'B', 68, 418, 434, 464, false, false, false, false, 0x010C},
    {"1.13 small", 'B', 68, 420, 436, 464, false, false, false, false, 0x010D},
    {"1.14 small", 'C', 66, 419, 435, 464, false, false, false, false, 0x010E},
    {"1.15 small", 'C', 68, 421, 437, 464, false, false, true, false, 0x010F},
    {"1.00-1.05 pro small extra", 'A', 72, 430, 446, 480, false, true, false, false, 0x1103},
    {"1.12 pro small extra", 'B', 68, 426, 442, 480, false, true, false, false, 0x110C},
    {"1.13 pro small extra", 'B', 68, 428, 444, 480, false, true, false, false, 0x110D},
    {"1.00 large", 'A', 72, 590, 628, 656, true, false, false, false, 0x2100},
    {"1.03 large", 'A', 72, 592, 630, 656, true, false, false, false, 0x2103},
    {"1.12/1.13 large", 'B', 68, 586, 624, 656, true, false, false, false, 0x210C},
    {"1.14 large", 'C', 66, 585, 623, 656, true, false, false, false, 0x210E},
    {"1.15 large", 'C', 68, 589, 627, 656, true, false, true, false, 0x210F},
    {"1.03 pro large extra", 'A', 72, 600, 638, 672, true, true, false, false, 0x3103},
    {"1.12/1.13 pro large extra", 'B', 68, 594, 632, 656, true, true, false, false, 0x310C},
    {"1.15 pro small extra, scrambled", 'C', 0, 0, 0, 512, false, true, false, true, 0x110F},
    {"1.14 pro large extra, scrambled", 'C', 0, 0, 0, 704, true, true, false, true, 0x310E},
};

TEST(PkliteExe, EveryLayoutRowExpands) {
  for (const ExeRow& r : kAcceptedRows) {
    std::vector<uint8_t> expected;
    const std::vector<uint8_t> file = pklite_exe(r, sample_stream(r.large, r.extra, expected));
    EXPECT_EQ(unpack::detect_bytes("", file), 8) << r.what;
    std::vector<uint8_t> out;
    ASSERT_EQ(unpack::expand_pklite(file, out), 0) << r.what;
    ASSERT_EQ(out.size(), 512 + expected.size()) << r.what;
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 512, out.end()), expected) << r.what;
    // 0x06 zero: relocations are dropped.
    unpack_test::expect_words(out,
                              {{0x00, 0x5A4D}, {0x02, out.size() % 512}, {0x04, 2}, {0x06, 0}, {0x08, 32},
                               {0x0A, 0x0040}, {0x0E, 0x0010}, {0x10, 0x0200}, {0x14, 0x0003}, {0x16, 0x0000}},
                              r.what);
  }
}

TEST(PkliteExe, UnknownVariantsAndBrokenFilesAreRefused) {
  const ExeRow& small = kAcceptedRows[0];
  std::vector<uint8_t> expected;
  const std::vector<uint8_t> stream = sample_stream(false, false, expected);
  const struct {
    const char* what;
    std::vector<uint8_t> file;
  } cases[] = {
      {"1.50/2.01 intro", pklite_exe({"D", 'D', 84, 438, 454, 480, false, false, false, false, 0x0132}, stream)},
      {"table head moved", pklite_exe({"", 'A', 72, 424, 438, 464, false, false, false, false, 0x100}, stream)},
      {"literal loop says extra, row says normal", [&] {
         std::vector<uint8_t> extra_expected;
         ExeRow r = kAcceptedRows[5];
         r.length_table = small.length_table;
         r.offset_table = small.offset_table;
         r.data = small.data;
         return pklite_exe(r, sample_stream(false, true, extra_expected));
       }()},
      {"scrambled layout with a normal version word", pklite_exe({"", 'C', 0, 0, 0, 512, false, true, false, true, 0x010F}, stream)},
      {"no footer", [&] { auto f = pklite_exe(small, stream); f.resize(f.size() - 3); return f; }()},
      {"relocation count runs past the end", [&] { auto f = pklite_exe(small, stream); f.resize(f.size() - 16); f.push_back(0xFF); f.push_back(0); f.push_back(0); return f; }()},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    EXPECT_EQ(unpack::expand_pklite(c.file, out), -2) << c.what;
  }
  // Cutting the good file anywhere fails cleanly.
  const std::vector<uint8_t> good = pklite_exe(small, stream);
  for (size_t cut = 0; cut < good.size(); cut += 7) {
    std::vector<uint8_t> out;
    EXPECT_EQ(unpack::expand_pklite(std::vector<uint8_t>(good.begin(), good.begin() + ptrdiff_t(cut)), out), -2) << cut;
  }
}

// Program images: the copier names the decompressor, whose first instruction names the data.
std::vector<uint8_t> pklite_com(bool v115, const std::vector<uint8_t>& stream) {
  std::vector<uint8_t> f(v115 ? 450 : 448, 0x90);
  put_bytes(f, 0, {0xB8, 0x00, 0x10, 0xBA, 0x00, 0x20, 0x3B, 0xC4, 0x73, uint8_t(v115 ? 0x69 : 0x67)});
  const size_t dec = v115 ? 126 : 124;
  const uint16_t s = uint16_t(dec + 0x100), d = uint16_t(f.size() + 0x100 - 2);
  if (v115)
    put_bytes(f, 10, {0x8B, 0xC4, 0x2D, 0x00, 0x01, 0x90, 0x25, 0xF0, 0xFF, 0x8B, 0xF8, 0xB9, 0x10, 0x00, 0x90, 0xBE,
                      uint8_t(s), uint8_t(s >> 8)});
  else
    put_bytes(f, 10, {0x8B, 0xC4, 0x2D, 0x00, 0x01, 0x25, 0xF0, 0xFF, 0x8B, 0xF8, 0xB9, 0x10, 0x00, 0xBE, uint8_t(s),
                      uint8_t(s >> 8)});
  put_bytes(f, dec, {0xFD, 0x8B, 0xF8, 0x4F, 0x4F, 0xBE, uint8_t(d), uint8_t(d >> 8)});
  f.insert(f.end(), stream.begin(), stream.end());
  return f;
}

TEST(PkliteCom, ProgramImagesExpandToTheImage) {
  for (bool v115 : {false, true}) {
    std::vector<uint8_t> expected;
    const std::vector<uint8_t> file = pklite_com(v115, sample_stream(false, false, expected));
    EXPECT_EQ(unpack::detect_bytes("PROG.COM", file), 8) << v115;
    std::vector<uint8_t> out;
    ASSERT_EQ(unpack::expand_pklite(file, out), 0) << v115;
    EXPECT_EQ(out, expected) << v115;
  }
  std::vector<uint8_t> expected;
  std::vector<uint8_t> broken = pklite_com(false, sample_stream(false, false, expected));
  broken[124] = 0xFC;  // not the decompressor's first instruction
  std::vector<uint8_t> out;
  EXPECT_EQ(unpack::expand_pklite(broken, out), -2);
}

}  // namespace
