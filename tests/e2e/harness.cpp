// Runs a child process for the end-to-end tests: pipes or a pseudo-terminal, a bounded
// wait, and the exit status as a shell would see it.
#include "e2e/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

TempDir::TempDir() {
  char tmpl[] = "/tmp/brint-e2e-XXXXXX";
  const char* p = mkdtemp(tmpl);
  if (!p) throw std::runtime_error("mkdtemp failed");
  path = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only files and directories behind: give the owner write first.
  for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path) { std::filesystem::create_directories(path); }

std::string brint_binary() { return BRINT_BINARY; }

bool running_as_root() { return ::geteuid() == 0; }

namespace {

// The faked-clock library itself: preloaded into the program, so that the child is the
// program and not the faketime wrapper (signals sent to the child must reach the program).
std::string faketime_library() {
  for (const char* p : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                        "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                        "/usr/lib/faketime/libfaketime.so.1", "/usr/local/lib/faketime/libfaketime.so.1"}) {
    if (::access(p, R_OK) == 0) return p;
  }
  return {};
}

std::string faketime_wrapper() {
  for (const char* p : {"/usr/bin/faketime", "/usr/local/bin/faketime"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return {};
}

}  // namespace

bool have_faketime() { return !faketime_library().empty() || !faketime_wrapper().empty(); }

namespace {

std::vector<std::string> build_env(const RunOptions& o) {
  std::map<std::string, std::string> env = {
      {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"TZ", "UTC"}, {"LANG", "C"}, {"USER", "tester"},
      {"HOME", "/tmp"}};
  if (!o.faketime.empty() && !faketime_library().empty()) {
    // As the faketime wrapper does it: the clock starts at the given time and runs on;
    // without the "@" it stands still there.
    env["LD_PRELOAD"] = faketime_library();
    env["FAKETIME"] = (o.freeze_clock ? "" : "@") + o.faketime;
  }
  for (const auto& [k, v] : o.env) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

std::vector<std::string> build_argv(const RunOptions& o) {
  std::vector<std::string> argv;
  if (!o.faketime.empty() && faketime_library().empty()) {
    argv.push_back(faketime_wrapper());
    argv.push_back(o.faketime);
  }
  argv.push_back(o.program.empty() ? brint_binary() : o.program);
  for (const auto& a : o.args) argv.push_back(a);
  return argv;
}

[[noreturn]] void exec_child(const RunOptions& o, const std::vector<std::string>& argv,
                             const std::vector<std::string>& env) {
  if (o.as_nobody && ::geteuid() == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(126);
  }
  if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) _exit(126);
  std::vector<char*> av, ev;
  for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  for (const auto& e : env) ev.push_back(const_cast<char*>(e.c_str()));
  ev.push_back(nullptr);
  signal(SIGPIPE, SIG_DFL);
  ::execve(av[0], av.data(), ev.data());
  _exit(127);
}

int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

}  // namespace

RunResult run(const RunOptions& o) {
  RunResult r;
  const auto argv = build_argv(o);
  const auto env = build_env(o);
  signal(SIGPIPE, SIG_IGN);

  int out_fd = -1, in_fd = -1;
  pid_t pid;
  if (o.use_pty) {
    int master = -1;
    struct winsize ws = {24, 80, 0, 0};
    pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
      // Keys are typed as soon as a prompt shows, which may be before the program has put
      // the terminal in raw mode for its read: the terminal itself must not echo them.
      struct termios tio;
      if (tcgetattr(0, &tio) == 0) {
        tio.c_lflag &= ~tcflag_t(ECHO | ECHONL);
        tcsetattr(0, TCSANOW, &tio);
      }
      exec_child(o, argv, env);
    }
    out_fd = in_fd = master;
  } else {
    int outp[2], inp[2];
    if (pipe(outp) != 0 || pipe(inp) != 0) throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      dup2(outp[1], 1);
      int devnull = ::open("/dev/null", O_WRONLY);
      dup2(devnull, 2);  // the program writes nothing to standard error; keep test output clean
      if (o.no_stdin) {
        ::close(0);
      } else {
        dup2(inp[0], 0);
      }
      ::close(outp[0]); ::close(outp[1]); ::close(inp[0]); ::close(inp[1]);
      exec_child(o, argv, env);
    }
    ::close(outp[1]);
    ::close(inp[0]);
    out_fd = outp[0];
    if (!o.stdin_data.empty()) {
      // Small inputs only: the pipe buffer holds them, so this cannot block.
      ssize_t w = ::write(inp[1], o.stdin_data.data(), o.stdin_data.size());
      (void)w;
    }
    ::close(inp[1]);
  }

  size_t step = 0;
  size_t search_from = 0;  // output before this has answered an earlier step
  bool signalled = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.timeout_ms);
  char buf[4096];
  for (;;) {
    // Feed the pseudo-terminal conversation as its prompts appear.
    // Each step looks for its text after the text of the step before it, so that the same
    // prompt can be answered several times.
    while (o.use_pty && step < o.pty_steps.size()) {
      const PtyStep& ps = o.pty_steps[step];
      if (!ps.wait_for.empty()) {
        const size_t at = r.out.find(ps.wait_for, search_from);
        if (at == std::string::npos) break;
        search_from = at + ps.wait_for.size();
      }
      if (ps.delay_ms > 0) ::usleep(static_cast<useconds_t>(ps.delay_ms) * 1000);
      if (ps.action) ps.action();
      if (ps.signal != 0) ::kill(pid, ps.signal);
      const auto& s = ps.send;
      if (!s.empty()) {
        ssize_t w = ::write(in_fd, s.data(), s.size());
        (void)w;
      }
      ++step;
    }
    if (!signalled && o.signal_after_text_signal != 0 &&
        r.out.find(o.signal_after_text) != std::string::npos) {
      ::kill(pid, o.signal_after_text_signal);
      signalled = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      r.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd pfd = {out_fd, POLLIN, 0};
    int pr = ::poll(&pfd, 1, static_cast<int>(left < 100 ? left : 100));
    if (pr > 0) {
      ssize_t n = ::read(out_fd, buf, sizeof buf);
      if (n > 0) {
        r.out.append(buf, static_cast<size_t>(n));
        continue;
      }
      break;  // end of output (pty: EIO once the child has gone)
    }
  }
  ::close(out_fd);
  int st = 0;
  ::waitpid(pid, &st, 0);
  r.status = r.timed_out ? -1 : decode_status(st);
  return r;
}


Background::Background(const RunOptions& o, const std::string& path) : out_path(path) {
  const auto argv = build_argv(o);
  const auto env = build_env(o);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (out < 0 || devnull < 0) _exit(126);
    dup2(out, 1);
    dup2(devnull, 2);
    dup2(devnull, 0);
    ::close(out);
    ::close(devnull);
    exec_child(o, argv, env);
  }
  pid = child;
}

Background::~Background() {
  if (pid > 0 && status < 0) {
    ::kill(pid, SIGKILL);
    int st = 0;
    ::waitpid(pid, &st, 0);
  }
}

std::string Background::out() const { return file_exists(out_path) ? read_file(out_path) : std::string(); }

bool Background::wait_for_output(const std::string& text, int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (out().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(50 * 1000);
  }
}

void Background::send_signal(int sig) const {
  if (pid > 0 && status < 0) ::kill(pid, sig);
}

int Background::wait(int timeout_ms) {
  if (status >= 0 || pid <= 0) return status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) {
      status = decode_status(st);
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    ::usleep(50 * 1000);
  }
}

}  // namespace e2e
