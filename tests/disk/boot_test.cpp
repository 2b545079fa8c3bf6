// Boot sector checks on disk images made by mkfs.fat and sfdisk: the disabled mark's place,
// sector range descriptors and their refusals, a floppy boot sector found, disabled, left
// alone and found already disabled, a write-protected image, a read failure inside a range,
// absolute sectors, master boot sectors of several physical drives and the Boot Manager.
#include "disk_test_util.h"

namespace {

using disktest::read_bytes;
using disktest::text_bytes;
using disktest::write_bytes;

class BootTest : public disktest::DiskFixture {
 protected:
  // Runs the walker's entry for a sector area and returns its result.
  int check(areas::AreaKind kind, const std::string& body) { return disk::check_sectors(kind, body); }
  int range(const std::string& body) { return check(areas::AreaKind::kSectorRange, body); }
};

std::vector<uint8_t> sector_with(std::vector<uint8_t> start) {
  start.resize(512, 0);
  return start;
}

TEST_F(BootTest, DisabledMarkLandsWhereTheBootCodeStarts) {
  const struct { const char* what; std::vector<uint8_t> head; size_t mark_at; } cases[] = {
      {"short jump EB 3C", {0xEB, 0x3C, 0x90}, 62},
      {"short jump to the highest target", {0xEB, 0xFF}, 257},
      {"near jump E9 00 01", {0xE9, 0x00, 0x01}, 259},
      {"near jump to byte 510", {0xE9, 0xFB, 0x01}, 510},
      {"near jump past byte 510", {0xE9, 0xFC, 0x01}, 0},
      {"no jump", {0xFA, 0x33, 0xC0}, 0},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> s = sector_with(c.head);
    const std::vector<uint8_t> before = s;
    EXPECT_EQ(disk::is_disabled(s, false), 0) << c.what;
    EXPECT_EQ(s, before) << c.what << ": changed without the disable flag";
    EXPECT_EQ(disk::is_disabled(s, true), 0) << c.what;
    EXPECT_EQ(s[c.mark_at], 0xEB) << c.what;
    EXPECT_EQ(s[c.mark_at + 1], 0xFE) << c.what;
    std::vector<uint8_t> marked = s;
    EXPECT_EQ(disk::is_disabled(s, true), 1) << c.what << ": mark not seen again";
    EXPECT_EQ(s, marked) << c.what;
  }
  std::vector<uint8_t> self = sector_with({0xEB, 0xFE});
  EXPECT_EQ(disk::is_disabled(self, true), 1);
  std::vector<uint8_t> shorter(511, 0);
  EXPECT_EQ(disk::is_disabled(shorter, true), 0);
  EXPECT_EQ(shorter, std::vector<uint8_t>(511, 0));
}

TEST_F(BootTest, SectorRangeDescriptors) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", false);
  ASSERT_FALSE(fd.empty());
  map("A=floppy:-," + fd + ";B=floppy:-;C=fixed:-," + fd + ";N=network:" + dir);
  // The floppy image: 2880 sectors, 33 of them before the data area, 1 sector per cluster.
  const uint64_t last = 2880 - 33 - 1;
  const struct {
    const char* text; int rc; uint64_t from, to; uint32_t from_byte, to_byte; const char* message;
  } cases[] = {
      {"C:|0", 0, 0, 0, 0, 511, ""},
      {"C:|*", 0, 0, last, 0, 511, ""},
      {"C:| *", 0, 0, last, 0, 511, ""},
      {"C:|3 9", 0, 3, 9, 0, 511, ""},
      {"C:|3 9 100", 0, 3, 9, 100, 100, ""},
      {"C:|3 9 100 900", 0, 3, 9, 100, 511, ""},
      {"C:|0 99999999", 0, 0, last, 0, 511, ""},
      {"C:|5 2", -2, 0, 0, 0, 0, "From sector must be less than or equal to to sector in 'C:|5 2'\n"},
      {"C:|0 0 10 5", -2, 0, 0, 0, 0, "To byte must be greater or equal to from byte in 'C:|0 0 10 5'\n"},
      {"C:|0 0 512 600", -2, 0, 0, 0, 0,
       "From byte must be smaller than the number of bytes per sector in 'C:|0 0 512 600'\n"},
      {"C:|2847", -2, 0, 0, 0, 0, "From sector must be less than the number of sectors in the drive in 'C:|2847'\n"},
      {"C:|-1", -2, 0, 0, 0, 0, "From sector must be less than the number of sectors in the drive in 'C:|-1'\n"},
      {"C:|-9223372036854775809", -2, 0, 0, 0, 0,
       "From sector must be less than the number of sectors in the drive in 'C:|-9223372036854775809'\n"},
      {"C:|99999999999999999999999", -2, 0, 0, 0, 0,
       "From sector must be less than the number of sectors in the drive in 'C:|99999999999999999999999'\n"},
      {"C:|0 0 0 99999999999", 0, 0, 0, 0, 511, ""},
      {"C:|0 0 -1", -2, 0, 0, 0, 0, "From byte must be smaller than the number of bytes per sector in 'C:|0 0 -1'\n"},
      {"C:|", -2, 0, 0, 0, 0, "Bad number of parameters in 'C:|'\n"},
      {"C:|x", -2, 0, 0, 0, 0, "Bad number of parameters in 'C:|x'\n"},
      {"B:|0", -2, 0, 0, 0, 0, "Bad drive specification in 'B:|0'\n"},
      {"N:|0", -2, 0, 0, 0, 0, "Sectors can only be read directly on floppy, hard, or Bernoulli drives.\n"},
      {"Q:|0", -2, 0, 0, 0, 0, "Sectors can only be read directly on floppy, hard, or Bernoulli drives.\n"},
  };
  for (const auto& c : cases) {
    out.clear();
    disk::SectorRange r;
    EXPECT_EQ(disk::parse_sector_range(c.text, r), c.rc) << c.text;
    EXPECT_EQ(out, c.message) << c.text;
    if (c.rc != 0) continue;
    EXPECT_EQ(r.drive, 2) << c.text;
    EXPECT_EQ(r.from_sector, c.from) << c.text;
    EXPECT_EQ(r.to_sector, c.to) << c.text;
    EXPECT_EQ(r.from_byte, c.from_byte) << c.text;
    EXPECT_EQ(r.to_byte, c.to_byte) << c.text;
  }
}

