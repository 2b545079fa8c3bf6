// Shared by the fuzz targets and the replay runner: the libFuzzer entry point and a check
// that fails loudly (a trap, which both libFuzzer and the runner's test report) when an
// expander's output breaks a promise of its interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

inline void require(bool condition) {
  if (!condition) __builtin_trap();
}

// An expanded MZ file must describe its own size in its header.
inline void check_mz_output(const std::vector<uint8_t>& out) {
  require(out.size() >= 512);
  const size_t size = out.size();
  require((out[2] | out[3] << 8) == int(size % 512));
  require((out[4] | out[5] << 8) == int(size / 512 + (size % 512 != 0)));
  require(out[8] == 32 && out[9] == 0);
}

}  // namespace fuzz
