// The output routine, the summary of a pass, the message file, the day file and the stop
// routine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "driver/run.h"

using driver::g_counters;
using driver::g_output;
using driver::g_settings;
using driver::g_state;

namespace {

void fresh() {
  driver::reset_settings();
  driver::reset_state();
  driver::reset_counters();
  driver::reset_output();
  driver::reset_console();
  g_settings.bell = false;  // no BEL on the test's terminal
  g_settings.message_file = "/nonexistent/BRINT.MSG";
}

std::string temp_path(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::to_string(getpid()) + "-" + name)).string();
}

}  // namespace

TEST(Output, SuperSilentKeepsOnlyImportantOutputOnTheConsoleButReportsAll) {
  fresh();
  std::string report;
  driver::g_sinks.report_write = [&](std::string_view t) {
    report += t;
    return 0;
  };
  g_settings.super_silent = true;
  testing::internal::CaptureStdout();
  driver::outputf(false, "progress %d\n", 1);
  driver::outputf(true, "finding %s\n", "X");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "finding X\n");
  EXPECT_EQ(report, "progress 1\nfinding X\n");
}

TEST(Output, AlertCollectionGathersInsteadOfPrinting) {
  fresh();
  std::string report;
  driver::g_sinks.report_write = [&](std::string_view t) {
    report += t;
    return 0;
  };
  g_output.alert_collecting = true;
  testing::internal::CaptureStdout();
  driver::outputf(true, "1 virus\n");
  driver::end_alert_collection();
  driver::outputf(true, "after\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "after\n");
  EXPECT_EQ(g_output.alert_text, "1 virus\n");
  EXPECT_EQ(report, "1 virus\nafter\n");
}

TEST(Output, BufferAndAlertTextAreCutAtTheirLimits) {
  fresh();
  const std::string long_text(500, 'x');
  driver::out_set("%s", long_text.c_str());
  EXPECT_EQ(g_output.buffer.size(), driver::kOutputBufferSize - 1);
  driver::out_set("abc");
  driver::out_append("%s", long_text.c_str());
  EXPECT_EQ(g_output.buffer.size(), driver::kOutputBufferSize - 1);
  EXPECT_EQ(g_output.buffer.substr(0, 4), "abcx");
  driver::out_append("more");
  EXPECT_EQ(g_output.buffer.size(), driver::kOutputBufferSize - 1);

  g_output.alert_collecting = true;
  for (int i = 0; i < 20; ++i) driver::outputf(true, "%s", long_text.c_str());
  EXPECT_EQ(g_output.alert_text.size(), driver::kAlertTextSize - 1);
}

TEST(Output, FailedReportWriteNamesTheFileAndStopsWithTwo) {
  EXPECT_EXIT(
      {
        fresh();
        driver::g_sinks.report_write = [](std::string_view) { return 112; };
        driver::g_sinks.report_name = [] { return std::string("REPORT.TXT"); };
        driver::outputf(true, "x\n");
      },
      testing::ExitedWithCode(2), "");
}

TEST(Stop, RunsCleanUpOnceAndANestedStopEndsAtOnce) {
  EXPECT_EXIT(
      {
        fresh();
        driver::g_stop_hooks.report_close = [] { driver::stop(5); };  // a failing clean-up step
        driver::stop(3);
      },
      testing::ExitedWithCode(5), "");
  EXPECT_EXIT(
      {
        fresh();
        g_settings.event_logging = true;
        driver::g_stop_hooks.end_event = [](int code) { std::printf("end event %d\n", code); };
        driver::stop(1);
      },
      testing::ExitedWithCode(1), "");
}

TEST(Summary, TextsAndExitCodes) {
  const struct {
    const char* what;
    driver::Counters counters;
    int64_t elapsed;
    bool remove;
    std::string text;
    int exit_code;
  } cases[] = {
      {"nothing checked in no time", {}, 0, false,
       "0 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\nNo viruses were discovered.\n", 0},
      {"tenths are truncated", {.files_checked = 1, .bytes_checked = 1023}, 61, false,
       "1 file (0.9 Kbytes) brinted in 1 minute and 1 second\nat 16 bytes/second.\nNo viruses were discovered.\n", 0},
      {"a half kilobyte", {.files_checked = 2, .bytes_checked = 1536}, 120, false,
       "2 files (1.5 Kbytes) brinted in 2 minutes and 0 seconds\nat 12 bytes/second.\nNo viruses were discovered.\n", 0},
      {"beyond 32 bits", {.files_checked = 3, .bytes_checked = 3LL << 30}, 2, false,
       "3 files (3145728.0 Kbytes) brinted in 0 minutes and 2 seconds\nat 1610612736 bytes/second.\n"
       "No viruses were discovered.\n",
       0},
      {"errors alone", {.errors = 1}, 1, false,
       "0 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\n"
       "1 error was encountered during brinting.\nNo viruses were discovered.\n",
       2},
      {"one virus in ten files", {.files_checked = 10, .infected_files = 1, .pattern_findings = 1, .errors = 2}, 1,
       false,
       "10 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\n"
       "2 errors were encountered during brinting.\n"
       "1 virus pattern/identity was discovered.\n1 file out of 10 was infected.\n"
       "\nPlease send a sample of the virus(es) to Corvel for analysis:\n"
       "Corvel Software, Virus Research, P.O. Box 277, 2000 Corvel Park\n"
       "For help call Corvel Technical Support, or mail support@corvel.example\n",
       3},
      {"identities and removals",
       {.files_checked = 4, .infected_files = 2, .identity_findings = 3, .files_removed = 2}, 1, true,
       "4 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\n"
       "3 virus patterns/identities were discovered.\n2 files out of 4 were infected.\n"
       "2 files have been removed and 0 boot sectors have been disabled.\n"
       "All removals have been completed successfully.\n"
       "For help call Corvel Technical Support, or mail support@corvel.example\n",
       3},
      {"removals that failed",
       {.infected_files = 1, .identity_findings = 1, .files_not_removed = 1, .boot_not_disabled = 2}, 1, true,
       "0 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\n"
       "1 virus pattern/identity was discovered.\n1 file out of 0 was infected.\n"
       "0 files have been removed and 0 boot sectors have been disabled.\n"
       "\n1 file could not be removed.\n2 boot sectors could not be disabled.\n"
       "For help call Corvel Technical Support, or mail support@corvel.example\n",
       3},
      {"compressed files", {.files_checked = 2, .compressed_files = 2}, 1, false,
       "2 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\nNo viruses were discovered.\n"
       "\nWarning! 2 compressed files could not be checked.\n",
       2},
  };
  for (const auto& c : cases) {
    fresh();
    g_settings.key_wait = false;
    g_settings.remove_files = c.remove;
    g_counters = c.counters;
    testing::internal::CaptureStdout();
    driver::print_summary(c.elapsed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text) << c.what;
    EXPECT_EQ(g_state.exit_code, c.exit_code) << c.what;
  }
}

TEST(Summary, MessageFileReplacesTheContactLines) {
  fresh();
  const std::string path = temp_path("BRINT.MSG");
  const std::string long_line(170, 'L');
  std::ofstream(path, std::ios::binary) << "Call the help desk\r\n\r\n" << long_line << "\nlast\x1Ahidden\n";
  std::vector<std::string> lines;
  ASSERT_TRUE(driver::read_message_file(path, lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"Call the help desk", std::string(163, 'L'), "LLLLLLL", "last"}));

  g_settings.message_file = path;
  g_counters = {.files_checked = 1, .infected_files = 1, .pattern_findings = 1};
  testing::internal::CaptureStdout();
  driver::print_summary(1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("was infected.\nCall the help desk\n" + std::string(163, 'L') + "\nLLLLLLL\nlast\n"),
            std::string::npos);
  EXPECT_EQ(out.find("Corvel"), std::string::npos);
  std::remove(path.c_str());
  EXPECT_FALSE(driver::read_message_file(path, lines));
}

TEST(DayFile, HoldsTodaysSixCharacters) {
  fresh();
  const std::string path = temp_path("BRINT.DAY");
  std::remove(path.c_str());
  g_state.start_timestamp = "26121000345204??????";
  EXPECT_FALSE(driver::day_file_says_done(path));  // no file
  driver::write_day_file(path);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "261210");
  EXPECT_TRUE(driver::day_file_says_done(path));
  g_state.start_timestamp = "26121100345205??????";
  EXPECT_FALSE(driver::day_file_says_done(path));  // yesterday's file
  std::ofstream(path, std::ios::binary) << "2612";
  EXPECT_FALSE(driver::day_file_says_done(path));  // too short
  std::remove(path.c_str());
}
