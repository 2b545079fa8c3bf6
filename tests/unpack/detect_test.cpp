// Detection: archive extensions, the header signatures (program images, then DOS executables
// behind the "MZ" gate) and the entry-point signatures, each on a small hand-made file.
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"
#include "unpack/unpack.h"

namespace {

using unpack_test::hex;
using unpack_test::put_bytes;
using unpack_test::set_le16;

// 48 bytes of filler (0x90, so no zero byte matches by accident) with `bytes` at `off`.
std::vector<uint8_t> image_with(size_t off, const std::string& hex_bytes, size_t size = 48) {
  std::vector<uint8_t> b(size, 0x90);
  const std::vector<uint8_t> bytes = hex(hex_bytes);
  std::copy(bytes.begin(), bytes.end(), b.begin() + ptrdiff_t(off));
  return b;
}

std::vector<uint8_t> mz_with(size_t off, const std::string& text) {
  std::vector<uint8_t> b(48, 0x90);
  b[0] = 'M';
  b[1] = 'Z';
  std::copy(text.begin(), text.end(), b.begin() + ptrdiff_t(off));
  return b;
}

// A DOS executable with header size `paras`, CS:IP and the given bytes at the entry point,
// followed by `tail` bytes in all.
std::vector<uint8_t> mz_entry(const std::string& entry_hex, uint16_t paras = 2, uint16_t cs = 0, uint16_t ip = 0,
                              size_t tail = 64) {
  std::vector<uint8_t> b(48, 0x90);
  b[0] = 'M';
  b[1] = 'Z';
  set_le16(b, 0x08, paras);
  set_le16(b, 0x14, ip);
  set_le16(b, 0x16, cs);
  const size_t ep = ((size_t(paras) + cs) * 16 + ip) & 0xFFFFF;
  b.resize(std::max(b.size(), ep + tail), 0x90);
  const std::vector<uint8_t> code = hex(entry_hex);
  std::copy(code.begin(), code.begin() + ptrdiff_t(std::min(code.size(), tail)), b.begin() + ptrdiff_t(ep));
  return b;
}

// Entry codes, with the don't-care bytes filled with 90.
const std::string kLzexeEntry = "06 0E 1F 8B 0E 0C 00 8B F1 4E 89 F7 8C DB 03 1E";
const std::string kPkliteEntry = "B8 90 90 BA 90 90 05 90 90 3B 06 02 00 72 1B B4";
const std::string kDietEntry3 =
    "F9 9C EB 09 90 90 90 90 90 90 90 90 90 06 1E 57 56 52 51 53 50 0E FC 8C C8 2E 01 06 49 00 BA 90 90 03 C2 8B D8";
const std::string kDietEntry4 =
    "FC 06 1E 0E 8C C8 01 06 90 90 BA 90 90 03 C2 8B D8 05 90 90 8E DB 8E C0 33 F6 33 FF B9 08 00 F3 A5";
const std::string kDietEntry5 =
    "F9 9C EB 09 90 90 90 90 90 90 90 90 90 06 1E 57 56 52 51 53 50 0E FC 8C C8 90 90 90 03 D0 52 BA 90 90 52 BA";

TEST(Detect, HeaderAndEntrySignatures) {
  const struct {
    const char* what;
    std::vector<uint8_t> file;
    int kind;
  } cases[] = {
      {"zip local header", image_with(0, "50 4B 03 04"), 6},
      {"zip header on an MZ name is still zip", image_with(0, "50 4B 03 04 4D 5A"), 6},
      {"pklite program image", image_with(0, "B8 00 00 BA 00 00 3B C4 73 67 8B C4 2D"), 8},
      {"cruncher program image",
       image_with(0, "BF 00 00 3B FC 72 04 B4 4C CD 21 BE 00 00 B9 00 00 FD F3 A5 FC 8B F7 BF 00 00 AD AD 8B E8 B2 10 E9"),
       19},
      {"diet program image",
       image_with(0, "BE 00 00 BF 00 00 B9 00 00 3B FC 72 04 B4 4C CD 21 FD F3 A5 FC 8B F7 BF 00 01 AD AD 8B E8 B2 10 E9"),
       18},
      {"diet image needs BF 00 01", image_with(0, "BE 00 00 BF 00 00 B9 00 00 3B FC 72 04 B4 4C CD 21 FD F3 A5 FC 8B F7 BF 00 02 AD AD 8B E8 B2 10 E9"), 0},
      {"plain image", image_with(0, "E9 00 01"), 0},
      {"arj sfx", mz_with(0x1C, "RJSX"), 9},
      {"lz09", mz_with(0x1C, "LZ09"), 10},
      {"lz91", mz_with(0x1C, "LZ91"), 10},
      {"lz91 in a ZM file", [] { auto b = mz_with(0x1C, "LZ91"); b[0] = 'Z'; b[1] = 'M'; return b; }(), 10},
      {"lz91 without MZ", image_with(0x1C, "4C 5A 39 31"), 0},
      {"pklite text", mz_with(0x1E, "PKLITE"), 8},
      {"pklite text in mixed case", mz_with(0x1E, "PKlite"), 0},
      {"lz text wins over pklite text", [] { auto b = mz_with(0x1E, "PKLITE"); put_bytes(b, 0x1C, {'L', 'Z', '9', '1'}); return b; }(), 10},
      {"lharc sfx", mz_with(0x25, "LHarc's SFX"), 11},
      {"lha sfx", mz_with(0x24, "LHa's SFX"), 11},
      {"LHA sfx", mz_with(0x24, "LHA's SFX"), 11},
      {"LHb is not lha", mz_with(0x24, "LHb's SFX"), 0},
      {"lh sfx", mz_with(0x24, "LH's SFX"), 16},
      {"topspeed crunch", [] { auto b = mz_with(0, ""); put_bytes(b, 0x1C, {0x01, 0x00, 0x8A, 0x01, 0x65, 0x15}); return b; }(), 12},
      {"pkarck", [] { auto b = mz_with(0, ""); put_bytes(b, 0x1C, {0x01, 0x00, 0x02, 0x00, 0x00, 0x07}); return b; }(), 13},
      {"bsa", [] { auto b = mz_with(0, ""); put_bytes(b, 0x1C, {0x0F, 0x00, 0xA7}); return b; }(), 14},
      {"larc sfx", mz_with(0x20, "SFX by LARC"), 15},
      {"lzexe entry", mz_entry(kLzexeEntry), 17},
      {"lzexe entry one byte off", mz_entry("00 " + kLzexeEntry), 0},
      {"pklite entry (1.14/1.15 intro)", mz_entry(kPkliteEntry), 8},
      {"pklite 1.12 intro is not taken", mz_entry("B8 90 90 BA 90 90 05 00 00 3B 06 02 00 73 1A 2D"), 0},
      {"diet 1.44 entry", mz_entry(kDietEntry3), 18},
      {"diet old entry", mz_entry(kDietEntry4), 18},
      {"diet 1.45f entry", mz_entry(kDietEntry5), 18},
      {"entry point wraps at 20 bits", mz_entry(kPkliteEntry, 10, 0xFFF0, 0x0100), 8},
      {"entry with 63 bytes behind it", mz_entry(kLzexeEntry, 2, 0, 0, 63), 0},
      {"48-byte MZ file, entry beyond its end", [] { auto b = mz_with(0, ""); set_le16(b, 8, 2); set_le16(b, 0x14, 0); set_le16(b, 0x16, 0x100); return b; }(), 0},
      {"48-byte MZ file, nothing at the entry", [] { auto b = mz_with(0, ""); set_le16(b, 8, 0); set_le16(b, 0x14, 0); set_le16(b, 0x16, 0); return b; }(), 0},
      {"47-byte zip header", image_with(0, "50 4B 03 04", 47), 0},
      {"empty file", {}, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unpack::detect_bytes("PROGRAM.EXE", c.file), c.kind) << c.what;
  }
}

TEST(Detect, ArchiveExtensionsDecideBeforeTheContents) {
  const std::vector<uint8_t> lz = mz_with(0x1C, "LZ91");
  const struct {
    const char* name;
    int kind;
  } cases[] = {
      {"A.ARC", 1},     {"A.ARJ", 2},        {"A.BOO", 3},   {"A.LZH", 4},        {"A.PAK", 5},
      {"A.ZIP", 6},     {"A.ZOO", 7},        {"a.zip", 6},   {"A.ZIPPED", 6},     {"A.B.ARJX", 2},
      {"ZIP.EXE", 10},  {"A.ZI", 10},        {"A", 10},      {"", 10},            {"A.ZOO.", 10},
  };
  for (const auto& c : cases) EXPECT_EQ(unpack::detect_bytes(c.name, lz), c.kind) << c.name;
  // Too short to be read for signatures, but the name alone suffices.
  EXPECT_EQ(unpack::detect_bytes("SMALL.ZIPPED", std::vector<uint8_t>(5, 0)), 6);
}

TEST(Detect, ReadFailures) {
  const std::vector<uint8_t> file = mz_entry(kLzexeEntry);
  const size_t entry = 32;
  auto failing_at = [&](uint64_t where, int64_t failure) {
    return [&, where, failure](uint64_t off, uint8_t* dest, size_t n) -> int64_t {
      if (off <= where && where < off + n) return failure;
      return unpack::bytes_reader(file)(off, dest, n);
    };
  };
  EXPECT_EQ(unpack::detect("", failing_at(0, unpack::kReadFailed)), -4);
  EXPECT_EQ(unpack::detect("", failing_at(entry, unpack::kReadFailed)), -4);
  EXPECT_EQ(unpack::detect("", failing_at(entry, unpack::kSeekFailed)), 0);
  EXPECT_EQ(unpack::detect("", unpack::bytes_reader(file)), 17);
  // Readers may deliver less than asked: detection keeps reading.
  auto dribble = [&](uint64_t off, uint8_t* dest, size_t n) { return unpack::bytes_reader(file)(off, dest, n > 5 ? 5 : n); };
  EXPECT_EQ(unpack::detect("", dribble), 17);
}

TEST(Detect, NamesOfKinds) {
  const char* names[] = {"Unknown", "ARC", "ARJ", "BOO", "LZH", "PAK", "ZIP", "ZOO", "PKLite", "ARJ self extract",
                         "LX 0.9X", "LHarc", "TopSpeed CRUNCH", "PKARCK", "BSA", "LARC", "LH", "LZEXE", "Diet",
                         "Cruncher"};
  for (int kind = 0; kind <= 19; ++kind) EXPECT_STREQ(unpack::compressor_name(kind), names[kind]) << kind;
  EXPECT_STREQ(unpack::compressor_name(20), "Unknown");
  EXPECT_STREQ(unpack::compressor_name(-4), "Unknown");
  for (int kind = 0; kind <= 20; ++kind)
    EXPECT_EQ(unpack::is_expandable(kind), kind == 8 || kind == 10 || kind == 18 || kind == 19) << kind;
}

}  // namespace
