// Directory search: order, "." and "..", what is never listed, patterns, results.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/syscalls.h"
#include "host_test_util.h"

namespace {

using hosttest::MapGuard;
using hosttest::TempTree;

std::vector<std::string> names(std::string_view pattern, int* result = nullptr) {
  std::vector<std::string> out;
  host::FindHandle h;
  host::FindData d;
  int r = host::find_first(pattern, h, d);
  if (result) *result = r;
  while (r == 0) {
    out.push_back(d.host_name);
    r = host::find_next(h, d);
  }
  if (!out.empty()) {
    EXPECT_EQ(r, host::kErrNoMoreFiles);
  }
  return out;
}

TEST(Find, OrderDotsAndFiltering) {
  TempTree t;
  t.dir("c");
  t.dir("c/dir");
  t.file("c/dir/b.exe", "12345");
  t.file("c/dir/A.COM");
  t.file("c/dir/Readme");
  t.file("c/dir/README");
  t.file("c/dir/back\\slash");
  t.dir("c/dir/Zsub");
  t.file("c/dir/_under");
  ASSERT_EQ(symlink(t.at("c/dir/b.exe").c_str(), t.at("c/dir/link.exe").c_str()), 0);
  ASSERT_EQ(symlink("/proc", t.at("c/dir/proclink").c_str()), 0);
  ASSERT_EQ(mkfifo(t.at("c/dir/fifo").c_str(), 0644), 0);
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sock = t.at("c/dir/sock");
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  sock.copy(addr.sun_path, sock.size());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(s);
  t.file("c/top");
  MapGuard map("C=" + t.at("c"));
  std::vector<std::string> expected = {".", "..", "A.COM", "b.exe", "README", "Readme", "Zsub", "_under"};
  EXPECT_EQ(names("C:\\DIR\\*.*"), expected);
  EXPECT_EQ(names("C:\\dir\\*"), expected);
  std::vector<std::string> records;
  {
    host::FindHandle h;
    host::FindData d;
    for (int r = host::find_first("C:\\DIR\\*.*", h, d); r == 0; r = host::find_next(h, d))
      records.push_back(d.name);
  }
  EXPECT_EQ(records,
            (std::vector<std::string>{".", "..", "A.COM", "B.EXE", "README", "Readme", "ZSUB", "_UNDER"}))
      << "upper-cased names, but names differing only in case keep their spelling";
  EXPECT_EQ(names("C:\\*.*"), (std::vector<std::string>{"dir", "top"})) << "no dots at a drive's root";

  host::FindHandle h;
  host::FindData d;
  ASSERT_EQ(host::find_first("C:\\DIR\\B.EXE", h, d), 0);
  EXPECT_EQ(d.name, "B.EXE");
  EXPECT_EQ(d.host_name, "b.exe");
  EXPECT_EQ(d.size, 5u);
  EXPECT_EQ(d.attributes, host::kAttrArchive);
  EXPECT_NE(d.dos_date, 0);
  ASSERT_EQ(host::find_first("C:\\DIR\\ZSUB", h, d), 0);
  EXPECT_EQ(d.attributes, host::kAttrDirectory);
  EXPECT_EQ(host::find_next(h, d), host::kErrNoMoreFiles);
}

// A directory large enough to be sorted by bytes: names sharing their first eight bytes
// (and more), names equal but for case, short names, names past ASCII, made in no order.
TEST(Find, LargeDirectoryOrder) {
  TempTree t;
  t.dir("c");
  t.dir("c/big");
  std::vector<std::string> made;
  for (int i = 299; i >= 0; --i) {
    std::string n;
    switch (i % 6) {
      case 0: n = "F" + std::to_string(100000 + i * 7919 % 1000) + ".BIN"; break;
      case 1: n = (i % 4 == 1 ? "longprefix_" : "LONGPREFIX_") + std::to_string(i); break;
      case 2: n = std::string(i % 4 == 2 ? "Mixed" : "MIXED") + std::to_string(i / 12); break;
      case 3: n = std::string(1 + i % 3, char('a' + i % 5)); break;
      case 4: n = "\xc3\xa9t\xc3\xa9" + std::to_string(i); break;
      default: n = "longprefix" + std::string(size_t(i % 4), 'x'); break;
    }
    if (std::find(made.begin(), made.end(), n) != made.end()) continue;
    made.push_back(n);
    t.file("c/big/" + n);
  }
  ASSERT_GE(made.size(), 100u);
  std::vector<std::string> expected = made;
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
    const std::string ua = host::upper(a), ub = host::upper(b);
    return ua != ub ? ua < ub : a < b;
  });
  expected.insert(expected.begin(), {".", ".."});
  MapGuard map("C=" + t.at("c"));
  EXPECT_EQ(names("C:\\BIG\\*.*"), expected);
}

TEST(Find, ResultsForMissingAndUnreadable) {
  TempTree t;
  t.dir("c");
  t.file("c/file");
  ASSERT_EQ(symlink(t.at("c").c_str(), t.at("c/loop").c_str()), 0);
  MapGuard map("C=" + t.at("c") + ";A=floppy:-");
  const struct {
    const char* pattern;
    int result;
  } cases[] = {
      {"C:\\*.EXE", 18}, {"C:\\nodir\\*.*", 18}, {"C:\\file\\*.*", 18}, {"C:\\loop\\*.*", 18},
      {"A:\\*.*", 18},   {"Q:\\*.*", 18},        {"C:\\", 18},          {"C:\\*.*", 0},
  };
  for (const auto& c : cases) {
    int r = -1;
    names(c.pattern, &r);
    EXPECT_EQ(r, c.result) << c.pattern;
  }
  host::g_syscalls.open = [](const char*, int, unsigned) -> int {
    errno = EACCES;
    return -1;
  };
  int r = -1;
  names("C:\\*.*", &r);
  host::reset_syscalls();
  EXPECT_EQ(r, host::kErrAccessDenied) << "a directory that cannot be read is an error, not an empty one";
}

TEST(Find, VirtualFileSystemsNeverListed) {
  TempTree t;
  MapGuard map("C=/");
  std::vector<std::string> root = names("C:\\*.*");
  for (const std::string& n : root) {
    EXPECT_NE(n, "proc");
    EXPECT_NE(n, "sys");
  }
  int r = 0;
  EXPECT_TRUE(names("C:\\proc\\*.*", &r).empty());
  EXPECT_EQ(r, 18);
}

TEST(Find, PatternsMatchAsNtFindFirst) {
  const struct {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*.*", "NOEXT", true},
      {"*.*", "A.B.C", true},
      {"*.EXE", "FOO.EXE", true},
      {"*.EXE", "foo.exe", true},
      {"*.EXE", "FOO.EXEC", false},
      {"*.EXE", "FOO.COM", false},
      {"*.EXE", "A.B.EXE", true},
      {"*.OV?", "X.OVL", true},
      {"*.OV?", "X.OV", true},
      {"*.OV?", "X.OVLX", false},
      {"FOO?.C", "FOO.C", true},
      {"FOO?.C", "FOOD.C", true},
      {"FOO?.C", "FOODS.C", false},
      {"*.", "NOEXT", true},
      {"*.", "HAS.EXT", false},
      {"?", "AB", false},
      {"??", "A", true},
      {"A*", "ABC", true},
      {"*", ".", true},
      {"*.*", "..", true},
      {"*.EXE", ".", false},
      {"EDIT.COM", "edit.com", true},
      {"EDIT.COM", "EDIT.CO", false},
      {"\xc3\xa9*", "\xc3\xa9T\xc3\xa9", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(host::name_matches(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
}

}  // namespace
