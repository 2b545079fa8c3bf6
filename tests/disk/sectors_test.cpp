// Sector access: drive types, drive space of unformatted and empty floppies, transfers by
// drive code (512 bytes whatever the logical sector size), cylinder-head-sector conversion,
// and the physical drive count.
#include "disk_test_util.h"

namespace {

using disktest::read_bytes;
using disktest::write_bytes;

class SectorTest : public disktest::DiskFixture {};

std::string zeros_image(const std::string& p, size_t bytes) {
  std::ofstream(p, std::ios::binary).close();
  std::filesystem::resize_file(p, bytes);
  return p;
}

TEST_F(SectorTest, DriveTypesFollowTheMapAndTheMediaTypesAnswer) {
  const std::string img = zeros_image(path("f.img"), 1474560);
  map("A=floppy:-," + img + ";B=floppy:-;C=fixed:" + dir + ";E=removable:-;F=network:" + dir + ";G=cdrom:" + dir +
      ";H=ramdisk:" + dir);
  const struct { char letter; int type; } cases[] = {
      {'A', host::kDriveFloppy}, {'B', host::kDriveFloppy},  {'C', host::kDriveFixed},
      {'D', host::kDriveNone},   {'E', host::kDriveRemovable}, {'F', host::kDriveNetwork},
      {'G', host::kDriveCdrom},  {'H', host::kDriveRamdisk},   {'z', host::kDriveNone}};
  for (const auto& c : cases) EXPECT_EQ(disk::drive_type_of(c.letter), c.type) << c.letter;
  disk::fill_drive_types();
  EXPECT_EQ(disk::g_disk.drive_types[0], host::kDriveFloppy);
  EXPECT_EQ(disk::g_disk.drive_types[3], host::kDriveNone);
  EXPECT_EQ(disk::count_floppy_drives(), 2);
}

TEST_F(SectorTest, UnformattedFloppyIsOneReadableSectorButAnUnformattedFixedDiskIsNot) {
  const std::string img = zeros_image(path("blank.img"), 1474560);
  write_bytes(img, 0, {0xAB, 0xCD});
  map("A=floppy:-," + img + ";C=fixed:-," + img + ";B=floppy:-");
  host::DriveSpace space;
  ASSERT_EQ(disk::drive_space(0, space), 0);
  EXPECT_EQ(space.total_clusters, 1u);
  EXPECT_EQ(space.free_clusters, 1u);
  EXPECT_EQ(space.bytes_per_sector, 512u);
  EXPECT_EQ(space.sectors_per_cluster, 1u);
  EXPECT_TRUE(disk::drive_ready('A'));
  uint8_t sector[512];
  ASSERT_EQ(disk::read_sector_by_code(0, sector, 0), 0);
  EXPECT_EQ(sector[0], 0xAB);

  EXPECT_EQ(disk::drive_space(2, space), host::kErrUnrecognizedVolume);
  EXPECT_FALSE(disk::drive_ready('C'));
  EXPECT_EQ(disk::drive_space(1, space), host::kErrNotReady);  // no disk in B:
  EXPECT_FALSE(disk::drive_ready('B'));
  EXPECT_FALSE(disk::drive_ready('Q'));
}

TEST_F(SectorTest, ByCodeTransfersMoveExactly512BytesOfLargeLogicalSectors) {
  REQUIRE_IMAGE_TOOLS();
  const std::string img = path("big.img");
  ASSERT_EQ(disktest::sh(disktest::tool("mkfs.fat") + " -C -S 2048 -s 1 '" + img + "' 8192"), 0);
  map("C=fixed:-," + img);
  std::vector<uint8_t> pattern(2048);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 1);
  write_bytes(img, 3 * 2048, pattern);
  const std::vector<uint8_t> next = read_bytes(img, 4 * 2048, 2048);

  // One byte past the 512 the engine asked for is a canary that must never be touched.
  std::array<uint8_t, 513> got{};
  got[512] = 0x5A;
  ASSERT_EQ(disk::read_sector_by_code(2, got.data(), 3), 0);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 512, pattern.begin()));
  EXPECT_EQ(got[512], 0x5A);

  std::vector<uint8_t> repaired(512, 0x33);
  ASSERT_EQ(disk::write_sector_by_code(2, repaired.data(), 3), 0);
  const std::vector<uint8_t> after = read_bytes(img, 3 * 2048, 2048);
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 512, repaired.begin()));
  EXPECT_TRUE(std::equal(after.begin() + 512, after.end(), pattern.begin() + 512)) << "rest of the sector changed";
  EXPECT_EQ(read_bytes(img, 4 * 2048, 2048), next) << "next sector changed";
}

