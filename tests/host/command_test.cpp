// The command interpreter, shell quoting and file owners.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "host/host.h"
#include "host_test_util.h"

namespace {

using hosttest::TempTree;

TEST(Command, ExitStatusAndQuotedValuesReachTheCommandWhole) {
  TempTree t;
  int status = -1;
  ASSERT_EQ(host::run_command("exit 7", status), 0);
  EXPECT_EQ(status, 7);
  ASSERT_EQ(host::run_command("kill -TERM $$", status), 0);
  EXPECT_EQ(status, 128 + 15);
  const char* hostile[] = {"plain",         "two words", "it's", "$(touch pwned)", "`touch pwned`",
                           "a;touch pwned", "new\nline", "",     "'\"\\"};
  for (const char* v : hostile) {
    std::string out = t.at("out");
    ASSERT_EQ(host::run_command("printf %s " + host::shell_quote(v) + " > " + host::shell_quote(out), status),
              0);
    EXPECT_EQ(status, 0) << v;
    EXPECT_EQ(access(t.at("pwned").c_str(), F_OK), -1) << v;
    EXPECT_EQ(access("pwned", F_OK), -1) << v;
    FILE* f = fopen(out.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[64] = {};
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, n), v);
  }
}

TEST(Command, OwnerNameOfFile) {
  TempTree t;
  t.file("f");
  std::string name;
  ASSERT_EQ(host::file_owner_name(t.at("f"), name), 0);
  std::string me = host::account_name(uint32_t(geteuid()));
  EXPECT_EQ(name, me.size() <= 14 ? me : "Unknown");
  ASSERT_EQ(chown(t.at("f").c_str(), 0x7ffffff0u, gid_t(-1)) == 0 || geteuid() != 0, true);
  if (geteuid() == 0) {
    EXPECT_NE(host::file_owner_name(t.at("f"), name), 0) << "a user id with no account";
    EXPECT_EQ(name, "Unknown");
  }
  EXPECT_NE(host::file_owner_name(t.at("missing"), name), 0);
  EXPECT_EQ(name, "Unknown");
}

}  // namespace
