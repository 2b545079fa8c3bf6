// The Diet expander (kinds 18 and 19).
//
// Bit stream (after the first control word), bits in the order they are taken:
//   1                         literal: the next byte
//   0 0 v 1 kkk               2-byte match, distance 2304 - 256k - v
//   0 0 v 0                   2-byte match, distance 256 - v (v != 0xFF)
//   0 0 FF 0 [0]              end (the last bit only in files with refresh codes)
//   0 0 FF 0 1                segment refresh (no output)
//   0 1 v <tail> <length>     match of 3 or more bytes; the tail gives the distance's high part
// The byte v is read right after the second bit, before any further bit.
//
// Containers: program images (COM) of three eras and EXE files of four layouts, told apart
// by 8-byte pieces of the stub at fixed places; the middle and new eras carry an 11-byte
// "dlz" header (flags, packed length, CRC-16 of the packed bytes, original length) right
// before the data. An EXE decodes to the original load image followed by its MZ header at
// M = 16 x P + (original length mod 16), P being a word in the stub; an "EXE from COM"
// (1.44 and later, marked by ED 55 13 bytes before the end of the packed load image) decodes
// to the COM image itself.
#include <array>

#include "unpack/bitio.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

namespace unpack {

namespace {

using detail::bytes_at;
using detail::get_le16;

constexpr uint8_t kExePiece[] = {0x8E, 0xDB, 0x8E, 0xC0, 0x33, 0xF6, 0x33, 0xFF};
constexpr uint8_t kComOldPiece[] = {0x3B, 0xFC, 0x72, 0x04, 0xB4, 0x4C, 0xCD, 0x21};
constexpr uint8_t kComMiddlePiece[] = {0xCD, 0x21, 0xFD, 0xF3, 0xA5, 0xFC, 0x8B, 0xF7};
constexpr uint8_t kDlz[] = {'d', 'l', 'z'};
constexpr size_t kDlzSize = 11;
constexpr uint8_t kDietMark = 0x8B;  // 26 bytes into the EXE piece; look-alike packers have 0x95

enum class Era { kOld, kMiddle, kNew };

struct Layout {
  Era era = Era::kOld;
  bool exe = false;
  size_t dlz = 0;        // offset of the "dlz" header, 0 when none
  size_t data = 0;       // first control word
  size_t limit = 0;      // end of the packed data (exclusive)
  size_t p_offset = 0;   // EXE: offset of P from the entry point
  size_t entry = 0;      // EXE: entry point
  uint32_t original = 0; // original length from the dlz header
  bool refresh = false;  // segment refresh codes present
};

bool is_mz(std::span<const uint8_t> b, size_t off) {
  return off <= b.size() && b.size() - off >= 2 &&
         ((b[off] == 'M' && b[off + 1] == 'Z') || (b[off] == 'Z' && b[off + 1] == 'M'));
}

bool exe_layout(std::span<const uint8_t> b, Layout& l) {
  uint16_t header_paras = 0, ip = 0, cs = 0;
  if (!get_le16(b, 0x08, header_paras) || !get_le16(b, 0x14, ip) || !get_le16(b, 0x16, cs)) return false;
  const size_t code = size_t(header_paras) * 16;
  if (code < 32) return false;
  const size_t base = code - 32;  // the stub offsets below assume a 32-byte header
  l.exe = true;
  l.entry = ((size_t(header_paras) + cs) * 16 + ip) & 0xFFFFF;
  static const struct {
    size_t piece;
    Era era;
    size_t dlz;   // 0: no dlz header
    size_t data;
    size_t p;     // P relative to the entry point
  } kExeLayouts[] = {
      {72, Era::kNew, 107, 118, 73},    // 1.44
      {77, Era::kNew, 108, 119, 26},    // 1.45f
      {52, Era::kMiddle, 87, 98, 53},   // 1.02b - 1.20
      {55, Era::kOld, 0, 90, 53},       // 1.00
  };
  for (const auto& x : kExeLayouts) {
    const size_t piece = base + x.piece;
    if (!bytes_at(b, piece, kExePiece) || piece + 26 >= b.size() || b[piece + 26] != kDietMark) continue;
    l.era = x.era;
    l.dlz = x.dlz ? base + x.dlz : 0;
    l.data = base + x.data;
    l.p_offset = x.p;
    if (x.era == Era::kOld) {
      // 20-bit packed length in the 32-bit word at 32.
      uint16_t lo = 0, hi = 0;
      if (!get_le16(b, base + 32, lo) || !get_le16(b, base + 34, hi)) return false;
      l.limit = l.data + (size_t(lo) | (size_t(hi & 0x0F) << 16));
    }
    return true;
  }
  return false;
}

bool com_layout(std::span<const uint8_t> b, Layout& l) {
  if (b.empty()) return false;
  if (b[0] == 0xBF && bytes_at(b, 3, kComOldPiece)) {
    l.era = Era::kOld;
    l.data = 37;
    l.limit = b.size();
    return true;
  }
  if (b[0] == 0xBE && bytes_at(b, 15, kComMiddlePiece)) {
    l.era = Era::kMiddle;
    l.dlz = 35;
    l.data = 46;
    return true;
  }
  static constexpr uint8_t kNewMark[] = {0x9D, 0x89};
  if (b[0] == 0xF9 && bytes_at(b, 10, kNewMark) && bytes_at(b, 65, kDlz)) {
    l.era = Era::kNew;
    l.dlz = 65;
    l.data = 76;
    return true;
  }
  return false;
}

// Reads the dlz header: packed length, CRC, original length, flags.
bool read_dlz(std::span<const uint8_t> b, Layout& l) {
  if (l.dlz > b.size() || b.size() - l.dlz < kDlzSize) return false;
  const uint8_t flags = b[l.dlz + 3] & 0xF0;
  if (flags & 0x80) return false;  // several blocks: not a layout this expander knows
  uint16_t len_lo = 0, crc = 0, orig_lo = 0;
  get_le16(b, l.dlz + 4, len_lo);
  get_le16(b, l.dlz + 6, crc);
  get_le16(b, l.dlz + 9, orig_lo);
  const size_t length = (size_t(b[l.dlz + 3] & 0x0F) << 16) | len_lo;
  l.original = (uint32_t(b[l.dlz + 8] & 0xFC) << 14) | orig_lo;
  l.refresh = (flags & 0x10) != 0;
  if (l.data > b.size() || b.size() - l.data < length) return false;
  l.limit = l.data + length;
  return crc16_arc(b.subspan(l.data, length)) == crc;
}

// "EXE from COM": ED 55 13 bytes before the end of the packed load image.
bool exe_from_com(std::span<const uint8_t> b) {
  uint16_t last = 0, pages = 0;
  if (!get_le16(b, 0x02, last) || !get_le16(b, 0x04, pages) || pages == 0) return false;
  const size_t end = size_t(pages) * 512 - (last != 0 ? 512 - (last & 511) : 0);
  return end >= 13 && end <= b.size() && b[end - 13] == 0xED && b[end - 12] == 0x55;
}

}  // namespace

uint16_t crc16_arc(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
  }
  return crc;
}