TEST_F(BootTest, CleanImagesFindNothing) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", false);
  const std::string hd = hard_disk("hd.img");
  ASSERT_FALSE(fd.empty());
  ASSERT_FALSE(hd.empty());
  map("A=floppy:-," + fd + ";C=fixed:-," + hd + "@1048576;PHYSICALDRIVE0=" + hd);
  driver::g_settings.disable_boot = true;
  driver::g_settings.no_confirmation = true;
  EXPECT_EQ(range("A:|0"), 0);
  EXPECT_EQ(range("C:|0"), 0);
  EXPECT_EQ(check(areas::AreaKind::kAllMasterBoot, "\"All master boot sectors\""), 0);
  EXPECT_EQ(check(areas::AreaKind::kAbsoluteSector, "+80 0"), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(driver::g_counters.pattern_findings + driver::g_counters.identity_findings, 0);
  EXPECT_EQ(driver::g_counters.boot_disabled, 0);
}

TEST_F(BootTest, InfectedFloppyBootSectorIsDisabledAfterYes) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", true);
  ASSERT_FALSE(fd.empty());
  map("A=floppy:-," + fd);
  disk::reset_disk_state();
  disk::pair_drives();
  driver::g_settings.disable_boot = true;
  const std::vector<uint8_t> before = read_bytes(fd, 0, 512);
  std::string shown;
  {
    disktest::Keys keys("y");
    shown = console([&] { EXPECT_EQ(range("A:|0"), 0); });
  }
  EXPECT_NE(shown.find("Brinting sector 0\r"), std::string::npos) << shown;
  EXPECT_NE(shown.find("About to disable boot sector of drive A.\n\nNote that this will disable the virus, but the PC "
                       "will not boot any more.\nProceed (Y/N) ? "),
            std::string::npos)
      << shown;
  EXPECT_EQ(out,
            ">>> Pattern 'Brint Test Boot' found in sector 0 of drive A:\n"
            "The virus is now disabled, but note that the virus pattern may still be\n"
            "present in the boot sector.\n\n");
  std::vector<uint8_t> want = before;
  want[62] = 0xEB;  // the jump EB 3C leads to byte 62
  want[63] = 0xFE;
  EXPECT_EQ(read_bytes(fd, 0, 512), want);
  EXPECT_EQ(driver::g_counters.boot_disabled, 1);
  EXPECT_EQ(driver::g_counters.boot_not_disabled, 0);
  EXPECT_EQ(findings::g_findings.location.kind, findings::kLocFloppySector);
  EXPECT_EQ(findings::g_findings.location.drive_code, 0);  // a floppy is paired with itself
  EXPECT_EQ(std::count(engine::g_scan.bytes.begin(), engine::g_scan.bytes.end(), 0), long(engine::kScanBufferSize));

  // Checked again: already disabled, reported and not searched.
  out.clear();
  EXPECT_EQ(range("A:|0"), 0);
  EXPECT_EQ(out, "Virus has already been disabled in this boot sector.\n");
  EXPECT_EQ(driver::g_counters.pattern_findings, 1);
}

