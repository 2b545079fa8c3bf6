// The pure expanders: packed file bytes in, expanded file bytes out. No file, console or
// global state is touched; `tick` (may be empty) is called every time the number of output
// bytes passes a multiple of 256, so the caller can poll for quit and turn a spinner.
//
// Every expander returns 0 with `out` holding the complete expanded file, or -2 with `out`
// unspecified: malformed data, an unknown variant, input that ends early, a back reference
// before the first output byte, or more than kMaxOutputBytes of output. No byte outside the
// input span or the output/window buffers is ever read or written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace unpack {

using Tick = std::function<void()>;

// LZ 0.9X (kind 10). The expanded MZ header takes the packed file's first 24 bytes; the
// packed bit stream is read from offset 32; the unpacked registers come from the data block
// at (header paragraphs + initial CS) x 16.
constexpr size_t kLzWindow = 65535;  // window size; reaching its end without a segment mark fails
constexpr size_t kLzStart = 512;     // window position of the first image byte
constexpr size_t kLzStreamOffset = 32;
int expand_lz09(std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick = {});

// PKLite (kind 8): 1.00 to 1.15, EXE (small/large, normal/extra, the scrambled Professional
// 1.14/1.15 extra files) and program images (COM, 1.00 to 1.15). Other variants (1.50, 2.01,
// the 1.00 beta, the internal "1.20") fail with -2.
int expand_pklite(std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick = {});

// The PKLite bit stream alone, starting at `data` (a control word): `image` gets the decoded
// bytes, `end` the offset just past the end code. Large streams have the long length codes
// and segment marks; extra streams XOR literals with the number of unread control bits.
struct PkliteStream {
  bool large = false;
  bool extra = false;
};
int decode_pklite_stream(std::span<const uint8_t> in, size_t data, PkliteStream mode,
                         std::vector<uint8_t>& image, size_t& end, const Tick& tick = {});

// Diet (kinds 18 and 19): EXE files of every era (1.00, 1.02b-1.20, 1.44, 1.45f, including
// 1.44/1.45f "EXE from COM") and program images (COM) of every era.
int expand_diet(std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick = {});

// The Diet bit stream alone from `data` up to `limit` (exclusive): `refresh` says whether
// "0 0 FF 0 1" segment-refresh codes exist (otherwise "0 0 FF 0" ends the data).
int decode_diet_stream(std::span<const uint8_t> in, size_t data, size_t limit, bool refresh,
                       std::vector<uint8_t>& blob, size_t& end, const Tick& tick = {});

// CRC-16/ARC (reflected polynomial 0xA001, initial value 0) of `bytes`; the Diet "dlz"
// header carries it for the packed bytes.
uint16_t crc16_arc(std::span<const uint8_t> bytes);

// Expander chosen by kind: 8 PKLite, 10 LZ 0.9X, 18/19 Diet; -2 for any other kind.
int expand_kind(int kind, std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick = {});

}  // namespace unpack
