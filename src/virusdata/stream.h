// The virus data stream: its three carriers and its entries.
//
// One format carries every identity source: the header bytes 00 01, then entries of
//   name     0..15 non-zero bytes and a 00 byte
//   count n  one byte, 0..255
//   n times  a 16-bit little-endian length L (at least 1) and L program bytes.
// The stream ends cleanly where a name would begin.
//
// Carriers:
//   built-in block  the stream, each byte i XORed with kDescrambleKey[(stream length - i) % 8],
//                   stored in chunks behind a 24-byte header (builtin.h);
//   VDL file        the stream as it stands;
//   identity file   text: hexadecimal byte pairs (blanks anywhere, even inside a pair) forming
//                   blocks of: count c, c data bytes (byte k XORed with key byte (c - k) % 8),
//                   and a check byte, the XOR of the descrambled data bytes.
//
// Everything here is pure: no globals, no output. Sources are hostile: every length is checked
// against what is left before it is trusted, and nothing is allocated beyond the bytes that
// actually arrive. Both the library loader and the data compiler's disassembler use this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "virusdata/builtin.h"

namespace virusdata {

// Results of the byte readers.
constexpr int kStreamEnd = -1;      // clean end of the data
constexpr int kStreamDamaged = -2;  // damaged data

// Results of reading a stream (as a whole).
constexpr int kStreamOk = 0;             // end reached cleanly
constexpr int kStreamCorrupt = -2;       // corrupt stream or damaged carrier
constexpr int kStreamNoMemory = -3;      // an allocation failed
constexpr int kStreamIncompatible = -5;  // the format header is not 00 01

constexpr size_t kMaxEntryName = 15;  // longer names make the stream corrupt
constexpr size_t kMaxProgramLength = 65535;

enum class SourceKind { kBuiltin, kVdl, kIdentity };

// Raw bytes of a carrier: a window of bytes at hand, refilled by `refill` when it runs out
// (files read in pieces) or left empty (the whole carrier in memory). `consumed` counts the
// raw bytes taken so far, so it is the offset of the next raw byte in the carrier.
struct RawInput {
  std::span<const uint8_t> window;                        // bytes at hand
  size_t pos = 0;                                         // next byte of window
  uint64_t consumed = 0;                                  // raw bytes taken since the start
  std::function<bool(std::span<const uint8_t>&)> refill;  // new window; false at the end
};

// Next raw byte 0..255, or kStreamEnd.
int raw_next(RawInput& in);

// A stream being read from one carrier.
struct StreamSource {
  SourceKind kind = SourceKind::kVdl;
  RawInput raw;                          // VDL and identity files
  const BuiltinBlock* block = nullptr;   // built-in block
  uint32_t stream_length = 0;            // built-in: declared stream bytes
  uint32_t chunk_size = 0;               // built-in: bytes per chunk
  uint32_t position = 0;                 // built-in: stream bytes taken
  int block_counter = -1;                // identity file: data bytes left in the block, -1 between blocks
  uint8_t running_check = 0;             // identity file: XOR of the block's data bytes so far
  uint64_t failure_offset = 0;           // raw offset just after the point where reading stopped
  const char* failure_reason = nullptr;  // why reading failed, in words (static text), or null
};

// Sets up a source over a built-in block. Returns 0, or kStreamDamaged when the header is
// inconsistent (chunk size 0, stream longer than its chunks, a missing chunk or header).
int open_builtin_source(const BuiltinBlock& block, StreamSource& out);
// Sets up a source over a VDL or identity carrier held in memory (the bytes must outlive
// the source). A caller reading a file sets raw.refill itself.
StreamSource memory_source(SourceKind kind, std::span<const uint8_t> bytes);

// Next stream byte 0..255, kStreamEnd (clean end) or kStreamDamaged. In an identity file a
// failure to read a block count (end of text, a non-hexadecimal character, a lone digit
// before the end) is a clean end; the same inside a block, or a wrong check byte, is damage.
int next_stream_byte(StreamSource& src);

// Stream byte order of the built-in key: byte at position i is XORed with this.
inline uint8_t builtin_key_byte(uint32_t stream_length, uint32_t position) {
  return kDescrambleKey[(stream_length - position) % 8];
}
// Identity-file key: data byte with `counter` bytes left in its block (counter = c - k).
inline uint8_t identity_key_byte(int counter) {
  return kDescrambleKey[unsigned(counter) % 8];
}

// What the entry reader hands on.
struct StreamEntry {
  std::string name;                           // 0..15 characters
  std::vector<std::vector<uint8_t>> records;  // program bytes of each record, 1..65535 each
};

// Callbacks of read_stream; any may be empty.
struct StreamSink {
  std::function<void(int32_t entry_number)> before_entry;  // before each entry is read, from 0
  // After the name (before the count is read): return non-zero to stop with that result.
  std::function<int(const std::string& name)> on_name;
  // After each complete record of the current entry: non-zero stops with that result.
  std::function<int(const std::string& name, std::vector<uint8_t>&& program)> on_record;
};

// Reads a whole stream. Returns kStreamOk, kStreamCorrupt (damaged carrier, a 16-byte name,
// an end inside an entry, a length of 0, a 0xFB or 0x03 record shorter than 3 bytes, a 0xFC
// record shorter than 2), kStreamIncompatible (header not 00 01), or a callback's result.
// On failure src.failure_offset tells where in the raw carrier reading stopped and
// src.failure_reason why (for traces and the data compiler's messages).
int read_stream(StreamSource& src, const StreamSink& sink);

// Convenience forms for whole carriers in memory (the data compiler's disassembler):
// Built-in block -> stream bytes. 0 or kStreamDamaged (inconsistent header).
int descramble_builtin(const BuiltinBlock& block, std::vector<uint8_t>& out);
// Identity-file text -> stream bytes. 0 at a clean end, or kStreamDamaged with
// failure_offset the text offset just after the last character read.
// `reason`, when given, receives why it failed (static text) or null.
int decode_identity_text(std::span<const uint8_t> text, std::vector<uint8_t>& out, size_t& failure_offset,
                         const char** reason = nullptr);
// Stream bytes -> entries. kStreamOk, kStreamCorrupt or kStreamIncompatible; on failure `out`
// holds the entries completed before it.
int split_stream(std::span<const uint8_t> stream, std::vector<StreamEntry>& out,
                 const char** reason = nullptr);

}  // namespace virusdata
