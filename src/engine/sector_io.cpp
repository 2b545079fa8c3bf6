// Default sector access: nothing is available until raw sector access is installed.
#include "engine/sector_io.h"

namespace engine {

namespace {
int no_read_logical(int, uint32_t, uint8_t*) { return kSectorUnavailable; }
int no_write_logical(int, uint32_t, const uint8_t*) { return kSectorUnavailable; }
int no_read_physical(int, uint32_t, uint32_t, uint32_t, uint8_t*) { return kSectorUnavailable; }
int no_write_physical(int, uint32_t, uint32_t, uint32_t, const uint8_t*) { return kSectorUnavailable; }
int no_geometry(int, uint32_t&, uint32_t&, uint32_t&) { return kSectorUnavailable; }
}  // namespace

SectorIo g_sector_io = {no_read_logical, no_write_logical, no_read_physical, no_write_physical, no_geometry};

void reset_sector_io() {
  g_sector_io = SectorIo{no_read_logical, no_write_logical, no_read_physical, no_write_physical, no_geometry};
}

}  // namespace engine
