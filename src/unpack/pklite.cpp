// The PKLite expander (kind 8), versions 1.00 to 1.15.
//
// Bit stream (after the first control word): bit 0 = literal byte (in "extra" files XORed
// with the number of control bits still unread), bit 1 = match: a length code, an
// offset-high code unless the length is 2, then the offset low byte. "Small" streams have
// short length codes and no segment marks; "large" ones have longer length codes, a special
// byte whose 0xFE is a segment mark and 0xFF the end. Distances are at most 8191 and never
// reach before the first output byte.
//
// Variants are told apart by the decompressor code, relative to the entry point (EP): the
// intro piece at EP+6 gives the class (A 1.00-1.05, B 1.12-1.13, C 1.14-1.15); a row of the
// layout table is taken when the decompressor head, both decoding-table heads, the mode byte
// before the offset table and the literal loop (normal or extra) are where the row says.
// Professional 1.14/1.15 extra files have a scrambled stub: those are recognised by class C,
// the descrambler at EP+42 and the version word at 1C, and use fixed data offsets. After the
// end code come the packed relocations (skipped) and the footer SS, SP, CS, IP.
//
// Program images (COM): the stub's copier names the decompressor, whose first instruction
// names the data; the output is the unpacked image.
#include <array>

#include "unpack/bitio.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

