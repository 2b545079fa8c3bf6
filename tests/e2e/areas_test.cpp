// Areas end to end: the area list (-DA) from the command line, the defaults and the areas
// file; the walk of file sets, recursive sets and whole drives in temporary host trees, with
// exclusions, special system files, unreadable items, FIFOs, links and names equal but for case.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/expect.h"
#include "e2e/harness.h"

namespace {

std::string at() { return e2e::faketime_at(e2e::data_issue().issue, 1); }

std::string sample(const std::string& name) {
  return e2e::read_file(std::string(BRINT_SOURCE_DIR) + "/data/samples/" + name);
}

// A drive C: plus a network drive N:, each in a temporary directory that other users may
// enter, so that a program run as uid 65534 sees the same trees.
struct Box : e2e::Drive {
  e2e::TempDir net;
  Box() {
    ::chmod(dir.path.c_str(), 0755);
    ::chmod(net.path.c_str(), 0755);
    ::chmod(system.path.c_str(), 0777);
  }
  void put(const std::string& name, const std::string& bytes = "clean") const {
    const std::string path = file(name);
    e2e::make_dirs(std::filesystem::path(path).parent_path().string());
    e2e::write_file(path, bytes);
  }
  e2e::RunOptions options(std::vector<std::string> args) const {
    auto o = e2e::Drive::options(std::move(args), at());
    o.env["BRINT_DRIVES"] = "C=" + dir.path + ";N=network:" + net.path;
    return o;
  }
  // The output after the issue line (the part the area tests are about).
  e2e::RunResult run(std::vector<std::string> args, const std::string& cwd = "") const {
    auto o = options(std::move(args));
    if (!cwd.empty()) o.cwd = cwd;
    auto r = e2e::run(o);
    const std::string head = e2e::opening(at());
    if (r.out.rfind(head, 0) == 0) r.out = r.out.substr(head.size());
    return r;
  }
};

std::string area_list(const std::vector<std::string>& areas) {
  std::string out = areas.size() == 1 ? "1 area checked is:\n\n"
                                      : std::to_string(areas.size()) + " areas checked are:\n\n";
  for (const auto& a : areas) out += a + "\n";
  return out + "\n";
}

std::string summary(int files, int bytes) {
  const std::string f = std::to_string(files) + (files == 1 ? " file" : " files");
  return f + " (" + std::to_string(bytes / 1024) + "." + std::to_string(bytes % 1024 * 10 / 1024) +
         " Kbytes) brinted in 0 minutes and 1 second\nat " + std::to_string(bytes) + " bytes/second.\n";
}

const std::string kClean = "No viruses were discovered.\n";

}  // namespace

TEST(AreaList, DefaultsAndDriveArguments) {
  NEED_FAKETIME();
  Box b;
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> areas;
  } cases[] = {
      {{}, {"\"All master boot sectors\"", "C:|0", "C:\"All executables\""}},
      {{"-ALL"}, {"\"All master boot sectors\"", "C:|0", "C:\\>*.*"}},
      {{"-NAB"}, {"C:\"All executables\""}},
      {{"-FS"}, {"C:\"All executables\""}},
      // A network drive gets no boot sector area.
      {{"N:", "C:"}, {"\"All master boot sectors\"", "C:|0", "C:\"All executables\"", "N:\"All executables\""}},
      // -REC applies wherever it stands; a quoted argument keeps its blank; a relative one
      // is made full from the current directory.
      {{"-REC", "C:\\SUB DIR\\*.COM"}, {">C:\\SUB DIR\\*.COM"}},
      {{"sub\\*.com", "-REC"}, {">C:\\SUB\\*.COM"}},
      {{"sub\\*.com", "C:\\X.EXE"}, {"C:\\SUB\\*.COM", "C:\\X.EXE"}},
  };
  // C: has its sectors in an image file (a drive mapped with files only has no boot sector
  // to check on this host).
  e2e::write_file(b.system.file("c.img"), std::string(64 * 512, '\0'));
  for (const auto& c : cases) {
    auto o = b.options(c.args);
    o.args.push_back("-DA");
    o.env["BRINT_DRIVES"] = "C=" + b.root() + "," + b.system.file("c.img") + ";N=network:" + b.net.path;
    auto r = e2e::run(o);
    r.out = r.out.substr(std::min(r.out.size(), e2e::opening(at()).size()));
    EXPECT_EQ(r.out, area_list(c.areas)) << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(r.status, 0);
  }
}

