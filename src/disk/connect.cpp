// Connects the disk functions to their callers: the walker's hooks for sector areas and
// drive readiness, and the sector access of the identity engine's disk instructions.
//
// The identity engine moves exactly 512 bytes per sector. Its logical sectors are read and
// written by drive code (a larger logical sector by read-modify-write); its physical
// sectors are addressed by cylinder, head and sector, turned into an absolute sector with
// the drive's geometry. Sector 0 of a cylinder-head-sector address does not exist: 27.
#include "disk/disk.h"
#include "engine/sector_io.h"

namespace disk {

namespace {

int read_logical(int drive, uint32_t sector, uint8_t* out) {
  if (drive < 0 || drive >= 26) return host::kErrInvalidDrive;
  return read_sector_by_code(drive, out, sector);
}

int write_logical(int drive, uint32_t sector, const uint8_t* in) {
  if (drive < 0 || drive >= 26) return host::kErrInvalidDrive;
  return write_sector_by_code(drive, in, sector);
}

// The absolute sector of a cylinder-head-sector address on physical drive n.
int physical_address(int n, uint32_t cylinder, uint32_t head, uint32_t sector, uint64_t& out) {
  host::DiskGeometry g;
  if (int rc = physical_geometry(n, g)) return rc;
  if (sector == 0) return host::kErrSectorNotFound;
  out = (uint64_t(head) + uint64_t(cylinder) * g.tracks_per_cylinder) * g.sectors_per_track + sector - 1;
  return 0;
}

int read_physical(int n, uint32_t cylinder, uint32_t head, uint32_t sector, uint8_t* out) {
  uint64_t s = 0;
  if (int rc = physical_address(n, cylinder, head, sector, s)) return rc;
  return read_sector_by_code(kPhysicalBase + n, out, s);
}

int write_physical(int n, uint32_t cylinder, uint32_t head, uint32_t sector, const uint8_t* in) {
  uint64_t s = 0;
  if (int rc = physical_address(n, cylinder, head, sector, s)) return rc;
  return write_sector_by_code(kPhysicalBase + n, in, s);
}

int geometry(int n, uint32_t& cylinders, uint32_t& heads, uint32_t& sectors) {
  cylinders = heads = sectors = 0;
  host::DiskGeometry g;
  if (int rc = physical_geometry(n, g)) return rc;
  cylinders = (g.cylinders < 0 || g.cylinders > int64_t(UINT32_MAX)) ? 0 : uint32_t(g.cylinders);
  heads = g.tracks_per_cylinder;
  sectors = g.sectors_per_track;
  return 0;
}

}  // namespace

void connect_hooks() {
  areas::g_hooks.check_sectors = check_sectors;
  areas::g_hooks.drive_ready = drive_ready;
  engine::g_sector_io = engine::SectorIo{read_logical, write_logical, read_physical, write_physical, geometry};
}

}  // namespace disk
