// Raw sectors: the devices "\\.\X:" and "\\.\PHYSICALDRIVEn", sector reads and writes at
// 64-bit byte offsets, the disk geometry, the media-types answer and the drive space.
//
// A device name opens exactly when its drive is in the map. Its sectors come from the
// DEVICE of the map entry (a host file or block device, from its "@" offset on):
//   no DEVICE on a floppy or removable drive: no medium, every access fails with 21;
//   no DEVICE on any other drive: 1 (invalid function);
//   a DEVICE opened read-only (the open for writing is refused, or the file has no write
//   permission bit at all, which also holds for root): writes fail with 19;
//   a transfer reaching past the end of the DEVICE: 27, nothing transferred;
//   a device opened without access rights: transfers fail with 5;
//   an offset or length that is not whole 512-byte sectors: 87.
// Geometry: 512-byte sectors; a standard floppy size gets that floppy's cylinders, heads,
// sectors per track and NT media type; any other size 255 heads, 63 sectors per track,
// cylinders = size / (255 * 63 * 512), media type 12 (fixed) or 11 (removable).
// Drive space: from the FAT boot sector (BPB) at sector 0 of the DEVICE when it holds a
// plausible one, else 1005; for a drive with only a ROOT, statvfs of the ROOT with 512-byte
// sectors; 21 when the drive has neither (or is a floppy/removable drive with no DEVICE).
//
// Choices of this file: a DEVICE that cannot be opened at all (a missing image) counts as
// no medium (21) on every drive type; the free cluster count of a DEVICE drive is 0 (the
// FAT is not walked); unknown device names and letters not in the map give 2.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/internal.h"
#include "host/syscalls.h"

namespace host {

Device::~Device() {
  if (fd >= 0) g_syscalls.close(fd);
}
Device::Device(Device&& o) noexcept {
  *this = std::move(o);
}
Device& Device::operator=(Device&& o) noexcept {
  if (this != &o) {
    if (fd >= 0) g_syscalls.close(fd);
    fd = o.fd;
    is_open = o.is_open;
    drive_type = o.drive_type;
    offset = o.offset;
    size = o.size;
    access = o.access;
    writable = o.writable;
    missing_error = o.missing_error;
    o.fd = -1;
    o.is_open = false;
  }
  return *this;
}

namespace {

struct FloppyFormat {
  uint64_t kib;
  uint32_t cylinders, heads, sectors, media_type;
};
constexpr FloppyFormat kFloppies[] = {
    {160, 40, 1, 8, 10}, {180, 40, 1, 9, 9},   {320, 40, 2, 8, 7},   {360, 40, 2, 9, 6},
    {720, 80, 2, 9, 5},  {1200, 80, 2, 15, 1}, {1440, 80, 2, 18, 2}, {2880, 80, 2, 36, 3},
};
constexpr uint32_t kMediaRemovable = 11;
constexpr uint32_t kMediaFixed = 12;

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && detail::same_name(s.substr(0, prefix.size()), prefix);
}

uint16_t le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Opens the DEVICE behind a map entry into `out` (fd, size, writable).
void attach_device(const std::string& device, uint64_t offset, unsigned access, Device& out) {
  out.offset = offset;
  if (device.empty()) return;
  int fd = -1;
  bool writable = false;
  if (access & kAccessWrite) {
    fd = g_syscalls.open(device.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY, 0);
    writable = fd >= 0;
  }
  if (fd < 0) fd = g_syscalls.open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
  if (fd < 0) {
    out.missing_error = kErrNotReady;
    return;
  }
  struct stat st {};
  uint64_t size = 0;
  if (fstat(fd, &st) == 0) {
    if (S_ISBLK(st.st_mode)) {
      uint64_t bytes = 0;
      if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
    } else {
      size = uint64_t(st.st_size);
      if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) writable = false;
    }
  }
  out.fd = fd;
  out.size = size > offset ? size - offset : 0;
  out.writable = writable;
}

