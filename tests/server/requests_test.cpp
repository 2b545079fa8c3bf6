// Poll passes over a temporary communications directory: answers, malformed requests,
// ready and held requests, expiry, stale requests, copies, client reports, user commands.
#include <filesystem>

#include "host/host.h"
#include "server_test_util.h"

namespace {

using servertest::exists;
using servertest::read_file;
using servertest::Request;
using servertest::ServerFixture;
using servertest::write_file;

class RequestTest : public ServerFixture {
 protected:
  // The answer of `base`: result and virus name; fails the test when it is not sound.
  void answer(const std::string& base, int& result, std::string& virus) {
    const std::string a = read_file(path(base, ".ANS"));
    ASSERT_EQ(a.size(), server::kAnswerSize);
    ASSERT_TRUE(server::check_answer(reinterpret_cast<const uint8_t*>(a.data()), a.size(), result, virus));
  }
};

TEST_F(RequestTest, CleanFileIsAnsweredAndItsSourceDeleted) {
  start();
  submit("CLEAN", Request{});
  server::poll_pass();
  int result = -1;
  std::string virus = "?";
  answer("CLEAN", result, virus);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(virus, "");
  EXPECT_FALSE(exists(path("CLEAN", ".SRC")));
  EXPECT_FALSE(exists(path("CLEAN", ".TMP")));
  EXPECT_TRUE(exists(path("CLEAN", ".REQ")));  // deleted with the answer at expiry
  EXPECT_TRUE(server::is_pending("clean"));
  EXPECT_NE(out.find("\nInfo:\tNo viruses found by Wardenline in Quick mode\n\tIn C:\\DOS\\FILE.EXE\n\tOn "),
            std::string::npos);
  EXPECT_NE(out.find("\n\tNode STATION1\n"), std::string::npos);
  EXPECT_EQ(driver::g_counters.files_checked, 1);
  EXPECT_EQ(server::g_server.last_file_checked, "C:\\DOS\\FILE.EXE");
  // A second pass does not take the answered request up again.
  out.clear();
  server::poll_pass();
  EXPECT_EQ(driver::g_counters.files_checked, 1);
}

TEST_F(RequestTest, CleanFileAtLevelFourIsAnsweredWithoutALine) {
  write_file(ini, "ReportingLevel=4\n");
  start();
  submit("Q", Request{});
  server::poll_pass();
  EXPECT_TRUE(exists(path("Q", ".ANS")));
  EXPECT_EQ(out.find("No viruses"), std::string::npos);
}

TEST_F(RequestTest, InfectedFileIsAnsweredCopiedAndCounted) {
  write_file(ini, "RemovalMode=DELETE\nBrintLevel=FULL\n");
  start();
  Request q;
  q.name = "c:\\dos\\evil.com";
  submit("V", q, servertest::kVirusByte);
  server::poll_pass();
  int result = 0;
  std::string virus;
  answer("V", result, virus);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(virus, "Testvir One");
  EXPECT_EQ(read_file(infected + "/EVIL.000").substr(0, 1), std::string(1, char(servertest::kVirusByte)));
  EXPECT_EQ(server::g_server.last_virus_action, server::kDelete);
  EXPECT_EQ(server::g_server.last_virus_file, "C:\\DOS\\EVIL.COM");
  EXPECT_EQ(driver::g_counters.infected_files, 1);
  EXPECT_NE(out.find("\nVirus:\t'Testvir One' detected by Wardenline\n>>>\tIn C:\\DOS\\EVIL.COM\n>>>\tOn "),
            std::string::npos);
  EXPECT_NE(out.find(">>>\tNode STATION1\n>>>\tCopied to " + infected + "\\EVIL.000\n"), std::string::npos);
}

TEST_F(RequestTest, BootSectorCopiesAreNumberedUpToXXX) {
  write_file(ini, "RemovalMode=COPY\n");
  start();
  Request q;
  q.code = server::kCodeCheckBoot;
  for (const char* base : {"B1", "B2"}) {
    submit(base, q, servertest::kVirusByte);
    server::poll_pass();
  }
  EXPECT_TRUE(exists(infected + "/BOOT.000"));
  EXPECT_TRUE(exists(infected + "/BOOT.001"));
  write_file(infected + "/BOOT.999", "x");
  out.clear();
  submit("B3", q, servertest::kVirusByte);
  server::poll_pass();
  EXPECT_NE(out.find(">>>\tError copying to file " + infected + "\\BOOT.XXX\n"), std::string::npos);
  int result = 0;
  std::string virus;
  answer("B3", result, virus);  // the answer still says a virus was found
  EXPECT_EQ(result, 1);
  EXPECT_NE(out.find(">>>\tIn Boot sector\n"), std::string::npos);
}

TEST_F(RequestTest, CopyNamesNeverLeaveTheInfectedDirectory) {
  const struct { const char* shown; const char* copy; } cases[] = {
      {"C:\\DOS\\FILE.EXE", "FILE"},   {"..\\..\\ETC\\PASSWD", "PASSWD"}, {"A:..", "FILE"},
      {"X/Y/../../Z.B.C", "Z"},        {"A B*C?.EXE", "A_B_C_"},          {"", "FILE"},
      {"$~-_9.1", "$~-_9"},            {"D:\\DIR\\", "FILE"},
  };
  for (const auto& c : cases) EXPECT_EQ(server::copy_name_of(c.shown), c.copy) << c.shown;
  // An existing name is never overwritten: the next number is taken.
  mkdir(infected.c_str(), 0755);
  server::g_server.infected_dir = infected;
  write_file(dir + "/src", "data");
  symlink((dir + "/victim").c_str(), (infected + "/N.000").c_str());
  std::string target;
  ASSERT_EQ(server::copy_to_infected(dir + "/src", "N", target), 0);
  EXPECT_EQ(target, infected + "\\N.001");
  EXPECT_FALSE(exists(dir + "/victim"));
}

TEST_F(RequestTest, MalformedRequestsAreLoggedAndDiscarded) {
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
    const char* line;
  } cases[] = {
      {"bad magic", [](std::vector<uint8_t>& r) { r[0] = 'X', server::seal_request(r); },
       "\nError:\tInvalid request received in file "},
      {"bad checksum", [](std::vector<uint8_t>& r) { r[4] ^= 1; }, "\nError:\tCorrupted request received in file "},
      {"version 1.3", [](std::vector<uint8_t>& r) { r[3] = 3, server::seal_request(r); },
       "\nWarning:\tWardenline version is newer than this version of BRINT\n\tPlease upgrade this copy of BRINT\n"},
      {"version 2.0", [](std::vector<uint8_t>& r) { r[2] = 2, r[3] = 0, server::seal_request(r); },
       "\nWarning:\tWardenline version is newer"},
      {"unknown code", [](std::vector<uint8_t>& r) { r[75] = 0x34, r[76] = 0x12, server::seal_request(r); },
       "\nError:\tUnknown request received (0x1234) from user "},
      {"negative code", [](std::vector<uint8_t>& r) { r[75] = 0xFF, r[76] = 0xFF, server::seal_request(r); },
       "\nError:\tUnknown request received (0xFFFFFFFF) from user "},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    out.clear();
    std::vector<uint8_t> r = servertest::record(Request{});
    c.spoil(r);
    servertest::write_bytes(path("M", ".SRC"), {0x90});
    servertest::write_bytes(path("M", ".REQ"), r);
    server::poll_pass();
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_FALSE(exists(path("M", ".REQ")));
    EXPECT_FALSE(exists(path("M", ".SRC")));
    EXPECT_FALSE(exists(path("M", ".ANS")));
  }
  EXPECT_EQ(driver::g_counters.files_checked, 0);
}

