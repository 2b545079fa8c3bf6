// Boot sectors and sector areas end to end: floppy and hard-disk images made by the system's
// own tools (mkfs.fat, sfdisk, syslinux's master boot record), with the project's test boot
// sector and test master boot record written into copies of them; the program finds them,
// disables them after the Yes/No question, refuses bad sector ranges and stops at a read past
// the end of an image. Tests skip when a tool is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/expect.h"
#include "e2e/harness.h"

namespace {

const std::string kMbrBin = "/usr/lib/syslinux/mbr/mbr.bin";

std::string at() {
  return e2e::faketime_at(e2e::data_issue().issue, 1);
}

std::string sample(const std::string& name) {
  return e2e::read_file(std::string(BRINT_SOURCE_DIR) + "/data/samples/" + name);
}

// The path of an image tool (PATH, then the system directories a non-root PATH may lack).
std::string tool(const std::string& name) {
  for (const char* d : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string p = d + name;
    if (::access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

#define NEED_TOOLS(...)               \
  NEED_FAKETIME();                    \
  for (const char* t : {__VA_ARGS__}) \
    if (tool(t).empty()) GTEST_SKIP() << t << " is not installed"

#define NEED_MBR() \
  if (!e2e::file_exists(kMbrBin)) GTEST_SKIP() << kMbrBin << " is not installed"

bool sh(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// `bytes` written over an image from byte `offset` on (the rest of the image kept).
void patch(const std::string& path, size_t offset, const std::string& bytes) {
  std::string image = e2e::read_file(path);
  ASSERT_LE(offset + bytes.size(), image.size());
  image.replace(offset, bytes.size(), bytes);
  e2e::write_file(path, image);
}

// A FAT12 floppy image of `kib` KiB made by mkfs.fat.
void make_floppy(const std::string& path, int kib) {
  ASSERT_TRUE(sh(tool("mkfs.fat") + " -C " + path + " " + std::to_string(kib))) << path;
}

// A 16 MiB hard-disk image: syslinux's master boot record, one active FAT16 partition from
// sector 63 on (sfdisk), formatted by mkfs.fat. The partition starts at byte kPartition.
constexpr size_t kPartition = 63 * 512;
void make_hard_disk(const std::string& path) {
  const std::string part = path + ".part";
  e2e::write_file(path, std::string(16 << 20, '\0'));
  ASSERT_TRUE(sh("echo 'start=63, type=6, bootable' | " + tool("sfdisk") + " -q " + path)) << path;
  const std::string table = e2e::read_file(path).substr(440);
  patch(path, 0, e2e::read_file(kMbrBin).substr(0, 440));
  ASSERT_EQ(e2e::read_file(path).substr(440, 72), table.substr(0, 72)) << "the partition table stays";
  ASSERT_TRUE(sh(tool("mkfs.fat") + " -F 16 -h 63 -C " + part + " " + std::to_string(((32768 - 63) / 2))));
  patch(path, kPartition, e2e::read_file(part));
  ::unlink(part.c_str());
}

// A working directory, a system directory and a directory of images; the drive map is
// given per run.
struct Disks : e2e::Drive {
  e2e::TempDir images;
  std::string image(const std::string& name) const { return images.file(name); }
  e2e::RunOptions options(const std::string& drives, std::vector<std::string> args) const {
    auto o = e2e::Drive::options(std::move(args), at());
    o.env["BRINT_DRIVES"] = drives;
    return o;
  }
  // The output after the issue line.
  static e2e::RunResult tail(e2e::RunResult r, bool terminal = false) {
    if (terminal) r.out = e2e::from_terminal(r.out);
    const std::string head = e2e::opening(at());
    if (r.out.rfind(head, 0) == 0) r.out = r.out.substr(head.size());
    return r;
  }
  e2e::RunResult run(const std::string& drives, std::vector<std::string> args) const {
    return tail(e2e::run(options(drives, std::move(args))));
  }
};

std::string summary(int bytes) {
  const std::string kb = std::to_string(bytes / 1024) + "." + std::to_string(bytes % 1024 * 10 / 1024);
  return "0 files (" + kb + " Kbytes) brinted in 0 minutes and 1 second\nat " + std::to_string(bytes) +
         " bytes/second.\n";
}

const std::string kClean = "No viruses were discovered.\n";
const std::string kFound =
    "1 virus pattern/identity was discovered.\n0 files out of 0 were infected.\n\n"
    "Please send a sample of the virus(es) to Corvel for analysis:\n"
    "Corvel Software, Virus Research, P.O. Box 277, 2000 Corvel Park\n"
    "For help call Corvel Technical Support, or mail support@corvel.example\n";
const std::string kBootFound = ">>> Pattern 'Brint Test Boot' found in sector 0 of drive A:\n";
const std::string kBootQuestion =
    "About to disable boot sector of drive A.\n\nNote that this will disable the virus, but the PC will not "
    "boot "
    "any more.\nProceed (Y/N) ? ";
const std::string kBootDisabled =
    "The virus is now disabled, but note that the virus pattern may still be\npresent in the boot "
    "sector.\n\n";

std::string floppy(const std::string& image) {
  return "A=floppy:-," + image;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The boot sector of a floppy image.

TEST(FloppyBootSector, TheTestBootSectorIsFound) {
  NEED_TOOLS("mkfs.fat");
  Disks d;
  make_floppy(d.image("fd.img"), 1440);
  patch(d.image("fd.img"), 0, sample("testboot.bin"));
  const std::string before = e2e::read_file(d.image("fd.img"));
  // A: names its boot sector and its files ("All master boot sectors" finds no physical drive).
  const auto r = d.run(floppy(d.image("fd.img")), {"-NK", "A:"});
  EXPECT_EQ(r.out, e2e::headline(3) + e2e::kElapsed0 + kBootFound + summary(512) + kFound);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(e2e::read_file(d.image("fd.img")), before) << "nothing is written without -REMOVE";
}

TEST(FloppyBootSector, YesDisablesWhereTheJumpLeadsNoLeavesItAndASecondRunSeesTheMark) {
  NEED_TOOLS("mkfs.fat");
  Disks d;
  make_floppy(d.image("fd.img"), 1440);
  patch(d.image("fd.img"), 0, sample("testboot.bin"));
  const std::string infected = e2e::read_file(d.image("fd.img"));
  ASSERT_EQ(infected.substr(0, 2), "\xEB\x3C");

  // On a terminal the finding and the question each ring the bell, and so does the summary
  // of a pass that found a virus.
  const std::string kBell = "\a\a";
  // N: the question is answered and nothing changes.
  auto o = d.options(floppy(d.image("fd.img")), {"-NK", "-REMOVEB", "A:|0"});
  o.use_pty = true;
  o.pty_steps = {e2e::key("Proceed (Y/N) ? ", "n")};
  auto r = Disks::tail(e2e::run(o), true);
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + kBootFound + kBell + kBootQuestion + "N\r\n" +
                       summary(512) + "\a" + kFound + "\n")
      << r.out;
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(e2e::read_file(d.image("fd.img")), infected);

  // Y: the short jump EB 3C leads to byte 62, where the disabled mark goes; nothing else moves.
  o.pty_steps = {e2e::key("Proceed (Y/N) ? ", "y")};
  r = Disks::tail(e2e::run(o), true);
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + kBootFound + kBell + kBootQuestion + "Y\r\n" +
                       kBootDisabled + summary(512) + "\a" + kFound + "\n")
      << r.out;
  EXPECT_EQ(r.status, 3);
  std::string disabled = infected;
  disabled.replace(62, 2, "\xEB\xFE");
  EXPECT_EQ(e2e::read_file(d.image("fd.img")), disabled);

  // Again: the mark is seen, the sector is not searched, nothing is asked or written.
  r = d.run(floppy(d.image("fd.img")), {"-NK", "-REMOVEB", "A:|0"});
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 +
                       "Virus has already been disabled in this boot sector.\n" + summary(0) + kClean);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(e2e::read_file(d.image("fd.img")), disabled);
}

TEST(FloppyBootSector, AWriteProtectedImageIsNotDisabled) {
  NEED_TOOLS("mkfs.fat");
  Disks d;
  make_floppy(d.image("fd.img"), 1440);
  patch(d.image("fd.img"), 0, sample("testboot.bin"));
  const std::string infected = e2e::read_file(d.image("fd.img"));
  // Readable by everyone, writable by nobody but root; the program runs as another user
  // when the tests run as root.
  ::chmod(d.images.path.c_str(), 0755);
  ::chmod(d.system.path.c_str(), 0777);
  ::chmod(d.dir.path.c_str(), 0755);
  ::chmod(d.image("fd.img").c_str(), 0444);
  // -REMOVE also asks for the removal lines of the summary, which count the failure.
  auto o = d.options(floppy(d.image("fd.img")), {"-NK", "-REMOVE", "-NOC", "A:|0"});
  o.as_nobody = true;
  const auto r = Disks::tail(e2e::run(o));
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + kBootFound +
                       "Could not overwrite sector 0 - NT error code 0013\n" + summary(512) +
                       "1 error was encountered during brinting.\n" +
                       "1 virus pattern/identity was discovered.\n0 files out of 0 were infected.\n"
                       "0 files have been removed and 0 boot sectors have been disabled.\n"
                       "1 boot sector could not be disabled.\n" +
                       kFound.substr(kFound.find("\nPlease")))
      << r.out;
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(e2e::read_file(d.image("fd.img")), infected);
}

TEST(FloppyBootSector, AFloppyDriveWithoutADiskIsEmpty) {
  NEED_FAKETIME();
  Disks d;
  const std::string kEmpty = std::string(19, ' ') + "\rDrive A is empty.\n";
  // The boot sector area alone: one message, one error.
  auto r = d.run("A=floppy:-", {"-NK", "A:|0"});
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + kEmpty + summary(0) +
                       "1 error was encountered during brinting.\n" + kClean);
  EXPECT_EQ(r.status, 2);
  // The drive letter names its boot sector and its files: each area finds the drive empty.
  r = d.run("A=floppy:-", {"-NK", "A:"});
  EXPECT_EQ(r.out, e2e::headline(3) + e2e::kElapsed0 + kEmpty + kEmpty + summary(0) +
                       "2 errors were encountered during brinting.\n" + kClean);
  EXPECT_EQ(r.status, 2);
}

// ---------------------------------------------------------------------------------------
// Sector ranges.

TEST(SectorRange, RangesAreCheckedOrRefused) {
  NEED_TOOLS("mkfs.fat");
  Disks d;
  make_floppy(d.image("fd.img"), 1440);
  patch(d.image("fd.img"), 0, sample("testboot.bin"));
  // A 160 KiB floppy: 284 data sectors (clusters times sectors per cluster).
  make_floppy(d.image("small.img"), 160);
  // An unformatted floppy: no boot sector to tell its size, so it counts as one sector.
  e2e::write_file(d.image("blank.img"), std::string(1440 * 1024, '\0'));
  const std::string kError = "1 error was encountered during brinting.\n";
  const struct {
    std::string image, area, text;
    int status;
  } cases[] = {
      // The boot sector over all its bytes.
      {"fd.img", "A:|0", kBootFound + summary(512) + kFound, 3},
      // One byte: the signature is not in it.
      {"fd.img", "A:|0 0 3", summary(1) + kClean, 0},
      // Sectors 1 to 2 of the infected floppy: nothing there.
      {"fd.img", "A:|1 2", summary(1024) + kClean, 0},
      {"fd.img", "A:|5 2",
       "From sector must be less than or equal to to sector in 'A:\\|5 2'\n" + summary(0) + kError + kClean,
       2},
      {"fd.img", "A:|0 0 10 5",
       "To byte must be greater or equal to from byte in 'A:\\|0 0 10 5'\n" + summary(0) + kError + kClean,
       2},
      {"fd.img", "A:|2880",
       "From sector must be less than the number of sectors in the drive in 'A:\\|2880'\n" + summary(0) +
           kError + kClean,
       2},
      {"fd.img", "A:|0 0 512",
       "From byte must be smaller than the number of bytes per sector in 'A:\\|0 0 512'\n" + summary(0) +
           kError + kClean,
       2},
      {"fd.img", "A:|", "Bad number of parameters in 'A:\\|'\n" + summary(0) + kError + kClean, 2},
      // Every sector once; a to sector past the end is lowered to the last one.
      {"small.img", "A:|*", summary(284 * 512) + kClean, 0},
      {"small.img", "A:|280 99999", summary(4 * 512) + kClean, 0},
      {"blank.img", "A:|*", summary(512) + kClean, 0},
  };
  for (const auto& c : cases) {
    const auto r = d.run(floppy(d.image(c.image)), {"-NK", c.area});
    EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + c.text) << c.area;
    EXPECT_EQ(r.status, c.status) << c.area;
  }
}

