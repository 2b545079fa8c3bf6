// Helpers of the server tests: a temporary communications directory, request records,
// a one-virus library, and the output routine's text collected.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/library_util.h"
#include "common/output_util.h"
#include "common/test_util.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/identity.h"
#include "engine/matcher.h"
#include "engine/scan.h"
#include "findings/reports.h"
#include "server/server.h"
#include "vdc.h"
#include "virusdata/library.h"
#include "virusdata/stream.h"

namespace servertest {

using testutil::exists;
using testutil::read_file;
using testutil::write_bytes;
using testutil::write_file;
// Sets the last-write time of `path` to `seconds`.
inline void set_mtime(const std::string& path, time_t seconds) {
  struct timeval tv[2] = {{seconds, 0}, {seconds, 0}};
  utimes(path.c_str(), tv);
}

struct Request {
  int major = 1, minor = 2;
  int kind = 2;
  int code = server::kCodeCheckFile;
  std::string station = "STATION1";
  std::string name = "C:\\DOS\\FILE.EXE";
  int report_type = 0;
  std::string report_text;
};

// A sealed request record.
inline std::vector<uint8_t> record(const Request& q) {
  std::vector<uint8_t> r(server::kRequestMinTaken, 0);
  r[0] = 'W', r[1] = 'L', r[2] = uint8_t(q.major), r[3] = uint8_t(q.minor);
  for (size_t i = 0; i < q.station.size() && i < 64; ++i) r[8 + i] = uint8_t(q.station[i]);
  r[73] = uint8_t(q.kind), r[74] = uint8_t(q.kind >> 8);
  r[75] = uint8_t(q.code), r[76] = uint8_t(q.code >> 8);
  auto put = [&](size_t at, const std::string& t) {
    if (r.size() < at + t.size() + 1) r.resize(at + t.size() + 1, 0);
    for (size_t i = 0; i < t.size(); ++i) r[at + i] = uint8_t(t[i]);
  };
  if (q.code == server::kCodeClientReport) {
    r.resize(111, 0);
    r[109] = uint8_t(q.report_type), r[110] = uint8_t(q.report_type >> 8);
    put(111, q.report_text);
  } else if (q.code == server::kCodeCheckFile) {
    put(q.major == 1 && q.minor <= 1 ? 109 : 117, q.name);
  }
  if (r.size() > 400) r.resize(400);
  server::seal_request(r);
  return r;
}

// The first byte of a clean and of an infected source.
constexpr uint8_t kCleanByte = 0x90;
constexpr uint8_t kVirusByte = 0xC1;

struct ServerFixture : ::testing::Test {
  std::string dir, comms, infected, ini, res;
  std::string out;  // what the output routine wrote

  void SetUp() override {
    char tmpl[] = "/tmp/server_test_XXXXXX";
    dir = mkdtemp(tmpl);
    comms = dir + "/comms";
    infected = dir + "/infected";
    ini = dir + "/BRINTWL.INI";
    res = dir + "/BRINTWL.RES";
    mkdir(comms.c_str(), 0755);
    testutil::quiet_driver(out);
    driver::reset_state();
    findings::reset_findings();
    engine::reset_files();
    engine::reset_identity();
    server::reset_server();
    driver::g_settings.server_mode = true;
    driver::g_settings.server_name = "SERVER1";
    driver::g_settings.settings_file = ini;
    driver::g_settings.event_logging = false;
    driver::g_state.result_file = res;
    driver::g_state.comms_dir = comms;
    driver::g_state.infected_dir = infected;
    load_library();
    server::g_server.command_delay_ms = 0;
  }
  void TearDown() override {
    server::reset_server();
    driver::reset_output();
    engine::reset_files();
    std::system(("rm -rf " + dir).c_str());
  }
  static void load_library() {
    virusdata::reset_library();
    testutil::load_entries("virus \"Testvir One\"\nrecord\nbyte C1\nreport\nend\n");
    virusdata::g_library.pattern_table.assign(virusdata::kPatternTableSize, virusdata::PatternRecord{});
    engine::reset_matcher();
  }
  // Reads the settings file (if any) as at start and starts the loop.
  void start() {
    server::read_server_state();
    server::server_start();
  }
  void submit(const std::string& base, const Request& q, uint8_t first = kCleanByte) {
    if (q.code != server::kCodeClientReport) write_bytes(comms + "/" + base + ".SRC", {first, 0, 0, 0});
    write_bytes(comms + "/" + base + ".REQ", record(q));
  }
  std::string path(const std::string& base, const std::string& ext) const { return comms + "/" + base + ext; }
};

}  // namespace servertest
