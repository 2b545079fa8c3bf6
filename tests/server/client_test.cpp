// wlclient against a server loop running in a child process: clean and infected files, a
// boot-sector image, a client report, the administrator's QuitBRINT, and no server at all.
#include <sys/wait.h>

#include <cstdio>

#include "server_test_util.h"

namespace {

using servertest::exists;
using servertest::read_text;
using servertest::ServerFixture;
using servertest::write_text;

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
};

TEST_F(ClientTest, ClientAndServerLoopWorkThroughRequests) {
  write_text(ini, "MinTime=0\nMaxTime=0\nRemovalMode=COPY\n");
  servertest::write_file(dir + "/clean.bin", {servertest::kCleanByte, 1, 2, 3});
  servertest::write_file(dir + "/bad.bin", {servertest::kVirusByte, 1, 2, 3});
  driver::g_settings.no_interrupting = false;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!freopen("/dev/null", "r", stdin)) _exit(9);
    server::read_server_state();
    server::server_loop();
  }
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

  write_text(ini, "MinTime=0\nMaxTime=0\nQuitBRINT=ON\n");
  servertest::set_mtime(ini, time(nullptr) + 60);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(exists(infected + "/BAD.000"));
  EXPECT_TRUE(exists(infected + "/BOOT.000"));
  EXPECT_FALSE(exists(comms + "/wl.sta"));
  EXPECT_FALSE(exists(res));
}

TEST_F(ClientTest, NoServerMeansNoAnswerAndTheRequestIsTakenBack) {
  servertest::write_file(dir + "/f.bin", {1});
  std::string text;
  EXPECT_EQ(client("-t 1 " + comms + " " + dir + "/f.bin", text), 2);
  EXPECT_NE(text.find("no answer within 1 seconds"), std::string::npos) << text;
  std::vector<host::FindData> left;
  host::list_directory(comms, "*.*", left);
  EXPECT_TRUE(left.empty() || (left.size() == 2 && left[0].name == "." && left[1].name == ".."));
  EXPECT_EQ(client("-t 1 " + comms + " " + dir + "/missing.bin", text), 2);
}

}  // namespace