TEST(SectorRange, AReadPastTheEndOfTheImageStopsTheRange) {
  NEED_TOOLS("mkfs.fat");
  Disks d;
  // The boot sector tells of 2880 sectors; the image holds 100.
  make_floppy(d.image("fd.img"), 1440);
  patch(d.image("fd.img"), 0, sample("testboot.bin"));
  e2e::write_file(d.image("cut.img"), e2e::read_file(d.image("fd.img")).substr(0, 100 * 512));
  auto r = d.run(floppy(d.image("cut.img")), {"-NK", "A:|98 200"});
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + "Could not read sector 100 - NT error code 001b\n" +
                       summary(1024) + "1 error was encountered during brinting.\n" + kClean);
  EXPECT_EQ(r.status, 2);
  // The whole range: the boot sector's finding stays and the exit code says so.
  r = d.run(floppy(d.image("cut.img")), {"-NK", "A:|*"});
  EXPECT_EQ(r.out, e2e::headline(1) + e2e::kElapsed0 + kBootFound +
                       "Could not read sector 100 - NT error code 001b\n" + summary(100 * 512) +
                       "1 error was encountered during brinting.\n" + kFound);
  EXPECT_EQ(r.status, 3);
}

// ---------------------------------------------------------------------------------------
// Clean images and master boot sectors.