TEST_F(RequestTest, OlderClientsCarryTheNameAtOffset109) {
  start();
  Request q;
  q.minor = 1;
  q.name = "OLD.EXE";
  submit("O", q);
  server::poll_pass();
  EXPECT_EQ(server::g_server.last_file_checked, "OLD.EXE");
  q.major = 0, q.minor = 9;  // 0.x: a newer layout
  q.name = "ZERO.EXE";
  submit("P", q);
  server::poll_pass();
  EXPECT_EQ(server::g_server.last_file_checked, "ZERO.EXE");
}

TEST_F(RequestTest, ShortEmptyAndHeldRequestsWait) {
  start();
  servertest::write_bytes(path("SHORT", ".REQ"), std::vector<uint8_t>(108, 'W'));
  servertest::write_bytes(path("SHORT", ".SRC"), {1});
  servertest::write_bytes(path("EMPTY", ".REQ"), {});
  submit("HELD", Request{});
  host::File holder;
  ASSERT_EQ(host::open_file(path("HELD", ".SRC"), host::kAccessWrite, host::kShareNone, host::kOpenExisting, holder), 0);
  server::poll_pass();
  EXPECT_TRUE(exists(path("SHORT", ".REQ")));
  EXPECT_TRUE(exists(path("EMPTY", ".REQ")));
  EXPECT_FALSE(exists(path("HELD", ".ANS")));
  EXPECT_EQ(out.find("Error"), std::string::npos);
  host::close_file(holder);
  server::poll_pass();
  EXPECT_TRUE(exists(path("HELD", ".ANS")));
}