TEST_F(BootTest, AnswerNoOrDisablingOffWritesNothing) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", true);
  ASSERT_FALSE(fd.empty());
  map("A=floppy:-," + fd);
  const std::vector<uint8_t> before = read_bytes(fd, 0, 512);
  for (bool disable : {true, false}) {
    driver::g_settings.disable_boot = disable;
    out.clear();
    std::string shown;
    {
      disktest::Keys keys("n");
      shown = console([&] { EXPECT_EQ(range("A:|0"), 0); });
    }
    EXPECT_EQ(out, ">>> Pattern 'Brint Test Boot' found in sector 0 of drive A:\n");
    EXPECT_EQ(shown.find("About to disable") != std::string::npos, disable);
  }
  EXPECT_EQ(read_bytes(fd, 0, 512), before);
  EXPECT_EQ(driver::g_counters.boot_disabled + driver::g_counters.boot_not_disabled, 0);
}

TEST_F(BootTest, WriteProtectedImageIsNotDisabled) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", true);
  ASSERT_FALSE(fd.empty());
  chmod(fd.c_str(), 0444);
  map("A=floppy:-," + fd);
  driver::g_settings.disable_boot = true;
  driver::g_settings.no_confirmation = true;
  EXPECT_EQ(range("A:|0 3"), -5);
  EXPECT_EQ(out,
            ">>> Pattern 'Brint Test Boot' found in sector 0 of drive A:\n"
            "Could not overwrite sector 0 - NT error code 0013\n");
  EXPECT_EQ(driver::g_counters.boot_not_disabled, 1);
  EXPECT_EQ(driver::g_counters.boot_disabled, 0);
}