TEST(CleanDisks, FreshlyMadeImagesFindNothing) {
  NEED_TOOLS("mkfs.fat", "sfdisk");
  NEED_MBR();
  Disks d;
  make_floppy(d.image("fd.img"), 1440);
  make_hard_disk(d.image("hd.img"));
  // The floppy in A:, the partition as C:, the whole disk as physical drive 0: its master
  // boot sector, the boot sectors of A: and C:, and their (empty) file trees.
  const std::string drives = floppy(d.image("fd.img")) + ";C=fixed:-," + d.image("hd.img") + "@" +
                             std::to_string(kPartition) + ";PHYSICALDRIVE0=" + d.image("hd.img");
  const std::string before_fd = e2e::read_file(d.image("fd.img"));
  const std::string before_hd = e2e::read_file(d.image("hd.img"));
  const auto r = d.run(drives, {"-NK", "-REMOVEB", "-NOC", "A:", "C:"});
  EXPECT_EQ(r.out, e2e::headline(5) + e2e::kElapsed0 + summary(3 * 512) + kClean);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(e2e::read_file(d.image("fd.img")), before_fd);
  EXPECT_EQ(e2e::read_file(d.image("hd.img")), before_hd);
}

TEST(MasterBootSector, TheTestMbrOfPhysicalDrive0IsFoundAndDisabled) {
  NEED_TOOLS("mkfs.fat", "sfdisk");
  NEED_MBR();
  Disks d;
  make_hard_disk(d.image("hd.img"));
  // The test master boot record's code and message over the real one; the table stays.
  patch(d.image("hd.img"), 0, sample("testmbr.bin").substr(0, 440));
  const std::string infected = e2e::read_file(d.image("hd.img"));
  const std::string drives = "C=fixed:-," + d.image("hd.img") + "@" + std::to_string(kPartition) +
                             ";PHYSICALDRIVE0=" + d.image("hd.img");
  const std::string found =
      ">>> Pattern 'Brint Test MBR' found in abs sector 0, drive 0 (no drive),\n    head 0, cyl 0\n";
  auto r = d.run(drives, {"-NK", "C:"});
  EXPECT_EQ(r.out, e2e::headline(3) + e2e::kElapsed0 + found + summary(1024) + kFound);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(e2e::read_file(d.image("hd.img")), infected);

  // Disabled without asking: its code starts with no jump, so the mark goes at byte 0.
  r = d.run(drives, {"-NK", "-REMOVEB", "-NOC", "C:"});
  EXPECT_EQ(r.out, e2e::headline(3) + e2e::kElapsed0 + found +
                       "The virus is now disabled, but note that the virus pattern may still be\n"
                       "present in the master boot sector.\n\n" +
                       summary(1024) + kFound)
      << r.out;
  EXPECT_EQ(r.status, 3);
  std::string disabled = infected;
  disabled.replace(0, 2, "\xEB\xFE");
  EXPECT_EQ(e2e::read_file(d.image("hd.img")), disabled);
}

