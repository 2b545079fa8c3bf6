// The virus data library: pattern records, the pattern table and index, identity records
// and their lists, the pair bitmap; the loaders that fill them from the built-in block,
// "brint.vdl" and the "*.ide" files; the user pattern file and -PAT= patterns; the virus list.
//
// Data: g_library (below). The library is filled once before any area is examined and only
// read afterwards. The virus count lives in driver::g_state.virus_count; the loaders here
// set and change it as described at each function.
//
// Invariants once loading succeeded: every identity record's program has 1..65535 bytes; a
// record on a pair list or a length list has at least 3, on a first-byte list at least 2;
// every pattern record in positions 0..pattern_count-1 has length 4..24 and a name of at
// most 15 characters (command-line names excepted, see add_pattern); after build_pattern_index
// positions are sorted by hash and each index entry is the lowest position with its hash.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "virusdata/builtin.h"
#include "virusdata/stream.h"

namespace virusdata {

constexpr int kPatternTableSize = 2048;   // pattern records in all; the pattern file and -PAT= stop here
constexpr int kPatternIndexSize = 16384;  // one entry per pattern hash
constexpr int kPairLists = 1024;          // 0xFB records: (byte 1 * 4) ^ byte 2
constexpr int kFirstByteLists = 256;      // 0xFC records: byte 1
constexpr int kLengthLists = 256;         // 0x03 records: byte 2
constexpr int kPairBitmapWords = 4096;    // bit (g & 15) of word f * 16 + (g >> 4)
constexpr int kMinPatternBytes = 4;
constexpr int kMaxPatternBytes = 24;
constexpr int kMaxNameLength = 15;  // virus names (entries, pattern names read from text)
constexpr int kNoRecord = -1;       // end of an identity list; an unused index entry

// One pattern signature. The signature itself is not kept: the last four bytes in plain and
// a digest of the rest; a match is confirmed by recomputing the digest over the candidate.
// Where the signature is known (a user pattern was written in clear; the built-in block keeps
// the bytes of its records), the record also keeps the bytes before the tail: the matcher
// compares those instead of computing a checksum for every candidate.
struct PatternRecord {
  uint8_t length = 0;      // signature bytes, 4..24
  uint8_t tail[4] = {};    // last, second-to-last, third-to-last, fourth-to-last byte
  uint8_t digest[8] = {};  // 64-bit checksum under the pattern key of the first length-4 bytes,
                           // in state-block order (two little-endian halves, first half first)
  bool head_known = false;  // head holds the first length-4 bytes (see above)
  uint8_t head[kMaxPatternBytes - 4] = {};
  uint32_t hash = 0;       // pattern hash; 0 until build_pattern_index
  std::string name;        // virus name
};

// The pattern hash of two adjacent bytes (the record's second-to-last and last byte).
inline uint32_t pattern_hash(uint8_t second_to_last, uint8_t last) {
  return ((uint32_t(second_to_last) << 6) ^ last) & 0x3FFF;
}

// One identity check program.
struct IdentityRecord {
  int32_t next = kNoRecord;      // index in g_library.records of the next record of its list
  int32_t name = 0;              // index in g_library.names; one entry's records share it
  std::vector<uint8_t> program;  // program bytes exactly as read, 1..65535
};

struct Library {                              // cleared by reset_library() / initialise_library()
  std::vector<PatternRecord> pattern_table;   // kPatternTableSize slots; 0..pattern_count-1 in use
  int32_t pattern_count = 0;                  // records in use
  int32_t pattern_index[kPatternIndexSize];   // lowest position with each hash, or kNoRecord
  std::vector<IdentityRecord> records;        // every identity record loaded, deletion records excluded
  std::vector<std::string> names;             // entry names; an emptied name silences its records
  int32_t pair_lists[kPairLists];             // heads of the pair lists
  int32_t first_byte_lists[kFirstByteLists];  // heads of the first-byte lists
  int32_t length_lists[kLengthLists];         // heads of the length lists
  int32_t general_list = kNoRecord;           // head of the general list
  uint32_t pair_bitmap[kPairBitmapWords];     // one bit per 0xFB key pair (low 16 bits used)
  // Name slots that listed records use, by their current name: clear_name() finds the
  // records of a name here instead of walking every list (a stream of many deletion
  // records would otherwise cost the square of its size).
  std::unordered_map<std::string, std::vector<int32_t>> slots_by_name;
  int32_t last_registered_slot = kNoRecord;  // last name slot entered in slots_by_name
  int busy_step = 0;                         // steps of the busy indicator taken so far
};
extern Library g_library;
// Empties the library: no records, no patterns, empty lists, index all kNoRecord.
void reset_library();

// Readers for the engine.
inline const std::string& record_name(const IdentityRecord& r) {
  return g_library.names[size_t(r.name)];
}
inline bool pair_bit(uint8_t f, uint8_t g) {
  return (g_library.pair_bitmap[f * 16 + (g >> 4)] >> (g & 15)) & 1;
}
inline int pair_list_index(uint8_t f, uint8_t g) {
  return ((f * 4) ^ g) & (kPairLists - 1);
}

// One step of the busy indicator: unless super-silent, the next of "-\|/" and a backspace
// on the console (the first step shows the hyphen).
void busy_step();

// Clears the pair bitmap and the pair, first-byte and length lists with a busy step after
// each of the four. Starts from an empty library (reset_library).
void initialise_library();

// Loads the built-in block: its stream into the identity lists, then (when
// use_builtin_patterns) its pattern records into table positions 0.. and the pattern count,
// else a pattern count of 0; the virus count becomes block.virus_count. Returns 0, or -2
// after "VDL file incompatible with this version of BRINT.\n", "Insufficient memory.\n" or
// "Warning! %s has been corrupted, possibly by a virus.\n" naming executable_name (also for
// pattern records that are not sound: bad length, name without its zero byte, too many).
int load_builtin_data(const BuiltinBlock& block, bool use_builtin_patterns,
                      const std::string& executable_name);

// Loads "brint.vdl" from the current directory (when it opens) and every "*.ide" file in
// driver::g_state.program_dir in directory order (those that open). Each entry adds 1 to the
// virus count. Returns 0, or -2 after its message (see the message table); for an identity
// file that message is followed by "just prior to the sequence:\n", up to 32 characters of
// the file from the point where reading stopped, and a line feed.
int load_external_data();

// Loads one stream source into the lists (used by the loaders; tests). Returns 0, -2
// corrupt, -3 out of memory, -5 incompatible header; failure_offset as read_stream sets it.
int load_stream(StreamSource& src);

// Blanks the name of every identity record whose name equals `name` exactly (an empty
// name matches the records already blanked). True when any record matched.
bool clear_name(const std::string& name);

// Sorts positions 0..pattern_count-1 by hash (shell sort, gaps count/2, count/4, ... 1),
// sets each record's hash and fills the index with the lowest position of each hash.
void build_pattern_index();

// ---- user patterns

struct PatternFileState {    // reset by reset_pattern_state()
  int32_t line_number = 0;   // lines read from the pattern file, for messages
  int32_t noname_count = 0;  // next "Noname %d" number
};
extern PatternFileState g_pattern_file;
void reset_pattern_state();

// Reads the pattern file g_settings.pattern_file ("BRINT.PAT") from the current directory.
// Each pattern goes to the next table position; each raises the pattern count and the virus
// count by one. Returns 0 (also when the file does not open), or -2 after a message; the
// table reaching kPatternTableSize is refused with "Too many patterns in file %s\n".
int read_pattern_file();

// Makes one pattern record from `text` and stores it at `position` (< kPatternTableSize).
// An empty given_name means the name comes from the text (or "Noname %d" when the text
// starts with a blank). Changes no count: callers raise the pattern and virus counts after
// each success. Returns 0, or -2 after its message.
int add_pattern(int32_t position, const std::string& text, const std::string& given_name);

// One -PAT= pattern (the text after "-PAT=") under `label` ("Command line %d", made by the
// caller): refused with "Too many patterns in file %s\n" naming "command line" when the table
// is full; otherwise add_pattern at the next position and, on success, the pattern count
// raised by one. The virus count is the caller's to raise (one per success). Returns 0 or -2.
int add_command_line_pattern(const std::string& text, const std::string& label);

// ---- the virus list (-DL)

// Case-insensitive comparison: the difference of the first differing upper-cased characters.
int compare_names(const std::string& a, const std::string& b);

// Lists every virus name, sorted ignoring case, each once, four to a line in 16-character
// columns, pausing every page (g_settings.page_length). Returns 0, -2 (no memory) or -31
// (quit at the pause prompt).
int show_virus_list();

}  // namespace virusdata
