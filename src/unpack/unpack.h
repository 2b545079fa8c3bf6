// Compressed executables: recognising archives and packed programs, and expanding the
// packed programs this system can undo (LZ 0.9X, PKLite, Diet) into temporary copies.
//
// How file scanning uses it
// -------------------------
// This module sits below the engine (it never calls the buffered layer), so the caller hands
// it a reader over the file being checked:
//
//   const int h = engine::scan_file_handle(record);
//   unpack::ReadAt reader = [h](uint64_t off, uint8_t* dest, size_t n) -> int64_t {
//     if (engine::seek_file(h, int64_t(off), 0) < 0) return unpack::kSeekFailed;
//     const int64_t got = engine::read_file(h, dest, n);
//     return got < 0 ? unpack::kReadFailed : got;
//   };
//   int kind = 0;
//   unpack::TempCopy copy;
//   const int r = unpack::detect_and_expand(search_record_name, reader, kind, copy);
//   engine::flush_file(h); engine::rewind_file(h);   // the reader moved the position
//   // r == 1:  copy.file is an open read/write handle on the expanded program, at position
//   //          0. Read it through that handle (e.g. move copy.file into a file slot and keep
//   //          the TempCopy beside the slot's scan-file record); when done, give the handle
//   //          back (move it into copy.file again) and call unpack::close_temp_copy(copy,
//   //          shred): it shreds through the handle under -RS, closes, deletes the name.
//   // r == -6: `kind` is not expandable: 0 (not compressed), 1..19, or -4 (unreadable).
//   // r == -2: creation or expansion failed; `copy` is empty (the partial copy is already
//   //          deleted). Check the file as it is.
//
// `search_record_name` is the name in the directory-search record of the walk in progress
// (in server mode that record names the request file, so archives are then recognised by
// their header only), not the name of the file being checked.
//
// Detection alone (server mode's note, the -WC compression check): unpack::detect(name,
// reader) gives 1..19, 0 or -4. Names: unpack::compressor_name(kind). Nothing here prints
// except the progress text of detect_and_expand.
//
// Kinds: 1..7 archives by extension (ARC ARJ BOO LZH PAK ZIP ZOO; ZIP also by its header),
// 8 PKLite, 9 ARJ self extract, 10 "LX 0.9X" (the LZ09/LZ91 formats), 11 LHarc, 12 TopSpeed
// CRUNCH, 13 PKARCK, 14 BSA, 15 LARC, 16 LH, 17 LZEXE (entry code only, not expandable),
// 18 Diet, 19 Cruncher (old Diet). Expandable: 8, 10, 18, 19.
//
// Temporary copies
// ----------------
// A copy is created exclusively ("must not exist") as "%4.4X%4.4X.$$$" (low 16 bits of the
// process id, then a 16-bit counter that starts at 0 and grows with every name tried, 64
// names at most) in driver::g_state.temp_dir (TMP when that is empty), and is only ever used
// through the handle of that creation: it is never reopened by name. At most kMaxTempCopies
// exist at once; the ninth fails with -2. close_temp_copy() shreds it through the handle
// when asked (the 100-byte overwrite block, repeated until its length is covered), closes
// it and deletes it by name. A TempCopy that is destroyed while still open is closed and deleted
// (never shredded), so no copy is left behind by an early return. discard_temp_copies()
// deletes every copy still open (the stop routine and tests call it).
//
// The expanded program
// --------------------
// An MZ input gives an MZ output: a 512-byte header (32 paragraphs: the first 24 bytes of the
// packed file (LZ 0.9X, PKLite) or of the original header embedded in the data (Diet), then
// zeros, with 02/04 the output's size, 08 = 32, 0E SS, 10 SP, 14 IP, 16 CS of the unpacked
// program) followed by the unpacked load image. Relocations are dropped (PKLite and Diet
// outputs say so with a relocation count of 0; LZ 0.9X files already have 0 there). A PKLite or Diet program image (COM) gives the unpacked program image. Outputs are
// capped at kMaxOutputBytes (the largest size an MZ header's page count can describe);
// inputs are read up to kMaxInputBytes. Past either limit the expansion fails with -2.
//
// Pure decoders (bytes in, bytes out) are declared in unpack/decoders.h for tests and fuzzing.
// While expanding, every 256 output bytes driver::poll_quit() is called (it may end the program;
// discard_temp_copies() is run from this module's exit clean-up then) and g_unpack_hooks.spin
// turns the directory walk's spinner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "host/host.h"