TEST(MasterBootSector, EveryMappedPhysicalDriveIsCheckedAndAnUnreadableOneIsAnError) {
  NEED_FAKETIME();
  Disks d;
  // Drives 0 and 2 carry the test master boot record; drive 1 holds no sector at all.
  const std::string mbr = sample("testmbr.bin") + std::string(63 * 512, '\0');
  e2e::write_file(d.image("hd0.img"), mbr);
  e2e::write_file(d.image("hd1.img"), "");
  e2e::write_file(d.image("hd2.img"), mbr);
  const std::string drives = "C=" + d.root() + ";PHYSICALDRIVE0=" + d.image("hd0.img") +
                             ";PHYSICALDRIVE1=" + d.image("hd1.img") +
                             ";PHYSICALDRIVE2=" + d.image("hd2.img");
  const auto r = e2e::run(d.options(drives, {"-NK", "C:"}));
  // The drive type word is the one of the letter whose index is the drive number.
  const auto found = [](int n, const char* type) {
    return ">>> Pattern 'Brint Test MBR' found in abs sector 0, drive " + std::to_string(n) + " (" + type +
           "),\n    head 0, cyl 0\n";
  };
  // Pairing at start-up already meets the unreadable drive and says so on the console.
  EXPECT_EQ(r.out, e2e::kStart + "Could not read 'sector 0, drive 1' - NT error code 001b\n\n" +
                       e2e::reading() + e2e::date_line(at()) + e2e::issue_line() + e2e::headline(2) +
                       e2e::kElapsed0 + found(0, "no drive") +
                       "Could not read 'master boot sector of drive 1' - NT error code 001b\n" +
                       found(2, "fixed disk") + summary(1024) + "1 error was encountered during brinting.\n" +
                       "2 virus patterns/identities were discovered.\n" +
                       kFound.substr(kFound.find('\n') + 1));
  EXPECT_EQ(r.status, 3);
}