TEST_F(BootTest, FindingBeyondSectorZeroOffersNoDisabling) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", false);
  ASSERT_FALSE(fd.empty());
  write_bytes(fd, 3 * 512 + 100, disktest::kBootSignature);
  map("A=floppy:-," + fd);
  const std::vector<uint8_t> before = read_bytes(fd, 0, 4 * 512);
  driver::g_settings.disable_boot = true;
  driver::g_settings.no_confirmation = true;
  std::string shown = console([&] { EXPECT_EQ(range("A:|0 5"), 0); });
  EXPECT_EQ(out, ">>> Pattern 'Brint Test Boot' found in sector 3 of drive A:\n");
  EXPECT_EQ(read_bytes(fd, 0, 4 * 512), before);
  EXPECT_NE(shown.find("Brinting sector 5\r"), std::string::npos);
  EXPECT_EQ(shown.substr(shown.size() - 32), "\r" + std::string(30, ' ') + "\r") << "progress line not erased";

  // Searching bytes 0..99 of each sector misses the signature at byte 100.
  out.clear();
  EXPECT_EQ(range("A:|3 3 0 99"), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(driver::g_counters.bytes_checked, 6 * 512 + 100);
}

TEST_F(BootTest, ReadFailureEndsTheRange) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", false);
  ASSERT_FALSE(fd.empty());
  std::filesystem::resize_file(fd, 40 * 512);  // the BPB still promises 2880 sectors
  map("A=floppy:-," + fd);
  EXPECT_EQ(range("A:|38 45"), -4);
  EXPECT_EQ(out, "Could not read sector 40 - NT error code 001b\n");
  EXPECT_EQ(driver::g_counters.bytes_checked, 2 * 512);
}

TEST_F(BootTest, WholeDriveRangeReadsEverySectorOnceInSilentMode) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", false);
  ASSERT_FALSE(fd.empty());
  map("A=floppy:-," + fd);
  driver::g_settings.silent = true;
  const std::string shown = console([&] { EXPECT_EQ(range("A:|*"), 0); });
  EXPECT_EQ(driver::g_counters.bytes_checked, int64_t(2880 - 33) * 512);
  EXPECT_EQ(shown.find("Brinting"), std::string::npos);
}

TEST_F(BootTest, LargeSectorIsDisabledWhole) {
  REQUIRE_IMAGE_TOOLS();
  const std::string img = path("big.img");
  ASSERT_EQ(disktest::sh(disktest::tool("mkfs.fat") + " -C -S 2048 -s 1 '" + img + "' 8192"), 0);
  write_bytes(img, 1500, disktest::kBootSignature);  // beyond the first 512 bytes of sector 0
  map("C=fixed:-," + img);
  const std::vector<uint8_t> before = read_bytes(img, 0, 4096);
  driver::g_settings.disable_boot = true;
  driver::g_settings.no_confirmation = true;
  EXPECT_EQ(range("C:|0"), 0);
  EXPECT_EQ(out,
            ">>> Pattern 'Brint Test Boot' found in sector 0 of drive C:\n"
            "The virus is now disabled, but note that the virus pattern may still be\n"
            "present in the boot sector.\n\n");
  std::vector<uint8_t> want = before;
  want[62] = 0xEB;
  want[63] = 0xFE;
  EXPECT_EQ(read_bytes(img, 0, 4096), want);
}

TEST_F(BootTest, AbsoluteSectorDescriptors) {
  const struct { const char* text; int rc; int code; uint64_t sector; } cases[] = {
      {"+80 0", 0, 100, 0},   {"+81 7", 0, 101, 7},   {"+0x80 1", 0, 100, 1}, {"+2 5", 0, 2, 5},
      {"+19 0", 0, 25, 0},    {"+1A 0", -2, 0, 0},    {"+7F 0", -2, 0, 0},    {"+80", -2, 0, 0},
      {"+ 0", -2, 0, 0},      {"+FFFFFFFFF 0", 0, 150, 0},
  };
  for (const auto& c : cases) {
    out.clear();
    int code = -1;
    uint64_t sector = 99;
    EXPECT_EQ(disk::parse_absolute_sector(c.text, code, sector), c.rc) << c.text;
    if (c.rc == 0) {
      EXPECT_EQ(code, c.code) << c.text;
      EXPECT_EQ(sector, c.sector) << c.text;
      EXPECT_EQ(out, "");
    } else {
      EXPECT_EQ(out, std::string("Bad absolute sector specification '") + c.text + "'\n");
    }
  }
}

