// Fuzz target: detection over arbitrary file bytes, with and without an archive name.
#include <span>

#include "fuzz_target.h"
#include "unpack/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  const int kind = unpack::detect_bytes("", file);
  fuzz::require(kind >= 0 && kind <= 19);
  fuzz::require(size >= 48 || kind == 0);
  fuzz::require(unpack::compressor_name(kind) != nullptr);
  fuzz::require(unpack::detect_bytes("X.ZIPPED", file) == 6);
  return 0;
}
