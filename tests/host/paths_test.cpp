// The drive map grammar, current drive and directory, full paths and case-insensitive
// resolution.
#include <gtest/gtest.h>

#include <string>

#include "host/host.h"
#include "host_test_util.h"

namespace {

using hosttest::InDirectory;
using hosttest::MapGuard;
using hosttest::TempTree;

TEST(DriveMap, GoodEntries) {
  host::DriveMap m;
  std::string msg;
  ASSERT_EQ(host::parse_drive_map(" c=/nonexistent/data/ ; A=floppy:-,/img/disk1.img;"
                                  "D=fixed:/mnt/d,/img/hd.img@32256; physicaldrive0=/img/hd.img ;"
                                  "E=CDROM:-;F=network:/n;G=ramdisk:/r;H=removable:-",
                                  m, &msg),
            0)
      << msg;
  ASSERT_EQ(m.drives.size(), 7u);
  EXPECT_EQ(m.drives[0].letter, 'C');
  EXPECT_EQ(m.drives[0].type, host::kDriveFixed);
  EXPECT_EQ(m.drives[0].root, "/nonexistent/data");
  EXPECT_EQ(m.drives[1].type, host::kDriveFloppy);
  EXPECT_EQ(m.drives[1].root, "");
  EXPECT_EQ(m.drives[1].device, "/img/disk1.img");
  EXPECT_EQ(m.drives[2].device, "/img/hd.img");
  EXPECT_EQ(m.drives[2].device_offset, 32256u);
  const int types[] = {2, 1, 2, 4, 3, 5, 6};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(m.drives[i].type, types[i]) << i;
  ASSERT_EQ(m.physical.size(), 1u);
  EXPECT_EQ(m.physical[0].number, 0);
  EXPECT_EQ(m.physical[0].device, "/img/hd.img");
}

TEST(DriveMap, MalformedEntriesAreNamed) {
  const struct {
    const char* text;
    const char* entry;  // the entry the message must quote
  } cases[] = {
      {"C=/;D", "D"},
      {"C=/;CC=/x", "CC=/x"},
      {"1=/x", "1=/x"},
      {"C=zip:/x", "C=zip:/x"},
      {"C=relative/dir", "C=relative/dir"},
      {"C=", "C="},
      {"C=/;c=/y", "c=/y"},
      {"C=/x,img.raw", "C=/x,img.raw"},
      {"C=/x,/img@12x", "C=/x,/img@12x"},
      {"C=/x,/img@", "C=/x,/img@"},
      {"C=/;PHYSICALDRIVE50=/d", "PHYSICALDRIVE50=/d"},
      {"C=/;PHYSICALDRIVE=/d", "PHYSICALDRIVE=/d"},
      {"C=/;PHYSICALDRIVE1=/d;PHYSICALDRIVE1=/e", "PHYSICALDRIVE1=/e"},
  };
  for (const auto& c : cases) {
    host::DriveMap m;
    std::string msg;
    EXPECT_EQ(host::parse_drive_map(c.text, m, &msg), -2) << c.text;
    EXPECT_NE(msg.find(std::string("\"") + c.entry + "\""), std::string::npos) << c.text << " -> " << msg;
    EXPECT_EQ(msg.rfind("Fatal error: ", 0), 0u) << msg;
  }
  host::DriveMap m;
  std::string msg;
  EXPECT_EQ(host::parse_drive_map(" ; ", m, &msg), -2) << "a map without a drive letter";
}

TEST(DriveMap, EnvironmentAndDefault) {
  unsetenv("BRINT_DRIVES");
  ASSERT_EQ(host::init_drive_map(nullptr), 0);
  EXPECT_EQ(host::drive_type('c'), host::kDriveFixed);
  EXPECT_EQ(host::drive_type('D'), host::kDriveNone);
  setenv("BRINT_DRIVES", "A=floppy:-;PHYSICALDRIVE3=/d", 1);
  ASSERT_EQ(host::init_drive_map(nullptr), 0);
  EXPECT_EQ(host::drive_type('A'), host::kDriveFloppy);
  EXPECT_EQ(host::drive_type('C'), host::kDriveNone);
  EXPECT_TRUE(host::physical_drive_present(3));
  EXPECT_FALSE(host::physical_drive_present(0));
  setenv("BRINT_DRIVES", "C=/;X", 1);
  std::string msg;
  EXPECT_EQ(host::init_drive_map(&msg), -2);
  EXPECT_NE(msg.find("\"X\""), std::string::npos);
  unsetenv("BRINT_DRIVES");
  host::init_drive_map(nullptr);
}

TEST(Paths, CurrentDriveAndFullPaths) {
  TempTree t;
  t.dir("c");
  t.dir("c/Sub");
  t.dir("d");
  t.dir("elsewhere");
  MapGuard map("D=" + t.at("d") + ";C=" + t.at("c"));
  {
    InDirectory in(t.at("c/Sub"));
    EXPECT_EQ(host::current_drive(), 'C');
    EXPECT_EQ(host::current_directory(), "C:\\Sub");
    const struct {
      const char* in;
      const char* out;
      int result;
    } cases[] = {
        {"C:\\DOS\\EDIT.COM", "C:\\DOS\\EDIT.COM", 0},
        {"c:/dos/edit.com", "C:\\dos\\edit.com", 0},
        {"C:\\A\\..\\..\\B\\.\\X", "C:\\B\\X", 0},
        {"C:\\DOS\\", "C:\\DOS\\", 0},
        {"C:\\", "C:\\", 0},
        {"C:", "C:\\Sub", 0},
        {"C:*.EXE", "C:\\Sub\\*.EXE", 0},
        {"D:FOO", "D:\\FOO", 0},
        {"\\UTIL\\*.COM", "C:\\UTIL\\*.COM", 0},
        {"BRINT.PAT", "C:\\Sub\\BRINT.PAT", 0},
        {"..\\x", "C:\\x", 0},
        {"Q:\\X", "", host::kErrInvalidDrive},
        {"\\\\server\\share", "", host::kErrPathNotFound},
    };
    for (const auto& c : cases) {
      std::string out;
      EXPECT_EQ(host::full_path_name(c.in, out), c.result) << c.in;
      EXPECT_EQ(out, c.out) << c.in;
    }
    std::string out;
    EXPECT_EQ(host::full_path_name(t.at("d") + "/x/y", out), 0);
    EXPECT_EQ(out, "D:\\x\\y") << "a host path on a drive is given in its NT form";
    std::string long_name(300, 'A');
    EXPECT_EQ(host::full_path_name("C:\\" + long_name, out), host::kErrFilenameTooLong);
    std::string just_fits = "C:\\" + std::string(256, 'A');  // 259 characters
    EXPECT_EQ(host::full_path_name(just_fits, out), 0);
    EXPECT_EQ(host::full_path_name(just_fits + "B", out), host::kErrFilenameTooLong);
  }
  {
    InDirectory in(t.at("elsewhere"));
    EXPECT_EQ(host::current_drive(), 'C') << "no drive holds the working directory: C:";
    EXPECT_EQ(host::current_directory(), "C:\\");
    std::string out;
    EXPECT_EQ(host::full_path_name("REL.TXT", out), host::kErrInvalidDrive);
  }
}

TEST(Paths, ExecutablePathInNtFormOnADrive) {
  {
    MapGuard map("C=/");
    std::string p = host::executable_path();
    EXPECT_EQ(p.rfind("C:\\", 0), 0u) << p;
    EXPECT_EQ(p.substr(p.size() - 10), "\\test_host") << p;
  }
  MapGuard map("C=/nonexistent-drive-root");
  std::string p = host::executable_path();
  EXPECT_EQ(p.rfind('/', 0), 0u) << "on no drive: the host path, " << p;
}

TEST(Paths, FirstDriveWhenNoC) {
  TempTree t;
  t.dir("d");
  MapGuard map("E=" + t.at("d") + ";D=/nonexistent");
  InDirectory in("/");
  EXPECT_EQ(host::current_drive(), 'E');
}

TEST(Paths, CaseInsensitiveResolutionExactFirst) {
  TempTree t;
  t.dir("c");
  t.dir("c/Dos");
  t.file("c/Dos/Edit.Com", "mixed");
  t.file("c/Dos/readme", "lower");
  t.file("c/Dos/README", "upper");
  MapGuard map("C=" + t.at("c"));
  const struct {
    const char* path;
    const char* content;
  } cases[] = {
      {"C:\\DOS\\EDIT.COM", "mixed"}, {"c:\\dos\\edit.com", "mixed"}, {"C:\\Dos\\readme", "lower"},
      {"C:\\Dos\\README", "upper"},   {"C:\\DOS\\ReadMe", "upper"},  // no exact match: the first in byte
                                                                     // order
  };
  for (const auto& c : cases) {
    host::File f;
    ASSERT_EQ(host::open_file(c.path, host::kAccessRead, host::kShareRead, host::kOpenExisting, f), 0)
        << c.path;
    char buf[16] = {};
    size_t got = 0;
    ASSERT_EQ(host::read_file(f, buf, sizeof buf, got), 0);
    EXPECT_EQ(std::string(buf, got), c.content) << c.path;
  }
  // A name created after the directory was looked at in another case is found all the same.
  t.file("c/Dos/Late.Bin", "late");
  {
    host::File late;
    ASSERT_EQ(
        host::open_file("C:\\DOS\\LATE.BIN", host::kAccessRead, host::kShareRead, host::kOpenExisting, late),
        0);
  }
  ASSERT_EQ(rename(t.at("c/Dos/Late.Bin").c_str(), t.at("c/Dos/late.bin").c_str()), 0);
  {
    host::File late;
    ASSERT_EQ(
        host::open_file("C:\\DOS\\LATE.BIN", host::kAccessRead, host::kShareRead, host::kOpenExisting, late),
        0)
        << "a renamed entry is looked up afresh";
  }
  host::File f;
  ASSERT_EQ(host::open_file("C:\\DOS\\New.Txt", host::kAccessWrite, host::kShareNone, host::kCreateNew, f),
            0);
  f = host::File{};
  struct stat st {};
  EXPECT_EQ(stat(t.at("c/Dos/New.Txt").c_str(), &st), 0)
      << "a new name keeps the spelling given, in the found directory";
}

}  // namespace
