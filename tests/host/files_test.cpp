// Files: sharing emulated with flock, NT error codes, special files, attributes and DOS
// date and time, delete/rename/create directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "host/syscalls.h"
#include "host_test_util.h"

namespace {

using hosttest::MapGuard;
using hosttest::TempTree;

// What opening `path` for reading and reading up to 16 bytes gives: the bytes, or the error.
std::string content(const std::string& path) {
  host::File f;
  if (int rc = host::open_file(path, host::kAccessRead, host::kShareRead, host::kOpenExisting, f))
    return "error " + std::to_string(rc);
  char buf[16];
  size_t got = 0;
  if (int rc = host::read_file(f, buf, sizeof buf, got)) return "read error " + std::to_string(rc);
  return std::string(buf, got);
}

TEST(Files, SharingConflictsAreError32) {
  TempTree t;
  t.file("f", "data");
  std::string p = t.at("f");
  using host::kAccessRead;
  using host::kAccessWrite;
  using host::kShareNone;
  using host::kShareRead;
  using host::kShareWrite;
  const struct {
    const char* what;
    unsigned first_access, first_share, second_access, second_share;
    int second_result;
  } cases[] = {
      {"two readers sharing read", kAccessRead, kShareRead, kAccessRead, kShareRead, 0},
      {"reader after exclusive", kAccessRead, kShareNone, kAccessRead, kShareRead | kShareWrite, 32},
      {"exclusive after reader", kAccessRead, kShareRead, kAccessRead, kShareNone, 32},
      {"writer after share-read holder", kAccessRead, kShareRead, kAccessWrite, kShareRead | kShareWrite, 32},
      {"writer and reader both sharing all", kAccessRead, kShareRead | kShareWrite, kAccessWrite,
       kShareRead | kShareWrite, 0},
  };
  for (const auto& c : cases) {
    host::File a, b;
    ASSERT_EQ(host::open_file(p, c.first_access, c.first_share, host::kOpenExisting, a), 0) << c.what;
    EXPECT_EQ(host::open_file(p, c.second_access, c.second_share, host::kOpenExisting, b), c.second_result)
        << c.what;
    EXPECT_EQ(b.is_open(), c.second_result == 0) << c.what;
  }
  // A truncating open that meets a lock leaves the locked file whole.
  host::File holder, cutter;
  ASSERT_EQ(host::open_file(p, kAccessRead, kShareNone, host::kOpenExisting, holder), 0);
  EXPECT_EQ(host::open_file(p, kAccessWrite, kShareNone, host::kCreateAlways, cutter), 32);
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4);
}

