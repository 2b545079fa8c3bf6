// The LZ 0.9X expander (kind 10: files with "LZ09" or "LZ91" at offset 1C).
//
// The packed bit stream starts at offset 32 (these files always have a two-paragraph
// header). Tokens, after the control bit(s):
//   1            literal: the next byte
//   0 1 lo hi    long match: displacement 0xE000 | (hi & 0xF8) << 5 | lo (1..8192 back);
//                count (hi & 7) + 2, or when hi & 7 == 0 a third byte n: 0 end, 1 segment
//                mark, else count n + 1
//   0 0 b1 b2 m  short match: count 2 * b1 + b2 + 2, displacement 0xFF00 | m (1..256 back)
// Output goes through a 65535-byte window that starts with the header area (the packed
// file's first 24 bytes, zeros up to 512). A segment mark flushes the window to the output
// and keeps 8192 + (position & 15) bytes of history at its start.
#include <cstring>

#include "unpack/bitio.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

namespace unpack {

namespace detail {

bool finish_mz_header(std::vector<uint8_t>& out, uint16_t ip, uint16_t cs, uint16_t sp, uint16_t ss) {
  if (out.size() < 512 || out.size() > kMaxOutputBytes) return false;
  const size_t size = out.size();
  put_le16(out, 0x02, uint16_t(size % 512));
  put_le16(out, 0x04, uint16_t(size / 512 + (size % 512 != 0 ? 1 : 0)));
  put_le16(out, 0x08, 32);
  put_le16(out, 0x14, ip);
  put_le16(out, 0x16, cs);
  put_le16(out, 0x10, sp);
  put_le16(out, 0x0E, ss);
  return true;
}

}  // namespace detail

namespace {

using detail::BitStream;

// Appends window[from, to) to out; false past the output limit.
bool flush_window(const std::vector<uint8_t>& window, size_t from, size_t to, std::vector<uint8_t>& out) {
  if (to - from > kMaxOutputBytes - out.size()) return false;
  out.insert(out.end(), window.begin() + ptrdiff_t(from), window.begin() + ptrdiff_t(to));
  return true;
}

}  // namespace

int expand_lz09(std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick) {
  out.clear();
  if (packed.size() < 24) return -2;
  std::vector<uint8_t> window(kLzWindow, 0);  // zero-filled: the header area starts as zeros
  std::memcpy(window.data(), packed.data(), 24);
  size_t pos = kLzStart;  // output position in the window
  size_t flush = 0;       // window position up to which the output has been written
  size_t produced = 0;    // image bytes decoded, for the 256-byte ticks

  BitStream s(packed, kLzStreamOffset, packed.size());
  if (!s.start()) return -2;
  for (;;) {
    bool literal = false;
    uint8_t c = 0;
    if (!s.step(1, literal, c)) return -2;
    if (literal) {
      window[pos++] = c;
      if (pos >= kLzWindow) return -2;  // window full without a segment mark
      detail::tick_every_256(produced, produced + 1, tick);
      ++produced;
      continue;
    }
    int b = 0;
    if (!s.bit(b)) return -2;
    size_t count = 0;
    uint16_t disp = 0;
    if (b == 1) {
      uint8_t lo = 0, hi = 0;
      if (!s.byte(lo) || !s.byte(hi)) return -2;
      disp = uint16_t(0xE000 | ((hi & 0xF8) << 5) | lo);
      if ((hi & 7) != 0) {
        count = size_t(hi & 7) + 2;
      } else {
        uint8_t n = 0;
        if (!s.byte(n)) return -2;
        if (n == 0) break;  // end of the data
        if (n == 1) {
          // Segment mark: write what the window holds since the last flush, keep the history.
          if (pos <= flush) return -2;
          if (!flush_window(window, flush, pos, out)) return -2;
          const size_t keep = 8192 + (pos & 15);
          if (pos < keep) return -2;
          std::memmove(window.data(), window.data() + (pos - keep), keep);
          pos = flush = keep;
          continue;
        }
        count = size_t(n) + 1;
      }
    } else {
      int b1 = 0, b2 = 0;
      if (!s.bit(b1) || !s.bit(b2)) return -2;
      count = size_t(b1 * 2 + b2) + 2;
      uint8_t m = 0;
      if (!s.byte(m)) return -2;
      disp = uint16_t(0xFF00 | m);
    }
    const size_t distance = 0x10000 - size_t(disp);  // 1..8192
    if (distance > pos) return -2;                   // source before the window start
    if (count >= kLzWindow - pos) return -2;         // would reach the end of the window
    for (size_t i = 0; i < count; ++i, ++pos) window[pos] = window[pos - distance];
    detail::tick_every_256(produced, produced + count, tick);
    produced += count;
  }

  if (pos <= flush) return -2;
  if (!flush_window(window, flush, pos, out)) return -2;

  // The unpacked registers: first four words of the data block at (header + CS) x 16.
  uint16_t header_paras = 0, cs_rel = 0;
  if (!detail::get_le16(packed, 0x08, header_paras) || !detail::get_le16(packed, 0x16, cs_rel)) return -2;
  const size_t block = (size_t(header_paras) + size_t(cs_rel)) * 16;
  uint16_t ip = 0, cs = 0, sp = 0, ss = 0;
  if (!detail::get_le16(packed, block, ip) || !detail::get_le16(packed, block + 2, cs) ||
      !detail::get_le16(packed, block + 4, sp) || !detail::get_le16(packed, block + 6, ss))
    return -2;
  if (!detail::finish_mz_header(out, ip, cs, sp, ss)) return -2;
  return 0;
}

}  // namespace unpack