namespace unpack {

namespace {

using detail::bytes_at;
using detail::get_le16;

constexpr int kSpecial = -1;  // length code that reads a byte

struct Code {
  uint8_t len;    // bits in the code
  uint16_t bits;  // the code, first bit read most significant
  int16_t value;  // length, offset-high part, or kSpecial
};

constexpr Code kSmallLengths[] = {{2, 0b00, 3},   {3, 0b010, 2},  {3, 0b011, kSpecial}, {3, 0b100, 4},
                                  {3, 0b101, 5},  {4, 0b1100, 6}, {4, 0b1101, 7},       {4, 0b1110, 8},
                                  {4, 0b1111, 9}};

constexpr Code kLargeLengths[] = {
    {2, 0b10, 2},         {2, 0b11, 3},         {3, 0b000, 4},        {4, 0b0010, 5},
    {4, 0b0011, 6},       {4, 0b0100, 7},       {5, 0b01010, 8},      {5, 0b01011, 9},
    {5, 0b01100, 10},     {6, 0b011010, 11},    {6, 0b011011, 12},    {6, 0b011100, kSpecial},
    {7, 0b0111010, 13},   {7, 0b0111011, 14},   {7, 0b0111100, 15},   {8, 0b01111010, 16},
    {8, 0b01111011, 17},  {8, 0b01111100, 18},  {9, 0b011111010, 19}, {9, 0b011111011, 20},
    {9, 0b011111100, 21}, {9, 0b011111101, 22}, {9, 0b011111110, 23}, {9, 0b011111111, 24}};

// Offset-high codes: 1 -> 0; 0000 -> 1; 0001 -> 2; 001xx -> 3..6; 010000..010110 -> 7..13;
// 0101110..0111111 -> 14..31 (the 7-bit value minus 32).
int offset_high(int len, int v) {
  if (len == 1 && v == 1) return 0;
  if (len == 4 && v < 2) return v + 1;
  if (len == 5 && v >= 4 && v < 8) return v - 1;
  if (len == 6 && v >= 16 && v < 23) return v - 9;
  if (len == 7 && v >= 46 && v < 64) return v - 32;
  return -1;
}

template <size_t N>
bool read_code(detail::BitStream& s, const Code (&table)[N], int& value) {
  int v = 0;
  for (int len = 1; len <= 9; ++len) {
    int b = 0;
    if (!s.bit(b)) return false;
    v = (v << 1) | b;
    for (const Code& c : table)
      if (c.len == len && c.bits == v) {
        value = c.value;
        return true;
      }
  }
  return false;
}

bool read_offset_high(detail::BitStream& s, int& value) {
  int v = 0;
  for (int len = 1; len <= 7; ++len) {
    int b = 0;
    if (!s.bit(b)) return false;
    v = (v << 1) | b;
    const int h = offset_high(len, v);
    if (h >= 0) {
      value = h;
      return true;
    }
  }
  return false;
}

// Layout rows of 1.00-1.15 EXE files, offsets relative to the entry point.
enum Intro { kIntroA, kIntroB, kIntroC };
struct Row {
  Intro intro;
  uint16_t decompressor;  // first byte of FD 8C DB 53 83/81 C3
  uint16_t length_table;  // small or large length table
  uint16_t offset_table;  // offset-high table
  uint16_t data;          // first control word
  bool large;
  bool extra;
};
constexpr Row kRows[] = {
    {kIntroA, 72, 422, 438, 464, false, false},  // 1.00, 1.03, 1.05 small
    {kIntroB, 68, 418, 434, 464, false, false},  // 1.12 small
    {kIntroB, 68, 420, 436, 464, false, false},  // 1.13 small
    {kIntroC, 66, 419, 435, 464, false, false},  // 1.14 small
    {kIntroC, 68, 421, 437, 464, false, false},  // 1.15 small
    {kIntroA, 72, 430, 446, 480, false, true},   // 1.00-1.05 Professional small extra
    {kIntroB, 68, 426, 442, 480, false, true},   // 1.12 Professional small extra
    {kIntroB, 68, 428, 444, 480, false, true},   // 1.13 Professional small extra
    {kIntroA, 72, 590, 628, 656, true, false},   // 1.00, 1.05 large
    {kIntroA, 72, 592, 630, 656, true, false},   // 1.03 large
    {kIntroB, 68, 586, 624, 656, true, false},   // 1.12, 1.13 large
    {kIntroC, 66, 585, 623, 656, true, false},   // 1.14 large
    {kIntroC, 68, 589, 627, 656, true, false},   // 1.15 large
    {kIntroA, 72, 600, 638, 672, true, true},    // 1.03 Professional large extra
    {kIntroB, 68, 594, 632, 656, true, true},    // 1.12, 1.13 Professional large extra
};

constexpr uint8_t kIntroPieceA[] = {0x8C, 0xDB, 0x03, 0xD8, 0x3B, 0x1E, 0x02, 0x00};
constexpr uint8_t kIntroPieceB[] = {0x05, 0x00, 0x00, 0x3B, 0x06, 0x02, 0x00, 0x73};
constexpr uint8_t kIntroPieceC[] = {0x05, 0x00, 0x00, 0x3B, 0x06, 0x02, 0x00, 0x72};
constexpr uint8_t kDecompressorHead83[] = {0xFD, 0x8C, 0xDB, 0x53, 0x83, 0xC3};
constexpr uint8_t kDecompressorHead81[] = {0xFD, 0x8C, 0xDB, 0x53, 0x81, 0xC3};
constexpr uint8_t kSmallTableHead[] = {0x03, 0x00, 0x02, 0x0A, 0x04, 0x05, 0x00, 0x00};
constexpr uint8_t kLargeTableHead[] = {0x04, 0x00, 0x05, 0x06, 0x07, 0x00, 0x00, 0x00};
constexpr uint8_t kOffsetTableHead[] = {0x01, 0x02, 0x00, 0x00, 0x03, 0x04, 0x05, 0x06};
constexpr uint8_t kNormalLiteralLoop[] = {0xAD, 0x95, 0xB2, 0x10, 0x72, 0x08, 0xA4, 0xD1, 0xED, 0x4A, 0x74};
constexpr uint8_t kExtraLiteralLoop[] = {0xAD, 0x95, 0xB2, 0x10, 0x72, 0x0B, 0xAC,
                                         0x32, 0xC2, 0xAA, 0xD1, 0xED, 0x4A, 0x74};
constexpr uint8_t kDescramblerHead[] = {0x2D, 0x20, 0x00, 0x8E, 0xD0, 0x2D};
constexpr uint8_t kComDecompressorHead[] = {0xFD, 0x8B, 0xF8, 0x4F, 0x4F, 0xBE};

bool find_piece(std::span<const uint8_t> b, size_t from, size_t to, std::span<const uint8_t> piece) {
  for (size_t off = from; off < to; ++off)
    if (bytes_at(b, off, piece)) return true;
  return false;
}

bool row_confirmed(std::span<const uint8_t> b, size_t ep, const Row& row) {
  const size_t dec = ep + row.decompressor, lt = ep + row.length_table, ot = ep + row.offset_table;
  if (!bytes_at(b, dec, kDecompressorHead83) && !bytes_at(b, dec, kDecompressorHead81)) return false;
  if (!bytes_at(b, lt, row.large ? std::span<const uint8_t>(kLargeTableHead) : kSmallTableHead)) return false;
  if (!bytes_at(b, ot, kOffsetTableHead)) return false;
  if (ot >= b.size() || b[ot - 1] != (row.large ? 0x18 : 0x09)) return false;
  return find_piece(b, dec, lt, row.extra ? std::span<const uint8_t>(kExtraLiteralLoop) : kNormalLiteralLoop);
}

// Finds the layout of an EXE file: data offset and stream mode. False for unknown variants.
bool exe_layout(std::span<const uint8_t> b, size_t ep, size_t& data, PkliteStream& mode) {
  if (ep >= b.size() || b[ep] != 0xB8 || ep + 3 >= b.size() || b[ep + 3] != 0xBA) return false;
  Intro intro;
  if (bytes_at(b, ep + 6, kIntroPieceA)) {
    intro = kIntroA;
  } else if (bytes_at(b, ep + 6, kIntroPieceB)) {
    intro = kIntroB;
  } else if (bytes_at(b, ep + 6, kIntroPieceC)) {
    intro = kIntroC;
  } else {
    return false;
  }
  for (const Row& row : kRows) {
    if (row.intro != intro || !row_confirmed(b, ep, row)) continue;
    data = ep + row.data;
    mode = {row.large, row.extra};
    return true;
  }
  // Scrambled Professional 1.14/1.15 extra files: only the intro, the descrambler and the
  // version word can be checked; the data is never scrambled.
  uint16_t version = 0;
  if (intro != kIntroC || !bytes_at(b, ep + 42, kDescramblerHead) || !get_le16(b, 0x1C, version)) return false;
  if (version == 0x110E || version == 0x110F) {
    data = ep + 512;
    mode = {false, true};
    return true;
  }
  if (version == 0x310E || version == 0x310F) {
    data = ep + 704;
    mode = {true, true};
    return true;
  }
  return false;
}

int expand_exe(std::span<const uint8_t> b, std::vector<uint8_t>& out, const Tick& tick) {
  uint16_t header_paras = 0, ip = 0, cs = 0;
  if (b.size() < 24 || !get_le16(b, 0x08, header_paras) || !get_le16(b, 0x14, ip) || !get_le16(b, 0x16, cs))
    return -2;
  const size_t ep = ((size_t(header_paras) + cs) * 16 + ip) & 0xFFFFF;
  size_t data = 0;
  PkliteStream mode;
  if (!exe_layout(b, ep, data, mode)) return -2;

  std::vector<uint8_t> image;
  size_t pos = 0;
  if (decode_pklite_stream(b, data, mode, image, pos, tick) != 0) return -2;

  // Packed relocations: normal files count bytes with a segment word each, extra files
  // count words ending with 0xFFFF. Each group is skipped whole.
  for (;;) {
    size_t count = 0;
    if (mode.extra) {
      uint16_t c = 0;
      if (!get_le16(b, pos, c)) return -2;
      pos += 2;
      if (c == 0xFFFF) break;
      count = c;
    } else {
      if (pos >= b.size()) return -2;
      count = b[pos++];
      if (count == 0) break;
      if (b.size() - pos < 2) return -2;
      pos += 2;
    }
    if ((b.size() - pos) / 2 < count) return -2;
    pos += count * 2;
  }
  uint16_t ss = 0, sp = 0, new_cs = 0, new_ip = 0;
  if (!get_le16(b, pos, ss) || !get_le16(b, pos + 2, sp) || !get_le16(b, pos + 4, new_cs) ||
      !get_le16(b, pos + 6, new_ip))
    return -2;

  if (image.size() > kMaxOutputBytes - 512) return -2;
  out.assign(512, 0);
  std::copy(b.begin(), b.begin() + 24, out.begin());
  detail::put_le16(out, 0x06, 0);  // the relocation table is not carried over
  out.insert(out.end(), image.begin(), image.end());
  return detail::finish_mz_header(out, new_ip, new_cs, sp, ss) ? 0 : -2;
}

int expand_com(std::span<const uint8_t> b, std::vector<uint8_t>& out, const Tick& tick) {
  static constexpr uint8_t kCopier[] = {0x25, 0xF0, 0xFF, 0x8B, 0xF8, 0xB9};
  if (b.size() < 32 || b[0] != 0xB8 || b[3] != 0xBA || b[10] != 0x8B || b[11] != 0xC4 || b[12] != 0x2D)
    return -2;
  size_t s_at = 0;
  if (bytes_at(b, 15, kCopier) && b[23] == 0xBE) {
    s_at = 24;  // 1.00-1.12
  } else if (b[15] == 0x90 && bytes_at(b, 16, kCopier) && b[24] == 0x90 && b[25] == 0xBE) {
    s_at = 26;  // 1.15
  } else {
    return -2;
  }
  uint16_t s = 0, d = 0;
  if (!get_le16(b, s_at, s) || s < 0x100) return -2;
  const size_t dec = size_t(s) - 0x100;
  if (!bytes_at(b, dec, kComDecompressorHead) || !get_le16(b, dec + 6, d) || d < 0xFE) return -2;
  const size_t data = size_t(d) + 2 - 0x100;
  size_t end = 0;
  return decode_pklite_stream(b, data, PkliteStream{false, false}, out, end, tick);
}

}  // namespace

int decode_pklite_stream(std::span<const uint8_t> in, size_t data, PkliteStream mode,
                         std::vector<uint8_t>& image, size_t& end, const Tick& tick) {
  image.clear();
  detail::BitStream s(in, data, in.size());
  if (data > in.size() || !s.start()) return -2;
  const size_t max_image = kMaxOutputBytes - 512;
  for (;;) {
    bool literal = false;
    uint8_t c = 0;
    if (!s.step(0, literal, c)) return -2;
    if (literal) {
      if (mode.extra) c = uint8_t(c ^ s.left);
      if (image.size() >= max_image) return -2;
      image.push_back(c);
      detail::tick_every_256(image.size() - 1, image.size(), tick);
      continue;
    }
    int length = 0;
    if (!(mode.large ? read_code(s, kLargeLengths, length) : read_code(s, kSmallLengths, length))) return -2;
    if (length == kSpecial) {
      uint8_t x = 0;
      if (!s.byte(x)) return -2;
      if (x == 0xFF) break;
      if (mode.large) {
        if (x == 0xFE) continue;  // segment mark: nothing to output
        length = 25 + x;
      } else {
        length = 10 + x;
      }
    }
    int high = 0;
    if (length != 2 && !read_offset_high(s, high)) return -2;
    uint8_t low = 0;
    if (!s.byte(low)) return -2;
    const size_t distance = size_t(high) * 256 + low;
    if (distance == 0 || distance > image.size()) return -2;
    if (size_t(length) > max_image - image.size()) return -2;
    const size_t before = image.size();
    for (int i = 0; i < length; ++i) {
      const uint8_t v = image[image.size() - distance];
      image.push_back(v);
    }
    detail::tick_every_256(before, image.size(), tick);
  }
  end = s.pos;
  return 0;
}

int expand_pklite(std::span<const uint8_t> packed, std::vector<uint8_t>& out, const Tick& tick) {
  out.clear();
  if (packed.size() >= 2 &&
      ((packed[0] == 'M' && packed[1] == 'Z') || (packed[0] == 'Z' && packed[1] == 'M')))
    return expand_exe(packed, out, tick);
  return expand_com(packed, out, tick);
}

}  // namespace unpack