TEST_F(RequestTest, ARecordCutShortAfterSelectionIsCorrupted) {
  start();
  servertest::write_bytes(path("CUT", ".REQ"), {'W', 'L', 1, 2});
  server::handle_request("CUT");
  EXPECT_NE(out.find("\nError:\tCorrupted request received in file " + comms + "\\CUT.REQ from user Unknown\n"),
            std::string::npos);
  EXPECT_FALSE(exists(path("CUT", ".REQ")));
}

TEST_F(RequestTest, OldestRequestFirstAndEqualStampsInListingOrder) {
  start();
  submit("ZZ", Request{});
  submit("MM", Request{});
  submit("AA", Request{});
  const time_t now = time(nullptr);
  servertest::set_mtime(path("ZZ", ".REQ"), now - 100);
  servertest::set_mtime(path("MM", ".REQ"), now - 50);
  servertest::set_mtime(path("AA", ".REQ"), now - 50);
  EXPECT_EQ(server::select_request(), "ZZ");
  unlink(path("ZZ", ".REQ").c_str());
  EXPECT_EQ(server::select_request(), "AA");
}

TEST_F(RequestTest, OnlyExactBaseNamesAreTakenUp) {
  EXPECT_EQ(server::base_of("ABC.REQ", ".REQ"), "ABC");
  EXPECT_EQ(server::base_of("A.B.REQ", ".REQ"), "");
  EXPECT_EQ(server::base_of(".REQ", ".REQ"), "");
  EXPECT_EQ(server::base_of("ABC.REQX", ".REQ"), "");
  start();
  servertest::write_bytes(path("A.B", ".REQ"), servertest::record(Request{}));
  servertest::write_bytes(path("A.B", ".SRC"), {0x90});
  server::poll_pass();
  EXPECT_TRUE(exists(path("A.B", ".REQ")));
  EXPECT_EQ(driver::g_counters.files_checked, 0);
}

TEST_F(RequestTest, AnswersExpireWithTheirRequests) {
  write_file(path("OLD", ".ANS"), "x");
  write_file(path("OLD", ".REQ"), "x");
  start();
  ASSERT_TRUE(server::is_pending("OLD"));
  server::expire_answers();
  EXPECT_TRUE(exists(path("OLD", ".ANS")));  // not yet 10 seconds
  server::g_server.pending[0].expiry = host::calendar_seconds();
  server::expire_answers();
  EXPECT_FALSE(exists(path("OLD", ".ANS")));
  EXPECT_FALSE(exists(path("OLD", ".REQ")));
  EXPECT_FALSE(server::is_pending("OLD"));
}

TEST_F(RequestTest, StaleRequestsGoByCalendarDays) {
  struct tm t {};
  const time_t now = time(nullptr);
  localtime_r(&now, &t);
  t.tm_hour = 0, t.tm_min = 0, t.tm_sec = 30;
  t.tm_mday -= 1;  // yesterday, just after midnight: one day back
  const time_t yesterday = mktime(&t);
  t.tm_mday -= 1, t.tm_hour = 23, t.tm_min = 59;  // two days back, late in the day
  const time_t two_days = mktime(&t);
  for (const char* b : {"Y", "T"}) {
    write_file(path(b, ".REQ"), "x");
    write_file(path(b, ".SRC"), "x");
  }
  servertest::set_mtime(path("Y", ".REQ"), yesterday);
  servertest::set_mtime(path("T", ".REQ"), two_days);
  start();
  EXPECT_TRUE(exists(path("Y", ".REQ")));
  EXPECT_FALSE(exists(path("T", ".REQ")));
  EXPECT_FALSE(exists(path("T", ".SRC")));
}

TEST_F(RequestTest, ClientReportsAreLaidOutByType) {
  const struct { int type; int kind; std::string text; std::string expected; } cases[] = {
      {10, 1, "  \r\nBad one\r\n  found\there\r\n",
       "\nVirus:\tBRINT for DOS report:\n>>>\tBad one\n>>>\tfound here\n>>>\tOn "},
      {1, 2, "disk low", "\nWarning:\tWardenline report:\n\tdisk low\n\tOn "},
      {3, 2, "a\x1b[2Jb", "\nError:\tWardenline report:\n\ta [2Jb\n\tOn "},
  };
  start();
  for (const auto& c : cases) {
    out.clear();
    Request q;
    q.code = server::kCodeClientReport;
    q.kind = c.kind;
    q.report_type = c.type;
    q.report_text = c.text;
    submit("R", q);
    server::poll_pass();
    EXPECT_NE(out.find(c.expected), std::string::npos) << out;
    EXPECT_FALSE(exists(path("R", ".REQ")));
  }
  out.clear();
  Request q;
  q.code = server::kCodeClientReport;
  q.report_type = 2;
  q.report_text = "nothing";
  submit("R", q);
  server::poll_pass();
  EXPECT_EQ(out, "");
  EXPECT_FALSE(exists(path("R", ".REQ")));
  // A text that fills the record is cut at 255 characters.
  EXPECT_EQ(server::lay_out_report(std::string(400, 'x'), "").size(), 255u);
  EXPECT_EQ(server::lay_out_report("one\n", ">>>"), "\tone");
}

