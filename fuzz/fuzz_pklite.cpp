// Fuzz target: the PKLite expander on arbitrary files, and its bit stream alone in each of
// the four dialects (chosen by the first byte; the rest is the stream).
#include "fuzz_target.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  std::vector<uint8_t> out;
  const int r = unpack::expand_pklite(file, out);
  fuzz::require(r == 0 || r == -2);
  if (r == 0 && size >= 2 && (data[0] == 'M' || data[0] == 'Z')) fuzz::check_mz_output(out);
  fuzz::require(out.size() <= unpack::kMaxOutputBytes);
  if (size > 0) {
    const unpack::PkliteStream mode{(data[0] & 1) != 0, (data[0] & 2) != 0};
    size_t end = 0;
    const int s = unpack::decode_pklite_stream(file.subspan(1), 0, mode, out, end);
    fuzz::require(s == 0 || s == -2);
    if (s == 0) fuzz::require(end <= size - 1);
  }
  return 0;
}
