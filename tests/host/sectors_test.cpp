// Raw devices on image files: opening by map, sector transfers and their NT errors,
// geometry, media types and drive space.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "host_test_util.h"

namespace {

using hosttest::MapGuard;
using hosttest::TempTree;

// A 1.44 MB FAT12 boot sector: 512 bytes/sector, 1 sector/cluster, 1 reserved, 2 FATs of 9
// sectors, 224 root entries (14 sectors), 2880 sectors: 2880-1-18-14 = 2847 clusters.
std::vector<uint8_t> fat12_boot() {
  std::vector<uint8_t> b(512, 0);
  b[0] = 0xEB;
  b[1] = 0x3C;
  b[2] = 0x90;
  b[11] = 0x00;
  b[12] = 0x02;  // bytes per sector
  b[13] = 1;     // sectors per cluster
  b[14] = 1;     // reserved sectors
  b[16] = 2;     // FATs
  b[17] = 224;   // root entries
  b[19] = 0x40;
  b[20] = 0x0B;  // 2880 sectors
  b[21] = 0xF0;  // media
  b[22] = 9;     // sectors per FAT
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

std::string image(const TempTree& t, const std::string& name, size_t bytes,
                  const std::vector<uint8_t>& first = {}, size_t at = 0) {
  std::string data(bytes, '\0');
  for (size_t i = 0; i < first.size() && at + i < bytes; ++i) data[at + i] = char(first[i]);
  t.file(name, data);
  return t.at(name);
}

TEST(Sectors, OpenFollowsTheMap) {
  TempTree t;
  std::string hd = image(t, "hd.img", 64 * 512);
  MapGuard map("C=/;A=floppy:-;PHYSICALDRIVE2=" + hd);
  const struct {
    const char* name;
    int result;
  } cases[] = {{"\\\\.\\C:", 0},
               {"\\\\.\\a:", 0},
               {"//./C:", 0},
               {"\\\\.\\D:", 2},
               {"\\\\.\\PHYSICALDRIVE2", 0},
               {"\\\\.\\physicaldrive2", 0},
               {"\\\\.\\PHYSICALDRIVE0", 2},
               {"\\\\.\\PHYSICALDRIVE", 2},
               {"C:", 2},
               {"\\\\.\\1:", 2}};
  for (const auto& c : cases) {
    host::Device d;
    EXPECT_EQ(host::open_device(c.name, 0, d), c.result) << c.name;
    EXPECT_EQ(d.is_open, c.result == 0) << c.name;
  }
}

TEST(Sectors, TransfersAndTheirErrors) {
  TempTree t;
  std::vector<uint8_t> marker = {'B', 'O', 'O', 'T'};
  std::string hd = image(t, "hd.img", 100 * 512, marker, 63 * 512);  // partition at sector 63
  std::string ro = image(t, "ro.img", 4 * 512);
  ASSERT_EQ(chmod(ro.c_str(), 0444), 0);
  MapGuard map("C=fixed:/," + hd + "@32256;PHYSICALDRIVE0=" + hd +
               ";A=floppy:-;R=removable:-;N=network:/tmp;E=" + "fixed:-," + ro +
               ";M=floppy:-,/nonexistent/disk.img");
  uint8_t buf[1024];
  struct {
    const char* name;
    unsigned access;
    uint64_t offset;
    size_t n;
    bool write;
    int result;
  } cases[] = {
      {"\\\\.\\C:", host::kAccessRead, 0, 512, false, 0},
      {"\\\\.\\C:", host::kAccessRead, 36 * 512, 512, false, 0},    // last sector of the partition
      {"\\\\.\\C:", host::kAccessRead, 37 * 512, 512, false, 27},   // one past it
      {"\\\\.\\C:", host::kAccessRead, 36 * 512, 1024, false, 27},  // straddles the end: nothing
      {"\\\\.\\C:", host::kAccessRead, 1, 512, false, 87},
      {"\\\\.\\C:", 0, 0, 512, false, 5},
      {"\\\\.\\C:", host::kAccessRead | host::kAccessWrite, 512, 512, true, 0},
      {"\\\\.\\A:", host::kAccessRead, 0, 512, false, 21},
      {"\\\\.\\R:", host::kAccessRead | host::kAccessWrite, 0, 512, true, 21},
      {"\\\\.\\N:", host::kAccessRead, 0, 512, false, 1},
      {"\\\\.\\M:", host::kAccessRead, 0, 512, false, 21},
      {"\\\\.\\E:", host::kAccessRead | host::kAccessWrite, 0, 512, true, 19},
      {"\\\\.\\E:", host::kAccessRead, 3 * 512, 512, false, 0},
      {"\\\\.\\PHYSICALDRIVE0", host::kAccessRead, 63 * 512, 512, false, 0},
  };
  for (const auto& c : cases) {
    host::Device d;
    ASSERT_EQ(host::open_device(c.name, c.access, d), 0) << c.name;
    std::memset(buf, 0xCC, sizeof buf);
    int r = c.write ? host::write_device(d, c.offset, buf, c.n) : host::read_device(d, c.offset, buf, c.n);
    EXPECT_EQ(r, c.result) << c.name << " @" << c.offset << " n=" << c.n;
  }
  // The partition's sector 0 is the whole disk's sector 63, and a write lands there too.
  host::Device c, p;
  ASSERT_EQ(host::open_device("\\\\.\\C:", host::kAccessRead, c), 0);
  ASSERT_EQ(host::read_device(c, 0, buf, 512), 0);
  EXPECT_EQ(std::memcmp(buf, "BOOT", 4), 0);
  ASSERT_EQ(host::open_device("\\\\.\\PHYSICALDRIVE0", host::kAccessRead, p), 0);
  ASSERT_EQ(host::read_device(p, 64 * 512, buf, 512), 0);
  EXPECT_EQ(buf[0], 0xCC) << "the write at partition sector 1 reached disk sector 64";
  EXPECT_EQ(buf[511], 0xCC);
  ASSERT_EQ(host::read_device(p, 65 * 512, buf, 512), 0);
  EXPECT_EQ(buf[0], 0) << "and nothing after it";
}

TEST(Sectors, GeometryAndMediaTypes) {
  TempTree t;
  const struct {
    size_t kib;
    int64_t cylinders;
    uint32_t heads, sectors, media;
  } cases[] = {
      {160, 40, 1, 8, 10},    {360, 40, 2, 9, 6},
      {720, 80, 2, 9, 5},     {1200, 80, 2, 15, 1},
      {1440, 80, 2, 18, 2},   {2880, 80, 2, 36, 3},
      {1441, 0, 255, 63, 11}, {255 * 63 * 512 * 4 / 1024, 4, 255, 63, 11},
  };
  for (const auto& c : cases) {
    std::string img = image(t, "f" + std::to_string(c.kib), c.kib * 1024);
    MapGuard map("A=floppy:-," + img + ";C=/");
    host::Device d;
    ASSERT_EQ(host::open_device("\\\\.\\A:", 0, d), 0);
    host::DiskGeometry g;
    ASSERT_EQ(host::device_geometry(d, g), 0);
    EXPECT_EQ(g.cylinders, c.cylinders) << c.kib;
    EXPECT_EQ(g.tracks_per_cylinder, c.heads) << c.kib;
    EXPECT_EQ(g.sectors_per_track, c.sectors) << c.kib;
    EXPECT_EQ(g.media_type, c.media) << c.kib;
    EXPECT_EQ(g.bytes_per_sector, 512u);
    EXPECT_EQ(host::device_media_types(d), 0);
  }
  MapGuard map("C=/;A=floppy:-");
  host::Device c, a;
  ASSERT_EQ(host::open_device("\\\\.\\C:", 0, c), 0);
  EXPECT_EQ(host::device_media_types(c), 1);
  host::DiskGeometry g;
  EXPECT_EQ(host::device_geometry(c, g), 1);
  ASSERT_EQ(host::open_device("\\\\.\\A:", 0, a), 0);
  EXPECT_EQ(host::device_geometry(a, g), 21);
}

TEST(Sectors, DriveSpace) {
  TempTree t;
  std::string formatted = image(t, "fat.img", 1440 * 1024, fat12_boot());
  std::string blank = image(t, "blank.img", 1440 * 1024);
  std::string tiny = image(t, "tiny.img", 100);
  t.dir("root");
  MapGuard map("A=floppy:-," + formatted + ";B=floppy:-," + blank + ";R=removable:" + t.at("root") +
               ";C=" + t.at("root") + ";N=network:-;T=fixed:-," + tiny);
  host::DriveSpace s;
  ASSERT_EQ(host::drive_space('A', s), 0);
  EXPECT_EQ(s.bytes_per_sector, 512u);
  EXPECT_EQ(s.sectors_per_cluster, 1u);
  EXPECT_EQ(s.total_clusters, 2847u);
  EXPECT_EQ(host::drive_space('B', s), 1005) << "an unformatted floppy";
  EXPECT_EQ(host::drive_space('R', s), 21) << "a removable drive without a medium";
  EXPECT_EQ(host::drive_space('N', s), 21);
  EXPECT_EQ(host::drive_space('T', s), 27) << "sector 0 past the end of a 100-byte device";
  EXPECT_EQ(host::drive_space('Q', s), 3);
  ASSERT_EQ(host::drive_space('C', s), 0);
  EXPECT_EQ(s.bytes_per_sector, 512u);
  EXPECT_GE(s.sectors_per_cluster, 1u);
  EXPECT_GT(s.total_clusters, 0u);

  const struct {
    const char* what;
    size_t off;
    uint8_t value;
  } broken[] = {{"bytes per sector 0", 12, 0},
                {"sectors per cluster 3", 13, 3},
                {"no FATs", 16, 0},
                {"media byte 0x12", 21, 0x12},
                {"no reserved sectors", 14, 0}};
  for (const auto& b : broken) {
    std::vector<uint8_t> boot = fat12_boot();
    boot[b.off] = b.value;
    EXPECT_EQ(host::parse_bpb(boot.data(), boot.size(), s), 1005) << b.what;
  }
  EXPECT_EQ(host::parse_bpb(nullptr, 0, s), 1005);
}

}  // namespace