// A hard disk whose master boot record carries the test sample text.
std::vector<uint8_t> infected_mbr(const std::string& hd) {
  std::vector<uint8_t> mbr = read_bytes(hd, 0, 512);
  const std::vector<uint8_t> text = text_bytes(disktest::kMbrSampleText);
  std::copy(text.begin(), text.end(), mbr.begin() + 0x150);
  write_bytes(hd, 0, mbr);
  return mbr;
}

TEST_F(BootTest, AbsoluteSectorQuestionNamesTheDriveCode) {
  REQUIRE_IMAGE_TOOLS();
  const std::string hd = hard_disk("hd.img");
  ASSERT_FALSE(hd.empty());
  const std::vector<uint8_t> mbr = infected_mbr(hd);
  map("C=fixed:" + dir + ";PHYSICALDRIVE0=" + hd);
  driver::g_settings.disable_boot = true;
  std::string shown;
  {
    disktest::Keys keys("y");
    shown = console([&] { EXPECT_EQ(check(areas::AreaKind::kAbsoluteSector, "+80 0"), 0); });
  }
  EXPECT_NE(shown.find("About to disable master boot sector of drive 100.\n"), std::string::npos) << shown;
  EXPECT_EQ(out,
            ">>> Pattern 'Brint Test MBR' found in abs sector 0, drive 0 (no drive),\n    head 0, cyl 0\n"
            "The virus is now disabled, but note that the virus pattern may still be\n"
            "present in the master boot sector.\n\n");
  const std::vector<uint8_t> after = read_bytes(hd, 0, 512);
  EXPECT_EQ(after[0], 0xEB);  // syslinux's MBR starts with code, not a jump
  EXPECT_EQ(after[1], 0xFE);
  EXPECT_TRUE(std::equal(after.begin() + 2, after.end(), mbr.begin() + 2));

  out.clear();
  EXPECT_EQ(check(areas::AreaKind::kAbsoluteSector, "+80 0"), 0);
  EXPECT_EQ(out, "Virus has already been disabled in this master boot sector.\n");
  out.clear();
  EXPECT_EQ(check(areas::AreaKind::kAbsoluteSector, "+80 99999"), -4);
  EXPECT_EQ(out, "Could not read '+80 99999' - NT error code 001b\n");
}

TEST_F(BootTest, MasterBootSectorsOfTheDrivesThatOpened) {
  REQUIRE_IMAGE_TOOLS();
  const std::string clean = hard_disk("clean.img");
  const std::string sick = hard_disk("sick.img");
  ASSERT_FALSE(clean.empty());
  ASSERT_FALSE(sick.empty());
  infected_mbr(sick);
  // Drive 1 opens but has no image behind it; drive 3 is infected (numbers 0, 1 and 3).
  map("C=fixed:" + dir + ";PHYSICALDRIVE0=" + clean + ";PHYSICALDRIVE1=" + path("missing.img") +
      ";PHYSICALDRIVE3=" + sick);
  driver::g_settings.disable_boot = true;
  driver::g_settings.no_confirmation = true;
  const std::string shown = console([&] { EXPECT_EQ(disk::check_master_boot_sectors(0), 0); });
  EXPECT_EQ(shown.find("Brinting master boot sector on physical drive 0\n"), shown.find("Brinting"));
  EXPECT_NE(shown.find("Brinting master boot sector on physical drive 3\n"), std::string::npos);
  EXPECT_EQ(out,
            "Could not read 'master boot sector of drive 1' - NT error code 0015\n"
            ">>> Pattern 'Brint Test MBR' found in abs sector 0, drive 3 (no drive),\n    head 0, cyl 0\n"
            "The virus is now disabled, but note that the virus pattern may still be\n"
            "present in the master boot sector.\n\n");
  EXPECT_EQ(driver::g_counters.errors, 1);
  EXPECT_EQ(driver::g_counters.boot_disabled, 1);
  EXPECT_EQ(read_bytes(sick, 0, 2), (std::vector<uint8_t>{0xEB, 0xFE}));
  EXPECT_NE(read_bytes(clean, 0, 2), (std::vector<uint8_t>{0xEB, 0xFE}));
}