TEST(Files, OpenErrorsAndDispositions) {
  TempTree t;
  t.dir("c");
  t.file("c/exists", "abc");
  t.dir("c/sub");
  ASSERT_EQ(symlink(t.at("c/exists").c_str(), t.at("c/link").c_str()), 0);
  ASSERT_EQ(symlink(t.at("c/sub").c_str(), t.at("c/dirlink").c_str()), 0);
  ASSERT_EQ(mkfifo(t.at("c/fifo").c_str(), 0644), 0);
  MapGuard map("C=" + t.at("c") + ";N=network:-");
  const struct {
    const char* path;
    unsigned access;
    host::Disposition disp;
    int result;
  } cases[] = {
      {"C:\\missing", host::kAccessRead, host::kOpenExisting, 2},
      {"C:\\nodir\\missing", host::kAccessRead, host::kOpenExisting, 3},
      {"C:\\exists\\x", host::kAccessRead, host::kOpenExisting, 3},
      {"C:\\EXISTS", host::kAccessRead, host::kCreateNew, 80},
      {"C:\\sub", host::kAccessRead, host::kOpenExisting, 5},
      {"C:\\link", host::kAccessRead, host::kOpenExisting, 2},
      {"C:\\dirlink\\x", host::kAccessRead, host::kOpenExisting, 3},
      {"C:\\fifo", host::kAccessRead, host::kOpenExisting, 5},  // refused, never blocks
      {"C:\\missing", host::kAccessWrite, host::kTruncateExisting, 2},
      {"Q:\\x", host::kAccessRead, host::kOpenExisting, 3},
      {"N:\\x", host::kAccessRead, host::kOpenExisting, 3},
  };
  for (const auto& c : cases) {
    host::File f;
    EXPECT_EQ(host::open_file(c.path, c.access, host::kShareRead, c.disp, f), c.result) << c.path;
  }
  {
    host::File out;
    EXPECT_EQ(host::open_file("/dev/null", host::kAccessWrite, host::kShareRead, host::kOpenAlways, out), 0)
        << "a report may go to a device";
    EXPECT_EQ(host::open_file("/dev/zero", host::kAccessRead, host::kShareRead, host::kOpenExisting, out), 5)
        << "but a device is never read as a file";
    EXPECT_EQ(host::open_file(t.at("c/link"), host::kAccessRead, host::kShareRead, host::kOpenExisting, out),
              2)
        << "a link is not followed in a host absolute path either";
  }
  std::string name261(261, 'N');
  host::File f;
  EXPECT_EQ(host::open_file("C:\\" + name261, host::kAccessRead, host::kShareRead, host::kOpenExisting, f),
            206);
  std::string name260(260, 'N');
  EXPECT_EQ(host::open_file("C:\\" + name260, host::kAccessRead, host::kShareRead, host::kOpenExisting, f),
            206)
      << "260 fits NT but not this host's 255-byte names: the host's ENAMETOOLONG is 206 too";
  std::string deep = "C:";
  for (int i = 0; i < 40; ++i) deep += "\\" + std::string(120, 'd');
  EXPECT_EQ(host::open_file(deep, host::kAccessRead, host::kShareRead, host::kOpenExisting, f), 206);

  ASSERT_EQ(host::open_file("C:\\exists", host::kAccessRead | host::kAccessWrite, host::kShareNone,
                            host::kTruncateExisting, f),
            0);
  uint64_t size = 99;
  ASSERT_EQ(host::file_size(f, size), 0);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(host::write_file(f, "hello", 5), 0);
  uint64_t pos = 0;
  ASSERT_EQ(host::seek_file(f, -2, 2, &pos), 0);
  EXPECT_EQ(pos, 3u);
  char buf[8];
  size_t got = 0;
  ASSERT_EQ(host::read_file(f, buf, sizeof buf, got), 0);
  EXPECT_EQ(std::string(buf, got), "lo");
  EXPECT_EQ(host::close_file(f), 0);
  EXPECT_FALSE(f.is_open());
}