TEST_F(SectorTest, TransferFailuresCarryTheirErrorCodes) {
  const std::string img = zeros_image(path("hd.img"), 64 * 512);
  const std::string ro = zeros_image(path("ro.img"), 64 * 512);
  chmod(ro.c_str(), 0444);
  map("PHYSICALDRIVE0=" + img + ";PHYSICALDRIVE1=" + ro + ";C=fixed:" + dir);
  uint8_t sector[512] = {};
  const struct { const char* what; int code; uint64_t sector; bool write; int rc; } cases[] = {
      {"last sector", 100, 63, false, 0},
      {"one past the end", 100, 64, false, host::kErrSectorNotFound},
      {"byte offset beyond 64 bits", 100, UINT64_MAX / 256, false, host::kErrSectorNotFound},
      {"write-protected image", 101, 0, true, host::kErrWriteProtect},
      {"writable image", 100, 0, true, 0},
      {"code between logical and physical", 26, 0, false, host::kErrInvalidDrive},
      {"negative code", -1, 0, false, host::kErrInvalidDrive},
      {"physical drive not in the map", 102, 0, false, host::kErrFileNotFound},
      {"no drive", 255, 0, false, host::kErrFileNotFound},
      {"logical drive with files only", 2, 0, false, host::kErrInvalidFunction},
  };
  for (const auto& c : cases) {
    const int rc = c.write ? disk::write_sector_by_code(c.code, sector, c.sector)
                           : disk::read_sector_by_code(c.code, sector, c.sector);
    EXPECT_EQ(rc, c.rc) << c.what;
  }
}

TEST_F(SectorTest, AbsoluteSectorOfCylinderHeadSector) {
  const std::string hd = zeros_image(path("hd.img"), 255 * 63 * 512 * 2);
  const std::string fd = zeros_image(path("fd.img"), 1474560);
  map("PHYSICALDRIVE0=" + hd + ";A=floppy:-," + fd);
  const struct { int code; uint32_t head, cylinder, sector; uint64_t want; } cases[] = {
      {100, 0, 0, 1, 0},      {100, 1, 0, 1, 63},       {100, 0, 1, 1, 255 * 63},
      {100, 254, 1, 63, 2 * 255 * 63 - 1},  {0, 1, 0, 1, 18}, {0, 0, 79, 18, 79 * 2 * 18 + 17},
      {100, 0, 0, 0, disk::kNoSector},       {101, 0, 0, 1, 0} /* no geometry */};
  for (const auto& c : cases)
    EXPECT_EQ(disk::absolute_sector(c.code, c.head, c.cylinder, c.sector), c.want)
        << c.code << " " << c.head << "/" << c.cylinder << "/" << c.sector;
  uint64_t n = 0;
  ASSERT_EQ(disk::sectors_on_drive(100, n), 0);
  EXPECT_EQ(n, 2u * 255 * 63);
  EXPECT_NE(disk::sectors_on_drive(101, n), 0);
}

TEST_F(SectorTest, PhysicalDrivesAreTheNumbersThatOpen) {
  const std::string img = zeros_image(path("hd.img"), 512 * 4);
  map("C=fixed:" + dir + ";PHYSICALDRIVE0=" + img + ";PHYSICALDRIVE2=" + img + ";PHYSICALDRIVE49=" + img);
  EXPECT_EQ(disk::count_physical_drives(), 3);
  EXPECT_EQ(disk::g_disk.physical_numbers, (std::vector<int>{0, 2, 49}));
  // Kept once found, even when the map changes under it.
  setenv("BRINT_DRIVES", "C=/", 1);
  std::string message;
  ASSERT_EQ(host::init_drive_map(&message), 0);
  EXPECT_EQ(disk::count_physical_drives(), 3);
  disk::reset_disk_state();
  EXPECT_EQ(disk::count_physical_drives(), 0);
  EXPECT_FALSE(disk::g_disk.physical_counted);
}

TEST_F(SectorTest, IdentityEngineSectorAccessThroughTheHooks) {
  const std::string hd = zeros_image(path("hd.img"), 255 * 63 * 512 * 2);
  write_bytes(hd, 63 * 512, {0x11, 0x22});
  map("C=fixed:" + dir + ";PHYSICALDRIVE0=" + hd);
  disk::connect_hooks();
  uint8_t sector[512] = {};
  ASSERT_EQ(engine::g_sector_io.read_physical(0, 0, 1, 1, sector), 0);  // cylinder 0, head 1, sector 1
  EXPECT_EQ(sector[0], 0x11);
  EXPECT_EQ(engine::g_sector_io.read_physical(0, 0, 0, 0, sector), host::kErrSectorNotFound);
  sector[0] = 0x99;
  ASSERT_EQ(engine::g_sector_io.write_physical(0, 1, 0, 1, sector), 0);
  EXPECT_EQ(read_bytes(hd, 255 * 63 * 512, 1)[0], 0x99);
  uint32_t c = 0, h = 0, s = 0;
  ASSERT_EQ(engine::g_sector_io.geometry(0, c, h, s), 0);
  EXPECT_EQ(c, 2u);
  EXPECT_EQ(h, 255u);
  EXPECT_EQ(s, 63u);
  EXPECT_NE(engine::g_sector_io.read_logical(30, 0, sector), 0);
  EXPECT_TRUE(areas::g_hooks.check_sectors != nullptr);
  EXPECT_TRUE(areas::g_hooks.drive_ready != nullptr);
}

}  // namespace
