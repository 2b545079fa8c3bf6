// Pairing logical drives with physical drives on disks partitioned by sfdisk and formatted
// by mkfs.fat: primary and logical partitions, floppies holding themselves, the first
// equal letter winning, extended chains that loop, and an unreadable partition table.
#include "disk_test_util.h"

namespace {

using disktest::read_bytes;
using disktest::write_bytes;

class PairingTest : public disktest::DiskFixture {
 protected:
  std::string hd;
  void SetUp() override {
    DiskFixture::SetUp();
    if (!disktest::have_tool("mkfs.fat") || !disktest::have_tool("sfdisk")) return;
    hd = hard_disk("hd.img");
  }
  std::string part(uint64_t sector) const { return hd + "@" + std::to_string(sector * 512); }
  int paired(char letter) const { return disk::g_disk.pairing[size_t(letter - 'A')]; }
};

TEST_F(PairingTest, PartitionsArePairedWithTheirPhysicalDrive) {
  REQUIRE_IMAGE_TOOLS();
  ASSERT_FALSE(hd.empty());
  const std::string fd = floppy("a.img", false);
  // Letters in a different order from the partitions; D: is on no disk of the map.
  map("A=floppy:-," + fd + ";C=fixed:-," + part(2048) + ";E=fixed:-," + part(36864) + ";F=removable:-," +
      part(24576) + ";D=fixed:" + dir + ";PHYSICALDRIVE1=" + hd);
  const std::string shown = console([&] { EXPECT_EQ(disk::pair_drives(), 0); });
  EXPECT_EQ(shown, "");
  EXPECT_EQ(paired('A'), 0);
  EXPECT_EQ(paired('B'), 255);
  EXPECT_EQ(paired('C'), 101);
  EXPECT_EQ(paired('D'), 255);
  EXPECT_EQ(paired('E'), 101);  // second logical partition, reached through the chain
  EXPECT_EQ(paired('F'), 101);
}

TEST_F(PairingTest, FirstEqualLetterWinsAndUnreadSlotsNeverMatch) {
  REQUIRE_IMAGE_TOOLS();
  ASSERT_FALSE(hd.empty());
  // C: holds a boot sector of its own, D: and E: both equal the primary partition's.
  const std::string other = floppy("other.img", false);
  // B: is a removable drive with no disk: its zero slot must not match anything.
  map("B=removable:-;C=fixed:-," + other + ";D=fixed:-," + part(2048) + ";E=fixed:-," + part(2048) +
      ";PHYSICALDRIVE0=" + hd);
  // A partition whose first sector is all zeros (the logical one at 36864).
  write_bytes(hd, 36864 * 512, std::vector<uint8_t>(512, 0));
  EXPECT_EQ(disk::pair_drives(), 0);
  EXPECT_EQ(paired('A'), 255);
  EXPECT_EQ(paired('B'), 255);
  EXPECT_EQ(paired('C'), 255);
  EXPECT_EQ(paired('D'), 100);
  EXPECT_EQ(paired('E'), 255);
}

TEST_F(PairingTest, ExtendedChainThatLoopsEnds) {
  REQUIRE_IMAGE_TOOLS();
  ASSERT_FALSE(hd.empty());
  // The second extended table (at 34816) points back at the first (22528) and at itself.
  std::vector<uint8_t> table = read_bytes(hd, 34816 * 512, 512);
  const std::vector<uint8_t> back = {0x00, 0x66, 0x26, 0x01, 0x05, 0x00, 0x00, 0x00};  // 22528
  const std::vector<uint8_t> self = {0x00, 0x2A, 0x29, 0x02, 0x05, 0x00, 0x00, 0x00};  // 34816
  std::copy(back.begin(), back.end(), table.begin() + 446 + 16);
  std::copy(self.begin(), self.end(), table.begin() + 446 + 32);
  write_bytes(hd, 34816 * 512, table);
  map("C=fixed:-," + part(36864) + ";PHYSICALDRIVE0=" + hd);
  EXPECT_EQ(disk::pair_drives(), 0);
  EXPECT_EQ(paired('C'), 100);
}

TEST_F(PairingTest, UnreadablePartitionTableFailsAndTakesDriveZero) {
  REQUIRE_IMAGE_TOOLS();
  ASSERT_FALSE(hd.empty());
  map("C=fixed:-," + part(2048) + ";PHYSICALDRIVE0=" + path("missing.img"));
  std::string shown = console([&] { EXPECT_EQ(disk::pair_drives(), -2); });
  EXPECT_EQ(shown, "Could not read 'sector 0, drive 0' - NT error code 0015\n\n");
  EXPECT_EQ(paired('C'), 100);

  // An extended partition pointing past the end of the disk.
  std::vector<uint8_t> mbr = read_bytes(hd, 0, 512);
  const std::vector<uint8_t> far = {0x00, 0xFE, 0xFF, 0xFF, 0x05, 0x00, 0x00, 0x00};
  std::copy(far.begin(), far.end(), mbr.begin() + 446 + 16);
  write_bytes(hd, 0, mbr);
  map("C=fixed:-," + part(2048) + ";PHYSICALDRIVE0=" + hd);
  const uint64_t sector = (uint64_t(254) + 1023ull * 255) * 63 + 62;
  shown = console([&] { EXPECT_EQ(disk::pair_drives(), -2); });
  EXPECT_EQ(shown, "Could not read 'sector " + std::to_string(sector) + ", drive 0' - NT error code 001b\n\n");
  EXPECT_EQ(paired('C'), 100);  // the primary pass had paired it
}

TEST_F(PairingTest, NoFloppiesLeaveAAndBUnpaired) {
  map("C=fixed:" + dir);
  EXPECT_EQ(disk::pair_drives(), 0);
  for (char letter = 'A'; letter <= 'Z'; ++letter) EXPECT_EQ(paired(letter), 255) << letter;
}

}  // namespace
