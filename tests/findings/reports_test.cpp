// Virus reports: the exact line for each location kind, the event-log texts, counters, the
// server-request case, the compression warning and the compression check.
#include "findings/reports.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "common/output_util.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "host/host.h"
#include "host/syscalls.h"

namespace {

struct Event {
  int type;
  int category;
  uint32_t id;
  std::vector<std::string> strings;
};

class ReportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::quiet_driver(out);
    findings::reset_findings();
    findings::g_findings_hooks = findings::FindingsHooks{};
    findings::g_findings_hooks.log_event = [this](int type, int category, uint32_t id,
                                                  const std::vector<std::string>& strings) {
      events.push_back({type, category, id, strings});
    };
  }
  void TearDown() override {
    driver::reset_output();
    findings::g_findings_hooks = findings::FindingsHooks{};
    host::reset_syscalls();
  }
  std::string out;
  std::vector<Event> events;
};

TEST_F(ReportsTest, LineAndEventTextForEachLocationKind) {
  setenv("BRINT_DRIVES", "A=floppy:-;C=/", 1);
  std::string message;
  host::init_drive_map(&message);
  const struct {
    const char* what;
    findings::FindingLocation loc;
    bool pattern;
    const char* line;
    const char* location;
  } cases[] = {
      {"file", {findings::kLocFile, "C:\\A.COM", 0, 0, 0, 0, 255}, true, ">>> Pattern 'Jerusalem' found in file C:\\A.COM\n",
       "in C:\\A.COM"},
      {"physical drive 0",
       {findings::kLocPhysicalSector, "", 0x3F, 0x1A, 0x12C, 0, 100},
       false,
       ">>> Identity 'Jerusalem' found in abs sector 3f, drive 0 (floppy drive),\n    head 1a, cyl 12c\n",
       "on physical drive 0, head 26, cylinder 300, sector 63"},
      {"BIOS floppy number below 100",
       {findings::kLocPhysicalSector, "", 1, 0, 0, 0, 1},
       true,
       ">>> Pattern 'Jerusalem' found in abs sector 1, drive 1 (no drive),\n    head 0, cyl 0\n",
       "on physical drive 1, head 0, cylinder 0, sector 1"},
      {"logical drive", {findings::kLocLogicalSector, "", 0, 0, 0, 2, 255}, true,
       ">>> Pattern 'Jerusalem' found in sector 0 of drive C:\n", "on drive C:, sector 0"},
      {"floppy", {findings::kLocFloppySector, "", 0, 0, 0, 0, 255}, false,
       ">>> Identity 'Jerusalem' found in sector 0 of drive A:\n", "on drive A:, sector 0"},
      {"boot manager", {findings::kLocBootManager, "", 0, 0, 0, 0, 255}, true, ">>> Pattern 'Jerusalem' found in OS/2 Boot Manager\n",
       "in the OS/2 boot manager"},
  };
  for (const auto& c : cases) {
    out.clear();
    events.clear();
    driver::reset_counters();
    findings::g_findings.location = c.loc;
    if (c.pattern)
      findings::pattern_report("Jerusalem");
    else
      findings::identity_report("Jerusalem");
    EXPECT_EQ(out, c.line) << c.what;
    ASSERT_EQ(events.size(), 1u) << c.what;
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].category, 1);
    EXPECT_EQ(events[0].id, 0xC0000004u);
    EXPECT_EQ(events[0].strings,
              (std::vector<std::string>{c.pattern ? "pattern" : "identity", "Jerusalem", c.location}))
        << c.what;
    EXPECT_EQ(driver::g_counters.pattern_findings, c.pattern ? 1 : 0) << c.what;
    EXPECT_EQ(driver::g_counters.identity_findings, c.pattern ? 0 : 1) << c.what;
  }
  EXPECT_EQ(findings::location_text(4), "in an unknown location. Please report this problem to Corvel");
  unsetenv("BRINT_DRIVES");
  host::init_drive_map(&message);
}

TEST_F(ReportsTest, NoEventWithEventLoggingOff) {
  driver::g_settings.event_logging = false;
  findings::set_file_location("C:\\B.EXE");
  findings::identity_report("Cascade");
  EXPECT_EQ(out, ">>> Identity 'Cascade' found in file C:\\B.EXE\n");
  EXPECT_TRUE(events.empty());
}