TEST_F(BootTest, MasterBootSectorWriteFailureStopsTheCheck) {
  REQUIRE_IMAGE_TOOLS();
  const std::string sick = hard_disk("sick.img");
  ASSERT_FALSE(sick.empty());
  infected_mbr(sick);
  chmod(sick.c_str(), 0444);
  map("C=fixed:" + dir + ";PHYSICALDRIVE0=" + sick + ";PHYSICALDRIVE1=" + sick);
  driver::g_settings.disable_boot = true;
  driver::g_settings.no_confirmation = true;
  EXPECT_EQ(disk::check_master_boot_sectors(0), -5);
  EXPECT_EQ(out,
            ">>> Pattern 'Brint Test MBR' found in abs sector 0, drive 0 (no drive),\n    head 0, cyl 0\n"
            "Could not overwrite master boot sector on drive 0\nNT error code 0013\n");
  EXPECT_EQ(driver::g_counters.pattern_findings, 1) << "drive 1 was checked after the failure";
  EXPECT_EQ(driver::g_counters.boot_not_disabled, 1);
}

TEST_F(BootTest, NoPhysicalDrivesNothingChecked) {
  map("C=fixed:" + dir);
  const std::string shown = console([&] { EXPECT_EQ(disk::check_master_boot_sectors(0), 0); });
  EXPECT_EQ(shown, "");
  EXPECT_EQ(out, "");
}

// A disk whose master boot sector holds a Boot Manager partition (system 0x0A) starting at
// cylinder 0, head 1, sector 1 (absolute 63), whose menu lists `entries`.
class BootManagerTest : public BootTest {
 protected:
  std::string hd;
  void make(const std::vector<std::vector<uint8_t>>& entries, uint8_t bm_head = 1, uint8_t bm_cyl = 0) {
    hd = path("bm.img");
    std::ofstream(hd, std::ios::binary).close();
    std::filesystem::resize_file(hd, 255 * 63 * 512 * 2);  // 2 cylinders: 32130 sectors
    std::vector<uint8_t> mbr(512, 0);
    mbr[0] = 0xFA;
    const std::vector<uint8_t> entry = {0x80, bm_head, 0x01, bm_cyl, 0x0A, 0x01, 0x3F, 0x00};
    std::copy(entry.begin(), entry.end(), mbr.begin() + 446);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    write_bytes(hd, 0, mbr);
    std::vector<uint8_t> bm(512, 0);
    bm[0] = 0xFA;
    for (size_t i = 0; i < entries.size(); ++i) std::copy(entries[i].begin(), entries[i].end(), bm.begin() + 79 + 6 * i);
    bm[510] = 0x55;
    bm[511] = 0xAA;
    write_bytes(hd, 63 * 512, bm);
    map("C=fixed:" + dir + ";PHYSICALDRIVE0=" + hd);
  }
};

TEST_F(BootManagerTest, MenuSectorsAreSearchedWithPatternsOnly) {
  // Two sectors at cylinder 0, head 2, sector 3 (absolute 128, 129); the pattern is in 129.
  make({{2, 2, 0x03, 0x00, 0, 2}});
  write_bytes(hd, 129 * 512 + 40, disktest::kBootSignature);
  const std::string shown = console([&] { EXPECT_EQ(disk::check_master_boot_sectors(0), 0); });
  EXPECT_NE(shown.find("Brinting OS/2 Boot Manager on drive 0\n"), std::string::npos) << shown;
  EXPECT_EQ(out, ">>> Pattern 'Brint Test Boot' found in OS/2 Boot Manager\n");
  EXPECT_EQ(findings::g_findings.location.kind, findings::kLocBootManager);
  EXPECT_EQ(findings::g_findings.location.head, 0) << "location not put back after the Boot Manager";
  EXPECT_TRUE(driver::g_settings.check_identities) << "identity checks not restored";

  EXPECT_EQ(disk::check_boot_manager(0, 1, 0, 1), -4);
  EXPECT_EQ(findings::g_findings.location.sector, 129);
}

