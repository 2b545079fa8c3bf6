// User patterns: the grammar of a pattern line, the pattern file (line numbers, comments,
// the table limit) and -PAT= patterns.
#include <gtest/gtest.h>

#include "vd_test_util.h"
#include "virusdata/checksum.h"
#include "virusdata/library.h"

namespace {

using namespace virusdata;
using namespace vdtest;

TEST(AddPattern, LinesAndTheirRecordsOrMessages) {
  const std::string d48(48, '7');
  const struct {
    const char* what;
    std::string text, given;
    int result;
    std::string name;
    Bytes bytes;
    std::string message;
  } cases[] = {
      {"name and spaced digits", "Name 0400 B8 1C", "", 0, "Name", {0x04, 0x00, 0xB8, 0x1C}, ""},
      {"tab after the name", "Name\t0A0B0C0D", "", 0, "Name", {0x0A, 0x0B, 0x0C, 0x0D}, ""},
      {"blank inside a pair", "N 0 1 0 2 0 3 0 4", "", 0, "N", {1, 2, 3, 4}, ""},
      {"unnamed", " 1234abCD", "", 0, "Noname 0", {0x12, 0x34, 0xAB, 0xCD}, ""},
      {"unnamed again", "\t1234ABCD", "", 0, "Noname 1", {0x12, 0x34, 0xAB, 0xCD}, ""},
      {"underscores are spaces", "My_Virus_1 01020304", "", 0, "My Virus 1", {1, 2, 3, 4}, ""},
      {"lone last digit", "N 0102031", "", 0, "N", {1, 2, 3, 1}, ""},
      {"15-character name", "ABCDEFGHIJKLMNO 01020304", "", 0, "ABCDEFGHIJKLMNO", {1, 2, 3, 4}, ""},
      {"24 bytes", "N " + d48, "", 0, "N", Bytes(24, 0x77), ""},
      {"given name takes the whole text",
       "0102 0304",
       "Command line 0",
       0,
       "Command line 0",
       {1, 2, 3, 4},
       ""},
      {"16-character name",
       "ABCDEFGHIJKLMNOP 01020304",
       "",
       -2,
       "",
       {},
       "Name too long in 'ABCDEFGHIJKLMNOP'\n"},
      {"three digits",
       "Name 123",
       "",
       -2,
       "",
       {},
       "Illegal pattern in input line 7, '123';\nmust have at least 4 bytes.\nBad pattern:\nName\n"},
      {"name only",
       "Name",
       "",
       -2,
       "",
       {},
       "Illegal pattern in input line 7, '';\nmust have at least 4 bytes.\nBad pattern:\nName\n"},
      {"25th byte",
       "N " + d48 + "7",
       "",
       -2,
       "",
       {},
       "Pattern longer than 24 bytes in '" + d48 + "7'\nBad pattern:\nN\n"},
      {"spurious G", "N 0102G304", "", -2, "", {}, "Spurious character G in '0102G304'\nBad pattern:\nN\n"},
      {"semicolon ends the text",
       "0102;0304",
       "Command line 1",
       -2,
       "",
       {},
       "Illegal pattern in input line 7, '0102;0304';\nmust have at least 4 bytes.\nBad "
       "pattern:\n0102;0304\n"},
      {"empty", "", "Command line 2", -2, "", {}, "Illegal zero pattern in line 7\n"},
  };
  Fresh f;
  g_pattern_file.line_number = 7;
  for (const auto& c : cases) {
    f.out.clear();
    g_library.pattern_table[3] = PatternRecord{};
    EXPECT_EQ(add_pattern(3, c.text, c.given), c.result) << c.what;
    EXPECT_EQ(f.out, c.message) << c.what;
    EXPECT_EQ(g_library.pattern_count, 0) << c.what;  // counts are the caller's
    if (c.result != 0) continue;
    const PatternRecord& r = g_library.pattern_table[3];
    EXPECT_EQ(r.name, c.name) << c.what;
    ASSERT_EQ(r.length, c.bytes.size()) << c.what;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(r.tail[k], c.bytes[c.bytes.size() - 1 - size_t(k)]) << c.what;
  }
}

TEST(AddPattern, DigestCoversAllButTheTailInStateBlockOrder) {
  Fresh f;
  ASSERT_EQ(add_pattern(0, "D 1122334455667788 99AABBCC", ""), 0);
  const PatternRecord& r = g_library.pattern_table[0];
  EXPECT_EQ(r.length, 12);
  const uint8_t head[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  checksum_start(kPatternKey);
  checksum_add(head, 8);
  uint8_t expected[8];
  for (int i = 0; i < 8; ++i) expected[i] = g_checksum.block[i];
  for (int i = 0; i < 8; ++i) EXPECT_EQ(r.digest[i], expected[i]) << i;
  EXPECT_EQ(r.tail[0], 0xCC);
  EXPECT_EQ(r.tail[3], 0x99);
  // Four bytes: nothing is digested, the digest is all zero.
  ASSERT_EQ(add_pattern(1, "E 01020304", ""), 0);
  for (uint8_t b : g_library.pattern_table[1].digest) EXPECT_EQ(b, 0);
}

struct PatFile {
  TempDir dir;
  InDirectory in{dir.path};
  explicit PatFile(const std::string& text) { dir.file("BRINT.PAT", text); }
};

TEST(PatternFile, CommentsBlanksLineEndsAndCounts) {
  PatFile pf(
      "; user patterns\r\n\r\n   \t\nFirst 01020304 ; trailing comment\r\n 0A0B0C0D\nLast_One 11 22 33 44");
  Fresh f;
  driver::g_state.virus_count = 100;
  g_library.pattern_count = 5;
  ASSERT_EQ(read_pattern_file(), 0) << f.out;
  EXPECT_EQ(g_library.pattern_count, 8);
  EXPECT_EQ(driver::g_state.virus_count, 103);
  EXPECT_EQ(g_library.pattern_table[5].name, "First");
  EXPECT_EQ(g_library.pattern_table[5].tail[0], 0x04);
  EXPECT_EQ(g_library.pattern_table[6].name, "Noname 0");
  EXPECT_EQ(g_library.pattern_table[7].name, "Last One");  // the last line needs no line feed
  EXPECT_EQ(g_pattern_file.line_number, 6);
  EXPECT_EQ(f.out, "");
}

TEST(PatternFile, FailuresNameTheLineAndTheFile) {
  const struct {
    const char* what;
    std::string text;
    int32_t preloaded;
    int result;
    int32_t count;
    std::string message;
  } cases[] = {
      {"line number counts comment and blank lines", ";x\n\nA 01020304\n;y\nB 123\nC 01020304\n", 0, -2, 1,
       "Illegal pattern in input line 5, '123';\nmust have at least 4 bytes.\nBad pattern:\nB\n"},
      {"table already full", "A 01020304\n", 2048, -2, 2048, "Too many patterns in file BRINT.PAT\n"},
      {"last pattern fills the table", "A 01020304\nB 01020304\n", 2046, -2, 2048,
       "Too many patterns in file BRINT.PAT\n"},
      {"one short of full", "A 01020304\n", 2046, 0, 2047, ""},
      {"255 characters before the comment",
       "A 01020304" + std::string(245, ' ') + "; " + std::string(300, 'c') + "\n", 0, 0, 1, ""},
      {"256 characters", "A 01020304" + std::string(246, ' ') + "\n", 0, -2, 0,
       "Pattern string too long:\nA 01020304" + std::string(245, ' ') + "\n"},
      {"lines across the file's 4096-byte reads, CR LF line ends",
       ";" + std::string(4090, 'x') + "\r\nA 0102030405\r\n;" + std::string(4080, 'y') + "\nB 0102030406\n", 0, 0, 2, ""},
      {"256 characters across a read", ";" + std::string(4000, 'x') + "\nA 01020304" + std::string(246, ' ') + "\n", 0,
       -2, 0, "Pattern string too long:\nA 01020304" + std::string(245, ' ') + "\n"},
  };
  for (const auto& c : cases) {
    PatFile pf(c.text);
    Fresh f;
    g_library.pattern_count = c.preloaded;
    EXPECT_EQ(read_pattern_file(), c.result) << c.what;
    EXPECT_EQ(g_library.pattern_count, c.count) << c.what;
    EXPECT_EQ(f.out, c.message) << c.what;
  }
}

TEST(PatternFile, MissingFileIsNoError) {
  TempDir dir;
  InDirectory in(dir.path);
  Fresh f;
  g_library.pattern_count = 2048;
  EXPECT_EQ(read_pattern_file(), 0);
  EXPECT_EQ(f.out, "");
}

TEST(CommandLinePattern, LabelledCountedAndLimited) {
  Fresh f;
  driver::g_state.virus_count = 10;
  g_library.pattern_count = 2046;
  g_pattern_file.line_number = 4;
  EXPECT_EQ(add_command_line_pattern("DEADBEEF", "Command line 0"), 0);
  EXPECT_EQ(g_library.pattern_table[2046].name, "Command line 0");
  EXPECT_EQ(add_command_line_pattern("", "Command line 1"), -2);
  EXPECT_EQ(f.out, "Illegal zero pattern in line 4\n");
  EXPECT_EQ(add_command_line_pattern("0BADF00D", "Command line 2"), 0);
  EXPECT_EQ(g_library.pattern_count, 2048);
  EXPECT_EQ(driver::g_state.virus_count, 10);  // the caller raises it
  f.out.clear();
  EXPECT_EQ(add_command_line_pattern("01020304", "Command line 3"), -2);
  EXPECT_EQ(f.out, "Too many patterns in file command line\n");
  EXPECT_EQ(g_library.pattern_count, 2048);
}

}  // namespace