TEST(MasterBootSector, AnAbsoluteSectorAsksForItsDriveCode) {
  NEED_FAKETIME();
  Disks d;
  const std::string mbr = sample("testmbr.bin") + std::string(63 * 512, '\0');
  e2e::write_file(d.image("hd0.img"), mbr);
  e2e::write_file(d.file("BRINT.ARE"), "+80 0\n");
  auto o = d.options("C=" + d.root() + ";PHYSICALDRIVE0=" + d.image("hd0.img"), {"-NK", "-REMOVEB"});
  o.use_pty = true;
  o.pty_steps = {e2e::key("Proceed (Y/N) ? ", "y")};
  const auto r = Disks::tail(e2e::run(o), true);
  // The question names the drive code (100 for physical drive 0); the search covers 513 bytes.
  EXPECT_EQ(r.out,
            "Warning! Using area descriptions in file BRINT.ARE\n" + e2e::headline(1) + e2e::kElapsed0 +
                ">>> Pattern 'Brint Test MBR' found in abs sector 0, drive 0 (no drive),\n    head 0, cyl 0\n"
                "\a\aAbout to disable master boot sector of drive 100.\n\nNote that this will disable the "
                "virus, but the PC will not boot any more.\nProceed (Y/N) ? Y\r\n"
                "The virus is now disabled, but note that the virus pattern may still be\n"
                "present in the master boot sector.\n\n" +
                "0 files (0.5 Kbytes) brinted in 0 minutes and 1 second\nat 513 bytes/second.\n\a" + kFound +
                "\n")
      << r.out;
  EXPECT_EQ(r.status, 3);
  std::string disabled = mbr;
  disabled.replace(0, 2, "\xEB\xFE");
  EXPECT_EQ(e2e::read_file(d.image("hd0.img")), disabled);
}

// ---------------------------------------------------------------------------------------
// The OS/2 Boot Manager of a physical drive.

