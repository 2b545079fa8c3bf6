// Upper-casing as the system's ANSI upper-casing does it on this host, whose code page is
// UTF-8: only the ASCII letters a-z change, and every byte of 0x80 and above stays as it
// is, so that a multibyte name is never corrupted.
#include <cstdint>
#include <cstring>

#include "host/host.h"

namespace host {

void upper_in_place(char* p, size_t n) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    // Per byte, without carries between bytes: bit 7 of `from_a` is set for 'a' and above,
    // of `past_z` for past 'z', both of the low seven bits; bytes of 0x80 and above stay.
    const uint64_t low7 = w & ~kHigh;
    const uint64_t from_a = low7 + (0x80 - 'a') * kOnes;
    const uint64_t past_z = low7 + (0x80 - 'z' - 1) * kOnes;
    const uint64_t lower = from_a & ~past_z & ~w & kHigh;
    w ^= lower >> 2;  // clears 0x20 of each lower-case letter
    std::memcpy(p + i, &w, 8);
  }
  for (; i < n; ++i) p[i] = upper_char(p[i]);
}

std::string upper(std::string_view s) {
  std::string out(s);
  upper_in_place(out.data(), out.size());
  return out;
}

}  // namespace host
