// The system event log: registration, start/end/finding events, -NE, -QE, -EV=.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

#include "helpers.h"
#include "notify/messages.h"

using namespace testutil;

namespace {

const char* kKeyDir = "/registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/EventLog/Application/NTBrint";

struct EventLogTest : ::testing::Test {
  TempDir dir;
  std::optional<EnvVar> system;
  void SetUp() override {
    reset_all();
    system.emplace("BRINT_SYSTEM", dir.file("system"));
    driver::g_state.program_path = "/opt/brint/ntbrint";
    notify::g_notify.events.area_entries = [] { return std::vector<std::string>{"C:\\", "D:\\WORK\\*.COM"}; };
  }
  void TearDown() override { reset_all(); }
  std::vector<std::string> events() {
    std::vector<std::string> lines;
    std::string all = read_file(dir.file("system/eventlog/Application.jsonl"));
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find('\n', pos);
      lines.push_back(all.substr(pos, end - pos));
      pos = end + 1;
    }
    return lines;
  }
};

// A UDP listener on 127.0.0.1 (any free port).
struct UdpListener {
  int fd = -1;
  int port = 0;
  UdpListener() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~UdpListener() { close(fd); }
  std::vector<std::string> received() {
    std::vector<std::string> out;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
      char buf[4096];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.emplace_back(buf, size_t(n));
    }
    return out;
  }
};

TEST_F(EventLogTest, RegistrationWritesTheFourValues) {
  EXPECT_EQ(notify::register_source(), 0);
  std::string values = read_file(dir.file("system") + kKeyDir + "/values");
  EXPECT_EQ(values,
            "EventMessageFile=REG_EXPAND_SZ:/opt/brint/ntbrint\n"
            "CategoryMessageFile=REG_EXPAND_SZ:/opt/brint/ntbrint\n"
            "TypesSupported=REG_DWORD:7\n"
            "CategoryCount=REG_DWORD:3\n");
  // Registering again replaces the values rather than repeating them.
  driver::g_state.program_path = "/new/ntbrint";
  EXPECT_EQ(notify::register_source(), 0);
  std::string value;
  EXPECT_EQ(host::registry_get_value(msg::notify::kSourceKey, "eventmessagefile", value), 0);
  EXPECT_EQ(value, "REG_EXPAND_SZ:/new/ntbrint");
  values = read_file(dir.file("system") + kKeyDir + "/values");
  EXPECT_EQ(std::count(values.begin(), values.end(), '\n'), 4);
}

TEST_F(EventLogTest, RegistrationResults) {
  {
    SCOPED_TRACE("remote logging: the registry is not touched");
    driver::g_settings.remote_events = true;
    EXPECT_EQ(notify::register_source(), 0);
    EXPECT_FALSE(exists(dir.file("system/registry")));
    driver::g_settings.remote_events = false;
  }
  {
    SCOPED_TRACE("running from a floppy drive");
    EnvVar drives("BRINT_DRIVES", "A=floppy:" + dir.path + ";C=/");
    ASSERT_EQ(host::init_drive_map(nullptr), 0);
    driver::g_state.program_path = "A:\\NTBRINT.EXE";
    EXPECT_EQ(notify::register_source(), 27);
    driver::g_state.program_path = "/opt/brint/ntbrint";
  }
  if (geteuid() != 0) {
    SCOPED_TRACE("a system directory that cannot be written");
    mkdir(dir.file("system").c_str(), 0555);
    EXPECT_EQ(notify::register_source(), -2);
  }
}

TEST_F(EventLogTest, UnusableRegistryWarnsAndSwitchesLoggingOff) {
  write_file(dir.file("system"), "a file where the system directory should be");
  std::string outputs;
  collect_outputs(outputs);
  capture_stdout([] { notify::setup_event_log(); });
  EXPECT_EQ(outputs, "Warning: Could not initialise registry. No event log entries will be made.\n");
  EXPECT_FALSE(driver::g_settings.event_logging);
}

