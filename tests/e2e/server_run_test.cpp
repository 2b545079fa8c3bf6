// End-to-end tests of the server mode: the real program serving a communications directory
// in a throw-away drive map, with the wlclient tool (or hand-made request files) as clients.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "server/server.h"

namespace {

const std::string kSamples = std::string(BRINT_SOURCE_DIR) + "/data/samples/";

std::string wlclient_binary() {
  return std::string(BRINT_BUILD_DIR) + "/wlclient";
}

// A server in its own temp folder: the program copied there (so that its settings and
// result files beside it belong to this test alone), drive C: with the communications and
// infected directories, and a system directory for the event log.
struct ServerRun {
  e2e::TempDir tmp;
  std::string prog, drive, comms, infected, system;
  std::unique_ptr<e2e::Background> server;

  explicit ServerRun(const std::string& extra_settings = "") {
    prog = tmp.file("prog");
    drive = tmp.file("c");
    comms = drive + "/COMMS";
    infected = drive + "/INFECTED";
    system = tmp.file("sys");
    for (const auto& d : {prog, comms, infected, system, tmp.file("work")}) e2e::make_dirs(d);
    std::filesystem::copy_file(e2e::brint_binary(), prog + "/ntbrint");
    e2e::write_file(prog + "/BRINTWL.INI",
                    "CommsDirectory=C:\\COMMS\r\nInfectedDirectory=C:\\INFECTED\r\n"
                    "MinTime=100\r\nMaxTime=200\r\n" +
                        extra_settings);
  }

  std::map<std::string, std::string> env() const {
    return {{"BRINT_DRIVES", "C=" + drive}, {"BRINT_SYSTEM", system}, {"TMP", tmp.file("work")}};
  }

  // Starts the server and waits until it serves the directory (its marker file is there).
  void start() {
    e2e::RunOptions o;
    o.program = prog + "/ntbrint";
    o.args = {"-WLS"};
    o.env = env();
    o.cwd = tmp.file("work");
    server = std::make_unique<e2e::Background>(o, tmp.file("server.out"));
    for (int i = 0; i < 200 && !e2e::file_exists(comms + "/wl.sta"); ++i) {
      if (server->wait(50) >= 0) break;
    }
    ASSERT_TRUE(e2e::file_exists(comms + "/wl.sta")) << server->out();
  }

  e2e::RunResult client(std::vector<std::string> args) const {
    e2e::RunOptions o;
    o.program = wlclient_binary();
    o.args = {"-t", "30"};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.env = env();
    o.cwd = tmp.file("work");
    o.timeout_ms = 40000;
    return e2e::run(o);
  }

