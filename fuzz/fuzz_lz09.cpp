// Fuzz target: the LZ 0.9X expander on arbitrary packed files.
#include "fuzz_target.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  const int r = unpack::expand_lz09(std::span<const uint8_t>(data, size), out);
  fuzz::require(r == 0 || r == -2);
  if (r == 0) fuzz::check_mz_output(out);
  return 0;
}
