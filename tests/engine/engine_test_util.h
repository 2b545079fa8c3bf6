// Helpers of the engine tests: assembling identity programs with the data compiler, loading
// them into the library, capturing what the output routine writes, and resetting globals.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/library_util.h"
#include "common/output_util.h"
#include "common/test_util.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/identity.h"
#include "engine/scan_buffer.h"
#include "engine/sector_io.h"
#include "findings/reports.h"
#include "vdc.h"
#include "virusdata/library.h"
#include "virusdata/stream.h"

namespace enginetest {

using testutil::assemble_issue;

// The program bytes of one record whose lines are `body`.
inline std::vector<uint8_t> assemble(const std::string& body) {
  vdc::Issue issue = assemble_issue("virus \"Test\"\nrecord\n" + body + "\nend\n");
  if (issue.entries.empty() || issue.entries[0].records.empty()) return {};
  return issue.entries[0].records[0].program;
}

// Loads the entries of `source` into an empty library.
inline void load_library(const std::string& source) {
  virusdata::reset_library();
  testutil::load_entries(source);
}

using testutil::hex;

// Puts `bytes` at index 0 of the scan buffer (the rest zero).
inline void fill_scan(const std::vector<uint8_t>& bytes) {
  engine::g_scan.bytes.fill(0);
  std::copy(bytes.begin(), bytes.begin() + std::min(bytes.size(), engine::g_scan.bytes.size()),
            engine::g_scan.bytes.begin());
}

// Resets every global the engine reads and collects the output routine's text.
struct EngineFixture : ::testing::Test {
  std::string out;  // everything the output routine wrote
  void SetUp() override {
    testutil::quiet_driver(out);
    engine::reset_files();
    engine::reset_identity();
    engine::reset_sector_io();
    findings::reset_findings();
    virusdata::reset_library();
    fill_scan({});
  }
  void TearDown() override {
    driver::reset_output();
    driver::g_sinks = driver::OutputSinks{};
    engine::reset_files();
    engine::reset_sector_io();
  }
};

}  // namespace enginetest
