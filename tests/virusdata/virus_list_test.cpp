// The virus list: sorting ignoring case, each name once, columns and lines, paging, quit.
#include <gtest/gtest.h>

#include "driver/base/results.h"
#include "host/syscalls.h"
#include "vd_test_util.h"
#include "virusdata/library.h"

namespace {

using namespace virusdata;
using namespace vdtest;

void load(const Bytes& s) {
  StreamSource src = memory_source(SourceKind::kVdl, s);
  ASSERT_EQ(load_stream(src), 0);
}

void add_user_pattern(const std::string& name) {
  ASSERT_EQ(add_pattern(g_library.pattern_count, "01020304", name), 0);
  ++g_library.pattern_count;
}

TEST(CompareNames, IgnoresCaseAndOrdersPrefixesFirst) {
  const struct {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"abc", "ABC", 0}, {"Abc", "abd", -1}, {"ab", "abc", -1}, {"b", "A", 1}, {"", "", 0}, {"a_", "A[", 1},
  };
  for (const auto& c : cases) {
    const int r = compare_names(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " / " << c.b;
  }
}

TEST(VirusList, SortedOnceInColumns) {
  Fresh f;
  driver::g_settings.key_wait = false;
  load(stream({entry("Zeta", {{0xFB, 1, 2}, {0x90}}), entry("alpha", {{0xFC, 7}}), entry("Deleted", {{0x91}}),
               entry("Deleted", {{0xB4}}), entry("Fifteen-Chars-X", {{0x03, 0, 9}})}));
  add_user_pattern("ALPHA");
  add_user_pattern("Mid");
  driver::g_state.virus_count = 42;
  EXPECT_EQ(show_virus_list(), 0);
  EXPECT_EQ(f.out,
            "The library contains information on 42 viruses:\n\n"
            "ALPHA           Fifteen-Chars-X Mid             Zeta\n"
            "\n");
}

TEST(VirusList, EmptyLibraryAndLongNames) {
  {
    Fresh f;
    EXPECT_EQ(show_virus_list(), 0);
    EXPECT_EQ(f.out, "The library contains information on 0 viruses:\n\n\n");
  }
  Fresh f;
  add_user_pattern("Command line 100");
  add_user_pattern("B");
  EXPECT_EQ(show_virus_list(), 0);
  // A name longer than a column still keeps one space before the next.
  EXPECT_EQ(f.out, "The library contains information on 0 viruses:\n\nB               Command line 100 \n");
}

// Keys for the pause prompt, read from standard input through the host's call table.
struct Keys {
  static inline std::string script;
  static inline int reads = 0;
  static long read(int fd, void* buf, size_t n) {
    if (fd != 0 || n == 0) return -1;
    if (size_t(reads) >= script.size()) return 0;
    static_cast<char*>(buf)[0] = script[size_t(reads++)];
    return 1;
  }
  explicit Keys(const std::string& s) {
    script = s;
    reads = 0;
    host::g_syscalls.read = &Keys::read;
  }
  ~Keys() { host::reset_syscalls(); }
};

TEST(VirusList, PausesEveryPageAndQuitGivesMinus31) {
  std::vector<std::string> names;
  for (char c = 'A'; c <= 'T'; ++c) names.push_back(std::string(1, c));  // 20 names, 5 lines
  {
    // Lines are counted from 9; a pause follows a line when (count before it + 2) is a
    // multiple of the page length: with 3, after lines 10 and 13 (the 2nd and 5th line).
    Fresh f;
    driver::g_settings.page_length = 3;
    for (const auto& n : names) add_user_pattern(n);
    Keys keys("xy");
    EXPECT_EQ(show_virus_list(), 0);
    EXPECT_EQ(Keys::reads, 2);
    EXPECT_EQ(std::count(f.out.begin(), f.out.end(), '\n'), 2 + 5 + 1);
  }
  {
    Fresh f;
    driver::g_settings.page_length = 3;
    for (const auto& n : names) add_user_pattern(n);
    Keys keys("\x03");
    EXPECT_EQ(show_virus_list(), driver::kQuit);
    EXPECT_EQ(f.out,
              "The library contains information on 0 viruses:\n\n"
              "A               B               C               D\n"
              "E               F               G               H\n");
  }
}

}  // namespace
