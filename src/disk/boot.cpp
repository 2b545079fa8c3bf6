// Boot sector checks: sector ranges of logical drives, absolute sectors, the master boot
// sectors of the physical drives and the OS/2 Boot Manager, with disabling of an infected
// boot sector or master boot sector on request (-REMOVE, -REMOVEB).
//
// Every sector is read to index 0 of the shared scan buffer and searched with the buffer
// search; the finding location says where it came from. The search may move bytes inside
// the buffer, so disabling always starts again from a saved copy of the sector as read
// (the whole sector, up to kMaxSectorSize bytes), and the partition entries of a master
// boot sector are read from that copy too. The scan buffer is zeroed after every check.
// Counters changed here: boot_disabled, boot_not_disabled, and errors for a master boot
// sector of a drive that opened but could not be read.
#include <cstdio>
#include <cstring>

#include "disk/disk.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "engine/matcher.h"
#include "engine/scan_buffer.h"
#include "findings/reports.h"

namespace disk {

namespace {

constexpr size_t kPartitionTable = 446;  // first of the four 16-byte partition entries
constexpr uint8_t kBootManagerSystem = 0x0A;
constexpr size_t kMenuOffset = 79;     // Boot Manager menu entries start here in its first sector
constexpr size_t kMenuEntrySize = 6;
constexpr size_t kMenuEntries = 32;    // a menu using all 32 entries is taken as corrupted
constexpr size_t kBootManagerWindow = 1024;

uint8_t* scan() { return engine::g_scan.bytes.data(); }
void zero_scan() { engine::g_scan.bytes.fill(0); }

findings::FindingLocation& location() { return findings::g_findings.location; }

bool ends_with_signature(const uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

// sscanf-like number readers: blanks skipped, an optional sign, then digits; false when no
// digit follows. Values past the type's range are held at its limit.
bool scan_decimal(const char*& p, int64_t lo, int64_t hi, int64_t& out) {
  const char* q = p;
  while (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r' || *q == '\v' || *q == '\f') ++q;
  bool negative = false;
  if (*q == '+' || *q == '-') negative = *q++ == '-';
  if (*q < '0' || *q > '9') return false;
  // The magnitude saturates at 2^63, which covers the most negative value of any range.
  constexpr uint64_t kLimit = uint64_t(1) << 63;
  uint64_t v = 0;
  for (; *q >= '0' && *q <= '9'; ++q) v = v > (kLimit - uint64_t(*q - '0')) / 10 ? kLimit : v * 10 + uint64_t(*q - '0');
  if (negative)
    out = v >= uint64_t(-(lo + 1)) + 1 ? lo : -int64_t(v);
  else
    out = v >= uint64_t(hi) ? hi : int64_t(v);
  p = q;
  return true;
}

bool scan_hex(const char*& p, uint32_t& out) {
  const char* q = p;
  while (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r' || *q == '\v' || *q == '\f') ++q;
  bool negative = false;
  if (*q == '+' || *q == '-') negative = *q++ == '-';
  auto digit = [](char c) { return (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1; };
  if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X') && digit(q[2]) >= 0) q += 2;
  if (digit(*q) < 0) return false;
  uint64_t v = 0;
  for (; digit(*q) >= 0; ++q) v = v > UINT32_MAX ? v : v * 16 + uint64_t(digit(*q));
  if (v > UINT32_MAX) v = UINT32_MAX;
  out = negative ? uint32_t(0u - uint32_t(v)) : uint32_t(v);
  p = q;
  return true;
}

std::string mbs_question(int drive) {
  char text[256];
  std::snprintf(text, sizeof text, msg::kAskDisableMbs, drive);
  return text;
}

// Searches the scan buffer from `first` to `last`. True when something was found that
// disabling may act on: a sector an identity program has just repaired (the disinfections
// counter rose) no longer holds the saved infected copy, and writing that copy back with
// the mark would undo the repair.
bool search_for_disabling(size_t first, size_t last) {
  const int64_t repaired = driver::g_counters.disinfections;
  const int found = engine::buffer_search(first, last);
  return found != 0 && driver::g_counters.disinfections == repaired;
}

// The question of disabling; true when disabling is on and the operator agreed.
bool agree_to_disable(const std::string& question) {
  return driver::g_settings.disable_boot && driver::yes_no(question.c_str()) == 1;
}

void set_physical_location(int code, uint64_t sector) {
  findings::FindingLocation& loc = location();
  loc.kind = findings::kLocPhysicalSector;
  loc.drive_code = code;
  loc.logical_drive = findings::kNoDrive;
  loc.head = 0;
  loc.cylinder = 0;
  loc.sector = int64_t(sector);
}

}  // namespace

int is_disabled(std::span<uint8_t> s, bool disable) {
  if (s.size() < kSectorBytes) return 0;
  auto marked = [&](size_t t) { return s[t] == 0xEB && s[t + 1] == 0xFE; };
  auto mark = [&](size_t t) {
    if (disable) {
      s[t] = 0xEB;
      s[t + 1] = 0xFE;
    }
  };
  if (s[0] == 0xEB) {
    if (s[1] == 0xFE) return 1;
    const size_t t = size_t(s[1]) + 2;  // the short jump's target, taken unsigned: 2..257
    if (marked(t)) return 1;
    mark(t);
    return 0;
  }
  if (s[0] == 0xE9) {
    const size_t t = (size_t(s[2]) * 256 + s[1]) + 3;
    if (t <= 510) {
      if (marked(t)) return 1;
      mark(t);
      return 0;
    }
  }
  mark(0);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Sector ranges.

int parse_sector_range(const std::string& text, SectorRange& out) {
  out = SectorRange{};
  const char letter = (text.size() >= 2 && text[1] == ':') ? host::upper_char(text[0]) : host::current_drive();
  const int type = drive_type_of(letter);
  if (letter < 'A' || letter > 'Z' ||
      (type != host::kDriveFloppy && type != host::kDriveFixed && type != host::kDriveRemovable)) {
    driver::outputf(true, "%s", msg::kNotDirectDrive);
    return driver::kReported;
  }
  out.drive = letter - 'A';
  host::DriveSpace space;
  if (drive_space(out.drive, space) != 0) {
    driver::outputf(true, msg::kBadDriveSpec, text.c_str());
    return driver::kReported;
  }
  const uint32_t bps = space.bytes_per_sector;
  if (bps > kMaxSectorSize || bps == 0) {
    driver::outputf(true, msg::kBuffersTooSmall, text.c_str());
    return driver::kReported;
  }
  const uint64_t sectors = uint64_t(space.total_clusters) * space.sectors_per_cluster;
  out.from_byte = 0;
  out.to_byte = bps - 1;

  const size_t bar = text.find('|');
  const char* p = text.c_str() + (bar == std::string::npos ? text.size() : bar + 1);
  const char* star = p;
  while (*star == ' ' || *star == '\t') ++star;
  if (*star == '*') {
    out.from_sector = 0;
    out.to_sector = sectors;
  } else {
    int64_t v[4] = {};
    int got = 0;
    const int64_t lo[4] = {INT64_MIN, INT64_MIN, INT32_MIN, INT32_MIN};
    const int64_t hi[4] = {INT64_MAX, INT64_MAX, INT32_MAX, INT32_MAX};
    while (got < 4 && scan_decimal(p, lo[got], hi[got], v[got])) ++got;
    if (got == 0) {
      driver::outputf(true, msg::kBadParameterCount, text.c_str());
      return driver::kReported;
    }
    // Negative numbers are taken unsigned, as the limits below are.
    out.from_sector = uint64_t(v[0]);
    out.to_sector = got >= 2 ? uint64_t(v[1]) : out.from_sector;
    if (got >= 3) out.from_byte = uint32_t(int32_t(v[2]));
    out.to_byte = got >= 4 ? uint32_t(int32_t(v[3])) : got == 3 ? out.from_byte : bps - 1;
  }

  if (out.to_sector < out.from_sector) {
    driver::outputf(true, msg::kFromAboveTo, text.c_str());
    return driver::kReported;
  }
  if (out.from_sector >= sectors) {
    driver::outputf(true, msg::kFromBeyondDrive, text.c_str());
    return driver::kReported;
  }
  if (out.to_sector >= sectors) out.to_sector = sectors - 1;
  if (out.to_byte < out.from_byte) {
    driver::outputf(true, msg::kToByteBelowFrom, text.c_str());
    return driver::kReported;
  }
  if (out.from_byte >= bps) {
    driver::outputf(true, msg::kFromByteBeyondSector, text.c_str());
    return driver::kReported;
  }
  if (out.to_byte >= bps) out.to_byte = bps - 1;
  return 0;
}

int check_sector_range(const SectorRange& r) {
  const char letter = char('A' + r.drive);
  const bool floppy = drive_type_of(letter) == host::kDriveFloppy;
  std::vector<uint8_t> saved;
  const std::span<uint8_t> buffer(scan(), kMaxSectorSize);
  LogicalReader reader;
  open_logical_reader(r.drive, reader);
  const uint32_t bps = reader.bytes_per_sector;
  for (uint64_t s = r.from_sector;; ++s) {
    driver::poll_quit();
    const int rc = read_logical_reader(reader, s, buffer);
    if (rc != 0) {
      driver::outputf(true, msg::kCouldNotReadSector, (long long)s, unsigned(rc));
      zero_scan();
      return driver::kFound;
    }
    if (driver::g_settings.silent) {
      char text[64];
      std::snprintf(text, sizeof text, msg::kSectorStatus, (unsigned long long)s, letter);
      areas::status_display(text);
    } else {
      driver::console_printf(msg::kBrintingSector, (long long)s);
    }
    findings::FindingLocation& loc = location();
    loc.kind = floppy ? findings::kLocFloppySector : findings::kLocLogicalSector;
    loc.logical_drive = r.drive;
    loc.sector = int64_t(s);
    loc.drive_code = g_disk.pairing[size_t(r.drive)];
    loc.head = 0;
    loc.cylinder = 0;

    bool skip = false;
    if (s == 0) {
      if (is_disabled(buffer, false)) {
        driver::outputf(true, "%s", msg::kAlreadyDisabledBoot);
        skip = true;
      } else {
        saved.assign(buffer.begin(), buffer.begin() + bps);
      }
    }
    if (!skip) {
      const bool found = search_for_disabling(r.from_byte, r.to_byte);
      if (found && s == 0) {
        char question[256];
        std::snprintf(question, sizeof question, msg::kAskDisableBoot, letter);
        if (agree_to_disable(question)) {
          is_disabled(saved, true);
          const int wrc = write_logical_sectors(r.drive, saved, 1, 0);
          if (wrc != 0) {
            driver::outputf(true, msg::kCouldNotOverwriteSector, 0LL, unsigned(wrc));
            ++driver::g_counters.boot_not_disabled;
            zero_scan();
            return driver::kIncompatible;
          }
          driver::outputf(true, "%s", msg::kDisabledBoot);
          ++driver::g_counters.boot_disabled;
        }
      }
    }
    if (s == r.to_sector) break;
  }
  zero_scan();
  if (!driver::g_settings.silent) driver::erase_line(msg::kBrintingSectorEraseWidth);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Absolute sectors.

int parse_absolute_sector(const std::string& text, int& code, uint64_t& sector) {
  code = kNoDriveCode;
  sector = 0;
  const char* p = text.c_str();
  if (*p == '+') ++p;
  uint32_t bios = 0;
  int64_t number = 0;
  if (!scan_hex(p, bios) || !scan_decimal(p, INT64_MIN, INT64_MAX, number) || (bios >= 26 && bios < 0x80)) {
    driver::outputf(true, msg::kBadAbsolute, text.c_str());
    return driver::kReported;
  }
  // BIOS numbers from 0x80 name physical drives; one past the last drive the map can hold
  // stands for every higher number (its device never opens).
  if (bios >= 0x80) code = int(std::min<uint32_t>(bios, 0x80 + kMaxPhysicalNames) - 28);
  else code = int(bios);
  sector = uint64_t(number);
  return 0;
}

int check_absolute_sector(int code, uint64_t sector, const std::string& text) {
  driver::poll_quit();
  zero_scan();
  const int rc = read_sector_by_code_tries(code, scan(), sector);
  if (rc != 0) {
    driver::outputf(true, msg::kCouldNotRead, text.c_str(), unsigned(rc));
    zero_scan();
    return driver::kFound;
  }
  set_physical_location(code, sector);
  const std::span<uint8_t> buffer(scan(), kSectorBytes);
  if (sector == 0 && is_disabled(buffer, false)) {
    driver::outputf(true, "%s", msg::kAlreadyDisabledMbs);
    zero_scan();
    return 0;
  }
  std::array<uint8_t, kSectorBytes> saved;
  std::memcpy(saved.data(), scan(), kSectorBytes);
  const bool found = search_for_disabling(0, 512);
  if (found && sector == 0 && agree_to_disable(mbs_question(code))) {
    is_disabled(saved, true);
    const int wrc = write_sector_by_code_tries(code, saved.data(), 0);
    if (wrc != 0) {
      driver::outputf(true, msg::kCouldNotOverwriteMbs, code, unsigned(wrc));
      ++driver::g_counters.boot_not_disabled;
      zero_scan();
      return driver::kIncompatible;
    }
    driver::outputf(true, "%s", msg::kDisabledMbs);
    ++driver::g_counters.boot_disabled;
  }
  zero_scan();
  return 0;
}

// ---------------------------------------------------------------------------------------
// Master boot sectors and the Boot Manager.

int check_master_boot_sectors(int first_physical) {
  driver::poll_quit();
  zero_scan();
  set_physical_location(findings::kNoDrive, 0);
  count_physical_drives();
  const std::vector<int> numbers = g_disk.physical_numbers;
  for (int n : numbers) {
    if (n < first_physical) continue;
    const int code = kPhysicalBase + n;
    const int rc = read_sector_by_code_tries(code, scan(), 0);
    if (rc != 0) {
      // The drive opened, so its master boot sector should have been readable.
      char what[64];
      std::snprintf(what, sizeof what, msg::kMbsText, n);
      driver::outputf(true, msg::kCouldNotRead, what, unsigned(rc));
      ++driver::g_counters.errors;
      continue;
    }
    if (driver::g_settings.silent) {
      char text[32];
      std::snprintf(text, sizeof text, msg::kMbsStatus, n);
      areas::status_display(text);
    } else {
      driver::console_printf(msg::kBrintingMbs, n);
    }
    set_physical_location(code, 0);
    if (is_disabled(std::span<uint8_t>(scan(), kSectorBytes), false)) {
      driver::outputf(true, "%s", msg::kAlreadyDisabledMbs);
      continue;
    }
    std::array<uint8_t, kSectorBytes> saved;
    std::memcpy(saved.data(), scan(), kSectorBytes);
    const int64_t repaired = driver::g_counters.disinfections;
    const bool found = search_for_disabling(0, 511);
    // A sector an identity program has rewritten is read again for its partition entries.
    if (driver::g_counters.disinfections != repaired) read_sector_by_code_tries(code, saved.data(), 0);
    if (found && agree_to_disable(mbs_question(n))) {
      is_disabled(saved, true);
      const int wrc = write_sector_by_code_tries(code, saved.data(), 0);
      if (wrc != 0) {
        driver::outputf(true, msg::kCouldNotOverwriteMbs, n, unsigned(wrc));
        ++driver::g_counters.boot_not_disabled;
        zero_scan();
        return driver::kIncompatible;
      }
      driver::outputf(true, "%s", msg::kDisabledMbs);
      ++driver::g_counters.boot_disabled;
    }
    if (ends_with_signature(saved.data())) {
      for (size_t i = 0; i < 4; ++i) {
        const uint8_t* e = saved.data() + kPartitionTable + 16 * i;
        if (e[4] != kBootManagerSystem) continue;
        check_boot_manager(n, e[1], uint32_t(e[2] & 0xC0u) * 4 + e[3], e[2] & 0x3Fu);
        break;
      }
      location().head = 0;
      location().cylinder = 0;
      location().sector = 0;
    }
  }
  zero_scan();
  return 0;
}

int check_boot_manager(int n, uint32_t head, uint32_t cylinder, uint32_t sector) {
  driver::poll_quit();
  if (driver::g_settings.silent)
    areas::status_display("");
  else
    driver::console_printf(msg::kBrintingBootManager, n);
  const int code = kPhysicalBase + n;
  uint64_t sectors = 0;
  if (sectors_on_drive(code, sectors) != 0) return driver::kFound;
  const uint64_t f = absolute_sector(code, head, cylinder, sector);
  if (f == 0) return driver::kFound;
  if (f > sectors) {
    driver::outputf(true, msg::kCorrupted, msg::kMasterBootSector);
    return driver::kFound;
  }
  findings::FindingLocation& loc = location();
  loc.head = int32_t(head);
  loc.cylinder = int32_t(cylinder);
  loc.sector = int64_t(f);
  loc.drive_code = code;
  loc.logical_drive = findings::kNoDrive;
  std::memset(scan(), 0, kBootManagerWindow);
  if (int rc = read_sector_by_code_tries(code, scan(), f)) {
    driver::outputf(true, msg::kCouldNotRead, msg::kBootManager, unsigned(rc));
    zero_scan();
    return driver::kFound;
  }
  loc.kind = findings::kLocBootManager;
  if (engine::buffer_search(0, kBootManagerWindow) && !driver::g_settings.keep_checking) {
    zero_scan();
    return driver::kFound;
  }

  uint8_t first[kSectorBytes];
  if (read_sector_by_code(code, first, f) != 0) {
    zero_scan();
    return driver::kFound;
  }
  size_t entries = 0;
  while (entries < kMenuEntries && first[kMenuOffset + entries * kMenuEntrySize] != 0) ++entries;
  if (!ends_with_signature(first) || entries == kMenuEntries) {
    driver::outputf(true, msg::kCorrupted, msg::kBootManager);
    zero_scan();
    return driver::kFound;
  }

  // The menu's partitions hold other systems' boot code: only patterns are searched there.
  const bool identities = driver::g_settings.check_identities;
  driver::g_settings.check_identities = false;
  auto leave = [&](int result) {
    driver::g_settings.check_identities = identities;
    zero_scan();
    return result;
  };
  bool found_any = false;
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* e = first + kMenuOffset + i * kMenuEntrySize;
    const uint64_t count = e[0];
    const uint32_t h = e[5], s = e[2] & 0x3Fu, c = uint32_t(e[2] & 0xC0u) * 4 + e[3];
    const uint64_t u = absolute_sector(code, h, c, s);
    if (e[1] != 2 || u == kNoSector || u > sectors + 1 || count > sectors + 1 - u) {
      driver::outputf(true, msg::kCorrupted, msg::kBootManager);
      return leave(driver::kFound);
    }
    for (uint64_t k = 0; k < count; ++k) {
      loc.head = int32_t(h);
      loc.cylinder = int32_t(c);
      loc.sector = int64_t(u + k);
      std::memset(scan(), 0, kBootManagerWindow);
      if (int rc = read_sector_by_code(code, scan(), u + k)) {
        driver::outputf(true, msg::kCouldNotRead, msg::kBootManager, unsigned(rc));
        return leave(driver::kFound);
      }
      if (engine::buffer_search(0, kBootManagerWindow)) {
        found_any = true;
        if (!driver::g_settings.keep_checking) return leave(driver::kFound);
      }
    }
  }
  return leave(found_any ? driver::kFound : 0);
}

// ---------------------------------------------------------------------------------------

int check_sectors(areas::AreaKind kind, const std::string& body) {
  switch (kind) {
    case areas::AreaKind::kAbsoluteSector: {
      int code = 0;
      uint64_t sector = 0;
      if (int rc = parse_absolute_sector(body, code, sector)) return rc;
      return check_absolute_sector(code, sector, body);
    }
    case areas::AreaKind::kAllMasterBoot:
      return check_master_boot_sectors(0);
    case areas::AreaKind::kSectorRange: {
      SectorRange r;
      if (int rc = parse_sector_range(body, r)) return rc;
      return check_sector_range(r);
    }
    default:
      return driver::kReported;
  }
}

}  // namespace disk
