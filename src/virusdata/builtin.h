// The built-in data block: the virus data issue carried inside the executable.
//
// brint-vdc (tools/vdc) generates its definition from the sources under data/ at build
// time; only the executable links it, so the virus data library and the compiler itself
// never depend on it (the loader is handed the block).
#pragma once

#include <cstddef>
#include <cstdint>

namespace virusdata {

constexpr size_t kBuiltinHeaderSize = 24;   // issue date[8], expiry date[8], stream length, chunk size
constexpr uint32_t kBuiltinChunkSize = 16384;
constexpr size_t kPatternRecordStride = 35;  // built-in pattern records, one after another
// Per built-in pattern record: 1 and the signature's first length-4 bytes (zero-padded to 20)
// when the signature was known where the block was made, else 0 and 20 zero bytes. The
// matcher compares these bytes instead of computing the record's digest at every candidate.
constexpr size_t kPatternHeadStride = 21;

struct BuiltinBlock {
  const uint8_t* header;          // kBuiltinHeaderSize bytes
  const uint8_t* const* chunks;   // addresses of the chunks of the scrambled stream
  size_t chunk_count;             // number of chunks (the last one partly used)
  const uint8_t* patterns;        // pattern_count records of kPatternRecordStride bytes
  size_t pattern_count;           // built-in pattern records of this issue (at most 2048)
  int32_t virus_count;            // distinct virus names of this issue
  const uint8_t* pattern_heads;   // pattern_count entries of kPatternHeadStride bytes, or null
};

// Defined in the generated source (build/generated/builtin_data.cpp).
extern const BuiltinBlock kBuiltinBlock;

// The data-descrambling key of our issues.
constexpr uint8_t kDescrambleKey[8] = {0x42, 0x52, 0x49, 0x4E, 0x54, 0x32, 0x37, 0x37};

}  // namespace virusdata