TEST_F(RequestTest, ClientValuesReachCommandOnVirusAsPlainArguments) {
  const std::string script = dir + "/onvirus.sh";
  write_file(script, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > " + dir + "/args.txt\n");
  chmod(script.c_str(), 0755);
  write_file(ini, "CommandOnVirus=" + script + "\n");
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  start();
  Request q;
  q.station = "x;touch PWNED1;`touch PWNED2`$(touch PWNED3)'\"";
  q.name = "MY FILE.EXE";
  submit("S", q, servertest::kVirusByte);
  server::poll_pass();
  const std::string args = read_file(dir + "/args.txt");
  EXPECT_NE(args.find("[Testvir_One]\n"), std::string::npos) << args;
  EXPECT_NE(args.find("[MY_FILE.EXE]\n"), std::string::npos) << args;
  EXPECT_NE(args.find("[" + q.station + "]\n[SERVER1]\n"), std::string::npos) << args;
  for (const char* f : {"/PWNED1", "/PWNED2", "/PWNED3"}) EXPECT_FALSE(exists(dir + f));
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST_F(RequestTest, FailingUserCommandsAreLoggedAndUsernameComesFromTheFile) {
  write_file(ini, "CommandOnVirus=false\nCommandGetUsername=sh -c 'echo \"  alice \" > BRINT.USR'\n");
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  start();
  submit("U", Request{}, servertest::kVirusByte);
  server::poll_pass();
  EXPECT_NE(out.find("\nError:\tCould not execute user command 'false'\n"), std::string::npos);
  EXPECT_NE(out.find(">>>\tUser alice\n"), std::string::npos) << out;
  // A command that fails leaves no earlier user behind.
  server::g_server.command_get_username = "false";
  out.clear();
  submit("U2", Request{});
  server::poll_pass();
  EXPECT_NE(out.find("\tUser Unknown\n"), std::string::npos) << out;
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST_F(RequestTest, ControlCharactersInClientTextsBecomeBlanks) {
  start();
  Request q;
  q.station = "ST\x1b]0;x\x07N";
  q.name = "A\rB.EXE";
  submit("C", q);
  server::poll_pass();
  EXPECT_EQ(server::g_server.last_file_checked_nic, "ST ]0;x N");
  EXPECT_EQ(server::g_server.last_file_checked, "A B.EXE");
}

TEST_F(RequestTest, MissingSourceAndFailedCheckGiveNoAnswer) {
  start();
  // Taken up by hand: the source vanished between the selection and the check.
  servertest::write_bytes(path("G", ".REQ"), servertest::record(Request{}));
  server::handle_request("G");
  EXPECT_FALSE(exists(path("G", ".REQ")));
  EXPECT_FALSE(exists(path("G", ".ANS")));
  EXPECT_EQ(driver::g_counters.files_checked, 0);
}

TEST_F(RequestTest, CompressedSourceIsNamedCountedOnceAndStillAnswered) {
  findings::g_findings_hooks.detect_compression = [](int) { return 17; };  // LZEXE
  const struct { const char* settings; int64_t counted; } cases[] = {
      {"WarnIfCompressed=ON\nExpandCompressedFiles=OFF\n", 1},
      {"WarnIfCompressed=OFF\nExpandCompressedFiles=OFF\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    server::reset_server();
    driver::reset_counters();
    out.clear();
    write_file(ini, c.settings);
    start();
    submit("Z", Request{});
    server::poll_pass();
    EXPECT_TRUE(exists(path("Z", ".ANS")));
    EXPECT_EQ(driver::g_counters.compressed_files, c.counted);
    if (c.counted) {
      EXPECT_EQ(server::g_server.last_file_compressed, "compressed file (LZEXE) ");
      EXPECT_NE(out.find("\n\tIn compressed file (LZEXE) C:\\DOS\\FILE.EXE\n"), std::string::npos) << out;
    } else {
      EXPECT_EQ(server::g_server.last_file_compressed, "");
    }
    EXPECT_EQ(driver::g_counters.errors, 0);
  }
  findings::g_findings_hooks.detect_compression = nullptr;
}

}  // namespace
