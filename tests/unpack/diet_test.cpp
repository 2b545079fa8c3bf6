// The Diet expander: the bit stream on hand-built and encoded streams, and the containers of
// every era (program images, EXE files with the original header inside the decoded bytes).
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

// A test encoder following the bit table token by token.
struct DietEncoder {
  BitWriter w;

  void literal(uint8_t c) {
    w.bit(1);
    w.byte(c);
  }
  void near2(unsigned distance) {  // 2..256
    w.bit(0);
    w.bit(0);
    w.byte(uint8_t(256 - distance));
    w.bit(0);
  }
  void far2(unsigned distance) {  // 257..2304
    const unsigned x = 2304 - distance;
    w.bit(0);
    w.bit(0);
    w.byte(uint8_t(x & 0xFF));
    w.bit(1);
    w.bits_msb(x >> 8, 3);
  }
  void match(unsigned distance, unsigned length) {  // distance 1..8192, length 3..272
    w.bit(0);
    w.bit(1);
    unsigned x;
    if (distance <= 512) {
      x = 512 - distance;
      w.byte(uint8_t(x));
      w.bit(int(x >> 8));
      w.bit(1);
    } else if (distance <= 1024) {
      x = 1024 - distance;
      w.byte(uint8_t(x));
      w.bit(int(x >> 8));
      w.code("01");
    } else if (distance <= 2048) {
      x = 2048 - distance;
      w.byte(uint8_t(x));
      w.bit(int(x >> 9));
      w.code("00");
      w.bit(int((x >> 8) & 1));
      w.bit(1);
    } else if (distance <= 4096) {
      x = 4096 - distance;
      w.byte(uint8_t(x));
      w.bit(int(x >> 10));
      w.code("00");
      w.bit(int((x >> 9) & 1));
      w.bit(0);
      w.bit(int((x >> 8) & 1));
      w.bit(1);
    } else {
      x = 8192 - distance;
      w.byte(uint8_t(x));
      w.bit(int(x >> 11));
      w.code("00");
      w.bit(int((x >> 10) & 1));
      w.bit(0);
      w.bit(int((x >> 9) & 1));
      w.bit(0);
      w.bit(int((x >> 8) & 1));
    }
    if (length <= 6) {
      for (unsigned i = 3; i < length; ++i) w.bit(0);
      w.bit(1);
    } else if (length <= 8) {
      w.code("00001");
      w.bit(int(length - 7));
    } else if (length <= 16) {
      w.code("000000");
      w.bits_msb(length - 9, 3);
    } else {
      w.code("000001");
      w.byte(uint8_t(length - 17));
    }
  }
  void refresh() {
    w.bit(0);
    w.bit(0);
    w.byte(0xFF);
    w.bit(0);
    w.bit(1);
  }
  void end() {
    w.bit(0);
    w.bit(0);
    w.byte(0xFF);
    w.bit(0);
    w.bit(0);
  }
};

std::vector<uint8_t> decode(const std::vector<uint8_t>& stream, bool refresh, int* result = nullptr) {
  std::vector<uint8_t> blob;
  size_t end = 0;
  const int r = unpack::decode_diet_stream(stream, 0, stream.size(), refresh, blob, end);
  if (result) *result = r;
  return blob;
}

TEST(DietStream, HandBuiltStream) {
  // literal A, literal B, 3-byte match at distance 2, 2-byte match at distance 2, end.
  int r = 0;
  EXPECT_EQ(decode(hex("7B 00 41 42 FE FE FF"), false, &r), std::vector<uint8_t>({'A', 'B', 'A', 'B', 'A', 'B', 'A'}));
  EXPECT_EQ(r, 0);
  EXPECT_EQ(decode(hex("7B 00 41 42 FE FE FF"), true, &r).size(), 7u);
  EXPECT_EQ(r, 0);
}