TEST_F(BootManagerTest, CorruptionWarnings) {
  const std::string mbs = "Warning! Master boot sector has been corrupted, possibly by a virus.\n";
  const std::string bmc = "Warning! OS/2 Boot Manager has been corrupted, possibly by a virus.\n";
  const struct { const char* what; std::vector<std::vector<uint8_t>> entries; uint8_t head, cyl; std::string message; } cases[] = {
      {"partition beyond the disk end", {}, 0, 3, mbs},
      {"menu entry whose byte 1 is not 2", {{1, 3, 0x03, 0x00, 0, 2}}, 1, 0, bmc},
      {"menu run past the disk end", {{9, 2, 0x3F, 0x01, 0, 254}}, 1, 0, bmc},
      {"menu entry at sector 0 before the disk", {{1, 2, 0x00, 0x00, 0, 0}}, 1, 0, bmc},
      {"32 menu entries in use", std::vector<std::vector<uint8_t>>(32, {1, 2, 0x03, 0x00, 0, 2}), 1, 0, bmc},
      {"menu ending at the last sector", {{1, 2, 0x3F, 0x01, 0, 254}}, 1, 0, ""},
  };
  for (const auto& c : cases) {
    out.clear();
    make(c.entries, c.head, c.cyl);
    const std::string shown = console([&] { EXPECT_EQ(disk::check_master_boot_sectors(0), 0) << c.what; });
    EXPECT_EQ(out, c.message) << c.what;
    EXPECT_TRUE(driver::g_settings.check_identities) << c.what;
  }
}

TEST_F(BootTest, IdentityProgramRepairsTheBootSector) {
  REQUIRE_IMAGE_TOOLS();
  const std::string fd = floppy("a.img", false);
  ASSERT_FALSE(fd.empty());
  // The "virus" keeps the original boot sector in sector 1 and puts its own in sector 0.
  const std::vector<uint8_t> original = read_bytes(fd, 0, 512);
  write_bytes(fd, 512, original);
  std::vector<uint8_t> infected = original;
  infected[0x3E] = 0xCD;
  infected[0x3F] = 0x19;
  write_bytes(fd, 0, infected);
  disktest::load_identities(
      "virus \"Boot Mover\"\nrecord\n  pair EB 3C\n  onfloppy\n  at 0x3E\n  pair CD 19\n  report\n  ask\n"
      "  push8 1\n  readsector\n  push8 0\n  writesector\n  finish\nend\n");
  engine::reset_matcher();
  map("A=floppy:-," + fd);
  disk::connect_hooks();
  driver::g_settings.disinfect = true;
  // With disabling on too: the repaired sector must not be replaced by the infected copy.
  driver::g_settings.disable_boot = true;
  {
    disktest::Keys keys("yy");
    console([&] { EXPECT_EQ(range("A:|0"), 0); });
  }
  EXPECT_EQ(out, ">>> Identity 'Boot Mover' found in sector 0 of drive A:\nDisinfection successful.\n\n");
  EXPECT_EQ(read_bytes(fd, 0, 512), original);
  EXPECT_EQ(driver::g_counters.boot_disabled, 0);

  // The same on a write-protected image.
  write_bytes(fd, 0, infected);
  chmod(fd.c_str(), 0444);
  out.clear();
  {
    disktest::Keys keys("y");
    console([&] { EXPECT_EQ(range("A:|0"), 0); });
  }
  EXPECT_EQ(out,
            ">>> Identity 'Boot Mover' found in sector 0 of drive A:\n"
            "Could not disinfect: the disk is write-protected.\nDisinfection unsuccessful!\n\n");
  EXPECT_EQ(read_bytes(fd, 0, 512), infected);
}

}  // namespace

