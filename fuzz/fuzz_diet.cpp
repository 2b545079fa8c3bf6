// Fuzz target: the Diet expander on arbitrary files, and its bit stream alone with and
// without refresh codes (chosen by the first byte; the rest is the stream).
#include "fuzz_target.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  std::vector<uint8_t> out;
  const int r = unpack::expand_diet(file, out);
  fuzz::require(r == 0 || r == -2);
  fuzz::require(out.size() <= unpack::kMaxOutputBytes);
  if (size > 0) {
    size_t end = 0;
    const int s = unpack::decode_diet_stream(file.subspan(1), 0, size - 1, (data[0] & 1) != 0, out, end);
    fuzz::require(s == 0 || s == -2);
    if (s == 0) fuzz::require(end <= size - 1);
  }
  return 0;
}
