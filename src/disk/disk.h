// Disks: raw sector access by drive code, drive types, geometry, pairing of logical with
// physical drives, and the checks of boot sectors, sector ranges, absolute sectors, master
// boot sectors and the OS/2 Boot Manager, with disabling of infected boot sectors.
//
// Drive code: 0..25 logical drive A:..Z:, 100 + n physical drive n, 255 no drive.
// Sector numbers, byte offsets and counts are 64-bit everywhere; a transfer whose byte
// offset does not fit fails with 27 (sector not found) instead of wrapping.
// Every function opens and closes its device itself; no handle outlives a call.
// Results: 0, an NT error code (positive), or the program's small negatives (-2 reported,
// -4 unreadable or found, -5 a disabled sector could not be written back).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "areas/areas.h"
#include "host/host.h"

namespace disk {

namespace msg {
inline constexpr const char* kCouldNotRead = "Could not read '%s' - NT error code %04x\n";
inline constexpr const char* kPairSectorText = "sector %llu, drive %d";
inline constexpr const char* kMbsText = "master boot sector of drive %d";
inline constexpr const char* kNotDirectDrive =
    "Sectors can only be read directly on floppy, hard, or Bernoulli drives.\n";
inline constexpr const char* kBadDriveSpec = "Bad drive specification in '%s'\n";
inline constexpr const char* kBuffersTooSmall = "Buffers too small to check '%s'\n";
inline constexpr const char* kBadParameterCount = "Bad number of parameters in '%s'\n";
inline constexpr const char* kFromAboveTo = "From sector must be less than or equal to to sector in '%s'\n";
inline constexpr const char* kFromBeyondDrive =
    "From sector must be less than the number of sectors in the drive in '%s'\n";
inline constexpr const char* kToByteBelowFrom = "To byte must be greater or equal to from byte in '%s'\n";
inline constexpr const char* kFromByteBeyondSector =
    "From byte must be smaller than the number of bytes per sector in '%s'\n";
inline constexpr const char* kCouldNotReadSector = "Could not read sector %lld - NT error code %04x\n";
inline constexpr const char* kSectorStatus = "Sector %llu of %c:";
inline constexpr const char* kBrintingSector = "Brinting sector %lld\r";
inline constexpr int kBrintingSectorEraseWidth = 20 + 10;  // length of "Brinting sector %ld\r" plus 10
inline constexpr const char* kAlreadyDisabledBoot = "Virus has already been disabled in this boot sector.\n";
inline constexpr const char* kAlreadyDisabledMbs = "Virus has already been disabled in this master boot sector.\n";
inline constexpr const char* kAskDisableBoot =
    "About to disable boot sector of drive %c.\n\nNote that this will disable the virus, but the PC will not "
    "boot any more.\nProceed (Y/N) ? ";
inline constexpr const char* kAskDisableMbs =
    "About to disable master boot sector of drive %d.\n\nNote that this will disable the virus, but the PC will "
    "not boot any more.\nProceed (Y/N) ? ";
inline constexpr const char* kCouldNotOverwriteSector = "Could not overwrite sector %lld - NT error code %04x\n";
inline constexpr const char* kCouldNotOverwriteMbs = "Could not overwrite master boot sector on drive %d\nNT error code %04x\n";
inline constexpr const char* kDisabledBoot =
    "The virus is now disabled, but note that the virus pattern may still be\npresent in the boot sector.\n\n";
inline constexpr const char* kDisabledMbs =
    "The virus is now disabled, but note that the virus pattern may still be\npresent in the master boot sector.\n\n";
inline constexpr const char* kBadAbsolute = "Bad absolute sector specification '%s'\n";
inline constexpr const char* kMbsStatus = "MBS of drive %d";
inline constexpr const char* kBrintingMbs = "Brinting master boot sector on physical drive %d\n";
inline constexpr const char* kBrintingBootManager = "Brinting OS/2 Boot Manager on drive %d\n";
inline constexpr const char* kCorrupted = "Warning! %s has been corrupted, possibly by a virus.\n";
inline constexpr const char* kMasterBootSector = "Master boot sector";
inline constexpr const char* kBootManager = "OS/2 Boot Manager";
}  // namespace msg

constexpr int kPhysicalBase = 100;    // drive code of physical drive n is 100 + n
constexpr int kNoDriveCode = 255;     // pairing entry of a letter that holds no paired drive
constexpr size_t kSectorBytes = 512;  // bytes moved by the by-drive-code operations
constexpr uint32_t kMaxSectorSize = 4096;  // larger logical sectors are refused ("Buffers too small")
constexpr int kMaxPhysicalNames = 50;      // PHYSICALDRIVE0..49 are tried
constexpr int kMaxPairingDepth = 64;       // extended partition chains deeper than this are not followed
constexpr int kTransferTries = 3;          // by-drive-code reads and writes of the checks are tried this often

constexpr std::array<uint8_t, 26> unpaired_table() {
  std::array<uint8_t, 26> t{};
  for (auto& e : t) e = uint8_t(kNoDriveCode);
  return t;
}

// Process-wide disk state; reset_disk_state() puts it back (start-up, tests).
struct DiskState {
  std::array<uint8_t, 26> drive_types{};  // drive type of A..Z (host::DriveType), filled by fill_drive_types
  std::array<uint8_t, 26> pairing = unpaired_table();  // drive code holding each letter; 255 not paired
  bool physical_counted = false;          // the physical drives were found (a non-zero count is kept)
  std::vector<int> physical_numbers;      // numbers n of the PHYSICALDRIVEn that opened, ascending
};
extern DiskState g_disk;
void reset_disk_state();

// ---------------------------------------------------------------------------------------
// Drive types, drive space, sector access (sectors.cpp).

// Drive type of `letter` (either case): the system type, "no drive" when its device does
// not open, floppy for a removable drive that answers the media-types request.
int drive_type_of(char letter);
// Classifies A..Z into g_disk.drive_types.
void fill_drive_types();
// Free-space query of drive `index` (0 = A:). 0 or the NT error; 1005 on a floppy drive
// becomes 1 cluster of 1 sector of 512 bytes (an unformatted floppy is still readable).
int drive_space(int index, host::DriveSpace& out);
// True when drive_space succeeds for `letter`.
bool drive_ready(char letter);
// Reads / writes `count` sectors of the drive's own size from sector `first` of logical
// drive `index`. `buf` must hold count * bytes per sector (else 87). `bytes_per_sector`
// receives the size used when not null. 0 or the NT error (drive space errors as they are).
int read_logical_sectors(int index, std::span<uint8_t> buf, uint64_t count, uint64_t first,
                         uint32_t* bytes_per_sector = nullptr);
int write_logical_sectors(int index, std::span<const uint8_t> buf, uint64_t count, uint64_t first,
                          uint32_t* bytes_per_sector = nullptr);
// A logical drive held open for reading many sectors in a row (one sector range check):
// the drive space is asked once and the device opened once, instead of for every sector.
struct LogicalReader {
  host::Device device;            // "\\.\X:" opened for reading
  uint32_t bytes_per_sector = 0;  // from the drive space at opening
  int open_error = 0;             // error of the drive space or the open; every read returns it
};
// Opens drive `index` into `r`. 0 or the NT error (also kept in r.open_error).
int open_logical_reader(int index, LogicalReader& r);
// Reads sector `sector` into out (at least bytes_per_sector bytes). 0 or the NT error.
int read_logical_reader(LogicalReader& r, uint64_t sector, std::span<uint8_t> out);
// Exactly 512 bytes of sector `sector` of drive `code`. A logical sector larger than 512
// bytes is read whole and its first 512 bytes delivered; a write replaces its first 512
// bytes by read-modify-write. 0 or the NT error (15 for a code naming no drive).
int read_sector_by_code(int code, uint8_t* out512, uint64_t sector);
int write_sector_by_code(int code, const uint8_t* in512, uint64_t sector);
// The same, tried up to kTransferTries times; the last error is returned.
int read_sector_by_code_tries(int code, uint8_t* out512, uint64_t sector);
int write_sector_by_code_tries(int code, const uint8_t* in512, uint64_t sector);
// Disk geometry of physical drive n / logical drive index. 0 or the NT error.
int physical_geometry(int n, host::DiskGeometry& g);
int logical_geometry(int index, host::DiskGeometry& g);
// Absolute sector of head, cylinder, sector (1-based) on drive `code`:
// (head + cylinder * heads) * sectors per track + sector - 1. 0 when the geometry cannot be
// read; kNoSector when sector is 0 and the address lies before the disk.
constexpr uint64_t kNoSector = UINT64_MAX;
uint64_t absolute_sector(int code, uint32_t head, uint32_t cylinder, uint32_t sector);
// Sectors of physical drive code: cylinders * heads * sectors per track (0 cylinders taken
// when the count needs more than 32 bits). 0 or the geometry's NT error.
int sectors_on_drive(int code, uint64_t& out);
// Physical drives that open, tried as PHYSICALDRIVE0..49; found once and kept while the
// count is non-zero. Returns the count; their numbers are in g_disk.physical_numbers.
int count_physical_drives();
// Classifies A..Z afresh and counts floppy drives.
int count_floppy_drives();

// ---------------------------------------------------------------------------------------
// Pairing (pairing.cpp).

// Builds g_disk.pairing: floppies hold themselves, a partition whose boot sector equals a
// logical drive's sector 0 pairs that letter with its physical drive (first equal letter
// wins). 0, or -2 when a partition table could not be read (reported on the console).
int pair_drives();

// ---------------------------------------------------------------------------------------
// Boot sector checks (boot.cpp).

// The disabled mark (EB FE) at the boot code's first instruction of `sector` (at least 512
// bytes): 1 when present; with `disable` the mark is placed when absent (result 0).
int is_disabled(std::span<uint8_t> sector, bool disable);

struct SectorRange {
  int drive = 0;             // logical drive index
  uint64_t from_sector = 0;  // first sector checked
  uint64_t to_sector = 0;    // last sector checked (inclusive)
  uint32_t from_byte = 0;    // first byte of each sector searched
  uint32_t to_byte = 0;      // last byte searched (inclusive)
};
// Parses a sector range descriptor "X:|..." and checks its limits against the drive.
// 0, or -2 after the message (written as important output).
int parse_sector_range(const std::string& text, SectorRange& out);
// Parses "+HH sector" into a drive code and a sector. 0, or -2 after the message.
int parse_absolute_sector(const std::string& text, int& code, uint64_t& sector);

int check_sector_range(const SectorRange& r);
int check_absolute_sector(int code, uint64_t sector, const std::string& text);
int check_master_boot_sectors(int first_physical);
int check_boot_manager(int n, uint32_t head, uint32_t cylinder, uint32_t sector);

// The walker's entry for sector areas: parses the descriptor body and runs its check.
// 0 when checked cleanly; non-zero counts one error.
int check_sectors(areas::AreaKind kind, const std::string& body);

// ---------------------------------------------------------------------------------------
// Connection (connect.cpp).

// Points areas::g_hooks.check_sectors and drive_ready at this folder's functions and fills
// engine::g_sector_io with the sector access of the identity engine's disk instructions.
void connect_hooks();

}  // namespace disk