int decode_diet_stream(std::span<const uint8_t> in, size_t data, size_t limit, bool refresh,
                       std::vector<uint8_t>& blob, size_t& end, const Tick& tick) {
  blob.clear();
  if (data > in.size()) return -2;
  detail::BitStream s(in, data, limit);
  if (!s.start()) return -2;
  const size_t max_blob = kMaxOutputBytes - 512;
  for (;;) {
    bool literal = false;
    uint8_t lit = 0;
    if (!s.step(1, literal, lit)) return -2;
    if (literal) {
      if (blob.size() >= max_blob) return -2;
      blob.push_back(lit);
      detail::tick_every_256(blob.size() - 1, blob.size(), tick);
      continue;
    }
    int second = 0;
    uint8_t v = 0;
    if (!s.bit(second) || !s.byte(v)) return -2;
    size_t distance = 0;
    size_t length = 2;
    if (second == 0) {
      int far = 0;
      if (!s.bit(far)) return -2;
      if (far == 1) {
        int k = 0;
        if (!s.bits_msb(3, k)) return -2;
        distance = 2304 - 256 * size_t(k) - v;
      } else if (v == 0xFF) {
        if (!refresh) break;
        int r = 0;
        if (!s.bit(r)) return -2;
        if (r == 0) break;
        continue;  // segment refresh: nothing to output
      } else {
        distance = 256 - size_t(v);
      }
    } else {
      // Distance tail: the high part grows by one bit per class until a 1 closes it.
      int a = 0, c = 0;
      if (!s.bit(a) || !s.bit(c)) return -2;
      if (c == 1) {
        distance = 512 - (256 * size_t(a) + v);
      } else {
        if (!s.bit(c)) return -2;
        if (c == 1) {
          distance = 1024 - (256 * size_t(a) + v);
        } else {
          int a4 = 0;
          if (!s.bit(a4) || !s.bit(c)) return -2;
          if (c == 1) {
            distance = 2048 - (512 * size_t(a) + 256 * size_t(a4) + v);
          } else {
            int a6 = 0;
            if (!s.bit(a6) || !s.bit(c)) return -2;
            if (c == 1) {
              distance = 4096 - (1024 * size_t(a) + 512 * size_t(a4) + 256 * size_t(a6) + v);
            } else {
              int a8 = 0;
              if (!s.bit(a8)) return -2;
              distance = 8192 - (2048 * size_t(a) + 1024 * size_t(a4) + 512 * size_t(a6) + 256 * size_t(a8) + v);
            }
          }
        }
      }
      // Length code: 1 -> 3, 01 -> 4, 001 -> 5, 0001 -> 6, 00001x -> 7+x, 000001 n -> 17+n,
      // 000000bbb -> 9+bbb.
      length = 3;
      int bit = 0;
      for (; length <= 6; ++length) {
        if (!s.bit(bit)) return -2;
        if (bit == 1) break;
      }
      if (length == 7) {
        if (!s.bit(bit)) return -2;
        if (bit == 1) {
          int x = 0;
          if (!s.bit(x)) return -2;
          length = 7 + size_t(x);
        } else {
          if (!s.bit(bit)) return -2;
          if (bit == 1) {
            uint8_t n = 0;
            if (!s.byte(n)) return -2;
            length = 17 + size_t(n);
          } else {
            int x = 0;
            if (!s.bits_msb(3, x)) return -2;
            length = 9 + size_t(x);
          }
        }
      }
    }
    if (distance == 0 || distance > blob.size()) return -2;
    if (length > max_blob - blob.size()) return -2;
    const size_t before = blob.size();
    for (size_t i = 0; i < length; ++i) {
      const uint8_t x = blob[blob.size() - distance];
      blob.push_back(x);
    }
    detail::tick_every_256(before, blob.size(), tick);
  }
  end = s.pos;
  return 0;
}