// A drive path opens in one step when it names the file exactly; otherwise the spelling of
// the directory's last listing is tried, and only a name that still opens as that spelling
// counts. Neither step may prefer a spelling over an exact name, keep a name that is gone,
// or follow a link.
TEST(Files, OpenByListedSpellingPrefersExactNamesAndFollowsNoLink) {
  TempTree t;
  t.dir("c");
  t.file("c/lower.txt", "l");
  ASSERT_EQ(symlink(t.at("c/lower.txt").c_str(), t.at("c/lnk").c_str()), 0);
  ASSERT_EQ(symlink(t.at("c").c_str(), t.at("root-link").c_str()), 0);
  MapGuard map("C=" + t.at("c") + ";L=" + t.at("root-link"));
  std::vector<host::FindData> listed;
  ASSERT_EQ(host::list_directory("C:\\", "*.*", listed), 0);
  EXPECT_EQ(content("C:\\LOWER.TXT"), "l");
  EXPECT_EQ(content("C:\\LNK"), "error 2") << "a link is never followed, whatever its spelling";
  EXPECT_EQ(content("L:\\LOWER.TXT"), "l") << "links in the drive's ROOT itself are followed";
  t.file("c/LOWER.TXT", "U");
  EXPECT_EQ(content("C:\\LOWER.TXT"), "U") << "an exact name comes before the listed spelling";
  ASSERT_EQ(unlink(t.at("c/LOWER.TXT").c_str()), 0);
  ASSERT_EQ(rename(t.at("c/lower.txt").c_str(), t.at("c/other.txt").c_str()), 0);
  EXPECT_EQ(content("C:\\LOWER.TXT"), "error 2") << "a spelling that is gone is not opened";
  EXPECT_EQ(content("C:\\OTHER.TXT"), "l") << "a name the listing never saw";

  // A file of a listed directory named in another case than the host's, and the same NT
  // path once the drive lies elsewhere.
  t.dir("c/sub");
  t.file("c/sub/file.txt", "1");
  t.dir("d");
  t.dir("d/sub");
  t.file("d/sub/file.txt", "2");
  ASSERT_EQ(host::list_directory("C:\\SUB\\", "*.*", listed), 0);
  EXPECT_EQ(content("C:\\SUB\\FILE.TXT"), "1");
  MapGuard elsewhere("C=" + t.at("d"));
  EXPECT_EQ(content("C:\\SUB\\FILE.TXT"), "2");
  // Where the system cannot open in one step, the long way gives the same results.
  host::g_syscalls.open_no_links = [](const char*, int, unsigned) -> int {
    errno = ENOSYS;
    return -1;
  };
  EXPECT_EQ(content("C:\\SUB\\FILE.TXT"), "2");
  EXPECT_EQ(content("C:\\SUB\\NONE"), "error 2");
  host::reset_syscalls();
}

// A walk opens every entry by the name its listing gave, right after taking the entry:
// each opens the file it stands for, names equal but for case included, also when the
// entry comes from a listing older than the host's last one, and an exact name made since
// the listing still comes first.
TEST(Files, EntriesOpenAsTheWalkTakesThem) {
  TempTree t;
  t.dir("c");
  t.dir("e");
  for (const char* n : {"abc", "ABC", "Abc", "dup.bin", "Mixed.Txt", "UP.BIN"}) t.file(std::string("c/") + n, n);
  t.file("e/UP.BIN", "other");
  MapGuard map("C=" + t.at("c") + ";E=" + t.at("e"));
  for (bool stale : {false, true}) {
    host::FindHandle h;
    host::FindData first;
    ASSERT_EQ(host::find_first("C:\\*.*", h, first, false), 0);
    if (stale) {  // another listing since: the walk's entries are no longer the host's last
      std::vector<host::FindData> other;
      ASSERT_EQ(host::list_directory("E:\\", "*.*", other), 0);
    }
    std::vector<std::string> opened = {content("C:\\" + first.name)};
    while (const host::FindData* d = host::find_next_entry(h)) {
      opened.push_back(content("C:\\" + d->name));
      if (d->name == "DUP.BIN") {
        EXPECT_EQ(content("C:\\MIXED.TXT"), "Mixed.Txt") << "not the entry taken last";
      }
    }
    EXPECT_EQ(opened, (std::vector<std::string>{"ABC", "Abc", "abc", "dup.bin", "Mixed.Txt", "UP.BIN"}))
        << (stale ? "stale listing" : "last listing");
  }
  host::FindHandle h;
  host::FindData d;
  ASSERT_EQ(host::find_first("C:\\DUP.BIN", h, d, false), 0);
  t.file("c/DUP.BIN", "exact");
  EXPECT_EQ(content("C:\\" + d.name), "exact") << "an exact name comes before the listed spelling";
}

