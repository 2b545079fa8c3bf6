// Keys from a terminal: raw mode for each read and restored after, escape sequences of
// cursor and function keys decoded (never taken for Esc), a lone Esc, Ctrl-C as key 3.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "host/host.h"

namespace {

// Standard input replaced by the slave side of a new pseudo-terminal.
struct PtyStdin {
  int master = -1;
  int slave = -1;
  int saved = -1;
  PtyStdin() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    saved = dup(0);
    dup2(slave, 0);
    host::reset_console_io();
  }
  void type(const std::string& bytes) {
    EXPECT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  ~PtyStdin() {
    dup2(saved, 0);
    close(saved);
    close(slave);
    close(master);
    host::reset_console_io();
  }
};

// Waits (up to 2 s) until the terminal has taken in `n` bytes: a pseudo-terminal hands typed
// bytes on asynchronously, and a sequence must arrive whole before it is read.
bool arrived(size_t n) {
  for (int i = 0; i < 200; ++i) {
    int waiting = 0;
    if (ioctl(0, FIONREAD, &waiting) == 0 && size_t(waiting) >= n) return true;
    usleep(10000);
  }
  return false;
}

TEST(TerminalKeys, RawReadsDecodeSequencesAndRestoreTheMode) {
  PtyStdin pty;
  ASSERT_TRUE(host::console_input_is_terminal());
  termios before{};
  ASSERT_EQ(tcgetattr(0, &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);
  EXPECT_FALSE(host::console_key_available());
  pty.type("y");  // typed in line mode, without Enter
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    seen = host::console_key_available();
    if (!seen) usleep(10000);
  }
  EXPECT_TRUE(seen) << "a key typed without Enter is waiting";
  EXPECT_EQ(host::console_read_key(), 'y');
  // The rest is typed in character mode (as between reads, but with every byte countable),
  // with the terminal's own Enter translation (CR to LF) left on.
  termios chars = before;
  chars.c_lflag &= ~tcflag_t(ICANON | ECHO);
  ASSERT_EQ(tcsetattr(0, TCSANOW, &chars), 0);
  const struct {
    const char* what;
    std::string bytes;
    std::vector<int> keys;
  } cases[] = {
      {"up arrow", "\x1b[A", {224, 72}},
      {"down arrow (SS3 form)", "\x1bOB", {224, 80}},
      {"delete", "\x1b[3~", {224, 83}},
      {"F1", "\x1bOP", {0, 59}},
      {"F10", "\x1b[21~", {0, 68}},
      {"ctrl+right arrow", "\x1b[1;5C", {224, 77}},
      {"unknown sequence then a key", "\x1b[99zq", {0, 'q'}},
      {"lone Esc", "\x1b", {27}},
      {"Enter (turned into LF by the terminal between reads)", "\r", {13}},
      {"Ctrl-J", "\n", {13}},
  };
  for (const auto& c : cases) {
    pty.type(c.bytes);
    ASSERT_TRUE(arrived(c.bytes.size())) << c.what;
    for (int k : c.keys) EXPECT_EQ(host::console_read_key(), k) << c.what;
    termios after{};
    ASSERT_EQ(tcgetattr(0, &after), 0);
    EXPECT_EQ(after.c_lflag, chars.c_lflag) << c.what << ": the mode is restored after the read";
    int left = -1;
    ASSERT_EQ(ioctl(0, FIONREAD, &left), 0);
    ASSERT_EQ(left, 0) << c.what << ": the whole sequence is one key";
  }
}

TEST(TerminalKeys, CtrlCIsAKeyWhileReading) {
  PtyStdin pty;
  termios raw{};
  ASSERT_EQ(tcgetattr(0, &raw), 0);
  termios saved = raw;
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(0, TCSANOW, &raw), 0);  // as during a read: Ctrl-C is a byte
  pty.type("\x03");
  ASSERT_TRUE(arrived(1)) << "taken in while raw; restoring the mode first would make it a signal";
  ASSERT_EQ(tcsetattr(0, TCSANOW, &saved), 0);
  EXPECT_EQ(host::console_read_key(), 3);
}

TEST(TerminalKeys, TypeaheadDiscardedOnTerminal) {
  PtyStdin pty;
  pty.type("abc");
  ASSERT_TRUE(host::console_key_available());
  host::console_discard_typeahead();
  EXPECT_FALSE(host::console_key_available());
}

// A process in the background of its controlling terminal polls for keys without being
// stopped (SIGTTOU) and sees none; in the foreground it sees the typed key.
TEST(TerminalKeys, BackgroundProcessPollsWithoutStopping) {
  for (bool background : {false, true}) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave_name = ptsname(master);
    ASSERT_EQ(write(master, "k", 1), 1);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setsid();
      int slave = open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
      if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(10);
      dup2(slave, 0);
      if (background) {
        pid_t child = fork();  // a member of a new process group, not the terminal's
        if (child > 0) {
          int st = 0;
          waitpid(child, &st, WUNTRACED);
          _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 20);  // a stopped child is a failure
        }
        setpgid(0, 0);
      }
      host::reset_console_io();
      bool available = host::console_key_available();
      _exit(available ? 1 : 0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), background ? 0 : 1) << (background ? "background" : "foreground");
    close(master);
  }
}

}  // namespace