int expand_diet(std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick) {
  out.clear();
  Layout l;
  const bool mz = is_mz(packed, 0);
  if (!(mz ? exe_layout(packed, l) : com_layout(packed, l))) return -2;
  if (l.dlz != 0 && !read_dlz(packed, l)) return -2;
  if (l.limit > packed.size()) return -2;

  std::vector<uint8_t> blob;
  size_t end = 0;
  if (decode_diet_stream(packed, l.data, l.limit, l.refresh, blob, end, tick) != 0) return -2;
  if (!mz || (l.era == Era::kNew && exe_from_com(packed))) {
    out = std::move(blob);
    return 0;
  }

  // A real EXE: find the original MZ header inside the decoded bytes.
  uint16_t p = 0;
  if (!get_le16(packed, l.entry + l.p_offset, p)) return -2;
  size_t m = 0;
  if (l.era == Era::kOld) {
    // Only an approximate position is stored: take the single candidate with a header.
    int found = 0;
    for (size_t i = 0; i < 16; ++i)
      if (is_mz(blob, size_t(p) * 16 + i)) {
        m = size_t(p) * 16 + i;
        ++found;
      }
    if (found != 1) return -2;
  } else {
    m = size_t(p) * 16 + (l.original % 16);
    if (!is_mz(blob, m)) return -2;
  }
  std::array<uint8_t, 28> h{};  // bytes past the end of the decoded data count as 0
  for (size_t i = 0; i < h.size() && m + i < blob.size(); ++i) h[i] = blob[m + i];
  h[3] &= 1;
  out.assign(512, 0);
  std::copy(h.begin(), h.begin() + 24, out.begin());
  detail::put_le16(out, 0x06, 0);  // the relocation table is not carried over
  if (m > kMaxOutputBytes - 512) return -2;
  out.insert(out.end(), blob.begin(), blob.begin() + ptrdiff_t(m));
  return detail::finish_mz_header(out, uint16_t(h[0x14] | h[0x15] << 8), uint16_t(h[0x16] | h[0x17] << 8),
                                  uint16_t(h[0x10] | h[0x11] << 8), uint16_t(h[0x0E] | h[0x0F] << 8))
             ? 0
             : -2;
}

int expand_kind(int kind, std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick) {
  switch (kind) {
    case kKindPklite: return expand_pklite(packed, out, tick);
    case kKindLz09: return expand_lz09(packed, out, tick);
    case kKindDiet:
    case kKindCruncher: return expand_diet(packed, out, tick);
    default: out.clear(); return -2;
  }
}

}  // namespace unpack