namespace {

// Seeded random partition tables, extended tables and Boot Manager menus: pairing and the
// master boot sector check must end without a crash, whatever the bytes.
TEST_F(BootTest, HostilePartitionTablesAndMenus) {
  const std::string hd = path("random.img");
  std::ofstream(hd, std::ios::binary).close();
  std::filesystem::resize_file(hd, 255 * 63 * 512 * 2);
  map("C=fixed:-," + hd + "@32256;PHYSICALDRIVE0=" + hd);
  uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return uint8_t(seed >> 16);
  };
  const uint8_t systems[] = {0x01, 0x04, 0x05, 0x06, 0x07, 0x0A};
  for (int round = 0; round < 150; ++round) {
    // Sectors 0, 63 and 128 hold tables whose entries point at each other and at random places.
    for (uint64_t at : {0ull, 63ull, 128ull}) {
      std::vector<uint8_t> s(512);
      for (auto& b : s) b = next();
      for (size_t e = 0; e < 4; ++e) {
        uint8_t* entry = s.data() + 446 + 16 * e;
        entry[4] = systems[next() % sizeof systems];
        if (next() % 2) {
          entry[1] = next() % 3;  // small heads and cylinders stay on the disk
          entry[2] = uint8_t(1 + next() % 63);
          entry[3] = 0;
        }
      }
      if (next() % 2) {
        s[510] = 0x55;
        s[511] = 0xAA;
      }
      // A Boot Manager menu of short runs near the start.
      for (size_t m = 0; m < 32; ++m) {
        if (next() % 4 == 0) break;
        s[79 + 6 * m] = uint8_t(next() % 4);
        s[79 + 6 * m + 1] = next() % 8 ? 2 : next();
      }
      write_bytes(hd, at * 512, s);
    }
    disk::reset_disk_state();
    console([&] {
      disk::pair_drives();
      disk::check_master_boot_sectors(0);
    });
    EXPECT_TRUE(driver::g_settings.check_identities) << round;
  }
}

}  // namespace

namespace {

// The walker with the disk hooks connected: an unformatted floppy is ready and its sector 0
// is checked, a floppy drive without a disk is empty, bad descriptors count one error each.
TEST_F(BootTest, WalkerHandsSectorAreasToTheChecks) {
  const std::string blank = path("blank.img");
  std::ofstream(blank, std::ios::binary).close();
  std::filesystem::resize_file(blank, 1474560);
  write_bytes(blank, 100, disktest::kBootSignature);
  map("A=floppy:-," + blank + ";B=floppy:-;C=fixed:" + dir);
  disk::connect_hooks();
  areas::reset_areas();
  for (const char* area : {"A:|0", "B:|0", "A:|5 2", "+7F 0", "\"All master boot sectors\""})
    ASSERT_EQ(areas::add_area(area), 0);
  console([&] { EXPECT_EQ(areas::examine_areas(), 0); });
  EXPECT_EQ(out,
            "\nExamining area 1: A:|0\n"
            ">>> Pattern 'Brint Test Boot' found in sector 0 of drive A:\n"
            "\nExamining area 2: B:|0\n"
            "                   \rDrive B is empty.\n"
            "\nExamining area 3: A:|5 2\n"
            "From sector must be less than or equal to to sector in 'A:|5 2'\n"
            "\nExamining area 4: +7F 0\n"
            "Bad absolute sector specification '+7F 0'\n"
            "\nExamining area 5: \"All master boot sectors\"\n");
  EXPECT_EQ(driver::g_counters.errors, 3);
  EXPECT_EQ(driver::g_counters.pattern_findings, 1);
  areas::reset_areas();
}

}  // namespace