TEST_F(EventLogTest, StartAndEndEventsOfANormalRun) {
  notify::setup_event_log();
  notify::arm_end_event();
  driver::g_state.start_time = host::calendar_seconds() - 125;
  driver::g_stop_hooks.end_event(3);
  auto lines = events();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"source\":\"NTBrint\",\"type\":4,\"category\":3,\"id\":\"0xC0000005\","
                          "\"strings\":[\"2.77\",\"01 September 1995\",\"\\r\\nC:\\\\\\r\\nD:\\\\WORK\\\\*.COM\\r\\n\"],"
                          "\"message\":\"Corvel Brint for Windows NT version 2.77 (released 01 September 1995) started "
                          "scan on: \\r\\nC:\\\\\\r\\nD:\\\\WORK\\\\*.COM\\r\\n\"}"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("\"id\":\"0xC0000009\",\"strings\":[\"2.77\",\"01 September 1995\",\"2 minutes and 5 seconds\","),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[1].find("\"computer\":\"" + host::computer_name() + "\""), std::string::npos);
}

TEST_F(EventLogTest, EndEventIdByExitCode) {
  const struct {
    int code;
    const char* id;  // nullptr: nothing logged
  } cases[] = {{0, "0xC0000007"}, {1, "0xC0000008"}, {2, "0xC000000B"}, {3, "0xC0000009"}, {-9997, nullptr}, {4, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    std::remove(dir.file("system/eventlog/Application.jsonl").c_str());
    notify::end_event(c.code);
    auto lines = events();
    if (c.id == nullptr) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_NE(lines[0].find(std::string("\"id\":\"") + c.id + "\""), std::string::npos) << lines[0];
      EXPECT_NE(lines[0].find("\"type\":4,\"category\":3"), std::string::npos);
    }
  }
}

TEST_F(EventLogTest, ServerModeEvents) {
  driver::g_settings.server_mode = true;
  driver::g_settings.server_name = "WARDEN1";
  notify::start_event();
  notify::end_event(1);
  auto lines = events();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"id\":\"0xC0000006\",\"strings\":[\"2.77\",\"01 September 1995\",\"WARDEN1\"]"),
            std::string::npos);
  EXPECT_NE(lines[0].find("started as an Wardenline server with the name WARDEN1.\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"id\":\"0xC000000A\",\"strings\":[\"WARDEN1\"],\"message\":\"Corvel Brint for Windows NT "
                          "running as Wardenline server WARDEN1 was stopped.\""),
            std::string::npos);
}

TEST_F(EventLogTest, QuietEventsAndNoEvents) {
  {
    SCOPED_TRACE("-QE: findings only");
    driver::g_settings.errors_only_events = true;
    notify::setup_event_log();
    notify::arm_end_event();
    notify::finding_event("pattern", "Jerusalem", "in C:\\A.COM");
    driver::g_stop_hooks.end_event(3);
    auto lines = events();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"type\":1,\"category\":1,\"id\":\"0xC0000004\",\"strings\":[\"pattern\",\"Jerusalem\","
                            "\"in C:\\\\A.COM\"],\"message\":\"Corvel Brint for Windows NT found pattern 'Jerusalem' in "
                            "C:\\\\A.COM.\""),
              std::string::npos)
        << lines[0];
  }
  reset_all();
  std::filesystem::remove_all(dir.file("system"));
  {
    SCOPED_TRACE("-NE: no registry, no events");
    driver::g_settings.event_logging = false;
    notify::setup_event_log();
    notify::arm_end_event();
    notify::finding_event("identity", "Cascade", "in C:\\B.COM");
    driver::g_stop_hooks.end_event(3);
    EXPECT_FALSE(exists(dir.file("system/eventlog")));
    EXPECT_FALSE(exists(dir.file("system/registry")));
  }
}

TEST_F(EventLogTest, EndEventBeforeTheFirstPassMeasuresFromProgramStart) {
  notify::g_notify.events.program_start = host::calendar_seconds() - 61;
  driver::g_state.start_time = 0;
  notify::end_event(2);
  auto lines = events();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"1 minute and 1 second\""), std::string::npos) << lines[0];
}

