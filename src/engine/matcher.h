// The pattern matcher: finds the signatures of the pattern table in the scan buffer.
//
// A record matches with its last signature byte at position i when the pair hash of
// (buffer[i-1], buffer[i]) leads to it through the pattern index, its last two and then
// last four bytes equal the buffer's, the whole signature fits the searched range, and the
// 64-bit keyed checksum (pattern key) of the other bytes equals its digest. Every match is
// reported at once; the search goes on.
//
// Cost: a presence bitmap of the 16384 hashes (2 KiB, built from the index by
// prepare_matcher()) answers most positions with one L1 look-up; candidates that reach the
// checksum share one checksum per distinct signature length at a position.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace engine {

struct MatcherState {
  bool ready = false;                   // bitmap built from the current index
  int32_t built_count = -1;             // pattern count when the bitmap was built
  std::array<uint64_t, 16384 / 64> present{};  // bit h set when the index has an entry for hash h
};
extern MatcherState g_matcher;
// Forgets the bitmap; the next search builds it again (after the index changed; tests).
void reset_matcher();
// Builds the presence bitmap from the pattern index (after build_pattern_index).
void prepare_matcher();

// Searches scan buffer indexes first..last (inclusive) after the identity passes (unless
// identity checks are off). Adds last - first + 1 to the bytes-checked counter. Returns 1
// when an identity or at least one pattern was found, else 0. The identity passes may shift
// the buffer (a leading jump's target moved to index 0); the pattern search runs over the
// buffer as they leave it.
int buffer_search(size_t first, size_t last);

// Reads the whole file of `handle` from its start in 4096-byte pieces behind a 23-byte
// carry-over and searches every piece. `file_name` is shown on the status display. Returns
// 0 when the bytes read equal `size`, else -4 (also for a failed read).
int whole_file_search(int handle, uint64_t size, const char* file_name);

// 1 when the 64-bit keyed checksum of count bytes of the scan buffer from `start` equals the
// 8 digest bytes, else 0.
int confirm(size_t start, size_t count, const uint8_t digest[8]);

}  // namespace engine
