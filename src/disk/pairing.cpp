// Pairing of logical drives with the physical drives that hold them.
//
// The sector 0 of every fixed or removable logical drive is kept in a store of 26 slots;
// the partition tables of every physical drive are walked (primary entries of the master
// boot sector, then the chains of extended partitions), and each FAT or NTFS/HPFS partition
// whose first sector equals a stored slot pairs that slot's letter with the physical drive.
// Only slots that were read take part; the first equal letter in A..Z order wins.
// Extended chains are followed to kMaxPairingDepth tables and never through a sector twice,
// so a table that points at itself or at an earlier table ends the walk.
#include <cstdio>
#include <cstring>
#include <set>

#include "disk/disk.h"
#include "driver/base/output.h"
#include "driver/base/results.h"

namespace disk {

namespace {

constexpr size_t kTableOffset = 446;  // the four 16-byte partition entries start here
constexpr size_t kEntrySize = 16;

struct BootStore {
  std::array<std::array<uint8_t, kSectorBytes>, 26> slots{};  // sector 0 of each letter, zero when unread
  std::array<bool, 26> read{};                                // the slot holds a sector that was read
};

bool is_paired_system(uint8_t indicator) { return indicator == 1 || indicator == 4 || indicator == 6 || indicator == 7; }

// Absolute sector of the start address of the partition entry at `e` of `table`.
uint64_t entry_start(int n, const uint8_t* e) {
  const uint32_t head = e[1];
  const uint32_t sector = e[2] & 0x3Fu;
  const uint32_t cylinder = uint32_t(e[2] & 0xC0u) * 4 + e[3];
  return absolute_sector(kPhysicalBase + n, head, cylinder, sector);
}

// Reads the partition table sector `s` of physical drive n; on failure the message and -2.
int read_table(int n, uint64_t s, uint8_t* out) {
  const int rc = read_sector_by_code(kPhysicalBase + n, out, s);
  if (rc == 0) return 0;
  char where[64];
  std::snprintf(where, sizeof where, msg::kPairSectorText, (unsigned long long)s, n);
  driver::console_printf(msg::kCouldNotRead, where, unsigned(rc));
  driver::console_printf("\n");
  return driver::kReported;
}

// Primary partitions of the table in sector s of physical drive n.
int pair_primary(const BootStore& store, int n, uint64_t s) {
  uint8_t table[kSectorBytes];
  if (int rc = read_table(n, s, table)) return rc;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t* e = table + kTableOffset + i * kEntrySize;
    if (!is_paired_system(e[4])) continue;
    uint8_t boot[kSectorBytes];
    if (read_sector_by_code(kPhysicalBase + n, boot, entry_start(n, e)) != 0) continue;
    for (size_t letter = 0; letter < 26; ++letter) {
      if (store.read[letter] && std::memcmp(store.slots[letter].data(), boot, kSectorBytes) == 0) {
        g_disk.pairing[letter] = uint8_t(kPhysicalBase + n);
        break;
      }
    }
  }
  return 0;
}

// Extended partitions of the table in sector s: each one's table is paired, then followed.
int pair_extended(const BootStore& store, int n, uint64_t s, int depth, std::set<uint64_t>& visited) {
  uint8_t table[kSectorBytes];
  if (int rc = read_table(n, s, table)) return rc;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t* e = table + kTableOffset + i * kEntrySize;
    if (e[4] != 5) continue;
    const uint64_t next = entry_start(n, e);
    if (depth >= kMaxPairingDepth || !visited.insert(next).second) continue;
    if (int rc = pair_primary(store, n, next)) return rc;
    if (int rc = pair_extended(store, n, next, depth + 1, visited)) return rc;
  }
  return 0;
}

}  // namespace

int pair_drives() {
  g_disk.pairing = unpaired_table();
  const int floppies = count_floppy_drives();
  count_physical_drives();
  for (int i = 0; i < floppies && i < 26; ++i) g_disk.pairing[size_t(i)] = uint8_t(i);
  const int next_free = floppies < 2 ? 2 : floppies;

  BootStore store;
  std::vector<uint8_t> whole(kMaxSectorSize);
  for (int i = 0; i < 26; ++i) {
    const int type = drive_type_of(char('A' + i));
    if (type != host::kDriveFixed && type != host::kDriveRemovable) continue;
    uint32_t bps = 0;
    if (read_logical_sectors(i, whole, 1, 0, &bps) != 0 || bps < kSectorBytes) continue;
    std::memcpy(store.slots[size_t(i)].data(), whole.data(), kSectorBytes);
    store.read[size_t(i)] = true;
  }

  for (int n : g_disk.physical_numbers) {
    if (pair_primary(store, n, 0) != 0) {
      // The first hard-disk letter is taken to lie on physical drive 0.
      if (next_free < 26) g_disk.pairing[size_t(next_free)] = uint8_t(kPhysicalBase);
      return driver::kReported;
    }
  }
  for (int n : g_disk.physical_numbers) {
    std::set<uint64_t> visited{0};
    if (pair_extended(store, n, 0, 0, visited) != 0) return driver::kReported;
  }
  return 0;
}

}  // namespace disk
