// Real packed files: each is detected as the kind its packer implies and the expandable ones
// expand to the known load images.
#include <gtest/gtest.h>

#include "test_util.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

namespace {

using unpack_test::le16;
using unpack_test::load_fixture;
using unpack_test::sha256;

TEST(PackedFixtures, DetectedAsTheirPackers) {
  const struct {
    const char* file;
    int kind;
    int kind_without_text;  // with bytes 1C..1F blanked
  } cases[] = {
      {"lz90-testprog.exe", 10, 17}, {"lz91-testprog.exe", 10, 17}, {"lz91e-testprog.exe", 10, 0},
      {"lz91-gzip.exe", 10, 17},     {"lz91-zip.exe", 10, 0},       {"testprog.orig.exe", 0, 0},
      {"pklite201-part.exe", 0, 0},  {"diet144-stamp.com", 18, 18},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<uint8_t> bytes = load_fixture(c.file);
    ASSERT_GE(bytes.size(), 48u);
    // The search name never decides here: none of these extensions is an archive's.
    EXPECT_EQ(unpack::detect_bytes(c.file, bytes), c.kind);
    for (size_t i = 0x1C; i < 0x20; ++i) bytes[i] = 0;
    EXPECT_EQ(unpack::detect_bytes("", bytes), c.kind_without_text);
  }
}

TEST(PackedFixtures, LzexeBuildsExpandToTheOriginalImage) {
  const std::vector<uint8_t> original = load_fixture("testprog.orig.exe");
  ASSERT_EQ(original.size(), 2612u);
  const struct {
    const char* file;
    const char* output_sha;
    uint16_t min_alloc;
  } cases[] = {
      {"lz90-testprog.exe", "ca156a971fef98e7bed17fe2abbbfeb4c9ff814032c1430626020efb412f3743", 0x0071},
      {"lz91-testprog.exe", "bb658e3757aca2cd0ea0f04db3478fad2fadbfe4e5ad7deb8cdc47862ed543b2", 0x006D},
      {"lz91e-testprog.exe", "bb658e3757aca2cd0ea0f04db3478fad2fadbfe4e5ad7deb8cdc47862ed543b2", 0x006D},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<uint8_t> out;
    ASSERT_EQ(unpack::expand_lz09(load_fixture(c.file), out), 0);
    ASSERT_EQ(out.size(), 3124u);
    EXPECT_EQ(sha256(out), c.output_sha);
    // The original was linked with a 0-paragraph header: its image starts with its own
    // 28-byte header, which the packer did not keep.
    const std::vector<uint8_t> image(out.begin() + 512, out.end());
    EXPECT_TRUE(std::equal(image.begin() + 28, image.end(), original.begin() + 28));
    EXPECT_EQ(le16(out, 0x02), 0x0034);
    EXPECT_EQ(le16(out, 0x04), 0x0007);
    EXPECT_EQ(le16(out, 0x08), 32);
    EXPECT_EQ(le16(out, 0x0A), c.min_alloc);
    EXPECT_EQ(le16(out, 0x14), 0x0100);  // IP
    EXPECT_EQ(le16(out, 0x16), 0x0000);  // CS
    EXPECT_EQ(le16(out, 0x18), 0x0000);  // beyond the 24 bytes taken over
  }
}

TEST(PackedFixtures, LargeLzFilesCrossSegmentMarks) {
  const struct {
    const char* file;
    size_t size;
    const char* sha;
    uint16_t ss, sp, cs, ip;
  } cases[] = {
      {"lz91-gzip.exe", 296759, "efe23d070ca18513a24185ab4b0d748ffe1b2bd9171b0489ddaac3f90868d6f8", 0x4A8C, 0x1000,
       0x0945, 0x00D4},
      {"lz91-zip.exe", 92477, "f3a696d30c73bb645542108f4d51edb1667816cc1fa056268ac7c5933df245c8", 0x18BE, 0x1000,
       0x0DA1, 0x0018},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<uint8_t> out;
    int ticks = 0;
    ASSERT_EQ(unpack::expand_lz09(load_fixture(c.file), out, [&] { ++ticks; }), 0);
    EXPECT_EQ(out.size(), c.size);
    EXPECT_EQ(sha256(out), c.sha);
    EXPECT_EQ(le16(out, 0x0E), c.ss);
    EXPECT_EQ(le16(out, 0x10), c.sp);
    EXPECT_EQ(le16(out, 0x16), c.cs);
    EXPECT_EQ(le16(out, 0x14), c.ip);
    EXPECT_EQ(size_t(ticks), (c.size - 512) / 256);  // one tick per 256 image bytes
  }
}

TEST(PackedFixtures, DietExeFromComExpandsToTheComImage) {
  std::vector<uint8_t> out;
  ASSERT_EQ(unpack::expand_diet(load_fixture("diet144-stamp.com"), out), 0);
  ASSERT_EQ(out.size(), 8544u);
  const std::vector<uint8_t> start = unpack_test::hex("8C CA 2E 89 16 96 03 B4 30 CD 21");
  EXPECT_TRUE(std::equal(start.begin(), start.end(), out.begin()));
  EXPECT_EQ(sha256(out), "425603d0d4e0c143ef7762e24cc57d986820462bbf545ea466bf368015d348e1");
}

TEST(PackedFixtures, DietRefusesACorruptedPackedByte) {
  std::vector<uint8_t> bytes = load_fixture("diet144-stamp.com");
  bytes[200] ^= 0x01;  // inside the packed data: the header's CRC no longer matches
  std::vector<uint8_t> out;
  EXPECT_EQ(unpack::expand_diet(bytes, out), -2);
}

TEST(PackedFixtures, Pklite201IsRefusedButItsLargeStreamDecodes) {
  const std::vector<uint8_t> bytes = load_fixture("pklite201-part.exe");
  std::vector<uint8_t> out;
  EXPECT_EQ(unpack::expand_pklite(bytes, out), -2);  // 2.01 is not a variant this expander takes

  // The bit stream itself is the large, normal dialect the 1.00-1.15 files share.
  std::vector<uint8_t> image;
  size_t end = 0;
  ASSERT_EQ(unpack::decode_pklite_stream(bytes, 832, {true, false}, image, end), 0);
  EXPECT_EQ(image.size(), 119270u);
  EXPECT_EQ(end, 52815u);
  EXPECT_EQ(sha256(image), "e6ab22bfa1bfd2cf3f5ae4c0075bdfb98ccd53d1aa540f0760da7fa956cacbca");
}

TEST(PackedFixtures, CutShortFilesFailCleanly) {
  const char* files[] = {"lz90-testprog.exe", "lz91-gzip.exe", "lz91-zip.exe", "diet144-stamp.com"};
  for (const char* file : files) {
    SCOPED_TRACE(file);
    const std::vector<uint8_t> bytes = load_fixture(file);
    for (size_t cut : {bytes.size() / 2, bytes.size() / 4, size_t(100), size_t(40)}) {
      const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + ptrdiff_t(cut));
      std::vector<uint8_t> out;
      EXPECT_EQ(unpack::expand_kind(unpack::detect_bytes("", bytes), part, out), -2) << "cut at " << cut;
    }
  }
}

}  // namespace