namespace {

// A disk of 2 cylinders of 255 heads and 63 sectors (32130 sectors) whose master boot
// sector holds one Boot Manager partition (system 0x0A) at cylinder 0, head 1, sector 1
// (absolute sector 63); its menu lists `entries` (6 bytes each from byte 79).
std::string boot_manager_disk(const std::vector<std::string>& entries) {
  std::string disk(255 * 63 * 512 * 2, '\0');
  std::string mbr(512, '\0');
  mbr[0] = '\xFA';
  mbr.replace(446, 8, std::string("\x80\x01\x01\x00\x0A\x01\x3F\x00", 8));
  mbr.replace(510, 2, "\x55\xAA");
  disk.replace(0, 512, mbr);
  std::string bm(512, '\0');
  bm[0] = '\xFA';
  for (size_t i = 0; i < entries.size(); ++i) bm.replace(79 + 6 * i, 6, entries[i]);
  bm.replace(510, 2, "\x55\xAA");
  disk.replace(63 * 512, 512, bm);
  return disk;
}

}  // namespace

TEST(BootManager, MenuSectorsAreCheckedAndAnEntryBeyondTheDiskIsCorruption) {
  NEED_FAKETIME();
  Disks d;
  // Two sectors at cylinder 0, head 2, sector 3 (absolute 128 and 129): 129 holds the test
  // boot sector.
  const std::string two_at_128("\x02\x02\x03\x00\x00\x02", 6);
  // One sector at cylinder 3: past the last cylinder of the disk.
  const std::string beyond("\x01\x02\x01\x03\x00\x00", 6);
  // Two sectors ending at the last one of the disk (cylinder 1, head 254, sectors 62-63).
  const std::string at_end("\x02\x02\x3E\x01\x00\xFE", 6);
  const std::string kCorrupt = "Warning! OS/2 Boot Manager has been corrupted, possibly by a virus.\n";
  // The master boot sector is searched over 512 bytes, the Boot Manager's sectors over 1025.
  const std::string kFoundBm = ">>> Pattern 'Brint Test Boot' found in OS/2 Boot Manager\n";
  const struct {
    const char* what;
    std::vector<std::string> entries;
    std::string text;
    int status;
  } cases[] = {
      {"infected menu sector", {two_at_128}, kFoundBm + summary(3587) + kFound, 3},
      {"clean run, then one beyond the end", {at_end, beyond}, kCorrupt + summary(3587) + kClean, 0},
      {"beyond the end first", {beyond, two_at_128}, kCorrupt + summary(1537) + kClean, 0},
  };
  for (const auto& c : cases) {
    std::string disk = boot_manager_disk(c.entries);
    disk.replace(129 * 512, 512, sample("testboot.bin"));
    e2e::write_file(d.image("bm.img"), disk);
    const auto r = d.run("C=" + d.root() + ";PHYSICALDRIVE0=" + d.image("bm.img"), {"-NK", "C:"});
    EXPECT_EQ(r.out, e2e::headline(2) + e2e::kElapsed0 + c.text) << c.what;
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(e2e::read_file(d.image("bm.img")), disk) << c.what << ": nothing is written";
  }
}

// ---------------------------------------------------------------------------------------
// Identity programs of an identity file beside the program: pairing and repairs.