// A file of the directory listed last opens in the directory the listing read, as on NT,
// where a directory being searched cannot be renamed: one renamed since, or replaced by
// another directory or by a link, still gives the listed directory's file. A name the
// listed directory no longer has is looked for by its path.
TEST(Files, ListedDirectoryRenamedOrReplacedOpensInTheDirectoryListed) {
  TempTree t;
  t.dir("c");
  t.dir("c/SUB");
  t.file("c/SUB/F.TXT", "old");
  MapGuard map("C=" + t.at("c"));
  std::vector<host::FindData> listed;
  ASSERT_EQ(host::list_directory("C:\\SUB\\", "*.*", listed), 0);
  EXPECT_EQ(content("C:\\SUB\\F.TXT"), "old");
  ASSERT_EQ(rename(t.at("c/SUB").c_str(), t.at("c/OLD").c_str()), 0);
  t.dir("c/SUB");
  t.file("c/SUB/F.TXT", "new");
  t.file("c/SUB/G.TXT", "g");
  EXPECT_EQ(content("C:\\SUB\\F.TXT"), "old") << "the listed directory, wherever it went";
  EXPECT_EQ(content("C:\\SUB\\G.TXT"), "g") << "a name it lacks is found by its path";
  ASSERT_EQ(unlink(t.at("c/SUB/F.TXT").c_str()), 0);
  ASSERT_EQ(unlink(t.at("c/SUB/G.TXT").c_str()), 0);
  ASSERT_EQ(rmdir(t.at("c/SUB").c_str()), 0);
  ASSERT_EQ(symlink(t.at("c/OLD").c_str(), t.at("c/SUB").c_str()), 0);
  EXPECT_EQ(content("C:\\SUB\\F.TXT"), "old");
  EXPECT_EQ(content("C:\\SUB\\G.TXT"), "error 3") << "a link on the way is never followed";
  // The listed directory removed: its files are looked for by their paths.
  ASSERT_EQ(unlink(t.at("c/SUB").c_str()), 0);
  ASSERT_EQ(unlink(t.at("c/OLD/F.TXT").c_str()), 0);
  ASSERT_EQ(rmdir(t.at("c/OLD").c_str()), 0);
  t.dir("c/SUB");
  t.file("c/SUB/F.TXT", "third");
  EXPECT_EQ(content("C:\\SUB\\F.TXT"), "third");
}

int g_fail_errno = 0;
long failing_read(int, void*, size_t) {
  errno = g_fail_errno;
  return -1;
}
long failing_write(int, const void*, size_t) {
  errno = g_fail_errno;
  return -1;
}

TEST(Files, ReadAndWriteFailuresGiveNtCodes) {
  TempTree t;
  t.file("f", "abc");
  host::File f;
  ASSERT_EQ(host::open_file(t.at("f"), host::kAccessRead | host::kAccessWrite, host::kShareRead,
                            host::kOpenExisting, f),
            0);
  host::g_syscalls.read = failing_read;
  host::g_syscalls.write = failing_write;
  const struct {
    int err;
    int nt;
  } cases[] = {{EIO, 23}, {ENOSPC, 112}, {EROFS, 19}, {EBADF, 31}};
  for (const auto& c : cases) {
    g_fail_errno = c.err;
    char b[4];
    size_t got = 7;
    EXPECT_EQ(host::read_file(f, b, 4, got), c.nt) << c.err;
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(host::write_file(f, "x", 1), c.nt) << c.err;
  }
  host::reset_syscalls();
}

// A read that got bytes before a failure returns them; the failure comes with the next read.
long g_reads = 0;
long first_whole_then_eio(int fd, void* buf, size_t n) {
  if (g_reads++ == 0) return long(::read(fd, buf, n < 3 ? n : 3));
  errno = EIO;
  return -1;
}

TEST(Files, FailureAfterSomeBytesComesWithTheNextRead) {
  TempTree t;
  t.file("f", "abcdef");
  host::File f;
  ASSERT_EQ(host::open_file(t.at("f"), host::kAccessRead, host::kShareRead, host::kOpenExisting, f), 0);
  g_reads = 0;
  host::g_syscalls.read = first_whole_then_eio;
  char b[16];
  size_t got = 0;
  EXPECT_EQ(host::read_file(f, b, sizeof b, got), 0);
  EXPECT_EQ(std::string(b, got), "abc");
  EXPECT_EQ(host::read_file(f, b, sizeof b, got), 23);
  EXPECT_EQ(got, 0u);
  host::reset_syscalls();
}

