// Helpers of the virus data tests: stream makers, a captured output routine, a temporary
// directory, and a fresh library.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "virusdata/library.h"

namespace vdtest {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes name_bytes(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}
inline Bytes record(const Bytes& program) {
  return cat({{uint8_t(program.size() & 0xFF), uint8_t(program.size() >> 8)}, program});
}
// One entry: name, count, records.
inline Bytes entry(const std::string& name, const std::vector<Bytes>& programs) {
  Bytes out = name_bytes(name);
  out.push_back(uint8_t(programs.size()));
  for (const auto& p : programs) out = cat({out, record(p)});
  return out;
}
inline Bytes stream(std::initializer_list<Bytes> entries) {
  Bytes out = {0x00, 0x01};
  for (const auto& e : entries) out = cat({out, e});
  return out;
}

// Identity-file text of one block holding `data`.
inline std::string ide_text(const Bytes& data) {
  static const char* hex = "0123456789ABCDEF";
  std::string t;
  auto put = [&](uint8_t b) {
    t += hex[b >> 4];
    t += hex[b & 15];
    t += ' ';
  };
  const int c = int(data.size());
  put(uint8_t(c));
  uint8_t check = 0;
  for (int k = 0; k < c; ++k) {
    put(data[k] ^ virusdata::kDescrambleKey[(c - k) % 8]);
    check ^= data[k];
  }
  put(check);
  t += "\n";
  return t;
}

// Fresh globals, output captured from the output routine (super-silent console).
struct Fresh {
  std::string out;
  Fresh() {
    driver::reset_settings();
    driver::reset_state();
    driver::reset_output();
    driver::g_settings.super_silent = true;
    driver::g_sinks.report_write = [this](std::string_view s) {
      out.append(s);
      return 0;
    };
    virusdata::reset_pattern_state();
    virusdata::initialise_library();
  }
  ~Fresh() { driver::reset_output(); }
};

using TempDir = testutil::TempTree;
using testutil::InDirectory;

}  // namespace vdtest
