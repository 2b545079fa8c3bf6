// Pattern checksums of 64 neighbouring windows at once.
//
// Where the data is full of the bytes signatures commonly end with (runs of zeros, blanks,
// 0xFF), the matcher must confirm a candidate at many positions close together, and the
// keyed checksum is then most of the work. With the byte-permute instructions of AVX-512
// (VBMI) the cipher's four substitution tables are looked up for 64 lanes in a few
// instructions, so the checksums of the windows starting at p, p+1, ..., p+63 cost about as
// much as a handful of single ones. Machines without them use the plain checksum.
#pragma once

#include <cstddef>
#include <cstdint>

namespace engine {

constexpr size_t kWideLanes = 64;

// The 64-bit checksum under the pattern key of `count` bytes from `data`, as the 8 digest
// bytes of a pattern record read little-endian: the plain checksum with the key's rounds
// and tables prepared once.
uint64_t pattern_digest(const uint8_t* data, size_t count);

// True when this machine runs wide_digests().
bool wide_digests_available();

// For each lane l in 0..63: the 64-bit checksum under the pattern key of the `count` bytes
// (0 < count <= 20) from first + l, as the 8 digest bytes of a pattern record:
// out[b][l] is byte b. Reads first[0 .. 63 + count - 1]. Only when wide_digests_available().
void wide_digests(const uint8_t* first, size_t count, uint8_t out[8][kWideLanes]);

}  // namespace engine
