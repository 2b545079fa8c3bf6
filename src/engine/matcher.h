// The pattern matcher: finds the signatures of the pattern table in the scan buffer.
//
// A record matches with its last signature byte at position i when the pair hash of
// (buffer[i-1], buffer[i]) leads to it through the pattern index, its last two and then
// last four bytes equal the buffer's, the whole signature fits the searched range, and the
// 64-bit keyed checksum (pattern key) of the other bytes equals its digest. Every match is
// reported at once, records of one position in table order; the search goes on. A record
// whose head bytes are known (user patterns, built-in ones) is matched by comparing those
// bytes: its digest is their checksum, so only a collision of the 64-bit checksum could tell
// the two ways apart.
//
// Cost: prepare_matcher() turns the index into what the search needs. Every record the
// index can reach is filed under its four-byte tail. A 64 KiB table of byte pairs says for
// each pair whether it is the last, middle or first two bytes of some tail, so one look-up at
// every third position answers for three positions, 21 look-ups to a branch; for records
// that know their last eight bytes (all of ours: user patterns and the built-in ones keep
// their heads) the pair three bytes earlier must agree too, which leaves few positions. Those
// meet a bitmap of 2^17 two-bit entries (32 KiB) over a hash of their last four bytes, or,
// where only records with known heads of eight bytes or more end in those four bytes, a
// bitmap over their last eight bytes. A position that passes looks its tail up; each (tail,
// length) group compares the known heads (a filter over their last four bytes, then the
// bytes) and, for records known only by their digests, computes one checksum, checks it
// against a digest filter and finds it by binary search. Inside a run of one byte value every
// position sees the same signature bytes, so a run that matched nothing at one position is
// passed over to its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/wide_digest.h"
#include "virusdata/library.h"

namespace engine {

// The records of one tail with one signature length: those known only by their digest as a
// range of MatcherState::entries sorted by digest, those whose head bytes are known (user
// patterns, built-in ones) as a range of MatcherState::heads sorted by key.
struct MatcherGroup {
  uint8_t length = 0;
  uint32_t first = 0;
  uint32_t count = 0;
  uint32_t head_first = 0;
  uint32_t head_count = 0;
};

struct MatcherEntry {
  uint64_t digest = 0;  // the record's 8 digest bytes read little-endian
  int32_t record = 0;   // its place in the pattern table
};

// A record whose head is known: it matches where the bytes before the tail equal its head.
// The key is the last (up to) four head bytes read little-endian.
struct MatcherHead {
  uint32_t key = 0;
  int32_t record = 0;
};

// One distinct four-byte tail (slot of an open-addressing table).
struct MatcherTail {
  uint32_t word = 0;         // the four bytes as they lie in the buffer, read little-endian
  uint32_t first_group = 0;  // its groups: groups[first_group .. first_group + groups)
  uint16_t groups = 0;       // 0: an empty slot
  uint8_t max_length = 0;    // the longest signature of the tail
};

struct MatcherState {
  bool ready = false;        // built from the current index
  bool use_wide = true;      // use wide_digests() where the machine has them (tests turn it off)
  bool all_long = false;     // every record knows its last eight bytes: no pair is weak
  int32_t built_count = -1;  // pattern count when it was built
  std::vector<uint8_t> pair_seen;    // at (byte << 8 | next byte): bit j when some tail has the pair j bytes before its end
  std::vector<uint64_t> present;     // two bits per hash(word) of the tails (kPresentAny, kPresentHead8)
  std::vector<uint64_t> head8;       // bit hash of the last eight bytes of every record with a known
                                     // head of eight bytes or more
  std::vector<MatcherTail> tails;    // power-of-two size, linear probing
  std::vector<MatcherGroup> groups;
  std::vector<MatcherEntry> entries;
  std::vector<MatcherHead> heads;
  std::vector<uint64_t> digest_filter;  // bit of (digest, group) set for every entry
  std::vector<uint64_t> head_filter;    // bit of (key, group) set for every head
  std::vector<uint8_t> file_bytes;      // the whole-file search's read buffer, carry-over first
  std::vector<int32_t> matched;      // scratch: the records found at one position
  uint8_t wide[virusdata::kMaxPatternBytes + 1][8][kWideLanes]{};  // scratch: a chunk's checksums by length
};
extern MatcherState g_matcher;
// Forgets the prepared tables; the next search builds them again (after the index changed; tests).
void reset_matcher();
// Builds the tables from the pattern table and index (after build_pattern_index).
void prepare_matcher();

// Searches scan buffer indexes first..last (inclusive) after the identity passes (unless
// identity checks are off). Adds last - first + 1 to the bytes-checked counter. Returns 1
// when an identity or at least one pattern was found, else 0. The identity passes may shift
// the buffer (a leading jump's target moved to index 0); the pattern search runs over the
// buffer as they leave it.
int buffer_search(size_t first, size_t last);

// Reads the whole file of `handle` from its start and searches it in 4096-byte pieces, each
// behind a 23-byte carry-over of the bytes before it; the status display (`file_name`) and
// the quit poll come before every piece. The file is read in large reads (fewer system
// calls and copies), the first of them served by what the file's buffer already holds; after
// a failed read it goes on a piece at a time, so every piece before the one that fails is
// searched. Returns 0 when the bytes read equal `size`, else -4 (also for a failed read).
int whole_file_search(int handle, uint64_t size, const char* file_name);

// 1 when the 64-bit keyed checksum of count bytes of the scan buffer from `start` equals the
// 8 digest bytes, else 0.
int confirm(size_t start, size_t count, const uint8_t digest[8]);

}  // namespace engine
