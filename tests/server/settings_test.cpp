// The settings file, the result file, the pause bounds and the status cycle.
#include "server_test_util.h"

namespace {

using servertest::ServerFixture;
using servertest::read_file;
using servertest::write_file;

class SettingsTest : public ServerFixture {};

TEST_F(SettingsTest, ValuesConvertByTheirType) {
  const struct {
    const char* what;
    std::string line;
    int32_t server::ServerState::*field;
    int32_t expected;
  } cases[] = {
      {"choice extended by letters", "ExpandCompressedFiles=ONWARDS", &server::ServerState::expand_compressed, 1},
      {"choice beginning with O, not OF", "ExpandCompressedFiles=OX", &server::ServerState::expand_compressed, 1},
      {"choice short by one letter", "BrintLevel=QUIC", &server::ServerState::brint_level, server::kQuick},
      {"choice too short", "BrintLevel=Q", &server::ServerState::brint_level, server::kFull},
      {"choice with no match", "RemovalMode=MOVE", &server::ServerState::removal_mode, server::kNoAction},
      {"choice, any case", "removalmode=delete", &server::ServerState::removal_mode, server::kDelete},
      {"blank before the equals sign", "MinTime =5", &server::ServerState::min_time, 1000},
      {"blank after it belongs to the value", "MinTime= 5", &server::ServerState::min_time, 5},
      {"integer that does not parse", "MaxTime=fast", &server::ServerState::max_time, 3000},
      {"on/off with comment and blank", "WardenlineServerActive=off ; not today", &server::ServerState::active, 0},
      {"on/off that is neither", "WardenlineServerActive=maybe", &server::ServerState::active, 1},
      {"key of another length", "QuitBRINTX=ON", &server::ServerState::quit, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server::reset_server();
    driver::g_settings.full_check = true;  // BrintLevel defaults to FULL here
    write_file(ini, c.line + "\r\n");
    server::read_server_state();
    EXPECT_EQ(server::g_server.*c.field, c.expected);
  }
}

TEST_F(SettingsTest, SectionsSelectTheServer) {
  write_file(ini,
             "ReportingLevel=4\n"          // before any section: every server
             "[SERVER1X]\nMinTime=111\n"   // not SERVER1
             "[server1]\nMaxTime=2222\n"   // ours, any case
             "[OTHER]\nReportingLevel=1\n"
             "\x1a" "MaxTime=9\n");        // Ctrl-Z ends the file
  server::read_server_state();
  EXPECT_EQ(server::g_server.reporting_level, 4);
  EXPECT_EQ(server::g_server.min_time, 1000);
  EXPECT_EQ(server::g_server.max_time, 2222);
}

TEST_F(SettingsTest, DirectoriesAreReadOnlyAtStartAndDeletionKeepsTheSettings) {
  write_file(ini, "CommsDirectory=/first\nMinTime=200\n");
  server::read_server_state();
  EXPECT_EQ(server::g_server.comms_dir, "/first");
  EXPECT_NE(server::g_server.time_date_of_ini, 0);
  write_file(ini, "CommsDirectory=/second\nMinTime=300\nPingServer=hello\n");
  servertest::set_mtime(ini, time(nullptr) + 120);  // a change the fingerprint sees
  server::reload_settings_if_changed(true);
  EXPECT_EQ(server::g_server.comms_dir, "/first");
  EXPECT_EQ(server::g_server.min_time, 300);
  EXPECT_EQ(server::g_server.ping, "hello");
  unlink(ini.c_str());
  server::reload_settings_if_changed(true);
  EXPECT_EQ(server::g_server.time_date_of_ini, 0);
  EXPECT_EQ(server::g_server.min_time, 300);
}

TEST_F(SettingsTest, LongLinesAreCutAndTheRestReadAsTheNextLine) {
  write_file(ini, "PingServer=" + std::string(255 - 11, 'x') + "MinTime=77\n");
  server::read_server_state();
  EXPECT_EQ(server::g_server.ping, std::string(244, 'x'));
  EXPECT_EQ(server::g_server.min_time, 77);
}

TEST_F(SettingsTest, ResultFileHoldsEveryKeyAndIsRewrittenOnlyOnChange) {
  write_file(ini, "PingServer=abc\n");
  start();
  const std::string first = read_file(res);
  EXPECT_NE(first.find("ServerName=SERVER1\r\nOperatingSystem=NT\r\nBrintVersion=2.77\r\nBrintLevel=QUICK\r\n"
                       "BrintDateProduced=950901\r\nTimeDateOfIniFile="),
            std::string::npos);
  EXPECT_NE(first.find("\r\nNumberFilesBrinted=0\r\n"), std::string::npos);
  EXPECT_NE(first.find("\r\nNodeServerWithCommsDirectory=" + comms + "\r\n"), std::string::npos);
  EXPECT_EQ(first.substr(first.size() - 12), "\r\nPong=abc\r\n");
  EXPECT_EQ(first.find('['), std::string::npos);
  // Unchanged values: the file is not written again (a marker we put in stays).
  write_file(res, "untouched");
  for (int i = 0; i < 3; ++i) server::status_cycle();
  EXPECT_EQ(read_file(res), "untouched");
  driver::g_counters.files_checked = 5000000000;  // 64-bit counters print whole
  server::status_cycle();
  EXPECT_NE(read_file(res).find("NumberFilesBrinted=5000000000\r\n"), std::string::npos);
}

TEST_F(SettingsTest, TimeDateOfIniFileIsSigned) {
  write_file(ini, "\n");
  // 23:59:58 gives a DOS time with the top bit set: the value is negative.
  struct tm t {};
  t.tm_year = 2026 - 1900, t.tm_mon = 11, t.tm_mday = 9, t.tm_hour = 23, t.tm_min = 59, t.tm_sec = 58;
  t.tm_isdst = -1;
  servertest::set_mtime(ini, mktime(&t));
  server::read_server_state();
  EXPECT_LT(server::g_server.time_date_of_ini, 0);
  start();
  EXPECT_NE(read_file(res).find("TimeDateOfIniFile=" + std::to_string(server::g_server.time_date_of_ini) + "\r\n"),
            std::string::npos);
}

TEST_F(SettingsTest, PauseBoundsAreClamped) {
  const struct { int32_t lo, hi, want_lo, want_hi, polls; } cases[] = {
      {4000, 4020, 3970, 4020, 1}, {0, 0, 0, 50, 200}, {-5, 10000, 0, 5000, 2},
      {5000, 5000, 4950, 5000, 1}, {1000, 3000, 1000, 3000, 2},
  };
  for (const auto& c : cases) {
    server::g_server.min_time = c.lo, server::g_server.max_time = c.hi;
    server::clamp_pause_bounds();
    EXPECT_EQ(server::g_server.min_time, c.want_lo) << c.lo << "," << c.hi;
    EXPECT_EQ(server::g_server.max_time, c.want_hi) << c.lo << "," << c.hi;
    EXPECT_EQ(server::poll_count(), c.polls) << c.lo << "," << c.hi;
  }
}

TEST_F(SettingsTest, PausesAreTheSameSequenceInEveryRunAndStayWithinBounds) {
  std::vector<int> first, second;
  for (int i = 0; i < 20; ++i) first.push_back(server::pause_length());
  server::reset_server();
  for (int i = 0; i < 20; ++i) second.push_back(server::pause_length());
  EXPECT_EQ(first, second);
  for (int p : first) {
    EXPECT_GE(p, 1000);
    EXPECT_LT(p, 3000);
  }
  EXPECT_NE(first[0], first[1]);
}

TEST_F(SettingsTest, ZeroCountersZeroesOnceWhenSwitchedOn) {
  start();
  driver::g_counters.files_checked = 7, driver::g_counters.errors = 2;
  server::g_server.last_virus_name = "X";
  server::g_server.zero_counters = 1;
  server::poll_pass();
  EXPECT_EQ(driver::g_counters.files_checked, 0);
  EXPECT_EQ(driver::g_counters.errors, 0);
  EXPECT_EQ(server::g_server.last_virus_name, "");
  EXPECT_EQ(server::g_server.counters_zeroed, 1);
  EXPECT_NE(out.find("\nInfo:\tResult file zeroed on "), std::string::npos);
  driver::g_counters.files_checked = 3;
  server::poll_pass();  // still ON: nothing more happens
  EXPECT_EQ(driver::g_counters.files_checked, 3);
}

TEST_F(SettingsTest, QuitBritStopsWithCodeOne) {
  write_file(ini, "QuitBRINT=ON\n");
  driver::g_settings.no_interrupting = false;
  EXPECT_EXIT(start(), ::testing::ExitedWithCode(1), "");
  // Under -NI the key is ignored.
  driver::g_settings.no_interrupting = true;
  start();
  EXPECT_TRUE(servertest::exists(comms + "/wl.sta"));
}

TEST_F(SettingsTest, StopRemovesMarkerAndResultFile) {
  start();
  ASSERT_TRUE(servertest::exists(res));
  ASSERT_TRUE(servertest::exists(comms + "/wl.sta"));
  server::server_cleanup();
  EXPECT_FALSE(servertest::exists(res));
  EXPECT_FALSE(servertest::exists(comms + "/wl.sta"));
  EXPECT_NE(out.find("\nInfo:\tBRINT Version 2.77 unloaded on "), std::string::npos);
}

TEST_F(SettingsTest, MarkerThatCannotBeOpenedIsFatal) {
  write_file(ini, "CommsDirectory=" + dir + "/missing\n");
  EXPECT_EXIT(start(), ::testing::ExitedWithCode(2), "");
}

TEST_F(SettingsTest, InactiveServerListsButHandlesNothing) {
  start();
  submit("A", servertest::Request{});
  server::g_server.active = 0;
  server::poll_pass();
  EXPECT_NE(out.find("\nInfo:\tWardenline stopped on "), std::string::npos);
  EXPECT_FALSE(servertest::exists(comms + "/wl.sta"));
  EXPECT_FALSE(servertest::exists(path("A", ".ANS")));
  server::g_server.active = 1;
  server::poll_pass();
  EXPECT_NE(out.find("\nInfo:\tWardenline started on "), std::string::npos);
  EXPECT_TRUE(servertest::exists(comms + "/wl.sta"));
  EXPECT_TRUE(servertest::exists(path("A", ".ANS")));
}

}  // namespace
