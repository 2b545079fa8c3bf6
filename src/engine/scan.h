// File scanning: checks one file. Opens it through a scan-file record, optionally expands
// a compressed executable and checks the copy first, finds the code that runs first (DOS
// executable entry point, segmented "NE" or linear "LX" new-format entry, or the target of a
// leading jump in a plain image), hands 1024 bytes from there to the identity search,
// reports the 62-seconds time stamp under -6, searches the whole file in full mode, closes
// the file and starts removal when anything was found.
//
// Header analysis is hostile-input code: offsets are 64-bit, every field is read only from
// bytes actually read, and an offset beyond the file, a page size of 0, a shift above 31 or
// an entry segment of 0 ends the analysis quietly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/host.h"
#include <string_view>

namespace engine {

// What file scanning needs of the directory record.
struct FileRecord {
  uint16_t dos_time = 0;  // last-write time, DOS format (seconds / 2 in bits 0-4)
  uint64_t size = 0;      // file size
  bool details = true;    // false: time and size are taken from the file when it is opened
};

// Services of other subsystems, connected by the driver; empty ones are skipped.
struct ScanHooks {
  // The status display of the walk (shows the name of the file being checked).
  std::function<void(const char*)> show_status;
  // Removal of an infected file (deletion or shredding when asked for). `checked` is the
  // identity of the file that was checked (null when it could not be taken): removal must
  // not act on another file that the name leads to by then.
  std::function<void(const std::string&, const host::FileId* checked)> remove_file;
};
extern ScanHooks g_scan_hooks;

// Checks the file `name`. Returns 0 when it was checked (found or not), -2 when it could not
// be opened (or a compression check failed, after checking it), -3 when it could not be
// closed, -4 when it could not be read. `compression_kind` is the detected compression kind
// of a file that was not expanded, else 0.
int scan_file(const std::string& name, const FileRecord& record, int& compression_kind);

// Compression detection (unpack::detect) on an open handle of the buffered layer, which is
// left flushed at position 0: kind 1..19, 0 not compressed, -4 could not be read.
// `search_name` is the name the directory search found (empty in server mode).
int detect_compression(int handle, std::string_view search_name);

// Analyses an open scan file (the file itself or an expanded copy) and closes it. Returns 0,
// -3 (close failed) or -4 (read failed; reported).
int analyse_file(const std::string& name, const FileRecord& record, int scan_record);

}  // namespace engine
