// wlclient against a server loop running in a child process: clean and infected files, a
// boot-sector image, a client report, the administrator's QuitBRINT, and no server at all.
#include <sys/wait.h>

#include <cstdio>
#include <map>

#include "server_test_util.h"

namespace {

using servertest::exists;
using servertest::read_file;
using servertest::ServerFixture;
using servertest::write_file;

class ClientTest : public ServerFixture {
 protected:
  // Runs wlclient with `args`; its exit code, and its standard output in `text`.
  int client(const std::string& args, std::string& text) {
    const std::string command = std::string(WLCLIENT_PATH) + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    text.clear();
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Runs the server loop in a child process with standard input at its end; the child's id.
  pid_t fork_server_loop() {
    driver::g_settings.no_interrupting = false;
    const pid_t pid = fork();
    if (pid == 0) {
      if (!freopen("/dev/null", "r", stdin)) _exit(9);
      server::read_server_state();
      server::server_loop();
    }
    return pid;
  }
  // Asks the server loop to quit through its settings file; its exit code (-1: it did not
  // exit normally or could not be waited for).
  int quit_server_loop(pid_t pid) {
    write_file(ini, "MinTime=0\nMaxTime=0\nQuitBRINT=ON\n");
    servertest::set_mtime(ini, time(nullptr) + 60);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
};

TEST_F(ClientTest, ClientAndServerLoopWorkThroughRequests) {
  write_file(ini, "MinTime=0\nMaxTime=0\nRemovalMode=COPY\n");
  servertest::write_bytes(dir + "/clean.bin", {servertest::kCleanByte, 1, 2, 3});
  servertest::write_bytes(dir + "/bad.bin", {servertest::kVirusByte, 1, 2, 3});
  const pid_t pid = fork_server_loop();
  ASSERT_GE(pid, 0);
  std::string text;
  EXPECT_EQ(client("-t 20 " + comms + " " + dir + "/clean.bin", text), 0) << text;
  EXPECT_EQ(text, dir + "/clean.bin: no virus found\n");
  EXPECT_EQ(client("-t 20 -n 'C:\\TOOLS\\BAD.EXE' " + comms + " " + dir + "/bad.bin", text), 3) << text;
  EXPECT_EQ(text, dir + "/bad.bin: virus 'Testvir One' found\n");
  EXPECT_EQ(client("-t 20 -b " + comms + " " + dir + "/bad.bin", text), 3) << text;
  EXPECT_EQ(client("-r 3 " + comms + " 'disk full'", text), 0) << text;
  EXPECT_EQ(client("-t 20 -v 1.3 " + comms + " " + dir + "/clean.bin -t 1", text), 2) << text;
  EXPECT_NE(text.find("no answer within 1 seconds"), std::string::npos) << text;
  EXPECT_EQ(client(comms, text), 2);  // bad arguments

  ASSERT_EQ(quit_server_loop(pid), 1);
  EXPECT_TRUE(exists(infected + "/BAD.000"));
  EXPECT_TRUE(exists(infected + "/BOOT.000"));
  EXPECT_FALSE(exists(comms + "/wl.sta"));
  EXPECT_FALSE(exists(res));
}

TEST_F(ClientTest, ManyClientsAtOnceGetTheirOwnAnswersAndTheStatisticsAddUp) {
  write_file(ini, "MinTime=0\nMaxTime=0\n");
  constexpr int kClients = 40;
  for (int i = 0; i < kClients; ++i) {
    servertest::write_bytes(dir + "/f" + std::to_string(i),
                           {i % 2 ? servertest::kVirusByte : servertest::kCleanByte, uint8_t(i)});
  }
  const pid_t pid = fork_server_loop();
  ASSERT_GE(pid, 0);
  // Every client in the background; each writes "index exit-code" when it ends.
  std::string script = "cd " + dir + " && for i in $(seq 0 " + std::to_string(kClients - 1) + "); do (" +
                       WLCLIENT_PATH + " -t 60 " + comms + " f$i >/dev/null; echo \"$i $?\" >> codes) & done; wait";
  ASSERT_EQ(std::system(script.c_str()), 0);
  std::istringstream codes(read_file(dir + "/codes"));
  std::map<int, int> exit_codes;
  for (int index, code; codes >> index >> code;) exit_codes[index] = code;
  ASSERT_EQ(exit_codes.size(), size_t(kClients));
  for (const auto& [index, code] : exit_codes) EXPECT_EQ(code, index % 2 ? 3 : 0) << "client " << index;
  // The result file catches up within a few passes.
  std::string result;
  for (int tries = 0; tries < 100; ++tries) {
    result = read_file(res);
    if (result.find("NumberFilesBrinted=40\r\n") != std::string::npos) break;
    usleep(50000);
  }
  EXPECT_NE(result.find("NumberFilesBrinted=40\r\nNumberFilesInfected=20\r\n"), std::string::npos) << result;
  EXPECT_EQ(quit_server_loop(pid), 1);
}

TEST_F(ClientTest, NoServerMeansNoAnswerAndTheRequestIsTakenBack) {
  servertest::write_bytes(dir + "/f.bin", {1});
  std::string text;
  EXPECT_EQ(client("-t 1 " + comms + " " + dir + "/f.bin", text), 2);
  EXPECT_NE(text.find("no answer within 1 seconds"), std::string::npos) << text;
  std::vector<host::FindData> left;
  host::list_directory(comms, "*.*", left);
  EXPECT_TRUE(left.empty() || (left.size() == 2 && left[0].name == "." && left[1].name == ".."));
  EXPECT_EQ(client("-t 1 " + comms + " " + dir + "/missing.bin", text), 2);
}

}  // namespace