TEST(DietStream, EveryDistanceClassAndLengthRow) {
  DietEncoder e;
  std::vector<uint8_t> expected = unpack_test::random_bytes(8300, 3);
  for (uint8_t c : expected) e.literal(c);
  auto copy = [&](unsigned distance, unsigned length) {
    for (unsigned i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
  };
  for (unsigned distance : {1u, 2u, 511u, 512u, 513u, 1024u, 1025u, 2048u, 2049u, 4096u, 4097u, 8191u, 8192u}) {
    for (unsigned length : {3u, 4u, 5u, 6u, 7u, 8u, 9u, 16u, 17u, 272u}) {
      e.match(distance, length);
      copy(distance, length);
    }
  }
  for (unsigned distance : {2u, 200u, 256u}) {
    e.near2(distance);
    copy(distance, 2);
  }
  for (unsigned distance : {257u, 1000u, 2304u}) {
    e.far2(distance);
    copy(distance, 2);
  }
  e.refresh();  // no output
  e.literal('z');
  expected.push_back('z');
  e.end();
  int r = 0;
  const std::vector<uint8_t> blob = decode(e.w.out, true, &r);
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(blob == expected);
}

TEST(DietStream, ByteComesAfterAControlWordReload) {
  // 14 literals use 14 bits; the match's second bit is the 16th, so the next control word
  // sits before the match's byte.
  DietEncoder e;
  std::vector<uint8_t> expected;
  for (int i = 0; i < 14; ++i) {
    e.literal(uint8_t('a' + i));
    expected.push_back(uint8_t('a' + i));
  }
  e.match(14, 3);
  for (int i = 0; i < 3; ++i) expected.push_back(expected[expected.size() - 14]);
  e.end();
  ASSERT_EQ(e.w.out[18], 512 - 14 - 256);  // word, 14 literals, the next word, then the match's byte
  EXPECT_EQ(decode(e.w.out, false), expected);
}

TEST(DietStream, EndWithoutRefreshCodesNeedsNoFurtherBit) {
  // Without refresh codes "0 0 FF 0" ends: a stream whose last word held exactly those bits
  // ends there even though no control word follows.
  DietEncoder e;
  for (int i = 0; i < 13; ++i) e.literal('x');
  e.w.bit(0);
  e.w.bit(0);
  e.w.byte(0xFF);
  e.w.bit(0);  // the 16th bit: BitWriter reserved a next word; drop it
  std::vector<uint8_t> stream = e.w.out;
  stream.resize(stream.size() - 2);
  int r = 0;
  EXPECT_EQ(decode(stream, false, &r).size(), 13u);
  EXPECT_EQ(r, 0);
  decode(stream, true, &r);  // with refresh codes the last bit is needed
  EXPECT_EQ(r, -2);
}

TEST(DietStream, MalformedStreams) {
  const struct {
    const char* what;
    void (*build)(DietEncoder&);
  } cases[] = {
      {"reference before the first byte", [](DietEncoder& e) { e.literal('a'); e.match(2, 3); e.end(); }},
      {"2-byte reference before the first byte", [](DietEncoder& e) { e.literal('a'); e.near2(2); e.end(); }},
      {"no end code", [](DietEncoder& e) { e.literal('a'); e.literal('b'); }},
  };
  for (const auto& c : cases) {
    DietEncoder e;
    c.build(e);
    int r = 0;
    decode(e.w.out, false, &r);
    EXPECT_EQ(r, -2) << c.what;
  }
}

// The "dlz" header for `packed` bytes with `flags` and the original length.
std::vector<uint8_t> dlz(const std::vector<uint8_t>& packed, uint8_t flags, uint32_t original) {
  const uint16_t crc = unpack::crc16_arc(packed);
  return {'d',
          'l',
          'z',
          uint8_t(flags | ((packed.size() >> 16) & 0x0F)),
          uint8_t(packed.size()),
          uint8_t(packed.size() >> 8),
          uint8_t(crc),
          uint8_t(crc >> 8),
          uint8_t((original >> 14) & 0xFC),
          uint8_t(original),
          uint8_t(original >> 8)};
}

std::vector<uint8_t> encode_literals(const std::vector<uint8_t>& bytes) {
  DietEncoder e;
  for (uint8_t b : bytes) e.literal(b);
  e.end();
  return e.w.out;
}

TEST(DietContainers, ProgramImagesOfEachEra) {
  const std::vector<uint8_t> program = {0xE9, 0x10, 0x00, 'C', 'O', 'M', ' ', 'p', 'r', 'o', 'g'};
  const std::vector<uint8_t> stream = encode_literals(program);
  // Old era: BF, piece at 3, data at 37, no dlz header.
  std::vector<uint8_t> old_com(37, 0x90);
  put_bytes(old_com, 0, {0xBF, 0x00, 0x00, 0x3B, 0xFC, 0x72, 0x04, 0xB4, 0x4C, 0xCD, 0x21});
  old_com.insert(old_com.end(), stream.begin(), stream.end());
  // Middle era: BE, piece at 15, dlz at 35.
  std::vector<uint8_t> middle_com(35, 0x90);
  put_bytes(middle_com, 0, {0xBE});
  put_bytes(middle_com, 15, {0xCD, 0x21, 0xFD, 0xF3, 0xA5, 0xFC, 0x8B, 0xF7});
  const std::vector<uint8_t> header = dlz(stream, 0x00, uint32_t(program.size()));
  middle_com.insert(middle_com.end(), header.begin(), header.end());
  middle_com.insert(middle_com.end(), stream.begin(), stream.end());
  // New era: F9, 9D 89 at 10, dlz at 65.
  std::vector<uint8_t> new_com(65, 0x90);
  put_bytes(new_com, 0, {0xF9});
  put_bytes(new_com, 10, {0x9D, 0x89});
  new_com.insert(new_com.end(), header.begin(), header.end());
  new_com.insert(new_com.end(), stream.begin(), stream.end());

  for (const auto* file : {&old_com, &middle_com, &new_com}) {
    std::vector<uint8_t> out;
    ASSERT_EQ(unpack::expand_diet(*file, out), 0);
    EXPECT_EQ(out, program);
  }
  std::vector<uint8_t> out;
  std::vector<uint8_t> multi = middle_com;
  multi[35 + 3] |= 0x80;  // "another block follows": not supported
  EXPECT_EQ(unpack::expand_diet(multi, out), -2);
  std::vector<uint8_t> bad_crc = middle_com;
  bad_crc[35 + 6] ^= 1;
  EXPECT_EQ(unpack::expand_diet(bad_crc, out), -2);
}

struct ExeEra {
  const char* what;
  size_t piece;     // file offset of 8E DB 8E C0 33 F6 33 FF (header of 2 paragraphs)
  size_t dlz;       // 0: none (old era)
  size_t data;
  uint16_t ip;      // entry IP
  size_t p_offset;  // P relative to the entry point
  bool old;
};

// An EXE: the decoded bytes are `image` followed by the original MZ header at
// M = 16 P + (original length mod 16).
std::vector<uint8_t> diet_exe(const ExeEra& era, const std::vector<uint8_t>& image, uint8_t mark = 0x8B) {
  std::vector<uint8_t> original_header(28, 0);
  original_header[0] = 'M';
  original_header[1] = 'Z';
  original_header[3] = 0xFE;  // Diet reuses the high bits of this byte
  set_le16(original_header, 0x0E, 0x0123);
  set_le16(original_header, 0x10, 0x0400);
  set_le16(original_header, 0x14, 0x0010);
  set_le16(original_header, 0x16, 0x0002);
  std::vector<uint8_t> blob = image;
  blob.insert(blob.end(), original_header.begin(), original_header.end());
  while (!blob.empty() && blob.back() == 0) blob.pop_back();  // trailing zeros are dropped
  const std::vector<uint8_t> stream = encode_literals(blob);

  std::vector<uint8_t> f(era.data, 0x90);
  f[0] = 'M';
  f[1] = 'Z';
  set_le16(f, 0x08, 2);
  set_le16(f, 0x14, era.ip);
  set_le16(f, 0x16, 0);
  put_bytes(f, era.piece, {0x8E, 0xDB, 0x8E, 0xC0, 0x33, 0xF6, 0x33, 0xFF});
  f[era.piece + 26] = mark;
  const uint32_t original = uint32_t(image.size());
  set_le16(f, 32 + era.ip + era.p_offset, uint16_t(image.size() / 16));
  if (era.dlz) {
    const std::vector<uint8_t> header = dlz(stream, 0x20, original);
    std::copy(header.begin(), header.end(), f.begin() + ptrdiff_t(era.dlz));
  } else {
    set_le16(f, 32, uint16_t(stream.size()));
    set_le16(f, 34, uint16_t(stream.size() >> 16));
  }
  f.insert(f.end(), stream.begin(), stream.end());
  f.resize(f.size() + 64, 0x90);  // stub code after the data
  set_le16(f, 0x02, uint16_t(f.size() % 512));
  set_le16(f, 0x04, uint16_t(f.size() / 512 + 1));
  return f;
}

const ExeEra kEras[] = {
    {"1.44", 72, 107, 118, 0, 73, false},
    {"1.45f", 77, 108, 119, 0, 26, false},
    {"1.02b-1.20", 52, 87, 98, 0, 53, false},
    {"1.00", 55, 0, 90, 3, 53, true},
};

TEST(DietContainers, ExeFilesOfEachEra) {
  std::vector<uint8_t> image;
  for (int i = 0; i < 1000; ++i) image.push_back(uint8_t(i * 7 + 1));
  for (const ExeEra& era : kEras) {
    for (size_t size : {image.size(), size_t(1003)}) {  // M on and off a paragraph boundary
      std::vector<uint8_t> img = image;
      img.resize(size, 0x55);
      const std::vector<uint8_t> file = diet_exe(era, img);
      std::vector<uint8_t> out;
      ASSERT_EQ(unpack::expand_diet(file, out), 0) << era.what << " " << size;
      ASSERT_EQ(out.size(), 512 + size) << era.what;
      EXPECT_EQ(std::vector<uint8_t>(out.begin() + 512, out.end()), img) << era.what;
      // Bytes in the last page first: the 0xFE of byte 3 is gone.
      unpack_test::expect_words(out,
                                {{0x02, out.size() % 512}, {0x04, out.size() / 512 + 1}, {0x08, 32}, {0x0E, 0x0123},
                                 {0x10, 0x0400}, {0x14, 0x0010}, {0x16, 0x0002}},
                                era.what);
    }
  }
}

TEST(DietContainers, RefusedExeFiles) {
  std::vector<uint8_t> image(500, 0x11);
  std::vector<uint8_t> out;
  EXPECT_EQ(unpack::expand_diet(diet_exe(kEras[0], image, 0x95), out), -2) << "look-alike packer";
  std::vector<uint8_t> wrong_p = diet_exe(kEras[0], image);
  set_le16(wrong_p, 32 + 73, 10);  // no header where P points
  EXPECT_EQ(unpack::expand_diet(wrong_p, out), -2);
  const std::vector<uint8_t> good = diet_exe(kEras[2], image);
  ASSERT_EQ(unpack::expand_diet(good, out), 0);
  for (size_t cut = 0; cut < good.size() - 64; cut += 5) {
    EXPECT_EQ(unpack::expand_diet(std::vector<uint8_t>(good.begin(), good.begin() + ptrdiff_t(cut)), out), -2) << cut;
  }
}

TEST(Crc16Arc, KnownValue) {
  const std::string check = "123456789";
  EXPECT_EQ(unpack::crc16_arc(std::vector<uint8_t>(check.begin(), check.end())), 0xBB3D);
}

}  // namespace
