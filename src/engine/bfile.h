// Buffered file access: ten file slots with a 10240-byte read buffer each, and eight
// scan-file records on top of them for the files that file scanning opens.
//
// A handle of this layer is the slot number plus 1 (1..10); -1 means failure. Reads are
// served from the slot's buffer when they fit in it; a seek inside the buffered range costs
// no system call. Writes are not buffered: a write first brings the system position to the
// logical position and then marks the buffer for refill. The layer prints nothing; every
// failure is a result.
//
// Invariants of a slot in use: 0 <= buffer_pos <= buffer_fill <= kFileBufferSize; the logical
// position is buffer_start + buffer_pos; system_pos is where the system file position stands
// (the layer tracks it: a refill at the system position reads on from there, one elsewhere is
// a positioned read that leaves the system position as it is, and a write seeks first only
// when the two differ).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "host/host.h"
#include "unpack/unpack.h"

namespace engine {

constexpr int kFileSlots = 10;            // an 11th concurrent open fails with -1
constexpr size_t kFileBufferSize = 10240;  // reads above this bypass the buffer
constexpr int kScanFiles = 8;             // a 9th concurrent scan file fails
constexpr size_t kTempNameMax = 12;       // bare temporary-file name, without terminator

// Access flags of open_file().
constexpr unsigned kOpenRead = 2;        // read access, others may read
constexpr unsigned kOpenReadWrite = 4;   // read and write access, others may read and write
constexpr unsigned kOpenCreate = 0x100;  // create when missing (open always)
constexpr unsigned kOpenNew = 0x400;     // with kOpenCreate: the file must not exist yet
// Permission flags (only with kOpenCreate): kPermCreate without kPermWrite makes the new
// file read-only.
constexpr unsigned kPermCreate = 0x100;
constexpr unsigned kPermWrite = 0x80;

struct FileSlot {
  host::File file;                   // the system handle; closed when the slot is free
  int64_t buffer_start = 0;          // file position of buffer[0]
  int64_t buffer_pos = 0;            // next byte to deliver, relative to buffer_start
  int64_t buffer_fill = 0;           // valid bytes in buffer
  int64_t system_pos = 0;            // where the system file position stands
  int64_t known_end = -1;            // where the file ends as far as known (size at open, moved on
                                     // by writes past it); -1 when not known
  bool refill_needed = true;         // the buffer does not reflect the file
  bool end_reached = false;          // the last fill read fewer bytes than asked for
  int last_error = 0;                // NT error code of the last failed system call
  std::array<uint8_t, kFileBufferSize> buffer{};  // read buffer
};

struct ScanFile {
  // A temporary expanded copy: its name and table entry. While the record is open the
  // handle of its exclusive creation sits in the record's file slot; closing gives it back
  // so the copy is shredded through it and never reopened by name.
  unpack::TempCopy temp;
  int handle = 0;  // file handle of the open file, 0 when the record is free
};

struct Files {
  std::array<FileSlot, kFileSlots> slots;    // the file slot table
  std::array<ScanFile, kScanFiles> scan_files;  // the scan-file records
  int last_open_error = 0;                   // NT error code of the last failed open_file()
};
extern Files g_files;
// Closes every open slot and frees every scan-file record (tests, end of run).
void reset_files();

// Opens `name`. Returns a handle 1..10, or -1 when no slot is free (last_open_error =
// kErrTooManyOpenFiles) or the system refuses (last_open_error = the NT error code). A file
// the host opened with its status pending (a regular file of the directory listed last, see
// host::File) has its buffer filled at once by a positioned read from 0, which settles its
// size or its status: a name that no longer leads to a regular file fails here, as the open.
int open_file(std::string_view name, unsigned access, unsigned permission);
// Delivers up to `count` bytes into `dest`: the number delivered, 0 at the end of the file,
// or -1 (slot not open, system failure; the logical position is kept and the next read
// refills).
int64_t read_file(int handle, uint8_t* dest, size_t count);
// origin 0 from the start, 1 from the logical position, 2 from the end. Returns the new
// logical position, or -1 (slot unchanged). A seek that leaves the buffered range is made
// by the system; a relative one is taken from the logical position.
int64_t seek_file(int handle, int64_t distance, int origin);
// One unbuffered write at the logical position. Returns `count` or -1.
int64_t write_file(int handle, const uint8_t* src, size_t count);
// Returns 0, or -1 when the slot was not open or the system close failed.
int close_file(int handle);
int read_byte(int handle);            // 0..255, or -1 (end of file or failure)
int write_byte(int value, int handle);  // the value, or -1
int64_t rewind_file(int handle);       // seek to 0 from the start
int flush_file(int handle);            // 0, or -1 when the slot is not open
// The NT error code of the last failed system call on the slot (0 when none).
int file_error(int handle);

// Opens `name` for reading into the first free scan-file record: its index 0..7, or -1
// when all eight are in use or the open fails.
int open_scan_file(std::string_view name);
// Puts the temporary copy `copy` (open, from unpack::detect_and_expand) into the first free
// scan-file record: its handle goes into a free file slot, positioned at 0. Returns the record
// 0..7, or -1 when no record or slot is free (then `copy` is left as it was).
int adopt_temp_copy(unpack::TempCopy& copy);
// Closes the record's file; a temporary copy held in the record is deleted (or, with the
// shredding variant, shredded through its handle). Returns 0, or -1 when the close or the deletion failed.
// The record is free afterwards in every case.
int close_scan_file(int record);
int close_scan_file_shred(int record);
// The file handle of a scan-file record in use, or -1.
int scan_file_handle(int record);
// Identity (device and file number) of the file open on `handle`, so that an action taken
// later by name can make sure it still meets the same file. 0 or an NT error.
int file_identity(int handle, host::FileId& out);

}  // namespace engine
