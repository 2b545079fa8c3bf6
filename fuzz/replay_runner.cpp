// Replays fuzz inputs through one fuzz target without libFuzzer, so the corpora run in the
// normal test run. Every argument is a file or a directory of files; each file is fed as it
// is, then cut at 32 evenly spaced lengths, then with 64 single bytes changed (positions and
// values from a fixed pseudo-random sequence, so every run feeds the same inputs). A failing
// input stops the process with a trap; the runner prints each file's name before it.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_target.h"

namespace {

void replay(const std::vector<uint8_t>& bytes) {
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  for (size_t i = 0; i < 32 && !bytes.empty(); ++i) {
    const size_t cut = bytes.size() * i / 32;
    const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + std::ptrdiff_t(cut));
    LLVMFuzzerTestOneInput(part.data(), part.size());
  }
  uint32_t seed = 0x2545F491u ^ uint32_t(bytes.size());
  std::vector<uint8_t> changed = bytes;
  for (int i = 0; i < 64 && !bytes.empty(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const size_t at = (seed >> 8) % bytes.size();
    seed = seed * 1664525u + 1013904223u;
    changed[at] = uint8_t(seed >> 24);
    LLVMFuzzerTestOneInput(changed.data(), changed.size());
    changed[at] = bytes[at];
  }
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t files = 0;
  for (int a = 1; a < argc; ++a) {
    std::vector<fs::path> paths;
    if (fs::is_directory(argv[a])) {
      for (const auto& entry : fs::directory_iterator(argv[a]))
        if (entry.is_regular_file()) paths.push_back(entry.path());
    } else if (fs::is_regular_file(argv[a])) {
      paths.emplace_back(argv[a]);
    } else {
      std::fprintf(stderr, "no such input: %s\n", argv[a]);
      return 1;
    }
    std::sort(paths.begin(), paths.end());
    for (const fs::path& p : paths) {
      std::printf("%s\n", p.c_str());
      std::fflush(stdout);
      std::ifstream f(p, std::ios::binary);
      replay(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}));
      ++files;
    }
  }
  std::printf("%zu inputs replayed\n", files);
  return files > 0 ? 0 : 1;
}