namespace unpack {

// The overwrite block of shredding, used by file removal and by the temporary copies alike:
// 54 characters of slogan, then a 46-character notice line; 100 bytes, no terminator used.
constexpr size_t kOverwriteBlockSize = 100;
inline constexpr char kOverwriteBlock[kOverwriteBlockSize + 1] =
    "Fast positive deletion  *  Keeps your data secure  *  "
    "Contents destroyed by the BRINT shredder.  *  ";
static_assert(sizeof kOverwriteBlock == kOverwriteBlockSize + 1, "the overwrite block is 100 bytes");

// Compression kinds; 0 is "not compressed".
constexpr int kKindNone = 0;
constexpr int kKindArc = 1;
constexpr int kKindArj = 2;
constexpr int kKindBoo = 3;
constexpr int kKindLzh = 4;
constexpr int kKindPak = 5;
constexpr int kKindZip = 6;
constexpr int kKindZoo = 7;
constexpr int kKindPklite = 8;
constexpr int kKindArjSfx = 9;
constexpr int kKindLz09 = 10;
constexpr int kKindLharc = 11;
constexpr int kKindCrunch = 12;
constexpr int kKindPkarck = 13;
constexpr int kKindBsa = 14;
constexpr int kKindLarc = 15;
constexpr int kKindLh = 16;
constexpr int kKindLzexe = 17;
constexpr int kKindDiet = 18;
constexpr int kKindCruncher = 19;

// Results beyond the shared ones (driver/base/results.h): -2 failed, -4 unreadable,
// -6 not expandable.
constexpr int kExpanded = 1;     // detect_and_expand made a temporary copy
constexpr int kUnreadable = -4;  // detect could not read the file

constexpr size_t kHeaderBytes = 48;   // detection reads this many bytes from the start
constexpr size_t kEntryBytes = 64;    // and this many at the entry point
constexpr int kMaxTempCopies = 8;     // a ninth simultaneous copy is refused
constexpr int kTempNameTries = 64;    // names tried before creation gives up
constexpr size_t kMaxInputBytes = size_t{64} << 20;       // packed bytes read at most (64 MiB)
constexpr size_t kMaxOutputBytes = size_t{65535} * 512;   // expanded size at most (pages field)

// Name of a kind from the kind table, "Unknown" outside 1..19.
const char* compressor_name(int kind);
// Kind of an archive by the first three characters after the last "." of `name`, any case;
// 0 when none matches. "X.ZIPPED" is a ZIP archive.
int archive_kind(std::string_view name);
// True for the kinds an expander exists for (8, 10, 18, 19).
bool is_expandable(int kind);

// Random-access reader over the file being examined: reads up to n bytes at file offset
// `offset` into dest and returns the number read (0 at or past the end), kReadFailed when the
// read failed, or kSeekFailed when the position could not be set.
using ReadAt = std::function<int64_t(uint64_t offset, uint8_t* dest, size_t n)>;
constexpr int64_t kReadFailed = -1;
constexpr int64_t kSeekFailed = -2;

// Detect: the archive kind of `search_name` (the name of the directory-search record, empty
// in server mode), else the header signatures on the first 48 bytes, else (for "MZ"/"ZM"
// files) the entry signatures on the 64 bytes at the entry point. Returns the kind 1..19,
// 0 when not recognised (also: shorter than 48 bytes, entry point without 64 bytes behind
// it, or a failed seek there), or -4 when a read failed.
int detect(std::string_view search_name, const ReadAt& read_at);
// Detect over bytes in memory (tests, fuzzing).
int detect_bytes(std::string_view search_name, std::span<const uint8_t> file);

// One temporary copy. Move-only; owns its handle and its table entry.
struct TempCopy {
  host::File file;    // the handle of the exclusive creation (read/write, not shared)
  std::string name;   // bare name "%4.4X%4.4X.$$$", empty when no copy
  std::string path;   // temporary directory + "\" + name
  int index = -1;     // entry in g_temp_copies, -1 when no copy

  TempCopy() = default;
  ~TempCopy();
  TempCopy(TempCopy&& other) noexcept;
  TempCopy& operator=(TempCopy&& other) noexcept;
  TempCopy(const TempCopy&) = delete;
  TempCopy& operator=(const TempCopy&) = delete;
  bool active() const { return index >= 0; }
};

// The table of copies in existence; the counter makes the names.
struct TempCopies {
  std::array<std::string, kMaxTempCopies> paths;  // full path of each copy in use, "" when free
  uint16_t counter = 0;                           // next name counter, wraps at 16 bits
};
extern TempCopies g_temp_copies;
// Deletes every copy still in the table and starts the counter again at 0 (tests).
void reset_temp_copies();
// Deletes every copy still in the table (stop routine). Handles still open elsewhere stay
// open; only the names go.
void discard_temp_copies();

// Set by the directory walk: turned every 256 expanded bytes while a decompression is in
// progress. Empty: nothing is turned.
struct UnpackHooks {
  std::function<void()> spin;
};
extern UnpackHooks g_unpack_hooks;

struct UnpackState {
  bool decompressing = false;  // the progress text is shown; the walk turns its spinner
};
extern UnpackState g_unpack;

// Creates an empty temporary copy (a copy `out` already held is closed and deleted first).
// 0, or -2 (no free entry, or 64 names refused, or the temporary directory could not be
// used); `out` is empty on failure.
int create_temp_copy(TempCopy& out);
// Shreds (when `shred`) through the handle, closes and deletes the copy and frees its entry.
// Returns 0, or -1 when the shredding, close or deletion failed. The copy is empty afterwards
// in every case. Closing an empty TempCopy returns 0.
int close_temp_copy(TempCopy& copy, bool shred);

// Expands the packed file that `read_at` reads into `copy`, choosing the expander by `kind`
// (8 PKLite, 10 LZ 0.9X, 18/19 Diet). Returns 0 (copy holds the program, positioned at 0)
// or -2 (malformed or unknown variant, read or write failure, limits exceeded).
int expand_into(int kind, const ReadAt& read_at, TempCopy& copy);

// Detect and expand (a copy `copy` already held is closed and deleted first): sets `kind` to
// the result of detect() (-4 means unreadable),
// then for kinds 8, 10, 18 and 19 creates a temporary copy and expands into it, showing
// "  Decompressing ...\r" outside server mode when silent running is off (-NS).
// Returns kExpanded (1) with `copy` open at position 0, -6 when the kind is not expandable
// (including 0 and -4), or -2 when creation or expansion failed (then `copy` is empty: the
// partial copy has been deleted).
int detect_and_expand(std::string_view search_name, const ReadAt& read_at, int& kind, TempCopy& copy);

// A ReadAt over a host file (tests, tools). The file position is moved.
ReadAt file_reader(host::File& file);
// A ReadAt over bytes in memory; the bytes must outlive the reader.
ReadAt bytes_reader(std::span<const uint8_t> bytes);

}  // namespace unpack