namespace {

std::string vdc() { return std::string(BRINT_BUILD_DIR) + "/brint-vdc"; }

// A copy of the program in a directory of its own, with `source` assembled into an
// identity file beside it (identity files are read from the program's directory).
struct Identities : Disks {
  e2e::TempDir bin;
  void install(const std::string& source) {
    std::filesystem::copy_file(e2e::brint_binary(), bin.file("ntbrint"));
    ::chmod(bin.file("ntbrint").c_str(), 0755);
    const std::string src = images.file("extra.vds");
    e2e::write_file(src, source);
    e2e::RunOptions o;
    o.program = vdc();
    o.args = {"--ide", bin.file("extra.ide"), src};
    const auto r = e2e::run(o);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  e2e::RunOptions options(const std::string& drives, std::vector<std::string> args) const {
    auto o = Disks::options(drives, std::move(args));
    o.program = bin.file("ntbrint");
    return o;
  }
  // The output after the issue line and the busy turn of the identity file.
  static e2e::RunResult tail(e2e::RunResult r, bool terminal = false) {
    if (terminal) r.out = e2e::from_terminal(r.out);
    const std::string head = e2e::opening(at()) + e2e::busy(e2e::builtin_steps(), 1);
    if (r.out.rfind(head, 0) == 0) r.out = r.out.substr(head.size());
    return r;
  }
  e2e::RunResult run(const std::string& drives, std::vector<std::string> args) const {
    return tail(e2e::run(options(drives, std::move(args))));
  }
};

}  // namespace

TEST(Pairing, OnlyTheFirstLetterEqualToAPartitionReachesItsPhysicalDrive) {
  NEED_TOOLS("mkfs.fat", "sfdisk");
  NEED_MBR();
  Identities d;
  make_hard_disk(d.image("hd.img"));
  // The identity holds for a logical drive's boot sector whose physical drive's first
  // sector starts with the master boot record's code: only a paired letter reaches it.
  const std::string mbr = e2e::read_file(kMbrBin);
  char first[8];
  std::snprintf(first, sizeof first, "%02X %02X", unsigned(uint8_t(mbr[0])), unsigned(uint8_t(mbr[1])));
  d.install(std::string("virus \"Paired Boot\"\nrecord\n  pair EB 3C\n  onboot\n  push32 1\n  readphys\n"
                        "  at 0\n  pair ") +
            first + "\n  finish\nend\n");
  const std::string part = d.image("hd.img") + "@" + std::to_string(kPartition);
  // C: and D: both hold the partition.
  const std::string drives = "C=fixed:-," + part + ";D=fixed:-," + part + ";PHYSICALDRIVE0=" + d.image("hd.img");
  const int count = e2e::data_issue().virus_count + 1;
  // A known virus: no request for a sample.
  const std::string found = ">>> Identity 'Paired Boot' found in sector 0 of drive C:\n" + summary(1024) +
                            "1 virus pattern/identity was discovered.\n0 files out of 0 were infected.\n" +
                            kFound.substr(kFound.find("For help"));
  auto r = d.run(drives, {"-NK", "C:|0", "D:|0"});
  EXPECT_EQ(r.out, e2e::headline(2, "Quick", count) + e2e::kElapsed0 + found)
      << r.out;
  EXPECT_EQ(r.status, 3);
  // The letters in the other order: C: is still the first equal letter.
  r = d.run(drives, {"-NK", "D:|0", "C:|0"});
  EXPECT_EQ(r.out, e2e::headline(2, "Quick", count) + e2e::kElapsed0 + found)
      << r.out;
  EXPECT_EQ(r.status, 3);
  // Without pairing (-NAB) no letter reaches a physical drive.
  r = d.run(drives, {"-NK", "-NAB", "C:|0", "D:|0"});
  EXPECT_EQ(r.out, e2e::headline(2, "Quick", count) + e2e::kElapsed0 + summary(1024) + kClean) << r.out;
  EXPECT_EQ(r.status, 0);
}

TEST(IdentityRepair, YesPutsTheSavedBootSectorBack) {
  NEED_TOOLS("mkfs.fat");
  Identities d;
  make_floppy(d.image("fd.img"), 1440);
  // The "virus" keeps the original boot sector in sector 1 and puts its own in sector 0.
  const std::string original = e2e::read_file(d.image("fd.img")).substr(0, 512);
  patch(d.image("fd.img"), 512, original);
  patch(d.image("fd.img"), 0x3E, "\xCD\x19");
  const std::string infected = e2e::read_file(d.image("fd.img"));
  d.install(
      "virus \"Boot Mover\"\nrecord\n  pair EB 3C\n  onfloppy\n  at 0x3E\n  pair CD 19\n  report\n  ask\n"
      "  push8 1\n  readsector\n  push8 0\n  writesector\n  finish\nend\n");
  const int count = e2e::data_issue().virus_count + 1;
  auto o = d.options(floppy(d.image("fd.img")), {"-NK", "-DI", "A:|0"});
  o.use_pty = true;
  o.pty_steps = {e2e::key("Disinfect (Y/N) ? ", "y")};
  const auto r = Identities::tail(e2e::run(o), true);
  EXPECT_EQ(r.out, e2e::headline(1, "Quick", count) + e2e::kElapsed0 +
                       ">>> Identity 'Boot Mover' found in sector 0 of drive A:\n\a\aDisinfect (Y/N) ? Y\r\n"
                       "Disinfection successful.\n\n" +
                       summary(512) +
                       "Now run BRINT again to re-check the disk.\n\a1 virus pattern/identity was discovered.\n"
                       "0 files out of 0 were infected.\n\n")
      << r.out;
  EXPECT_EQ(r.status, 3);
  std::string repaired = infected;
  repaired.replace(0, 512, original);
  EXPECT_EQ(e2e::read_file(d.image("fd.img")), repaired);
}