  std::string events() const { return e2e::read_file(system + "/eventlog/Application.jsonl"); }
};

TEST(ServerRun, AnswersCleanInfectedAndBootRequestsAndStopsOnSigterm) {
  ServerRun s("RemovalMode=COPY\r\n");
  s.start();

  auto clean = s.client({"-s", "WS1", "-n", "C:\\DOS\\TESTCOM.COM", s.comms, kSamples + "testcom.com"});
  EXPECT_EQ(clean.status, 0) << clean.out;
  EXPECT_EQ(clean.out, kSamples + "testcom.com: no virus found\n");

  auto virus = s.client({"-s", "WS1", "-n", "C:\\DOS\\EICAR.COM", s.comms, kSamples + "eicar.com"});
  EXPECT_EQ(virus.status, 3) << virus.out;
  auto again = s.client({"-s", "WS2", "-n", "C:\\DOS\\EICAR.COM", s.comms, kSamples + "eicar.com"});
  EXPECT_EQ(again.status, 3) << again.out;

  auto boot = s.client({"-b", "-s", "WS3", s.comms, kSamples + "testboot.bin"});
  EXPECT_EQ(boot.status, 0) << boot.out;
  EXPECT_EQ(boot.out, "Boot sector: no virus found\n");

  const std::string out = s.server->out();
  EXPECT_NE(
      out.find("\nInfo:\tNo viruses found by Wardenline in Quick mode\n\tIn C:\\DOS\\TESTCOM.COM\n\tOn "),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("\tUser root\n\tNode WS1\n"), std::string::npos) << out;
  for (const std::string& station_copy : {std::string("WS1\n>>>\tCopied to C:\\INFECTED\\EICAR.000\n"),
                                          std::string("WS2\n>>>\tCopied to C:\\INFECTED\\EICAR.001\n")}) {
    const size_t at = out.find(station_copy);
    ASSERT_NE(at, std::string::npos) << station_copy << out;
    const size_t block =
        out.rfind("\nVirus:\t'EICAR Test' detected by Wardenline\n>>>\tIn C:\\DOS\\EICAR.COM\n>>>\tOn ", at);
    ASSERT_NE(block, std::string::npos) << out;
    EXPECT_NE(out.find(">>>\tUser root\n>>>\tNode " + station_copy, block), std::string::npos) << out;
  }
  // The copies are the submitted bytes, numbered from 000.
  EXPECT_EQ(e2e::read_file(s.infected + "/EICAR.000"), e2e::read_file(kSamples + "eicar.com"));
  EXPECT_EQ(e2e::read_file(s.infected + "/EICAR.001"), e2e::read_file(kSamples + "eicar.com"));
  EXPECT_FALSE(e2e::file_exists(s.infected + "/EICAR.002"));

  const std::string events = s.events();
  EXPECT_NE(events.find(
                "\"id\":\"0xC0000004\",\"strings\":[\"virus\",\"EICAR Test\",\"in an Wardenline request from "
                "station WS1, user root, in file C:\\\\DOS\\\\EICAR.COM\"]"),
            std::string::npos)
      << events;
  EXPECT_EQ(events.find("station WS3"), std::string::npos) << "no virus event for the clean boot sector";

  // The result file counts what was checked (written at the status cycles).
  ASSERT_TRUE(s.server->wait_for_output("4 items chkd, 2 infectd", 10000)) << s.server->out();
  EXPECT_NE(s.server->out().find("\n\tIn Boot sector\n"), std::string::npos) << s.server->out();
  // The status line comes before the file is written in a cycle: wait for the file itself.
  std::string res;
  for (int i = 0; i < 200 && (res.find("NumberFilesBrinted=4\r\n") == std::string::npos ||
                              res.find("Pong=") == std::string::npos);
       ++i) {
    if (i > 0) s.server->wait(50);
    res = e2e::file_exists(s.prog + "/BRINTWL.RES") ? e2e::read_file(s.prog + "/BRINTWL.RES") : "";
  }
  EXPECT_NE(res.find("NumberFilesInfected=2\r\n"), std::string::npos) << res;
  EXPECT_NE(res.find("LastVirusName=EICAR Test\r\n"), std::string::npos) << res;
  EXPECT_NE(res.find("LastVirusAction=COPY\r\n"), std::string::npos) << res;

  s.server->send_signal(SIGTERM);
  EXPECT_EQ(s.server->wait(15000), 1) << s.server->out();
  EXPECT_FALSE(e2e::file_exists(s.comms + "/wl.sta"));
  EXPECT_FALSE(e2e::file_exists(s.prog + "/BRINTWL.RES"));
  EXPECT_NE(s.server->out().find("\nInfo:\tBRINT Version 2.77 unloaded on "), std::string::npos);
  EXPECT_NE(s.events().find("\"id\":\"0xC000000A\""), std::string::npos) << "the stop event";
}

// wlclient names the communications directory and the file as NT paths on the drives of
// BRINT_DRIVES, as the server's own settings do.
TEST(ServerRun, TheClientTakesNtPathsOnTheMappedDrives) {
  ServerRun s;
  s.start();
  e2e::write_file(s.drive + "/EICAR.COM", e2e::read_file(kSamples + "eicar.com"));
  auto virus = s.client({"C:\\COMMS", "C:\\EICAR.COM"});
  EXPECT_EQ(virus.status, 3) << virus.out;
  EXPECT_EQ(virus.out, "C:\\EICAR.COM: virus 'EICAR Test' found\n");
  auto report = s.client({"-r", "1", "C:\\COMMS", "disk full"});
  EXPECT_EQ(report.status, 0) << report.out;
  EXPECT_EQ(report.out.rfind("report sent as C:\\COMMS\\W", 0), 0u) << report.out;
  s.server->send_signal(SIGTERM);
  EXPECT_EQ(s.server->wait(15000), 1) << s.server->out();
}

// A request record as a client lays it out (version 1.2, file check), with a checksum
// field that does not match.
std::string bad_checksum_request() {
  std::string r(160, '\0');
  r[0] = 'W', r[1] = 'L', r[2] = 1, r[3] = 2;
  r[4] = '\x12', r[5] = '\x34', r[6] = '\x56', r[7] = '\x78';
  r.replace(8, 5, "EVIL1");
  r[73] = 2;
  r[75] = 1;
  r.replace(117, 16, "C:\\DOS\\EVIL.COM");
  return r;
}

TEST(ServerRun, ABadChecksumIsRefusedWithoutCrashAndQuitBrintEndsTheServer) {
  ServerRun s;
  s.start();
  e2e::write_file(s.comms + "/BAD.SRC", e2e::read_file(kSamples + "eicar.com"));
  e2e::write_file(s.comms + "/BAD.REQ", bad_checksum_request());
  for (int i = 0; i < 200 && e2e::file_exists(s.comms + "/BAD.REQ"); ++i) ASSERT_EQ(s.server->wait(50), -1);
  EXPECT_FALSE(e2e::file_exists(s.comms + "/BAD.REQ")) << s.server->out();
  EXPECT_FALSE(e2e::file_exists(s.comms + "/BAD.SRC"));
  EXPECT_FALSE(e2e::file_exists(s.comms + "/BAD.ANS")) << "no answer to a refused request";
  EXPECT_EQ(s.server->out().find("EICAR Test"), std::string::npos) << "the source was not checked";

  // The server goes on serving.
  auto clean = s.client({"-s", "WS1", s.comms, kSamples + "testexe.exe"});
  EXPECT_EQ(clean.status, 0) << clean.out;
  EXPECT_TRUE(s.server->wait_for_output(
      "\nError:\tCorrupted request received in file C:\\COMMS\\BAD.REQ from user ", 10000))
      << s.server->out();

  e2e::write_file(s.prog + "/BRINTWL.INI", e2e::read_file(s.prog + "/BRINTWL.INI") + "QuitBRINT=ON\r\n");
  EXPECT_EQ(s.server->wait(15000), 1) << s.server->out();
  EXPECT_FALSE(e2e::file_exists(s.comms + "/wl.sta"));
  EXPECT_FALSE(e2e::file_exists(s.prog + "/BRINTWL.RES"));
}

// Client values reach the user command only as quoted arguments: a station name full of
// shell metacharacters is one argument of the command and runs nothing of its own.
TEST(ServerRun, AStationNameWithShellMetacharactersReachesCommandOnVirusAsOneArgument) {
  ServerRun s;
  const std::string work = s.tmp.file("work");
  const std::string script = s.tmp.file("on_virus.sh");
  // Written aside and renamed, so the test never reads a half-written list.
  e2e::write_file(script, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"" +
                              s.tmp.file("args.new") + "\" && mv \"" + s.tmp.file("args.new") + "\" \"" +
                              s.tmp.file("args.txt") + "\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  e2e::write_file(s.prog + "/BRINTWL.INI",
                  e2e::read_file(s.prog + "/BRINTWL.INI") + "CommandOnVirus=" + script + "\r\n");
  s.start();

  const std::string station = "a;touch X1;$(touch X2)`touch X3`|touch X4&&'\"*>X5";
  auto r = s.client({"-s", station, "-n", "C:\\DOS\\EICAR.COM", s.comms, kSamples + "eicar.com"});
  EXPECT_EQ(r.status, 3) << r.out;
  // The command runs after the answer, two seconds after the virus was found.
  for (int i = 0; i < 200 && !e2e::file_exists(s.tmp.file("args.txt")); ++i)
    ASSERT_EQ(s.server->wait(50), -1);
  ASSERT_TRUE(s.server->wait_for_output("Status:", 5000));
  const std::string args = e2e::read_file(s.tmp.file("args.txt"));
  EXPECT_NE(args.find("[EICAR_Test]\n[root]\n"), std::string::npos) << args;
  EXPECT_NE(args.find("\n[C:\\DOS\\EICAR.COM]\n[" + station + "]\n"), std::string::npos) << args;
  EXPECT_EQ(s.server->out().find("Could not execute user command"), std::string::npos) << s.server->out();
  for (const char* made : {"X1", "X2", "X3", "X4", "X5"}) {
    EXPECT_FALSE(e2e::file_exists(work + "/" + made)) << made;
    EXPECT_FALSE(e2e::file_exists(s.prog + "/" + made)) << made;
  }
  s.server->send_signal(SIGTERM);
  EXPECT_EQ(s.server->wait(15000), 1) << s.server->out();
}

// Pattern records are looked for in a full check only (the quick test above passes
// testcom.com and the test boot sector): BrintLevel in the settings file
// decides for every request.
TEST(ServerRun, BrintLevelFullFindsPatternsInFilesAndBootSectors) {
  ServerRun s("BrintLevel=FULL\r\n");
  s.start();
  auto r = s.client({"-s", "WS1", s.comms, kSamples + "testcom.com"});
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_EQ(r.out, kSamples + "testcom.com: virus 'Brint Test COM' found\n");
  auto boot = s.client({"-b", "-s", "WS2", s.comms, kSamples + "testboot.bin"});
  EXPECT_EQ(boot.status, 3) << boot.out;
  EXPECT_EQ(boot.out, "Boot sector: virus 'Brint Test Boot' found\n");
  EXPECT_TRUE(s.server->wait_for_output(
      "\nVirus:\t'Brint Test Boot' detected by Wardenline\n>>>\tIn Boot sector\n", 10000))
      << s.server->out();
  EXPECT_NE(s.events().find("station WS2, user root, in Boot sector\"]"), std::string::npos) << s.events();
  s.server->send_signal(SIGTERM);
  EXPECT_EQ(s.server->wait(15000), 1) << s.server->out();
}

// Several clients at once through many requests: every answer right, and the result
// file's counters agree with what was submitted.
TEST(ServerRun, FourClientsAtATimeThroughTwoHundredRequests) {
  ServerRun s;
  s.start();
  constexpr int kRequests = 200, kAtATime = 4;
  int answered = 0;
  for (int first = 0; first < kRequests; first += kAtATime) {
    std::vector<std::unique_ptr<e2e::Background>> clients;
    for (int i = first; i < first + kAtATime; ++i) {
      const bool infected = i % 2 == 1;
      e2e::RunOptions o;
      o.program = wlclient_binary();
      o.args = {"-t", "30", "-s", "SOAK" + std::to_string(i % kAtATime), "-n",
                infected ? "C:\\EICAR.COM" : "C:\\CLEAN.COM", s.comms,
                kSamples + (infected ? "eicar.com" : "testcom.com")};
      o.env = s.env();
      o.cwd = s.tmp.file("work");
      clients.push_back(std::make_unique<e2e::Background>(o, s.tmp.file("client" + std::to_string(i % kAtATime))));
    }
    for (int i = first; i < first + kAtATime; ++i) {
      auto& c = *clients[size_t(i - first)];
      const bool infected = i % 2 == 1;
      ASSERT_EQ(c.wait(40000), infected ? 3 : 0) << "request " << i << ": " << c.out() << s.server->out();
      EXPECT_EQ(c.out(), infected ? kSamples + "eicar.com: virus 'EICAR Test' found\n"
                                  : kSamples + "testcom.com: no virus found\n")
          << "request " << i;
      ++answered;
    }
  }
  EXPECT_EQ(answered, kRequests);

  // The result file is rewritten at the status cycles: wait until it shows every request.
  std::string res;
  for (int i = 0; i < 400 && res.find("NumberFilesBrinted=200\r\n") == std::string::npos; ++i) {
    if (i > 0) {
      ASSERT_EQ(s.server->wait(50), -1) << s.server->out();
    }
    res = e2e::file_exists(s.prog + "/BRINTWL.RES") ? e2e::read_file(s.prog + "/BRINTWL.RES") : "";
  }
  EXPECT_NE(res.find("NumberFilesBrinted=200\r\n"), std::string::npos) << res;
  EXPECT_NE(res.find("NumberFilesInfected=100\r\n"), std::string::npos) << res;
  EXPECT_NE(res.find("LastVirusName=EICAR Test\r\n"), std::string::npos) << res;
  EXPECT_EQ(s.server->out().find("Error:"), std::string::npos) << s.server->out();
  s.server->send_signal(SIGTERM);
  EXPECT_EQ(s.server->wait(15000), 1) << s.server->out();
}

// A well-formed file-check request record (version 1.2), sealed; `spoil` changes it and
// reseals it when the change is to pass the checksum.
std::string sealed_request(const std::function<void(std::vector<uint8_t>&)>& spoil) {
  std::vector<uint8_t> r(160, 0);
  r[0] = 'W', r[1] = 'L', r[2] = 1, r[3] = 2;
  const std::string station = "EVIL1", name = "C:\\DOS\\EVIL.COM";
  std::copy(station.begin(), station.end(), r.begin() + 8);
  r[73] = 2;
  r[75] = 1;
  std::copy(name.begin(), name.end(), r.begin() + 117);
  server::seal_request(r);
  spoil(r);
  return std::string(r.begin(), r.end());
}

// Whatever a client writes, the real server logs it, throws it away and goes on serving.
TEST(ServerRun, MalformedRequestsAreDiscardedWithTheirLineAndTheServerGoesOn) {
  const struct {
    const char* base;
    std::function<void(std::vector<uint8_t>&)> spoil;
    const char* line;  // expected console text, before " from user " where it names one
  } cases[] = {
      {"MAGIC", [](std::vector<uint8_t>& r) { r[0] = 'X', server::seal_request(r); },
       "\nError:\tInvalid request received in file C:\\COMMS\\MAGIC.REQ from user "},
      {"V13", [](std::vector<uint8_t>& r) { r[3] = 3, server::seal_request(r); },
       "\nWarning:\tWardenline version is newer than this version of BRINT\n\tPlease upgrade this copy of BRINT\n"},
      {"V20", [](std::vector<uint8_t>& r) { r[2] = 2, r[3] = 0, server::seal_request(r); },
       "\nWarning:\tWardenline version is newer than this version of BRINT\n\tPlease upgrade this copy of BRINT\n"},
      {"CODE", [](std::vector<uint8_t>& r) { r[75] = 0x34, r[76] = 0x12, server::seal_request(r); },
       "\nError:\tUnknown request received (0x1234) from user "},
      {"NEGCODE", [](std::vector<uint8_t>& r) { r[75] = 0xFF, r[76] = 0xFF, server::seal_request(r); },
       "\nError:\tUnknown request received (0xFFFFFFFF) from user "},
  };
  ServerRun s;
  s.start();
  // Each record is written aside and renamed in, so the server never sees it half-written;
  // every source is EICAR, so a request wrongly checked would show.
  auto put = [&](const std::string& base, const std::string& record) {
    e2e::write_file(s.comms + "/" + base + ".SRC", e2e::read_file(kSamples + "eicar.com"));
    e2e::write_file(s.tmp.file("work/record"), record);
    std::filesystem::rename(s.tmp.file("work/record"), s.comms + "/" + base + ".REQ");
  };
  // Shorter than a request header: not taken up (a writer may still be filling it).
  put("SHORT", std::string("WL\x01\x02", 4) + std::string(56, '\0'));
  for (const auto& c : cases) put(c.base, sealed_request(c.spoil));

  for (const auto& c : cases) {
    SCOPED_TRACE(c.base);
    for (int i = 0; i < 200 && e2e::file_exists(s.comms + "/" + c.base + ".REQ"); ++i) {
      ASSERT_EQ(s.server->wait(50), -1) << s.server->out();
    }
    EXPECT_FALSE(e2e::file_exists(s.comms + "/" + c.base + ".REQ")) << s.server->out();
    EXPECT_FALSE(e2e::file_exists(s.comms + "/" + c.base + ".SRC"));
    EXPECT_FALSE(e2e::file_exists(s.comms + "/" + c.base + ".ANS")) << "no answer to a refused request";
  }
  // The server still answers a good request.
  auto good = s.client({"-s", "WS1", "-n", "C:\\DOS\\EICAR.COM", s.comms, kSamples + "eicar.com"});
  EXPECT_EQ(good.status, 3) << good.out << s.server->out();
  EXPECT_EQ(good.out, kSamples + "eicar.com: virus 'EICAR Test' found\n");

  const std::string out = s.server->out();
  for (const auto& c : cases) EXPECT_NE(out.find(c.line), std::string::npos) << c.base << "\n" << out;
  const std::string newer = cases[1].line;
  const size_t first_newer = out.find(newer);
  EXPECT_NE(out.find(newer, first_newer + 1), std::string::npos) << "one warning per newer version\n" << out;
  // Only the good request was checked; the short one waits, untouched.
  EXPECT_EQ(out.find("C:\\DOS\\EVIL.COM"), std::string::npos) << out;
  EXPECT_TRUE(e2e::file_exists(s.comms + "/SHORT.REQ"));
  EXPECT_TRUE(e2e::file_exists(s.comms + "/SHORT.SRC"));
  EXPECT_EQ(out.find("SHORT"), std::string::npos) << out;
  s.server->send_signal(SIGTERM);
  EXPECT_EQ(s.server->wait(15000), 1) << s.server->out();
}

}  // namespace