// Checks a transfer of n bytes at `offset`; 0 when it may go ahead.
int check_transfer(const Device& d, uint64_t offset, size_t n, bool write) {
  if (!d.is_open) return kErrInvalidParameter;
  if (d.fd < 0) return d.missing_error;
  if (d.access == 0) return kErrAccessDenied;
  if (offset % kSectorSize != 0 || n % kSectorSize != 0) return kErrInvalidParameter;
  if (write && !d.writable) return kErrWriteProtect;
  if (offset > d.size || n > d.size - offset) return kErrSectorNotFound;
  if (d.offset > UINT64_MAX / 2 || offset > UINT64_MAX / 2 - d.offset) return kErrSectorNotFound;
  return 0;
}

}  // namespace

int open_device(std::string_view name, unsigned access, Device& out) {
  out = Device{};
  if (name.size() < 4 || !((name[0] == '\\' || name[0] == '/') && (name[1] == '\\' || name[1] == '/') &&
                           name[2] == '.' && (name[3] == '\\' || name[3] == '/')))
    return kErrFileNotFound;
  std::string_view rest = name.substr(4);
  if (rest.size() == 2 && rest[1] == ':') {
    const DriveEntry* d = find_drive(rest[0]);
    if (d == nullptr || upper_char(rest[0]) < 'A' || upper_char(rest[0]) > 'Z') return kErrFileNotFound;
    out.is_open = true;
    out.access = access;
    out.drive_type = d->type;
    out.missing_error =
        (d->type == kDriveFloppy || d->type == kDriveRemovable) ? kErrNotReady : kErrInvalidFunction;
    attach_device(d->device, d->device_offset, access, out);
    return 0;
  }
  if (starts_with_nocase(rest, "PHYSICALDRIVE")) {
    std::string_view digits = rest.substr(13);
    if (digits.empty() || digits.size() > 2) return kErrFileNotFound;
    int n = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return kErrFileNotFound;
      n = n * 10 + (c - '0');
    }
    const PhysicalEntry* p = find_physical_drive(n);
    if (p == nullptr) return kErrFileNotFound;
    out.is_open = true;
    out.access = access;
    out.drive_type = kDriveFixed;
    out.missing_error = kErrInvalidFunction;
    attach_device(p->device, p->device_offset, access, out);
    return 0;
  }
  return kErrFileNotFound;
}

int close_device(Device& d) {
  Device closing = std::move(d);
  return 0;
}

