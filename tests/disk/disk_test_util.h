// Helpers of the disk tests: a temporary directory with disk images made by the system's own
// tools (mkfs.fat, sfdisk, a real master boot record), a drive map over them, the test
// samples' patterns loaded, and the output routine's and the console's text captured.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "areas/areas.h"
#include "common/library_util.h"
#include "common/output_util.h"
#include "common/test_util.h"
#include "disk/disk.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "engine/identity.h"
#include "engine/matcher.h"
#include "engine/scan_buffer.h"
#include "engine/sector_io.h"
#include "findings/reports.h"
#include "host/host.h"
#include "vdc.h"
#include "virusdata/library.h"
#include "virusdata/stream.h"

namespace disktest {

inline const std::string kSamples = std::string(BRINT_SOURCE_DIR) + "/data/samples/";
inline const std::string kMbrBin = "/usr/lib/syslinux/mbr/mbr.bin";

// Signatures of the project's own test samples (data/samples.vds).
inline const std::vector<uint8_t> kBootSignature = {0x74, 0x65, 0x73, 0x74, 0x20, 0x73, 0x61, 0x6D,
                                                    0x70, 0x6C, 0x65, 0x3A, 0x20, 0x62, 0x6F, 0x6F,
                                                    0x74, 0x20, 0x73, 0x65, 0x63, 0x74, 0x6F, 0x72};
inline const std::string kMbrSampleText = "BRINT test sample: master boot record";
inline const std::vector<uint8_t> kMbrSignature = {0x73, 0x61, 0x6D, 0x70, 0x6C, 0x65, 0x3A, 0x20,
                                                   0x6D, 0x61, 0x73, 0x74, 0x65, 0x72, 0x20, 0x62,
                                                   0x6F, 0x6F, 0x74, 0x20, 0x72, 0x65, 0x63, 0x6F};

// The path of an image tool (PATH, then the system directories a non-root PATH may lack);
// empty when it is not installed.
inline std::string tool(const char* name) {
  std::string path;
  if (host::find_program(name, path)) return path;
  for (const char* d : {"/usr/sbin/", "/sbin/"})
    if (access((std::string(d) + name).c_str(), X_OK) == 0) return std::string(d) + name;
  return "";
}
inline bool have_tool(const char* name) { return !tool(name).empty(); }

inline int sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

inline std::vector<uint8_t> read_bytes(const std::string& path, uint64_t offset, size_t n) {
  std::vector<uint8_t> out(n);
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  out.resize(size_t(in.gcount()));
  return out;
}

inline void write_bytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(std::streamoff(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> text_bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Puts the signatures into an empty pattern table of an empty library and builds the index.
inline void load_patterns(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& patterns) {
  virusdata::reset_library();
  testutil::load_patterns(patterns);
}

// Loads identity records written in the data compiler's source language (patterns kept).
inline void load_identities(const std::string& source) { testutil::load_entries(source); }

// Standard input replaced by a pipe holding `keys` for the object's lifetime.
using Keys = testutil::ScriptedKeys;

struct DiskFixture : ::testing::Test {
  std::string dir;
  std::string out;  // everything the output routine wrote
  void SetUp() override {
    char tmpl[] = "/tmp/brint-disk-XXXXXX";
    dir = mkdtemp(tmpl);
    testutil::quiet_driver(out);
    host::reset_console_io();
    findings::reset_findings();
    disk::reset_disk_state();
    areas::reset_hooks();
    areas::reset_status();
    engine::reset_sector_io();
    driver::g_settings.key_wait = false;
    driver::g_settings.silent = false;
    load_patterns({{"Brint Test Boot", kBootSignature}, {"Brint Test MBR", kMbrSignature}});
    engine::g_scan.bytes.fill(0);
  }
  void TearDown() override {
    driver::reset_output();
    driver::g_sinks = driver::OutputSinks{};
    engine::reset_sector_io();
    areas::reset_hooks();
    virusdata::reset_library();
    engine::reset_matcher();
    unsetenv("BRINT_DRIVES");
    std::string message;
    host::init_drive_map(&message);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  void map(const std::string& text) {
    setenv("BRINT_DRIVES", text.c_str(), 1);
    std::string message;
    ASSERT_EQ(host::init_drive_map(&message), 0) << message;
    disk::reset_disk_state();
  }
  std::string path(const std::string& name) const { return dir + "/" + name; }

  // Runs `f` and returns what it wrote on the console.
  template <typename F>
  std::string console(F f) {
    return testutil::captured_stdout(f);
  }

  // A formatted 1.44 MB FAT12 floppy image; `sample` puts the test boot sector in it.
  std::string floppy(const std::string& name, bool sample) {
    const std::string p = path(name);
    if (sh(tool("mkfs.fat") + " -C -F 12 '" + p + "' 1440") != 0) return "";
    if (sample) write_bytes(p, 0, read_bytes(kSamples + "testboot.bin", 0, 512));
    return p;
  }

  // A 40 MiB hard disk with a real master boot record and FAT16 partitions: a primary one
  // at sector 2048 and two logical ones (sectors 24576 and 36864) in an extended partition.
  std::string hard_disk(const std::string& name) {
    const std::string p = path(name);
    if (sh("truncate -s 40M '" + p + "'") != 0) return "";
    const std::string script =
        "label: dos\nunit: sectors\nstart=2048, size=20480, type=6\nstart=22528, size=40960, type=5\n"
        "start=24576, size=10240, type=6\nstart=36864, size=10240, type=6\n";
    if (std::system(("printf '" + script + "' | " + tool("sfdisk") + " -q '" + p + "' >/dev/null 2>&1").c_str()) != 0) return "";
    for (const char* offset : {"2048", "24576", "36864"}) {
      const std::string blocks = std::string(offset) == "2048" ? "10240" : "5120";
      if (sh(tool("mkfs.fat") + " -F 16 -s 1 -n P" + std::string(offset) + " --offset " + offset + " '" + p + "' " + blocks) != 0)
        return "";
    }
    if (access(kMbrBin.c_str(), R_OK) == 0) write_bytes(p, 0, read_bytes(kMbrBin, 0, 440));
    return p;
  }
};

// Skips the test when the image tools are missing (they are installed by `make test-deps`).
#define REQUIRE_IMAGE_TOOLS()                                                         \
  do {                                                                                \
    if (!disktest::have_tool("mkfs.fat") || !disktest::have_tool("sfdisk"))           \
      GTEST_SKIP() << "mkfs.fat or sfdisk missing (make test-deps installs them)";    \
  } while (0)

}  // namespace disktest
