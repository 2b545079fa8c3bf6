// Test harness for end-to-end tests: runs the real ntbrint binary (or another program)
// with a given environment, standard input or pseudo-terminal, and an optional faked
// clock, and captures its output and exit status.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// A temporary directory removed (recursively) when the object goes away.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);

// One step of a pseudo-terminal conversation: wait until the output after the previous
// step's text contains `wait_for` (empty: do not wait), then pause `delay_ms`, send the child `signal` (0: none)
// and type `send`.
struct PtyStep {
  std::string wait_for;
  std::string send;
  int signal = 0;
  int delay_ms = 0;
  std::function<void()> action = nullptr;  // run (when set) just before the signal and the typing
};

struct RunOptions {
  std::vector<std::string> args;             // arguments after the program name
  std::map<std::string, std::string> env;    // added to (or replacing) a minimal environment
  std::string cwd;                           // working directory (empty: the current one)
  std::string stdin_data;                    // bytes given on standard input (a pipe)
  bool no_stdin = false;                     // standard input closed (/dev/null is not used)
  bool use_pty = false;                      // run on a pseudo-terminal (stdin and stdout)
  std::vector<PtyStep> pty_steps;            // conversation on the pseudo-terminal
  std::string faketime;                      // e.g. "1995-08-31 12:00:00": run under faketime
  bool freeze_clock = false;                 // with faketime: the clock stands still (preloaded library only)
  std::string program;                       // empty: the ntbrint binary
  int timeout_ms = 20000;                    // the child is killed after this
  int signal_after_text_signal = 0;          // send this signal once `signal_after_text` is seen
  std::string signal_after_text;
  bool as_nobody = false;                    // when run as root: the child runs as uid and gid 65534,
                                             // so that file permissions hold for it
};

struct RunResult {
  std::string out;       // everything written to standard output (pty: terminal output)
  int status = -1;       // exit code (0-255), or 128 + signal number
  bool timed_out = false;
};

RunResult run(const RunOptions& options);

// A program (the server) running in the background while a test talks to it: standard
// output goes to the file `out_path`, standard error and input are /dev/null. The
// destructor kills it (SIGKILL) when it still runs and reaps it, so no test leaves it behind.
struct Background {
  int pid = -1;
  int status = -1;  // once ended: exit code (0-255) or 128 + signal number
  std::string out_path;
  Background(const RunOptions& options, const std::string& out_path);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  std::string out() const;
  // Whether `text` appears in the output within `timeout_ms`.
  bool wait_for_output(const std::string& text, int timeout_ms) const;
  void send_signal(int sig) const;
  // Waits up to `timeout_ms` for the program to end: its status, or -1 (still running).
  int wait(int timeout_ms);
};

// The path of the ntbrint binary under test, and whether faketime is installed.
std::string brint_binary();
bool have_faketime();

// Whether the tests run as root (then permissions only hold for a child run `as_nobody`).
bool running_as_root();

}  // namespace e2e
