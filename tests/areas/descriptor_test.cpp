// Descriptor grammar, exclusions, special system files and the whole-drive extension table.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "areas/areas.h"
#include "areas/text.h"
#include "areas_test_util.h"

namespace {

using areas::AreaKind;

TEST(Classify, KindAndBodyOfEveryForm) {
  const struct {
    const char* text;
    AreaKind kind;
    const char* body;
  } cases[] = {
      {"", AreaKind::kEmpty, ""},
      {"   ", AreaKind::kEmpty, ""},
      {"; only a comment", AreaKind::kEmpty, ""},
      {"C:\\TOOLS\\*.EXE", AreaKind::kFileSpec, "C:\\TOOLS\\*.EXE"},
      {"C:\\TOOLS\\*.EXE   ; tools", AreaKind::kFileSpec, "C:\\TOOLS\\*.EXE"},
      {"C:\\>*.*", AreaKind::kRecursive, "C:\\>*.*"},
      {">C:\\DOS\\*.COM", AreaKind::kRecursive, ">C:\\DOS\\*.COM"},
      {"<C:\\DOS\\EDIT.COM", AreaKind::kExclusion, "C:\\DOS\\EDIT.COM"},
      {"<EDIT.COM ;x", AreaKind::kExclusion, "EDIT.COM"},
      {"+80 0", AreaKind::kAbsoluteSector, "+80 0"},
      {"C:|0", AreaKind::kSectorRange, "C:|0"},
      {"C:|*", AreaKind::kSectorRange, "C:|*"},
      {"C:\"All executables\"", AreaKind::kAllExecutables, "C:\"All executables\""},
      {"C:\"aLL Everything\"", AreaKind::kAllExecutables, "C:\"aLL Everything\""},
      {"\"All master boot sectors\"", AreaKind::kAllMasterBoot, "\"All master boot sectors\""},
      {"\"All Drives\"", AreaKind::kAllD, "\"All Drives\""},
      {"C:\"Some files\"", AreaKind::kInvalid, "C:\"Some files\""},
      {"C:\"All", AreaKind::kInvalid, "C:\"All"},
      {"[*]", AreaKind::kMemoryRange, "[*]"},
      {"C:\\A[1]\\*.EXE", AreaKind::kMemoryRange, "C:\\A[1]\\*.EXE"},
      // The first of the marks decides: a ">" before a quote makes a recursive set.
      {"C:\\>\"All e", AreaKind::kRecursive, "C:\\>\"All e"},
      // Leading blanks are the caller's to remove: they are kept in the body.
      {"  C:\\X", AreaKind::kFileSpec, "  C:\\X"},
  };
  for (const auto& c : cases) {
    std::string body = "stale";
    EXPECT_EQ(areas::classify(c.text, body), c.kind) << c.text;
    EXPECT_EQ(body, c.body) << c.text;
  }
}

TEST(Extension, WholeDriveSelection) {
  using areas::ExtensionClass;
  const struct {
    const char* name;
    ExtensionClass want;
  } cases[] = {
      {"FOO.EXE", ExtensionClass::kExecutable},  {"foo.com", ExtensionClass::kExecutable},
      {"X.DLL", ExtensionClass::kExecutable},    {"A.SYS", ExtensionClass::kExecutable},
      {"FOO.I13", ExtensionClass::kExecutable},  {"FOO.OV", ExtensionClass::kExecutable},
      {"FOO.OVX", ExtensionClass::kExecutable},  {"FOO.OVL", ExtensionClass::kExecutable},
      {"A.C", ExtensionClass::kPassOver},        {"ABC", ExtensionClass::kPassOver},
      {"README", ExtensionClass::kPassOver},     {"FOO.TXT", ExtensionClass::kPassOver},
      {"FOO.ARJ", ExtensionClass::kPassOver},    {"FOO.BID", ExtensionClass::kPassOver},
      {"FOO.ZIP", ExtensionClass::kCompressionCheck}, {"FOO.LZH", ExtensionClass::kCompressionCheck},
      {"FOO.", ExtensionClass::kCompressionCheck},    {"FOO.Z", ExtensionClass::kCompressionCheck},
      // Five characters after the dot: no "." among the last four.
      {"FOO.EXEXE", ExtensionClass::kPassOver},
      // The extension is what follows the last ".".
      {"A.B.EXE", ExtensionClass::kExecutable},  {"SETUP.EXE.ZIP", ExtensionClass::kCompressionCheck},
      {"X.Z.COM", ExtensionClass::kExecutable},  {"FOO.E.Z", ExtensionClass::kCompressionCheck},
  };
  for (const auto& c : cases) EXPECT_EQ(areas::classify_extension(c.name), c.want) << c.name;
}

struct ExclusionTest : ::testing::Test {
  areastest::Env env{"C=@"};
};

TEST_F(ExclusionTest, RegistrationRefusesWildcardsEmptyAndTheThirtySecond) {
  EXPECT_NE(areas::register_exclusion("*.COM"), 0);
  EXPECT_NE(areas::register_exclusion("C:\\DOS\\ED?T.COM"), 0);
  EXPECT_NE(areas::register_exclusion(""), 0);
  for (int i = 0; i < 31; ++i) {
    ASSERT_EQ(areas::register_exclusion("F" + std::to_string(i) + ".COM"), 0) << i;
    ASSERT_EQ(areas::register_exclusion("C:\\D\\F" + std::to_string(i) + ".COM"), 0) << i;
  }
  EXPECT_NE(areas::register_exclusion("LAST.COM"), 0);
  EXPECT_NE(areas::register_exclusion("C:\\D\\LAST.COM"), 0);
  EXPECT_EQ(areas::g_exclusions.names.size(), 31u);
  EXPECT_EQ(areas::g_exclusions.full_paths.size(), 31u);
}

std::string lowered(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

TEST_F(ExclusionTest, FullPathAndNameExclusionsMatchExactly) {
  ASSERT_EQ(areas::register_exclusion("C:\\DOS\\EDIT.COM"), 0);
  ASSERT_EQ(areas::register_exclusion("EDLIN.EXE"), 0);
  ASSERT_EQ(areas::register_exclusion("C:\\TEMP"), 0);
  areas::build_lookup_tables();
  const struct {
    const char* path;
    const char* name;
    bool excluded;
  } cases[] = {
      {"C:\\DOS\\EDIT.COM", "EDIT.COM", true},
      {"D:\\DOS\\EDIT.COM", "EDIT.COM", false},  // another drive
      {"C:\\DOS\\EDIT.COMX", "EDIT.COMX", false},
      {"C:\\DOS\\EDIT.CO", "EDIT.CO", false},
      {"C:\\UTIL\\EDLIN.EXE", "EDLIN.EXE", true},
      {"D:\\EDLIN.EXE", "EDLIN.EXE", true},  // a name is excluded on every drive
      {"C:\\EDLIN.EX", "EDLIN.EX", false},
      {"C:\\TEMP", "TEMP", true},  // a directory is passed over as a whole
      {"C:\\TEMP\\A.EXE", "A.EXE", false},
      {"C:\\", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(areas::is_excluded(c.path, c.name), c.excluded) << c.path;
    // The cheap first test never rules out what is excluded, in either case.
    if (c.excluded) {
      EXPECT_TRUE(areas::may_be_excluded(lowered(c.path), lowered(c.name))) << c.path;
    }
  }
  EXPECT_FALSE(areas::may_be_excluded("c:\\util\\a.exe", "a.exe"));
}

TEST_F(ExclusionTest, PagefileIsSpecialOnEveryDrive) {
  unsetenv("SystemRoot");
  areas::complete_special_files();
  areas::build_lookup_tables();
  EXPECT_TRUE(areas::is_excluded("C:\\PAGEFILE.SYS", "PAGEFILE.SYS"));
  EXPECT_TRUE(areas::is_excluded("E:\\PAGEFILE.SYS", "PAGEFILE.SYS"));
  EXPECT_FALSE(areas::is_excluded("C:\\DIR\\PAGEFILE.SYS", "PAGEFILE.SYS"));
  // Without a system root only the page file is left in the table.
  ASSERT_EQ(areas::g_special.entries.size(), 1u);
}

TEST_F(ExclusionTest, SystemFilesCompletedFromSystemRootAndUserName) {
  setenv("SystemRoot", "c:\\winnt", 1);
  setenv("USERNAME", "jsmith", 1);
  areas::complete_special_files();
  areas::build_lookup_tables();
  unsetenv("SystemRoot");
  ASSERT_EQ(areas::g_special.entries.size(), 15u);
  EXPECT_EQ(areas::g_special.entries[2], "\\WINNT\\SYSTEM32\\CONFIG\\DEFAULT");
  EXPECT_EQ(areas::g_special.entries[14], "\\WINNT\\SYSTEM32\\CONFIG\\JSMITH0");
  const struct {
    const char* path;
    bool excluded;
  } cases[] = {
      {"C:\\WINNT\\SYSTEM32\\CONFIG\\SAM", true},
      {"D:\\WINNT\\SYSTEM32\\CONFIG\\SAM", true},
      {"C:\\WINNT\\SYSTEM32\\CONFIG\\SYSTEM.LOG", true},  // begins with the entry SYSTEM
      {"C:\\WINNT\\SYSTEM32\\CONFIG\\SAMPLE.EXE", true},  // begins with the entry SAM
      {"C:\\WINNT\\SYSTEM32\\CONFIG\\JSMITH0", true},
      {"C:\\WINNT\\SYSTEM32\\CONFIG\\USER.DAT", false},
      {"C:\\WINNT\\SYSTEM32\\SAM", false},
      {"C:\\WINNT\\SYSTEM32\\CONFIG\\sam", false},  // compared as given (callers upper-case)
  };
  for (const auto& c : cases) {
    std::string p = c.path;
    EXPECT_EQ(areas::is_excluded(p, p.substr(p.rfind('\\') + 1)), c.excluded) << c.path;
    if (c.excluded) {
      EXPECT_TRUE(areas::may_be_excluded(lowered(p), "")) << c.path;
    }
  }
}

TEST_F(ExclusionTest, SystemFilesThatCannotBeCompletedAreLeftOut) {
  const struct {
    const char* root;
    const char* user;  // (this host always finds a user name: USERNAME, USER or the account)
    size_t entries;
    const char* second;
  } cases[] = {
      {"C:", "X", 1, nullptr},                            // too short
      {"WINNT", "X", 1, nullptr},                          // no drive and no "\"
      {"C:\\", "X", 15, "\\SYSTEM32\\CONFIG\\APPEVENT.EVT"},  // the root of a drive
      {"C:\\WINNT\\", "X", 15, "\\WINNT\\SYSTEM32\\CONFIG\\APPEVENT.EVT"},  // a trailing backslash
  };
  for (const auto& c : cases) {
    setenv("SystemRoot", c.root, 1);
    setenv("USERNAME", c.user, 1);
    areas::complete_special_files();
    EXPECT_EQ(areas::g_special.entries.size(), c.entries) << c.root;
    if (c.second && areas::g_special.entries.size() > 1) {
      EXPECT_EQ(areas::g_special.entries[1], c.second) << c.root;
    }
  }
  unsetenv("SystemRoot");
  setenv("SystemRoot", std::string(300, 'A').insert(0, "C:\\").c_str(), 1);
  areas::complete_special_files();
  EXPECT_EQ(areas::g_special.entries.size(), 1u);  // an overlong root is not used
  unsetenv("SystemRoot");
}

TEST(Text, Helpers) {
  std::string s = " \t a b \t ";
  areas::strip_trailing_blanks(s);
  EXPECT_EQ(s, " \t a b");
  areas::strip_leading_blanks(s);
  EXPECT_EQ(s, "a b");
  EXPECT_TRUE(areas::is_blank(""));
  EXPECT_TRUE(areas::is_blank(" \t"));
  EXPECT_FALSE(areas::is_blank(" x"));
  EXPECT_EQ(areas::compare_n_nocase("All executables", "aLL E", 5), 0);
  EXPECT_NE(areas::compare_n_nocase("All", "All e", 5), 0);
  EXPECT_EQ(areas::compare_n_nocase("ab", "AB", 5), 0);
}

TEST(Text, LineReader) {
  areastest::TempTree t;
  const char text[] = "one\r\n\r\ntwo\nthree\0four\nfive\x1Anever\n";
  t.file("f.txt", std::string(text, sizeof text - 1));
  areas::LineReader r;
  ASSERT_EQ(areas::open_text(t.at("f.txt"), r), 0);
  std::string line;
  EXPECT_EQ(areas::read_line(r, line), 1);
  EXPECT_EQ(line, "one");
  EXPECT_EQ(areas::read_line(r, line), 1);
  EXPECT_EQ(line, "two");
  EXPECT_EQ(areas::read_line(r, line), 0);  // the NUL byte
  EXPECT_EQ(line, "three");
  EXPECT_EQ(areas::read_line(r, line, 2), 1);
  EXPECT_EQ(line, "fo");
  EXPECT_EQ(areas::read_line(r, line), 1);
  EXPECT_EQ(line, "ur");
  EXPECT_EQ(areas::read_line(r, line), 1);
  EXPECT_EQ(line, "five");  // Ctrl-Z ends the file
  EXPECT_EQ(areas::read_line(r, line), -1);
  EXPECT_EQ(areas::read_line(r, line), -1);
}

}  // namespace