TEST_F(EventLogTest, TextsOfTheInsertionStrings) {
  const struct {
    int64_t seconds;
    const char* text;
  } elapsed[] = {{0, "0 minutes and 0 seconds"},   {1, "0 minutes and 1 second"},  {59, "0 minutes and 59 seconds"},
                 {60, "1 minute and 0 seconds"},   {61, "1 minute and 1 second"},  {3725, "62 minutes and 5 seconds"},
                 {-5, "0 minutes and 0 seconds"}};
  for (const auto& e : elapsed) EXPECT_EQ(notify::elapsed_text(e.seconds), e.text) << e.seconds;
  EXPECT_EQ(notify::area_text({}), "\r\n");
  EXPECT_EQ(notify::area_text({"[*]", "C:\\"}), "\r\n[*]\r\nC:\\\r\n");
  // Insertion strings are put in once: a "%2" inside a virus name stays as it is.
  EXPECT_EQ(notify::event_message(notify::kIdFound, {"pattern", "100%2", "in C:\\X"}),
            "Corvel Brint for Windows NT found pattern '100%2' in C:\\X.");
  EXPECT_EQ(notify::event_message(0x12345678, {"x"}), "");
}

TEST_F(EventLogTest, JsonStaysValidForAnyBytes) {
  notify::finding_event("pattern", std::string("Q\"uote\\ \x01 \xff ok \xc3\xa9", 17), "in C:\\X");
  auto lines = events();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"Q\\\"uote\\\\ \\u0001 \\u00ff ok \xc3\xa9\""), std::string::npos) << lines[0];
}

TEST_F(EventLogTest, RemoteLoggingSendsAllButTheScanStart) {
  UdpListener listener;
  driver::g_settings.remote_events = true;
  driver::g_settings.remote_machine = "127.0.0.1:" + std::to_string(listener.port);
  notify::setup_event_log();
  notify::finding_event("pattern", "Jerusalem", "in C:\\A.COM");
  notify::end_event(3);
  auto remote = listener.received();
  ASSERT_EQ(remote.size(), 2u);
  EXPECT_EQ(remote[0].rfind("<11>1 ", 0), 0u) << remote[0];
  EXPECT_NE(remote[0].find(" NTBrint "), std::string::npos);
  EXPECT_NE(remote[0].find(" 0xC0000004 [event@32473 type=\"1\" category=\"1\"] Corvel Brint for Windows NT found "
                           "pattern 'Jerusalem' in C:\\A.COM."),
            std::string::npos)
      << remote[0];
  EXPECT_EQ(remote[1].rfind("<14>1 ", 0), 0u);
  EXPECT_NE(remote[1].find("0xC0000009"), std::string::npos);
  EXPECT_NE(remote[1].find("scanning areas:  C:\\ D:\\WORK\\*.COM"), std::string::npos) << remote[1];
  // Every event, the start included, is also in the local log; the registry is left alone.
  EXPECT_EQ(events().size(), 3u);
  EXPECT_FALSE(exists(dir.file("system/registry")));
}

TEST_F(EventLogTest, UnknownRemoteMachineIsReportedOnceAndDropped) {
  driver::g_settings.remote_events = true;
  driver::g_settings.remote_machine = "nosuchhost.invalid";
  std::string outputs;
  collect_outputs(outputs);
  capture_stdout([] {
    notify::start_event();  // never remote: no message yet
    notify::finding_event("pattern", "Jerusalem", "in C:\\A.COM");
    notify::end_event(3);
  });
  EXPECT_EQ(outputs, "Machine 'NOSUCHHOST.INVALID' does not exist; unable to log event to remote machine.\n");
  EXPECT_FALSE(driver::g_settings.remote_events);
  EXPECT_EQ(events().size(), 3u) << "every event is still logged locally";
}

TEST_F(EventLogTest, RemoteNameForms) {
  const struct {
    const char* name;
    int result;
  } cases[] = {{"127.0.0.1", 0},        {"127.0.0.1:5514", 0}, {"[::1]:5514", 0},        {"::1", 0},
               {"127.0.0.1:0", 1722},   {"127.0.0.1:65536", 1722}, {"127.0.0.1:x", 1722}, {":514", 1722},
               {"[::1", 1722}};
  for (const auto& c : cases) {
    host::RemoteEventLog log;
    EXPECT_EQ(host::open_remote_event_log(c.name, log), c.result) << c.name;
    EXPECT_EQ(log.fd >= 0, c.result == 0) << c.name;
  }
}

}  // namespace
