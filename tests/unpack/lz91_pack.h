// Packs a load image into an LZ91 file with literals only (the LZ 0.9X expander gives the
// image back behind a 512-byte header): for tests that need a real packed program.
#pragma once

#include <cstdint>
#include <vector>

#include "test_util.h"

namespace unpack_test {

// Wraps a bit stream into an LZ91 file: a 32-byte header ("LZ91", two paragraphs, CS naming
// the data block), the stream, and the data block with the unpacked IP, CS, SP, SS.
inline std::vector<uint8_t> lz91_file(const std::vector<uint8_t>& stream, uint16_t ip, uint16_t cs, uint16_t sp,
                                      uint16_t ss, uint16_t min_alloc = 0) {
  std::vector<uint8_t> f = stream;
  f.insert(f.begin(), 32, uint8_t(0));
  f[0] = 'M';
  f[1] = 'Z';
  set_le16(f, 0x08, 2);
  set_le16(f, 0x0A, min_alloc);
  set_le16(f, 0x18, 0x1C);
  f[0x1C] = 'L', f[0x1D] = 'Z', f[0x1E] = '9', f[0x1F] = '1';
  f.resize((f.size() + 15) / 16 * 16, 0);
  set_le16(f, 0x16, uint16_t(f.size() / 16 - 2));
  const size_t block = f.size();
  set_le16(f, block, ip);
  set_le16(f, block + 2, cs);
  set_le16(f, block + 4, sp);
  set_le16(f, block + 6, ss);
  return f;
}

inline std::vector<uint8_t> pack_lz91(const std::vector<uint8_t>& image, uint16_t ip = 0, uint16_t cs = 0,
                                      uint16_t sp = 0x0080, uint16_t ss = 0x0010) {
  BitWriter w;
  for (uint8_t c : image) {
    w.bit(1);
    w.byte(c);
  }
  w.bit(0);  // end of the data: long match with third byte 0
  w.bit(1);
  w.byte(0);
  w.byte(0xF0);
  w.byte(0);
  return lz91_file(w.out, ip, cs, sp, ss);
}

}  // namespace unpack_test
