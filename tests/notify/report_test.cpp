// The report file and the shared open with retry.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cerrno>

#include "helpers.h"

using namespace testutil;

namespace {

struct ReportTest : ::testing::Test {
  TempDir dir;
  void SetUp() override {
    reset_all();
    driver::g_state.start_timestamp = "261210093005" "04??????";
    driver::g_state.start_year = 2026;
    driver::g_state.tokens = {"ntbrint"};
  }
  void TearDown() override { reset_all(); }
  void report_to(const std::string& name, bool append = false) {
    driver::g_settings.report_on = true;
    driver::g_settings.report_file = dir.file(name);
    driver::g_settings.append = append;
  }
};

// ---- shared open with retry: conflicts injected through the flock slot.

int g_conflicts_left = 0;   // lock attempts still to refuse
int g_lock_attempts = 0;    // exclusive lock attempts seen
int g_sleeps = 0;           // pauses taken
unsigned g_slept_ms = 0;

int conflicting_flock(int fd, int op) {
  if ((op & LOCK_EX) && (op & LOCK_NB)) {
    ++g_lock_attempts;
    if (g_conflicts_left > 0) {
      --g_conflicts_left;
      errno = EWOULDBLOCK;
      return -1;
    }
  }
  return ::flock(fd, op);
}
void counting_sleep(unsigned ms) {
  ++g_sleeps;
  g_slept_ms += ms;
}

TEST_F(ReportTest, SharedOpenRetriesConflictsUpToTheLimit) {
  const struct {
    const char* what;
    int conflicts;
    int result;
    int attempts;
  } cases[] = {
      {"no conflict", 0, 0, 1},
      {"one short of the limit", notify::kOpenAttempts - 1, 0, notify::kOpenAttempts},
      {"at the limit", notify::kOpenAttempts, host::kErrSharingViolation, notify::kOpenAttempts},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    host::g_syscalls.flock = conflicting_flock;
    host::g_syscalls.sleep_ms = counting_sleep;
    g_conflicts_left = c.conflicts;
    g_lock_attempts = g_sleeps = 0;
    g_slept_ms = 0;
    host::File f;
    EXPECT_EQ(notify::shared_open(dir.file("held.txt"), notify::StreamMode::kWrite, host::kShareNone, f), c.result);
    EXPECT_EQ(f.is_open(), c.result == 0);
    EXPECT_EQ(g_lock_attempts, c.attempts);
    EXPECT_EQ(g_sleeps, c.attempts - 1);
    EXPECT_EQ(g_slept_ms, unsigned(c.attempts - 1) * notify::kOpenRetryMs);
    host::reset_syscalls();
  }
}

TEST_F(ReportTest, SharedOpenDoesNotRetryOtherFailures) {
  host::g_syscalls.sleep_ms = counting_sleep;
  g_sleeps = 0;
  host::File f;
  EXPECT_EQ(notify::shared_open(dir.file("no/such/dir/r.txt"), notify::StreamMode::kWrite, host::kShareNone, f),
            host::kErrPathNotFound);
  EXPECT_EQ(notify::shared_open(dir.file("missing.txt"), notify::StreamMode::kRead, host::kShareRead, f),
            host::kErrFileNotFound);
  EXPECT_EQ(g_sleeps, 0);
}

TEST_F(ReportTest, WriteModeNeverTruncatesAFileSomeoneHolds) {
  write_file(dir.file("r.txt"), "precious");
  host::File holder;
  ASSERT_EQ(host::open_file(dir.file("r.txt"), host::kAccessRead, host::kShareNone, host::kOpenExisting, holder), 0);
  host::g_syscalls.sleep_ms = counting_sleep;
  host::File f;
  EXPECT_EQ(notify::shared_open(dir.file("r.txt"), notify::StreamMode::kWrite, host::kShareNone, f),
            host::kErrSharingViolation);
  EXPECT_EQ(read_file(dir.file("r.txt")), "precious");
}

// ---- header

TEST_F(ReportTest, HeaderLinesAndQualifiersLine) {
  driver::g_state.tokens = {"ntbrint", "-P=R.TXT", "C:\\MY DIR"};
  std::string h = notify::report_header();
  EXPECT_EQ(h.find("BRINT virus detection utility\nVersion 2.77\n"), 0u) << h;
  EXPECT_NE(h.find("This issue includes viruses known to Corvel up to 01 September 1995\n\n"), std::string::npos);
  EXPECT_NE(h.find("System time 09:30:05, System date 10 December 2026\n"), std::string::npos) << h;
  EXPECT_EQ(h.find("1926"), std::string::npos);
  EXPECT_NE(h.find("\nCommand line qualifiers are: -P=R.TXT C:\\MY DIR \n\n"), std::string::npos) << h;

  driver::g_state.tokens = {"ntbrint"};
  EXPECT_EQ(notify::report_header().find("qualifiers"), std::string::npos);
}

TEST_F(ReportTest, MailPasswordIsMaskedInTheQualifiersLine) {
  const struct {
    const char* arg;
    const char* shown;
  } cases[] = {
      {"-MI=OPS,secret", "-MI=OPS,*"},
      {"-mi=,,ops,,pw", "-mi=ops,*"},
      {"-MI=USER", "-MI=USER"},
      {"-MI=USER,", "-MI=USER,"},
      {"-MI", "-MI"},
      {"-MIX=A,B", "-MIX=A,B"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(notify::qualifiers_line({"ntbrint", c.arg}),
              std::string("Command line qualifiers are: ") + c.shown + " \n\n")
        << c.arg;
  }
}

// ---- the report file through the output routine

TEST_F(ReportTest, ReportHasHeaderEveryOutputAndClosingInTextMode) {
  report_to("R.TXT");
  driver::g_settings.super_silent = true;
  driver::g_state.tokens = {"ntbrint", "-P=R.TXT", "-SS"};
  notify::setup_report();
  capture_stdout([] {
    driver::outputf(false, "Quick Brinting 1 area for 3 viruses.\n");
    driver::outputf(true, "important\n");
    driver::g_output.alert_collecting = true;
    driver::outputf(true, "collected\n");
    driver::g_output.alert_collecting = false;
  });
  notify::close_report_file();
  EXPECT_FALSE(notify::g_notify.report.file.is_open());
  std::string expected =
      "BRINT virus detection utility\r\nVersion 2.77\r\n";
  std::string got = read_file(dir.file("R.TXT"));
  EXPECT_EQ(got.find(expected), 0u) << got;
  EXPECT_NE(got.find("Command line qualifiers are: -P=R.TXT -SS \r\n\r\n"
                     "Quick Brinting 1 area for 3 viruses.\r\nimportant\r\ncollected\r\nEnd of BRINT.\r\n\f"),
            std::string::npos)
      << got;
  EXPECT_EQ(got.substr(got.size() - 3), "\r\n\f") << "the form feed ends the file";
}

TEST_F(ReportTest, SecondRunReplacesOrAppends) {
  for (bool append : {false, true}) {
    SCOPED_TRACE(append ? "-A" : "no -A");
    write_file(dir.file("R.TXT"), "first run\r\nEnd of BRINT.\r\n\f");
    report_to("R.TXT", append);
    notify::setup_report();
    notify::close_report_file();
    std::string got = read_file(dir.file("R.TXT"));
    if (append) {
      EXPECT_EQ(got.find("first run\r\nEnd of BRINT.\r\n\fBRINT virus detection utility\r\n"), 0u) << got;
    } else {
      EXPECT_EQ(got.find("BRINT virus detection utility\r\n"), 0u) << got;
      EXPECT_EQ(got.find("first run"), std::string::npos);
    }
    reset_all();
    driver::g_state.start_timestamp = "261210093005" "04??????";
  }
}

TEST_F(ReportTest, NoReportWithoutReportingOrName) {
  notify::setup_report();
  capture_stdout([] { driver::outputf(true, "x\n"); });
  notify::close_report_file();
  EXPECT_FALSE(exists(dir.file("PRN")));
  EXPECT_FALSE(notify::g_notify.report.file.is_open());
}

TEST_F(ReportTest, ServerModeFreesTheFileBetweenOutputs) {
  report_to("LOG.TXT", true);
  driver::g_settings.server_mode = true;
  notify::setup_report();
  EXPECT_FALSE(notify::g_notify.report.file.is_open());
  capture_stdout([this] {
    driver::outputf(false, "one\n");
    // Another process could take the file now: an exclusive open succeeds.
    host::File other;
    EXPECT_EQ(host::open_file(dir.file("LOG.TXT"), host::kAccessWrite, host::kShareNone, host::kOpenExisting, other), 0);
    host::close_file(other);
    driver::outputf(false, "two\n");
  });
  EXPECT_FALSE(notify::g_notify.report.file.is_open());
  notify::close_report_file();
  std::string got = read_file(dir.file("LOG.TXT"));
  EXPECT_NE(got.find("one\r\ntwo\r\nEnd of BRINT.\r\n\f"), std::string::npos) << got;
}

TEST_F(ReportTest, ServerModeWithoutReportWritesNothingUntilANameIsSet) {
  driver::g_settings.server_mode = true;
  driver::g_settings.report_file.clear();
  notify::setup_report();
  capture_stdout([] { driver::outputf(false, "unlogged\n"); });
  driver::g_settings.report_file = dir.file("LATER.TXT");  // a settings reread named a log file
  capture_stdout([] { driver::outputf(false, "logged\n"); });
  EXPECT_EQ(read_file(dir.file("LATER.TXT")), "logged\r\n");
}

TEST_F(ReportTest, FileHeldByAnotherProcessStopsWithCode2AfterRetrying) {
  report_to("HELD.TXT");
  write_file(dir.file("HELD.TXT"), "theirs");
  host::File holder;
  ASSERT_EQ(host::open_file(dir.file("HELD.TXT"), host::kAccessRead, host::kShareNone, host::kOpenExisting, holder), 0);
  std::string name = dir.file("HELD.TXT");
  ChildResult r = run_child([] {
    host::g_syscalls.sleep_ms = counting_sleep;
    g_sleeps = 0;
    driver::g_stop_hooks.identity_clear = [] { std::printf("[sleeps %d]", g_sleeps); };
    notify::setup_report();
  });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Could not open file " + name + "\n[sleeps 99]");
  EXPECT_EQ(read_file(name), "theirs");
}

TEST_F(ReportTest, WriteFailureStopsWithCode2) {
  report_to("R.TXT");
  std::string name = dir.file("R.TXT");
  ChildResult r = run_child([] {
    notify::setup_report();
    host::g_syscalls.write = [](int, const void*, size_t) -> long {
      errno = ENOSPC;
      return -1;
    };
    driver::outputf(false, "line\n");
  });
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("line\nCould not write to file " + name + "\n"), std::string::npos) << r.out;
}

// ---- the printer

TEST_F(ReportTest, PrinterWithoutPrintSystemCannotBeOpened) {
  EnvVar path("PATH", dir.path);  // no lp here
  driver::g_settings.report_on = true;  // -P alone: "PRN"
  ChildResult r = run_child([] { notify::setup_report(); });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Could not open file PRN\n");
}

TEST_F(ReportTest, PrinterReportGoesToThePrintQueueWhenClosed) {
  write_script(dir.file("lp"), "[ \"$1\" = -- ] && shift\ncat \"$1\" > \"" + dir.file("printed") + "\"\n");
  EnvVar path("PATH", dir.path + ":/usr/bin:/bin");
  EnvVar tmp("TMP", dir.path);
  driver::g_settings.report_on = true;
  notify::setup_report();
  std::string spool = notify::g_notify.report.spool_name;
  capture_stdout([] { driver::outputf(false, "to paper\n"); });
  EXPECT_FALSE(exists(dir.file("printed")));
  notify::close_report_file();
  std::string printed = read_file(dir.file("printed"));
  EXPECT_EQ(printed.find("BRINT virus detection utility\r\n"), 0u);
  EXPECT_NE(printed.find("to paper\r\nEnd of BRINT.\r\n\f"), std::string::npos) << printed;
  EXPECT_FALSE(exists(spool)) << "the spool file is removed after printing";
}

}  // namespace
