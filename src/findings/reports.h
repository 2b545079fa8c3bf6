// Virus reports: the pattern report and the identity report, the location texts of the
// event log, the compression warning and the compression check.
//
// Every finding passes through pattern_report() or identity_report(): they read the shared
// finding location (set by whoever hands an item to the scan engine), write one line through
// the output routine as important output, log an error event, count the finding, beep and
// run the after-finding step. Findings counters change here and nowhere else. While the
// location is a server request nothing is printed: the name is kept for the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace findings {

// Location kinds: what the item being checked is.
constexpr int32_t kLocNone = 0;
constexpr int32_t kLocFile = 1;             // a file (name in file_name)
constexpr int32_t kLocPhysicalSector = 2;   // master boot sector or absolute sector of a physical drive
constexpr int32_t kLocLogicalSector = 3;    // boot sector of a logical drive that is not a floppy
constexpr int32_t kLocFloppySector = 5;     // boot sector of a floppy drive
constexpr int32_t kLocBootManager = 6;      // the boot manager partition
constexpr int32_t kLocServerRequest = 7;    // a file or boot sector named in a server request

constexpr int32_t kPhysicalDriveBase = 100;  // drive code of physical drive n is 100 + n
constexpr int32_t kNoDrive = 255;            // drive code of no drive

constexpr size_t kLocationTextMax = 512;  // location texts are cut here
constexpr size_t kVirusNameMax = 63;      // the last found virus name is cut here

// The finding location: set before an item is scanned, valid until the next item.
struct FindingLocation {
  int32_t kind = kLocNone;      // one of kLoc*
  std::string file_name;        // kind file and server request: the name reported
  int64_t sector = 0;           // kinds 3 and 5: sector number; kind 2: absolute sector on the drive
  int32_t head = 0;             // kind 2: head
  int32_t cylinder = 0;         // kind 2: cylinder
  int32_t logical_drive = 0;    // kinds 3 and 5: 0 = A:, 1 = B:, ...
  int32_t drive_code = kNoDrive;  // 0..25 logical drive, 100 + n physical drive n, else a BIOS number
};

struct FindingsState {
  FindingLocation location;      // the current finding location
  std::string last_virus_name;   // last name found while the kind is server request
  std::string location_text;     // buffer of location_text()
};
extern FindingsState g_findings;
void reset_findings();

// Services of other subsystems, set when those are in place; empty ones are skipped.
struct FindingsHooks {
  // Logs an event (type, category, identifier, insertion strings) in the system event log.
  std::function<void(int, int, uint32_t, const std::vector<std::string>&)> log_event;
  // Server mode's compression note only (engine::detect_compression when empty): detection
  // on an open buffered-file handle, kind 1..19, 0 not compressed, -4 could not read.
  std::function<int(int)> detect_compression;
};
extern FindingsHooks g_findings_hooks;

constexpr int kEventTypeError = 1;
constexpr int kEventCategory = 1;
constexpr uint32_t kEventFinding = 0xC0000004u;

// Sets the location to the file `name` (kind file).
void set_file_location(std::string_view name);

void pattern_report(std::string_view virus_name);
void identity_report(std::string_view virus_name);

// The event-log text of the current location read as `kind`; the returned text lives in
// g_findings.location_text until the next call.
const std::string& location_text(int32_t kind);

// variant 1: only the outside has been checked; 2: compressed. Counts a compressed file.
void compression_warning(std::string_view file_name, int kind, int variant);
// Opens the file (read, shared for reading) and runs unpack::detect on it. 0 when not compressed or a warning was
// given; -2 when the file could not be opened or read (reported here).
int compression_check(std::string_view file_name);

const char* compression_name(int kind);  // "Unknown" outside 1..19
const char* drive_type_word(int index);  // word of the drive type of drive index 0..25; "no drive" outside
// The drive number a report shows: n for drive codes 100 + n, the code itself otherwise.
int32_t shown_drive_number(int32_t drive_code);

}  // namespace findings