int read_device(Device& d, uint64_t offset, void* buf, size_t n) {
  if (int r = check_transfer(d, offset, n, false)) return r;
  size_t done = 0;
  while (done < n) {
    long got =
        g_syscalls.pread(d.fd, static_cast<char*>(buf) + done, n - done, int64_t(d.offset + offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return nt_error(errno);
    if (got == 0) return kErrSectorNotFound;  // the device shrank under us
    done += size_t(got);
  }
  return 0;
}

int write_device(Device& d, uint64_t offset, const void* buf, size_t n) {
  if (int r = check_transfer(d, offset, n, true)) return r;
  size_t done = 0;
  while (done < n) {
    long put = g_syscalls.pwrite(d.fd, static_cast<const char*>(buf) + done, n - done,
                                 int64_t(d.offset + offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno == EBADF ? kErrWriteProtect : nt_error(errno);
    if (put == 0) return kErrSectorNotFound;
    done += size_t(put);
  }
  return 0;
}

int device_geometry(Device& d, DiskGeometry& g) {
  g = DiskGeometry{};
  if (!d.is_open) return kErrInvalidParameter;
  if (d.fd < 0) return d.missing_error;
  g.bytes_per_sector = kSectorSize;
  for (const FloppyFormat& f : kFloppies) {
    if (d.size == f.kib * 1024) {
      g.cylinders = f.cylinders;
      g.tracks_per_cylinder = f.heads;
      g.sectors_per_track = f.sectors;
      g.media_type = f.media_type;
      return 0;
    }
  }
  g.tracks_per_cylinder = 255;
  g.sectors_per_track = 63;
  g.cylinders = int64_t(d.size / (255ULL * 63 * kSectorSize));
  g.media_type =
      (d.drive_type == kDriveFloppy || d.drive_type == kDriveRemovable) ? kMediaRemovable : kMediaFixed;
  return 0;
}

int device_media_types(Device& d) {
  if (!d.is_open) return kErrInvalidParameter;
  return d.drive_type == kDriveFloppy ? 0 : kErrInvalidFunction;
}

int drive_space(char letter, DriveSpace& out) {
  out = DriveSpace{};
  const DriveEntry* e = find_drive(letter);
  if (e == nullptr) return kErrPathNotFound;
  bool removable = e->type == kDriveFloppy || e->type == kDriveRemovable;
  if (!e->device.empty()) {
    Device d;
    if (int r = open_device(std::string("\\\\.\\") + e->letter + ":", kAccessRead, d)) return r;
    uint8_t boot[kSectorSize];
    if (int r = read_device(d, 0, boot, sizeof boot)) return r;
    return parse_bpb(boot, sizeof boot, out);
  }
  if (removable || e->root.empty()) return kErrNotReady;
  struct statvfs vs {};
  if (statvfs(e->root.c_str(), &vs) != 0) return nt_error(errno);
  uint64_t unit = vs.f_frsize ? vs.f_frsize : vs.f_bsize;
  uint32_t spc = unit >= kSectorSize ? uint32_t(unit / kSectorSize) : 1;
  uint64_t cluster = uint64_t(spc) * kSectorSize;
  uint64_t total = uint64_t(vs.f_blocks) * unit / cluster;
  uint64_t avail = uint64_t(vs.f_bavail) * unit / cluster;
  out.bytes_per_sector = kSectorSize;
  out.sectors_per_cluster = spc;
  out.total_clusters = total > UINT32_MAX ? UINT32_MAX : uint32_t(total);
  out.free_clusters = avail > UINT32_MAX ? UINT32_MAX : uint32_t(avail);
  return 0;
}

int parse_bpb(const uint8_t* sector, size_t n, DriveSpace& out) {
  out = DriveSpace{};
  if (sector == nullptr || n < 40) return kErrUnrecognizedVolume;
  uint16_t bps = le16(sector + 11);
  uint8_t spc = sector[13];
  uint16_t reserved = le16(sector + 14);
  uint8_t fats = sector[16];
  uint16_t root_entries = le16(sector + 17);
  uint32_t total = le16(sector + 19);
  uint8_t media = sector[21];
  uint32_t fat_size = le16(sector + 22);
  if (total == 0) total = le32(sector + 32);
  if (fat_size == 0) {
    if (n < 40) return kErrUnrecognizedVolume;
    fat_size = le32(sector + 36);
  }
  bool bps_ok = bps == 512 || bps == 1024 || bps == 2048 || bps == 4096;
  bool spc_ok = spc != 0 && (spc & (spc - 1)) == 0;
  if (!bps_ok || !spc_ok || reserved == 0 || fats == 0 || fats > 2 || media < 0xF0 || total == 0 ||
      fat_size == 0)
    return kErrUnrecognizedVolume;
  uint64_t root_sectors = (uint64_t(root_entries) * 32 + bps - 1) / bps;
  uint64_t meta = uint64_t(reserved) + uint64_t(fats) * fat_size + root_sectors;
  if (meta >= total) return kErrUnrecognizedVolume;
  out.bytes_per_sector = bps;
  out.sectors_per_cluster = spc;
  out.total_clusters = uint32_t((total - meta) / spc);
  out.free_clusters = 0;
  if (out.total_clusters == 0) return kErrUnrecognizedVolume;
  return 0;
}

}  // namespace host
