// Keys from a script, the break signals, sleep slices, the environment view and the errno
// table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "host/syscalls.h"

namespace {

// Standard input replaced by the read end of a pipe for the test's lifetime.
struct StdinPipe {
  int saved = -1;
  int write_end = -1;
  StdinPipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    saved = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    write_end = fds[1];
    host::reset_console_io();
  }
  void send(const std::string& bytes) {
    EXPECT_EQ(write(write_end, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  void close_input() {
    if (write_end >= 0) close(write_end);
    write_end = -1;
  }
  ~StdinPipe() {
    close_input();
    dup2(saved, 0);
    close(saved);
    host::reset_console_io();
  }
};

TEST(ConsoleKeys, ScriptBytesAreKeysInOrderThenMinusOne) {
  StdinPipe in;
  EXPECT_FALSE(host::console_input_is_terminal());
  EXPECT_FALSE(host::console_key_available()) << "an empty open pipe must not block or count as a key";
  in.send(std::string("y\x1b[A\x03\r", 6));
  in.close_input();
  EXPECT_TRUE(host::console_key_available());
  EXPECT_TRUE(host::console_key_available()) << "asking twice must not drop the waiting byte";
  const int expected[] = {'y', 27, '[', 'A', 3, 13};  // no escape decoding for a script
  for (int k : expected) EXPECT_EQ(host::console_read_key(), k);
  EXPECT_FALSE(host::console_key_available());
  EXPECT_EQ(host::console_read_key(), -1);
  EXPECT_EQ(host::console_read_key(), -1);
}

TEST(ConsoleKeys, ScriptBytesSurviveTypeaheadDiscard) {
  StdinPipe in;
  in.send("N");
  in.close_input();
  ASSERT_TRUE(host::console_key_available());
  host::console_discard_typeahead();
  EXPECT_EQ(host::console_read_key(), 'N');
}

TEST(ConsoleKeys, NoStandardInputReadsMinusOneAtOnce) {
  int saved = dup(0);
  close(0);
  host::reset_console_io();
  EXPECT_FALSE(host::console_key_available());
  EXPECT_EQ(host::console_read_key(), -1);
  dup2(saved, 0);
  close(saved);
  host::reset_console_io();
}

TEST(ConsoleBreaks, SignalsCountAndTermHupRequestStop) {
  const struct {
    int signo;
    bool terminates;
  } cases[] = {{SIGINT, false}, {SIGQUIT, false}, {SIGTERM, true}, {SIGHUP, true}};
  for (const auto& c : cases) {
    host::install_break_handler();
    EXPECT_EQ(host::break_count(), 0);
    raise(c.signo);
    raise(c.signo);
    EXPECT_EQ(host::break_count(), 2) << c.signo;
    EXPECT_EQ(host::terminate_requested(), c.terminates) << c.signo;
    host::restore_break_handler();
  }
  host::reset_console_io();
}

unsigned g_slept = 0;
void counting_sleep(unsigned ms) {
  g_slept += ms;
  if (g_slept >= 300) raise(SIGTERM);
}

TEST(Sleep, StopsEarlyOnTerminateRequest) {
  host::install_break_handler();
  g_slept = 0;
  host::g_syscalls.sleep_ms = counting_sleep;
  host::sleep_ms(250);
  EXPECT_EQ(g_slept, 250u);
  host::sleep_ms(10000);
  EXPECT_EQ(g_slept, 350u) << "the sleep goes on in slices until the terminate request";
  host::reset_syscalls();
  host::restore_break_handler();
  host::reset_console_io();
}

TEST(Environment, TmpAndUsernameFallBack) {
  const struct {
    const char* tmp;
    const char* tmpdir;
    const char* want;
  } tmp_cases[] = {{"/a", "/b", "/a"}, {nullptr, "/b", "/b"}, {"", "/b", "/b"}, {nullptr, nullptr, "/tmp"}};
  for (const auto& c : tmp_cases) {
    c.tmp ? setenv("TMP", c.tmp, 1) : unsetenv("TMP");
    c.tmpdir ? setenv("TMPDIR", c.tmpdir, 1) : unsetenv("TMPDIR");
    EXPECT_EQ(host::get_env("TMP").value_or("?"), c.want);
  }
  setenv("USERNAME", "alice", 1);
  setenv("USER", "bob", 1);
  EXPECT_EQ(host::get_env("USERNAME").value_or("?"), "alice");
  unsetenv("USERNAME");
  EXPECT_EQ(host::get_env("USERNAME").value_or("?"), "bob");
  unsetenv("USER");
  EXPECT_EQ(host::get_env("USERNAME").value_or("?"), host::account_name(uint32_t(getuid())));
  unsetenv("SystemRoot");
  EXPECT_FALSE(host::get_env("SystemRoot").has_value());
  unsetenv("TMP");
  unsetenv("TMPDIR");
}

TEST(Environment, SystemDirectoryChoice) {
  setenv("BRINT_SYSTEM", "/x/sys", 1);
  EXPECT_EQ(host::system_directory(), "/x/sys");
  unsetenv("BRINT_SYSTEM");
  if (geteuid() == 0) {
    EXPECT_EQ(host::system_directory(), "/var/lib/brint");
  } else {
    setenv("XDG_STATE_HOME", "/st", 1);
    EXPECT_EQ(host::system_directory(), "/st/brint");
    unsetenv("XDG_STATE_HOME");
  }
}

TEST(Names, UpperCasingTouchesOnlyAsciiLetters) {
  EXPECT_EQ(host::upper("abc.exe"), "ABC.EXE");
  EXPECT_EQ(host::upper("\xc3\xa9t\xc3\xa9"), "\xc3\xa9T\xc3\xa9");  // "été": multibyte kept
  EXPECT_EQ(host::upper("z{`a@"), "Z{`A@");
  // Every byte value at every place of a word and of the bytes after the last whole word,
  // among neighbours that are letters, bytes past ASCII and the bytes next to 'a' and 'z'.
  const char around[] = {'a', 'z', '`', '{', 'A', 'Z', '\x80', '\xe1', '\xfa', '\xff'};
  for (size_t size : {8u, 17u}) {
    for (size_t at = 0; at < size; ++at) {
      for (int v = 0; v < 256; ++v) {
        std::string s(size, ' ');
        for (size_t k = 0; k < size; ++k) s[k] = around[(k + size_t(v)) % sizeof around];
        s[at] = char(v);
        std::string expected = s;
        for (char& c : expected) c = host::upper_char(c);
        ASSERT_EQ(host::upper(s), expected) << "size " << size << " at " << at << " byte " << v;
      }
    }
  }
}

TEST(Names, ComputerNameIsUpperCasedUpToFirstDot) {
  std::string name = host::computer_name();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('.'), std::string::npos);
  EXPECT_EQ(name, host::upper(name));
}

TEST(Errors, ErrnoMapsToNtCodes) {
  const struct {
    int err;
    int nt;
  } cases[] = {{ENOENT, 2},  {ENOTDIR, 3},  {EACCES, 5}, {EPERM, 5},          {EISDIR, 5},  {EWOULDBLOCK, 32},
               {EEXIST, 80}, {ENOSPC, 112}, {EROFS, 19}, {EIO, 23},           {EINVAL, 87}, {ENOMEM, 8},
               {EMFILE, 4},  {ENFILE, 4},   {EBADF, 31}, {ENAMETOOLONG, 206}, {EXDEV, 31},  {0, 0}};
  for (const auto& c : cases) EXPECT_EQ(host::nt_error(c.err), c.nt) << "errno " << c.err;
}

}  // namespace
