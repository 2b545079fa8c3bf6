// The narrow sector-access interface of the identity engine's disk instructions.
//
// The identity engine reads and writes single 512-byte sectors of the drive being checked
// and asks for the geometry of a physical drive; it does so only through these functions,
// which raw sector access fills in. Until then every call answers "not available"
// (kSectorUnavailable), so the instructions fail as they do on a drive that cannot be read.
// Every function returns 0, or the NT error code of the failure (19: write-protected).
#pragma once

#include <cstdint>

namespace engine {

constexpr int kSectorBytes = 512;       // bytes moved by one sector read or write
constexpr int kSectorUnavailable = 21;  // "not ready": sector access is not in place

struct SectorIo {
  // Sector `sector` of logical drive `drive` (0 = A:) into out[0..511].
  int (*read_logical)(int drive, uint32_t sector, uint8_t* out);
  int (*write_logical)(int drive, uint32_t sector, const uint8_t* in);
  // Cylinder, head and sector (1-based) of physical drive `n`.
  int (*read_physical)(int n, uint32_t cylinder, uint32_t head, uint32_t sector, uint8_t* out);
  int (*write_physical)(int n, uint32_t cylinder, uint32_t head, uint32_t sector, const uint8_t* in);
  // Geometry of physical drive `n`: cylinders, heads (tracks per cylinder), sectors per track.
  int (*geometry)(int n, uint32_t& cylinders, uint32_t& heads, uint32_t& sectors);
};
extern SectorIo g_sector_io;
// Puts the "not available" functions back (tests, start-up).
void reset_sector_io();

}  // namespace engine