TEST(Files, AttributesAndDosTime) {
  TempTree t;
  t.file("f");
  t.dir("d");
  uint32_t a = 0;
  ASSERT_EQ(host::get_attributes(t.at("f"), a), 0);
  EXPECT_EQ(a, host::kAttrArchive);
  ASSERT_EQ(host::get_attributes(t.at("d"), a), 0);
  EXPECT_EQ(a, host::kAttrDirectory);
  ASSERT_EQ(host::set_attributes(t.at("f"), host::kAttrReadOnly), 0);
  ASSERT_EQ(host::get_attributes(t.at("f"), a), 0);
  EXPECT_EQ(a, host::kAttrArchive | host::kAttrReadOnly);
  ASSERT_EQ(chmod(t.at("f").c_str(), 0444), 0);
  ASSERT_EQ(host::set_attributes(t.at("f"), 0), 0);
  struct stat st {};
  ASSERT_EQ(stat(t.at("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "clearing gives the owner write permission only";
  EXPECT_EQ(host::get_attributes(t.at("missing"), a), 2);

  setenv("TZ", "UTC", 1);
  tzset();
  const struct {
    const char* what;
    int64_t seconds;
    uint16_t date, time;
  } cases[] = {
      {"before 1980 clamps", 0, 0x0021, 0x0000},
      {"1980-01-01 00:00:00", 315532800, 0x0021, 0x0000},
      {"2026-12-10 13:45:59 (odd second halves down)", 1796910359, uint16_t((46 << 9) | (12 << 5) | 10),
       uint16_t((13 << 11) | (45 << 5) | 29)},
      {"after 2107 clamps", 4354819200LL, uint16_t((127 << 9) | (12 << 5) | 31),
       uint16_t((23 << 11) | (59 << 5) | 29)},
  };
  for (const auto& c : cases) {
    uint16_t d = 1, tm = 1;
    host::dos_date_time(c.seconds, d, tm);
    EXPECT_EQ(d, c.date) << c.what;
    EXPECT_EQ(tm, c.time) << c.what;
  }
  unsetenv("TZ");
  tzset();
}

TEST(Files, DeleteRenameCreateDirectory) {
  TempTree t;
  t.dir("c");
  t.file("c/A.TXT", "a");
  t.file("c/B.TXT", "b");
  MapGuard map("C=" + t.at("c"));
  EXPECT_EQ(host::rename_file("C:\\a.txt", "C:\\B.TXT"), 80) << "an existing target is never replaced";
  EXPECT_EQ(host::rename_file("C:\\a.txt", "C:\\C.TXT"), 0);
  EXPECT_TRUE(host::file_exists("C:\\C.TXT"));
  EXPECT_FALSE(host::file_exists("C:\\A.TXT"));
  EXPECT_EQ(host::rename_file("C:\\nothing", "C:\\D.TXT"), 2);
  EXPECT_EQ(host::create_directory("C:\\NEW"), 0);
  EXPECT_EQ(host::create_directory("C:\\new"), 80);
  EXPECT_EQ(host::create_directory("C:\\x\\y"), 3);
  EXPECT_EQ(host::delete_file("C:\\NEW"), 5);
  ASSERT_EQ(host::set_attributes("C:\\c.txt", host::kAttrReadOnly), 0);
  ASSERT_EQ(symlink(t.at("c/B.TXT").c_str(), t.at("c/link").c_str()), 0);
  EXPECT_EQ(host::delete_file("C:\\link"), 2) << "a symbolic link is never acted on";
  EXPECT_TRUE(host::file_exists("C:\\B.TXT"));
  EXPECT_EQ(host::delete_file("C:\\c.txt"), 0);
  EXPECT_EQ(host::delete_file("C:\\c.txt"), 2);
}

}  // namespace
