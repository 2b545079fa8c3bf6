// Byte and control-word readers shared by the three expanders, and the MZ header builder.
//
// All three packed formats interleave 16-bit little-endian control words, whose bits are
// taken lowest first, with data bytes in one stream; the next control word is read right
// after the 16th bit of the current one is taken, before any byte the current step needs.
// Readers never touch a byte outside their span: every read checks what remains first and
// reports failure instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace unpack::detail {

// 16-bit little-endian value at `off`, or false when it does not fit.
inline bool get_le16(std::span<const uint8_t> b, size_t off, uint16_t& out) {
  if (off > b.size() || b.size() - off < 2) return false;
  out = uint16_t(b[off] | (b[off + 1] << 8));
  return true;
}

inline void put_le16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  if (off <= b.size() && b.size() - off >= 2) {
    b[off] = uint8_t(v & 0xFF);
    b[off + 1] = uint8_t(v >> 8);
  }
}

// True when the `n` bytes at `off` equal `want`.
inline bool bytes_at(std::span<const uint8_t> b, size_t off, std::span<const uint8_t> want) {
  if (off > b.size() || b.size() - off < want.size()) return false;
  for (size_t i = 0; i < want.size(); ++i)
    if (b[off + i] != want[i]) return false;
  return true;
}

// A stream of bytes and control bits over [pos, limit) of a span.
struct BitStream {
  std::span<const uint8_t> in;  // the whole packed file
  size_t pos = 0;               // next byte of the stream
  size_t limit = 0;             // end of the stream (exclusive), at most in.size()
  uint16_t word = 0;            // current control word, already shifted
  int left = 0;                 // bits still unread in `word` (1..16 while valid)
  bool word_missing = false;    // the stream ended where the next control word belonged

  BitStream(std::span<const uint8_t> bytes, size_t start, size_t end)
      : in(bytes), pos(start), limit(end > bytes.size() ? bytes.size() : end) {}

  bool byte(uint8_t& out) {
    if (pos >= limit) return false;
    out = in[pos++];
    return true;
  }
  bool word16(uint16_t& out) {
    if (pos > limit || limit - pos < 2) return false;
    out = uint16_t(in[pos] | (in[pos + 1] << 8));
    pos += 2;
    return true;
  }
  // Reads the first control word.
  bool start() {
    if (!word16(word)) return false;
    left = 16;
    return true;
  }
  // Takes the next bit. A control word that the stream did not hold fails only when a bit
  // of it is actually needed: a stream may end right after the bit that used up its last
  // word. From then on no byte can be read either.
  bool bit(int& out) {
    if (word_missing || left <= 0) return false;
    out = word & 1;
    if (--left == 0) {
      if (word16(word)) {
        left = 16;
      } else {
        word_missing = true;
        pos = limit;
      }
    } else {
      word >>= 1;
    }
    return true;
  }
  // Takes the flag bit that opens a step and, when it announces a literal (the flag equals
  // `literal_flag`), the literal byte after it. False when the stream ends before either.
  bool step(int literal_flag, bool& literal, uint8_t& c) {
    int b = 0;
    if (!bit(b)) return false;
    literal = b == literal_flag;
    return !literal || byte(c);
  }
  // Takes n bits, the first one most significant.
  bool bits_msb(int n, int& out) {
    out = 0;
    for (int i = 0; i < n; ++i) {
      int b = 0;
      if (!bit(b)) return false;
      out = (out << 1) | b;
    }
    return true;
  }
};

// Calls tick whenever the output count passes a multiple of 256.
template <typename TickFn>
inline void tick_every_256(size_t before, size_t after, const TickFn& tick) {
  if (tick && (before >> 8) != (after >> 8)) tick();
}

// Completes an expanded MZ file in `out`: out[0..512) is the header area whose first 24
// bytes were filled by the caller; writes pages and last-page bytes for out.size(), header
// paragraphs 32 and the four registers. False when out.size() cannot be described.
bool finish_mz_header(std::vector<uint8_t>& out, uint16_t ip, uint16_t cs, uint16_t sp, uint16_t ss);

}  // namespace unpack::detail