TEST(AreasFile, LinesAreStoredWithTheirDrive) {
  NEED_FAKETIME();
  Box b;
  b.put("BRINT.ARE",
        "; a comment only\n"
        "\\UTIL\\*.COM\n"
        "<EDIT.COM\n"
        "<\\DOS\\EDIT.COM  ; a full path\n"
        "   \"All Everything\"\n"
        ">\\GAMES\\*.EXE\n"
        "+80 0\n"
        "C:|*\n"
        "\n");
  auto r = b.run({"-DA", "-AD=N"});
  EXPECT_EQ(r.out, "Warning! Using area descriptions in file BRINT.ARE\n" +
                       area_list({"N:\\UTIL\\*.COM", "<EDIT.COM", "<N:\\DOS\\EDIT.COM", "N:\"All Everything\"",
                                  ">N:\\GAMES\\*.EXE", "+80 0", "C:|*"}));
  EXPECT_EQ(r.status, 0);

  // Named with -AF=, the file is used without the warning; the drive is the current one.
  std::filesystem::rename(b.file("BRINT.ARE"), b.file("other.are"));
  r = b.run({"-DA", "-AF=other.are"});
  EXPECT_EQ(r.out, area_list({"C:\\UTIL\\*.COM", "<EDIT.COM", "<C:\\DOS\\EDIT.COM", "C:\"All Everything\"",
                              ">C:\\GAMES\\*.EXE", "+80 0", "C:|*"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Warning!"), std::string::npos);
}

TEST(AreasFile, RefusedLinesEndTheRun) {
  NEED_FAKETIME();
  Box b;
  const std::string warning = "Warning! Using area descriptions in file BRINT.ARE\n";
  std::string many;
  for (int i = 0; i < 94; ++i) many += "\\F" + std::to_string(i) + ".COM\n";
  const struct {
    std::string file;
    std::string out;
  } cases[] = {
      {"C:\n", "Bad drive specification in 'C:'\n"},
      {"\"All Devices\"\n", "Bad drive specification in '\"All Devices\"'\n"},
      {std::string(256, 'A') + "\n", "Area description is too long in\n" + std::string(255, 'A') + "\n"},
      {many, "Too many areas in file BRINT.ARE\n"},
  };
  for (const auto& c : cases) {
    b.put("BRINT.ARE", c.file);
    const auto r = b.run({"-DA"});
    EXPECT_EQ(r.out, warning + c.out) << c.file.substr(0, 20);
    EXPECT_EQ(r.status, 2);
  }
  // 93 lines still fit.
  many.erase(many.rfind("\\F93"));
  b.put("BRINT.ARE", many);
  auto r = b.run({"-DA"});
  EXPECT_NE(r.out.find("93 areas checked are:\n\nC:\\F0.COM\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0);

  // An exclusion with a wildcard is stored (and names an area, so no default drive is
  // added), then refused before anything is examined.
  b.put("BRINT.ARE", "<*.COM\n");
  b.put("A.COM");
  r = b.run({"-NAB", "-NK"});
  EXPECT_EQ(r.out, warning + e2e::headline(1) + "\nUnable to process exclusion item '*.COM'\n");
  EXPECT_EQ(r.status, 2);
}

TEST(Walk, FilesBeforeSubdirectoriesAndSubdirectoriesInReverse) {
  NEED_FAKETIME();
  Box b;
  for (const char* f : {"T/ONE.COM", "T/TWO.EXE", "T/A/A1.COM", "T/A/X/X1.COM", "T/B/B1.COM", "T/C/C1.COM", "T/C/C.TXT"})
    b.put(f, "12345");
  const auto r = b.run({"-NS", "-DN", "-REC", "C:\\T\\*.COM"});
  EXPECT_EQ(r.out, e2e::headline(1) + "\nExamining area 1: >C:\\T\\*.COM\n" +
                       "\tC:\\T\\ONE.COM\n\tC:\\T\\C\\C1.COM\n\tC:\\T\\B\\B1.COM\n\tC:\\T\\A\\A1.COM\n"
                       "\tC:\\T\\A\\X\\X1.COM\n" +
                       summary(5, 25) + kClean);
  EXPECT_EQ(r.status, 0);
}

TEST(Walk, WholeDriveTakesExecutablesAndPassesOverExclusionsAndSystemFiles) {
  NEED_FAKETIME();
  Box b;
  for (const char* f : {"A.C", "FOO.OVX", "FOO.OV", "FOO.TXT", "FOO.ARJ", "BAR.BID", "PAGEFILE.SYS", "SKIP/IN.COM",
                        "KEEP/IN.COM", "KEEP/EDIT.COM", "KEEP/SUB/PAGEFILE.SYS"})
    b.put(f, "12345");
  // Two host files that differ only in case are both checked; a FIFO and a link are never opened.
  b.put("KEEP/case.com", "a");
  b.put("KEEP/CASE.COM", "b");
  ASSERT_EQ(::mkfifo(b.file("KEEP/FIFO.COM").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/zero", b.file("KEEP/ZERO.COM").c_str()), 0);
  ASSERT_EQ(::symlink(b.file("KEEP").c_str(), b.file("LOOP").c_str()), 0);
  b.put("BRINT.ARE", "<SKIP\n<EDIT.COM\n");
  auto o = b.options({"-NS", "-DN", "-AS", "-NAB", "-NK"});
  o.timeout_ms = 10000;
  auto r = e2e::run(o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, e2e::opening(at()) + "Warning! Using area descriptions in file BRINT.ARE\n" + e2e::headline(3) +
                       "\nExamining area 1: C:\"All executables\"\n"
                       "\tC:\\FOO.OV\n\tC:\\FOO.OVX\n\tC:\\KEEP\\CASE.COM\n\tC:\\KEEP\\case.com\n\tC:\\KEEP\\IN.COM\n"
                       "\tC:\\KEEP\\SUB\\PAGEFILE.SYS\n"
                       "\nItem 2 is an exclusion descriptor: <SKIP\n"
                       "\nItem 3 is an exclusion descriptor: <EDIT.COM\n" +
                       summary(6, 22) + kClean);
  EXPECT_EQ(r.status, 0);
}

// Under -WC the whole-drive walk gives other extensions the compression check.
TEST(Walk, WarnIfCompressedChecksOtherExtensions) {
  NEED_FAKETIME();
  Box b;
  b.put("FOO.ZIP", "PK\x03\x04 rest of an archive");
  b.put("FOO.LZH", "-lh5- rest of an archive");
  b.put("FOO.TXT", "PK\x03\x04 text");
  b.put("FOO.ARJ", "PK\x03\x04 archive");
  auto r = b.run({"-WC", "-NAB", "-NK"});
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + "Warning! File C:\\FOO.LZH is compressed (LZH).\n" +
                       "Warning! File C:\\FOO.ZIP is compressed (ZIP).\n" + summary(0, 0) + kClean +
                       "\nWarning! 2 compressed files could not be checked.\n");
  EXPECT_EQ(r.status, 2);
}

TEST(Walk, MemoryRangeStopsTheExamination) {
  NEED_FAKETIME();
  Box b;
  b.put("A.COM", "12345");
  const auto r = b.run({"-NS", "-DN", "C:\\A.COM", "[0-1]", "C:\\*.COM"});
  EXPECT_EQ(r.out, e2e::headline(3) + "\nExamining area 1: C:\\A.COM\n\tC:\\A.COM\n" +
                       "\nExamining area 2: C:\\[0-1]\n\n\nIncorrect area descriptor:\n    C:\\[0-1]\n");
  EXPECT_EQ(r.status, 2);
}

TEST(Walk, UnreadableDirectoriesAndFilesAreErrors) {
  NEED_FAKETIME();
  Box b;
  b.put("SECRET/S.COM", "12345");
  b.put("OPEN/FINE.COM", "12345");
  b.put("OPEN/LOCKED.COM", "12345");
  // Under -WC the walk opens other extensions for the compression check, except those that
  // begin with a letter of the executable ones (TXT, ARJ) and names too short (A.C).
  for (const char* f : {"SECRET", "OPEN/LOCKED.COM", "OPEN/LOCKED.ZIP", "OPEN/LOCKED.TXT", "OPEN/LOCKED.ARJ", "OPEN/A.C"}) {
    if (std::string(f) != "SECRET") b.put(f, "12345");
    ::chmod(b.file(f).c_str(), 0);
  }
  auto o = b.options({"-NS", "-DN", "-NAB", "-NK", "-WC"});
  o.as_nobody = e2e::running_as_root();
  auto r = e2e::run(o);
  EXPECT_EQ(r.out, e2e::opening(at()) + e2e::headline(1) + "\nExamining area 1: C:\"All executables\"\n" +
                       "Illegal path or file specification: C:\\SECRET\\ (NT error code 5)\n"
                       "\tC:\\OPEN\\FINE.COM\n\tC:\\OPEN\\LOCKED.COM\nCould not open file C:\\OPEN\\LOCKED.COM\n"
                       "NT error code 5 (access denied) - Could not open file C:\\OPEN\\LOCKED.ZIP\n" +
                       summary(1, 5) + "3 errors were encountered during brinting.\n" + kClean);
  EXPECT_EQ(r.status, 2);

  // A file set whose directory cannot be listed.
  o.args = {"-NK", "C:\\SECRET\\*.COM"};
  r = e2e::run(o);
  EXPECT_EQ(r.out, e2e::opening(at()) + e2e::headline(1) + e2e::kElapsed0 +
                       "Could not open C:\\SECRET\\*.COM (NT error code 5)\n" + summary(0, 0) +
                       "1 error was encountered during brinting.\n" + kClean);
  EXPECT_EQ(r.status, 2);
}

TEST(Walk, EicarInASampleTreeIsFound) {
  NEED_FAKETIME();
  Box b;
  std::filesystem::copy(std::string(BRINT_SOURCE_DIR) + "/samples/drive_c", b.root(),
                        std::filesystem::copy_options::recursive);
  b.put("DEEP/ER/STILL/EICAR.SYS", sample("eicar.com"));
  const auto r = b.run({"-NAB", "-NK"});
  EXPECT_TRUE(r.out.starts_with(e2e::headline(1) + e2e::kElapsed0 +
                                ">>> Identity 'EICAR Test' found in file C:\\GAMES\\EICAR.COM\n" +
                                ">>> Identity 'EICAR Test' found in file C:\\DEEP\\ER\\STILL\\EICAR.SYS\n"))
      << r.out;
  EXPECT_NE(r.out.find("\n2 virus patterns/identities were discovered.\n2 files out of "), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 3);
}

TEST(Walk, EveryDiskSeesTheSameExclusions) {
  NEED_FAKETIME();
  Box b;
  b.put("KEEP.COM", "12345");
  // A full list of 31 name exclusions: registered afresh for every disk, never piling up.
  std::string are;
  for (int i = 0; i < 31; ++i) are += "<SKIP" + std::to_string(i) + ".COM\n";
  b.put("BRINT.ARE", are + "C:\\*.COM\n");
  b.put("SKIP7.COM", "12345");
  auto o = b.options({"-MU", "-NAB"});
  o.use_pty = true;
  const std::string prompt = "multiple disks ... ";
  o.pty_steps = {e2e::key(prompt, "x"), e2e::key(prompt, "x"), e2e::key(prompt, "\x1b")};
  const auto r = e2e::run(o);
  const std::string out = e2e::from_terminal(r.out);
  const size_t disk1 = out.find("32 areas for " + std::to_string(e2e::data_issue().virus_count) + " viruses on disk #1.\n");
  const size_t disk2 = out.find("32 areas for " + std::to_string(e2e::data_issue().virus_count) + " viruses on disk #2.\n");
  ASSERT_NE(disk1, std::string::npos) << out;
  ASSERT_NE(disk2, std::string::npos) << out;
  EXPECT_NE(out.substr(disk1, disk2 - disk1).find(summary(1, 5) + kClean), std::string::npos) << out;
  EXPECT_NE(out.substr(disk2).find(summary(1, 5) + kClean), std::string::npos) << out;
  EXPECT_EQ(out.find("Unable to process exclusion item"), std::string::npos) << out;
  EXPECT_NE(out.find("2 disks were checked in total.\n"), std::string::npos) << out;
  EXPECT_EQ(r.status, 0);
}

TEST(Walk, APathPastTheLimitIsNotFormed) {
  NEED_FAKETIME();
  Box b;
  // C:\ plus directories of 50 characters: the fifth level passes 260 characters.
  std::string rel;
  for (int i = 0; i < 5; ++i) rel += (rel.empty() ? "" : "/") + std::string(50, char('A' + i));
  b.put(rel + "/DEEP.COM", "12345");
  b.put("TOP.COM", "12345");
  const auto r = b.run({"-NAB", "-NK"});
  std::string nt = "C:\\";
  for (int i = 0; i < 4; ++i) nt += std::string(50, char('A' + i)) + "\\";
  // The walk path of the fifth level and its search mask, cut at the limit.
  const std::string cut = (nt + std::string(50, 'E') + "\\*.*").substr(0, 260);
  EXPECT_NE(r.out.find("Illegal path or file specification: " + cut + " (NT error code 206)\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(summary(1, 5) + "1 error was encountered during brinting.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 2);
}

TEST(Walk, NamesOnTheStatusLineAreBlankedToTheLastLength) {
  NEED_FAKETIME();
  Box b;
  b.put("LONGNAME.COM", "1234\n");
  b.put("Z.COM", "1234\n");
  const auto r = b.run({"-NAB", "-NK", "-DN"});
  EXPECT_EQ(r.out, e2e::headline(1) + "00:00 \r00:00 C:\\LONGNAME.COM\r00:00 C:\\Z.COM" + std::string(7, ' ') + "\r" +
                       summary(2, 10) + kClean);
  EXPECT_EQ(r.status, 0);
}

TEST(Walk, AFloppyDriveWithoutADiskIsEmpty) {
  NEED_FAKETIME();
  Box b;
  auto o = b.options({"-NAB", "-NK", "A:"});
  o.env["BRINT_DRIVES"] += ";A=floppy:-";
  const auto r = e2e::run(o);
  EXPECT_EQ(r.out, e2e::opening(at()) + e2e::headline(1) + e2e::kElapsed0 + std::string(19, ' ') +
                       "\rDrive A is empty.\n" + summary(0, 0) + "1 error was encountered during brinting.\n" + kClean);
  EXPECT_EQ(r.status, 2);
}
