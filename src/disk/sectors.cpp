// Raw sector access: drive types, drive space, logical and by-drive-code sector transfers,
// geometry, cylinder-head-sector conversion and the physical drive count.
//
// Owns g_disk. Every transfer opens the device "\\.\X:" or "\\.\PHYSICALDRIVEn" itself and
// closes it before returning. Byte offsets are sector * bytes per sector in 64 bits; a
// product that does not fit fails with 27 (sector not found) before any device is touched.
#include <cstdio>
#include <cstring>

#include "disk/disk.h"

namespace disk {

DiskState g_disk;

void reset_disk_state() { g_disk = DiskState{}; }

namespace {

std::string logical_name(int index) { return std::string("\\\\.\\") + char('A' + index) + ":"; }
std::string physical_name(int n) { return "\\\\.\\PHYSICALDRIVE" + std::to_string(n); }

bool valid_index(int index) { return index >= 0 && index < 26; }

// sector * size as a byte offset; false when it does not fit.
bool byte_offset(uint64_t sector, uint64_t size, uint64_t& out) {
  if (size != 0 && sector > (UINT64_MAX / 2) / size) return false;
  out = sector * size;
  return true;
}

// One transfer of `n` bytes at sector `first` (of `size` bytes) of the device `name`: a
// read into `in` when it is not null, else a write from `from`.
int transfer(const std::string& name, uint64_t first, uint64_t size, uint8_t* in, const uint8_t* from, size_t n) {
  uint64_t offset = 0;
  if (!byte_offset(first, size, offset)) return host::kErrSectorNotFound;
  host::Device d;
  const unsigned access = in != nullptr ? host::kAccessRead : (host::kAccessRead | host::kAccessWrite);
  if (int rc = host::open_device(name, access, d)) return rc;
  const int rc = in != nullptr ? host::read_device(d, offset, in, n) : host::write_device(d, offset, from, n);
  host::close_device(d);
  return rc;
}

int logical_transfer(int index, uint8_t* in, const uint8_t* from, size_t buf_size, uint64_t count, uint64_t first,
                     uint32_t* bytes_per_sector) {
  if (!valid_index(index)) return host::kErrInvalidDrive;
  host::DriveSpace space;
  if (int rc = drive_space(index, space)) return rc;
  const uint32_t bps = space.bytes_per_sector;
  if (bytes_per_sector != nullptr) *bytes_per_sector = bps;
  if (bps == 0 || bps % host::kSectorSize != 0) return host::kErrInvalidParameter;
  if (count > buf_size / bps) return host::kErrInvalidParameter;
  return transfer(logical_name(index), first, bps, in, from, size_t(count * bps));
}

int geometry_of(const std::string& name, host::DiskGeometry& g) {
  g = host::DiskGeometry{};
  host::Device d;
  if (int rc = host::open_device(name, host::kAccessRead, d)) return rc;
  const int rc = host::device_geometry(d, g);
  host::close_device(d);
  return rc;
}

// The checks a drive code passes before any transfer: 0, or the NT error for a code that
// names no drive (kErrInvalidDrive) or a physical drive beyond the last one (kErrFileNotFound).
int check_drive_code(int code) {
  if (code < 0 || (code >= 26 && code < kPhysicalBase)) return host::kErrInvalidDrive;
  if (code >= kPhysicalBase && code - kPhysicalBase > host::kMaxPhysicalDrive) return host::kErrFileNotFound;
  return 0;
}

// Reads the whole logical sector `sector` of drive `code` (0..25) into `whole`, with its size
// in `bps`; a sector smaller than 512 bytes is an invalid parameter.
int read_whole_logical_sector(int code, uint64_t sector, std::vector<uint8_t>& whole, uint32_t& bps) {
  whole.assign(kMaxSectorSize, 0);
  bps = 0;
  int rc = read_logical_sectors(code, whole, 1, sector, &bps);
  if (rc == 0 && bps < kSectorBytes) rc = host::kErrInvalidParameter;
  return rc;
}

}  // namespace

int drive_type_of(char letter) {
  const char up = host::upper_char(letter);
  if (up < 'A' || up > 'Z') return host::kDriveNone;
  const int system_type = host::drive_type(up);
  if (system_type == host::kDriveNone) return host::kDriveNone;
  host::Device d;
  if (host::open_device(logical_name(up - 'A'), 0, d) != 0) return host::kDriveNone;
  const bool answers = host::device_media_types(d) == 0;
  host::close_device(d);
  if (system_type == host::kDriveFloppy || system_type == host::kDriveRemovable)
    return answers ? host::kDriveFloppy : host::kDriveRemovable;
  return system_type;
}

void fill_drive_types() {
  for (int i = 0; i < 26; ++i) g_disk.drive_types[size_t(i)] = uint8_t(drive_type_of(char('A' + i)));
}

int drive_space(int index, host::DriveSpace& out) {
  out = host::DriveSpace{};
  if (!valid_index(index)) return host::kErrInvalidDrive;
  const int rc = host::drive_space(char('A' + index), out);
  if (rc == host::kErrUnrecognizedVolume && drive_type_of(char('A' + index)) == host::kDriveFloppy) {
    // An unformatted floppy: one sector of 512 bytes, so that sector 0 can still be read.
    out.total_clusters = 1;
    out.free_clusters = 1;
    out.bytes_per_sector = 512;
    out.sectors_per_cluster = 1;
    return 0;
  }
  return rc;
}

bool drive_ready(char letter) {
  const char up = host::upper_char(letter);
  if (up < 'A' || up > 'Z') return false;
  host::DriveSpace space;
  return drive_space(up - 'A', space) == 0;
}

int read_logical_sectors(int index, std::span<uint8_t> buf, uint64_t count, uint64_t first, uint32_t* bps) {
  return logical_transfer(index, buf.data(), nullptr, buf.size(), count, first, bps);
}

int write_logical_sectors(int index, std::span<const uint8_t> buf, uint64_t count, uint64_t first, uint32_t* bps) {
  return logical_transfer(index, nullptr, buf.data(), buf.size(), count, first, bps);
}

int open_logical_reader(int index, LogicalReader& r) {
  r.device = host::Device{};
  r.bytes_per_sector = 0;
  r.open_error = 0;
  host::DriveSpace space;
  int rc = valid_index(index) ? drive_space(index, space) : host::kErrInvalidDrive;
  if (rc == 0 && (space.bytes_per_sector == 0 || space.bytes_per_sector % host::kSectorSize != 0))
    rc = host::kErrInvalidParameter;
  if (rc == 0) rc = host::open_device(logical_name(index), host::kAccessRead, r.device);
  r.bytes_per_sector = space.bytes_per_sector;
  r.open_error = rc;
  return rc;
}

int read_logical_reader(LogicalReader& r, uint64_t sector, std::span<uint8_t> out) {
  if (r.open_error != 0) return r.open_error;
  if (out.size() < r.bytes_per_sector) return host::kErrInvalidParameter;
  uint64_t offset = 0;
  if (!byte_offset(sector, r.bytes_per_sector, offset)) return host::kErrSectorNotFound;
  return host::read_device(r.device, offset, out.data(), r.bytes_per_sector);
}

int read_sector_by_code(int code, uint8_t* out512, uint64_t sector) {
  if (int rc = check_drive_code(code)) return rc;
  if (code < 26) {
    std::vector<uint8_t> whole;
    uint32_t bps = 0;
    const int rc = read_whole_logical_sector(code, sector, whole, bps);
    if (rc == 0) std::memcpy(out512, whole.data(), kSectorBytes);
    return rc;
  }
  return transfer(physical_name(code - kPhysicalBase), sector, kSectorBytes, out512, nullptr, kSectorBytes);
}

int write_sector_by_code(int code, const uint8_t* in512, uint64_t sector) {
  if (int rc = check_drive_code(code)) return rc;
  if (code < 26) {
    // Read-modify-write: only the first 512 bytes of a larger logical sector change.
    std::vector<uint8_t> whole;
    uint32_t bps = 0;
    if (int rc = read_whole_logical_sector(code, sector, whole, bps)) return rc;
    std::memcpy(whole.data(), in512, kSectorBytes);
    return write_logical_sectors(code, std::span<const uint8_t>(whole.data(), bps), 1, sector);
  }
  return transfer(physical_name(code - kPhysicalBase), sector, kSectorBytes, nullptr, in512, kSectorBytes);
}

int read_sector_by_code_tries(int code, uint8_t* out512, uint64_t sector) {
  int rc = 0;
  for (int i = 0; i < kTransferTries; ++i)
    if ((rc = read_sector_by_code(code, out512, sector)) == 0) return 0;
  return rc;
}

int write_sector_by_code_tries(int code, const uint8_t* in512, uint64_t sector) {
  int rc = 0;
  for (int i = 0; i < kTransferTries; ++i)
    if ((rc = write_sector_by_code(code, in512, sector)) == 0) return 0;
  return rc;
}

int physical_geometry(int n, host::DiskGeometry& g) {
  g = host::DiskGeometry{};
  if (n < 0 || n > host::kMaxPhysicalDrive) return host::kErrFileNotFound;
  return geometry_of(physical_name(n), g);
}

int logical_geometry(int index, host::DiskGeometry& g) {
  g = host::DiskGeometry{};
  if (!valid_index(index)) return host::kErrInvalidDrive;
  return geometry_of(logical_name(index), g);
}

uint64_t absolute_sector(int code, uint32_t head, uint32_t cylinder, uint32_t sector) {
  host::DiskGeometry g;
  const int rc = code >= kPhysicalBase ? physical_geometry(code - kPhysicalBase, g) : logical_geometry(code, g);
  if (rc != 0) return 0;
  // All factors are below 2^32, so the track number and the product stay within 64 bits.
  const uint64_t track = uint64_t(head) + uint64_t(cylinder) * g.tracks_per_cylinder;
  const uint64_t first = track * g.sectors_per_track;
  if (sector == 0 && first == 0) return kNoSector;
  return first + sector - 1;
}

int sectors_on_drive(int code, uint64_t& out) {
  out = 0;
  host::DiskGeometry g;
  if (int rc = physical_geometry(code - kPhysicalBase, g)) return rc;
  const uint64_t cylinders = (g.cylinders < 0 || g.cylinders > int64_t(UINT32_MAX)) ? 0 : uint64_t(g.cylinders);
  out = cylinders * g.tracks_per_cylinder * g.sectors_per_track;
  return 0;
}

int count_physical_drives() {
  if (g_disk.physical_counted) return int(g_disk.physical_numbers.size());
  g_disk.physical_numbers.clear();
  for (int n = 0; n < kMaxPhysicalNames; ++n) {
    host::Device d;
    if (host::open_device(physical_name(n), 0, d) == 0) g_disk.physical_numbers.push_back(n);
    host::close_device(d);
  }
  g_disk.physical_counted = !g_disk.physical_numbers.empty();
  return int(g_disk.physical_numbers.size());
}

int count_floppy_drives() {
  int count = 0;
  for (int i = 0; i < 26; ++i)
    if (drive_type_of(char('A' + i)) == host::kDriveFloppy) ++count;
  return count;
}

}  // namespace disk