TEST_F(ReportsTest, ServerRequestCountsAndKeepsTheNameOnly) {
  findings::g_findings.location.kind = findings::kLocServerRequest;
  findings::pattern_report("Stoned");
  findings::identity_report("Cascade");
  EXPECT_EQ(out, "");
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(driver::g_counters.pattern_findings, 1);
  EXPECT_EQ(driver::g_counters.identity_findings, 1);
  EXPECT_EQ(findings::g_findings.last_virus_name, "Cascade");
}

TEST_F(ReportsTest, PauseOnDiscoveryWithNoKeyWaitGoesOn) {
  driver::g_settings.pause_on_discovery = true;
  driver::g_settings.key_wait = false;
  driver::g_settings.no_interrupting = false;
  findings::set_file_location("C:\\A.COM");
  findings::pattern_report("Jerusalem");
  findings::pattern_report("Jerusalem");
  EXPECT_EQ(driver::g_counters.pattern_findings, 2);
}

TEST_F(ReportsTest, LongNamesAreCutNotOverrun) {
  const std::string long_name(1000, 'X');
  findings::set_file_location(long_name);
  findings::pattern_report("Jerusalem");
  EXPECT_LE(findings::g_findings.location.file_name.size(), host::kMaxPath);
  EXPECT_LE(findings::location_text(findings::kLocFile).size(), findings::kLocationTextMax);
  findings::g_findings.location.kind = findings::kLocServerRequest;
  findings::identity_report(long_name);
  EXPECT_LE(findings::g_findings.last_virus_name.size(), findings::kVirusNameMax);
}

TEST_F(ReportsTest, CompressionWarningVariantsAndCount) {
  findings::compression_warning("C:\\P.EXE", 8, 1);
  findings::compression_warning("C:\\Q.ZIP", 6, 2);
  findings::compression_warning("C:\\R.EXE", 20, 2);
  EXPECT_EQ(out,
            "Warning! File C:\\P.EXE is compressed (PKLite) and only the outside has been brinted.\n"
            "Warning! File C:\\Q.ZIP is compressed (ZIP).\n"
            "Warning! File C:\\R.EXE is compressed (Unknown).\n");
  EXPECT_EQ(driver::g_counters.compressed_files, 3);
}

int open_denied(const char*, int, unsigned) {
  errno = EACCES;
  return -1;
}

TEST_F(ReportsTest, CompressionCheckResults) {
  char tmpl[] = "/tmp/reports_test_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string name = dir + "/P.EXE";
  std::ofstream(name) << "MZ";

  // Not compressed: nothing written, 0.
  EXPECT_EQ(findings::compression_check(name), 0);
  EXPECT_EQ(out, "");

  // Detected (an archive by the name the search found, whatever the directories are
  // called): the warning, 0.
  ASSERT_EQ(mkdir((dir + "/X.ZIP").c_str(), 0700), 0);
  std::ofstream(dir + "/X.ZIP/A.LZH") << "plain";
  EXPECT_EQ(findings::compression_check(dir + "/X.ZIP/A.LZH"), 0);
  EXPECT_EQ(out, "Warning! File " + dir + "/X.ZIP/A.LZH is compressed (LZH).\n");
  EXPECT_EQ(driver::g_counters.compressed_files, 1);
  out.clear();
  std::ofstream(dir + "/X.ZIP/A.TXT") << "plain";
  EXPECT_EQ(findings::compression_check(dir + "/X.ZIP/A.TXT"), 0);
  EXPECT_EQ(out, "");

  // Unreadable: the read message, -2.
  host::g_syscalls.read = [](int, void*, size_t) -> long {
    errno = EIO;
    return -1;
  };
  EXPECT_EQ(findings::compression_check(name), -2);
  host::reset_syscalls();
  EXPECT_EQ(out, "Could not read file " + name + "\n");
  out.clear();

  // Held open without sharing by someone else: sharing violation.
  host::File other;
  ASSERT_EQ(host::open_file(name, host::kAccessRead, host::kShareNone, host::kOpenExisting, other), 0);
  EXPECT_EQ(findings::compression_check(name), -2);
  EXPECT_EQ(out, "NT error code 32 (sharing violation) - Could not open file " + name + "\n");
  host::close_file(other);

  out.clear();
  host::g_syscalls.open = open_denied;
  EXPECT_EQ(findings::compression_check(name), -2);
  host::reset_syscalls();
  EXPECT_EQ(out, "NT error code 5 (access denied) - Could not open file " + name + "\n");

  out.clear();
  EXPECT_EQ(findings::compression_check(dir + "/MISSING.EXE"), -2);
  EXPECT_EQ(out, "NT error code 2 - Could not open file " + dir + "/MISSING.EXE\n");
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
