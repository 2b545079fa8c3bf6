// The console: standard output, the keys of standard input, break signals, beeps, bring to
// front and the message box.
//
// Output goes to the process's standard output through stdio's buffer; it is flushed
// before every key read and whenever a text carries "\r" (a progress line must show at
// once). Nothing is ever written to standard error.
//
// Keys. When standard input is a terminal, each read switches it to raw mode without echo
// (Ctrl-C is then read as key 3, not a signal) and restores the saved mode afterwards;
// "a key is waiting" switches to the same mode for a poll of zero time (and is false, without
// touching the terminal, while the process runs in the terminal's background). A terminal's
// escape sequences are decoded: a lone Esc is 27; the cursor and editing keys give the
// prefix 224 and the function keys F1-F12 the prefix 0, each followed by its keyboard
// scan code on the next read; sequences not known are dropped whole, so an arrow key is
// never taken for Esc. Enter is 13 also when typed while no read was waiting (the terminal,
// then in line mode, turns it into a line feed). When standard input is not a terminal its
// bytes are the keys, in order, undecoded; at the end of input, or when there is no
// standard input, no key is waiting and a read returns -1 at once (and stays at -1).
//
// Signals. SIGINT, SIGQUIT, SIGTERM and SIGHUP add one to the break counter; SIGTERM and
// SIGHUP also set the terminate flag, which the program's poll for quit honours even when
// interrupting is off. The handlers touch only lock-free atomics. A blocking key read that
// a signal interrupts goes on waiting, except after SIGTERM or SIGHUP, when it returns -1.
//
// Choices of this file: the beep's frequency and duration are not reproduced (a BEL has
// neither) and nothing sleeps; the message box is drawn on and read from the controlling
// terminal ("/dev/tty"), and is skipped when there is none, since it could never be closed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/syscalls.h"

namespace host {

ConsoleIo g_console_io;

namespace {

std::atomic<int> g_breaks{0};          // breaks counted by the handler
std::atomic<bool> g_terminate{false};  // SIGTERM or SIGHUP seen
struct sigaction g_saved_actions[4];   // handling before install_break_handler
bool g_handlers_installed = false;     // the saved actions are valid

constexpr int kBreakSignals[4] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr int kEscapeWaitMs = 100;    // how long after Esc the rest of a sequence may take
constexpr size_t kMaxSequence = 16;  // longer escape sequences are dropped unread past this

extern "C" void on_break_signal(int signo) {
  g_breaks.fetch_add(1, std::memory_order_relaxed);
  if (signo == SIGTERM || signo == SIGHUP) g_terminate.store(true, std::memory_order_relaxed);
}

// Whether fd 0 exists at all (a process may be started with it closed).
bool stdin_open() {
  return fcntl(0, F_GETFD) != -1;
}

constexpr int kInputNone = 0, kInputScript = 1, kInputTerminal = 2;
constexpr int64_t kTerminalQuietNs = 10'000'000;

// A monotonic clock that costs no system call (a few milliseconds coarse).
int64_t coarse_clock_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// What standard input is. It does not change during a run, and the status display asks at
// every piece of a file it reads: the system is asked once (again after reset_console_io).
int input_kind() {
  if (g_console_io.input_kind < 0)
    g_console_io.input_kind = !stdin_open() ? kInputNone : isatty(0) == 1 ? kInputTerminal : kInputScript;
  return g_console_io.input_kind;
}

// Raw mode without echo on `fd` for the lifetime of the object; restores the saved mode.
struct RawMode {
  int fd = -1;
  termios saved{};
  bool active = false;
  explicit RawMode(int tty_fd) : fd(tty_fd) {
    if (tcgetattr(fd, &saved) != 0) return;
    termios raw = saved;
    raw.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active = tcsetattr(fd, TCSANOW, &raw) == 0;
  }
  ~RawMode() {
    if (active) tcsetattr(fd, TCSANOW, &saved);
  }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
};

// Waits up to `timeout_ms` (-1: for ever) for `fd` to become readable. True when it is;
// a signal ends the wait as "not readable" only after a terminate request.
bool wait_readable(int fd, int timeout_ms) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // let the read report the failure
    if (g_terminate.load() || timeout_ms == 0) return false;
  }
}

// One byte from `fd`: the byte, -1 at the end of input or on a failure; -2 when a signal
// interrupted a blocking read and a terminate request is pending.
int read_byte(int fd) {
  for (;;) {
    unsigned char c = 0;
    long n = g_syscalls.read(fd, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) {
      if (g_terminate.load()) return -2;
      continue;
    }
    return -1;
  }
}

// Scan code of a CSI/SS3 sequence's final byte and number, with its prefix; 0 when unknown.
struct KeyMap {
  char final_byte;
  int number;  // the "N" of ESC [ N ~, or 0 for the letter forms
  int prefix;
  int scan;
};
constexpr KeyMap kKeyMap[] = {
    {'A', 0, 224, 72}, {'B', 0, 224, 80}, {'C', 0, 224, 77}, {'D', 0, 224, 75}, {'H', 0, 224, 71},
    {'F', 0, 224, 79}, {'P', 0, 0, 59},   {'Q', 0, 0, 60},   {'R', 0, 0, 61},   {'S', 0, 0, 62},
    {'~', 1, 224, 71}, {'~', 2, 224, 82}, {'~', 3, 224, 83}, {'~', 4, 224, 79}, {'~', 5, 224, 73},
    {'~', 6, 224, 81}, {'~', 7, 224, 71}, {'~', 8, 224, 79}, {'~', 11, 0, 59},  {'~', 12, 0, 60},
    {'~', 13, 0, 61},  {'~', 14, 0, 62},  {'~', 15, 0, 63},  {'~', 17, 0, 64},  {'~', 18, 0, 65},
    {'~', 19, 0, 66},  {'~', 20, 0, 67},  {'~', 21, 0, 68},  {'~', 23, 0, 133}, {'~', 24, 0, 134},
};

// After an Esc read from the terminal `fd` (in raw mode): a lone Esc gives 27; a sequence
// "ESC [ ..." or "ESC O x" is read whole and gives its prefix code, with the scan code
// left pending; an unknown sequence gives 0 (callers waiting for a key read on).
int decode_escape(int fd) {
  if (!wait_readable(fd, kEscapeWaitMs)) return 27;
  int c = read_byte(fd);
  if (c != '[' && c != 'O') return c < 0 ? 27 : 0;  // Alt+key: dropped as unknown
  int number = 0;                                   // the first parameter of "ESC [ N ~"
  int final_byte = 0;                               // the byte that ends the sequence
  bool in_first = true;
  for (size_t i = 0; i < kMaxSequence && final_byte == 0; ++i) {
    if (!wait_readable(fd, kEscapeWaitMs)) break;
    int b = read_byte(fd);
    if (b < 0) break;
    if (c == 'O' || (b >= 0x40 && b <= 0x7E)) {
      final_byte = b;
    } else if (b >= '0' && b <= '9') {
      if (in_first && number < 1000) number = number * 10 + (b - '0');
    } else if (b == ';') {
      in_first = false;  // modifier parameters: the key is the same
    }
  }
  if (final_byte != '~') number = 0;
  for (const KeyMap& k : kKeyMap) {
    if (k.final_byte == final_byte && k.number == number) {
      g_console_io.pending_scan = k.scan;
      return k.prefix;
    }
  }
  return 0;
}

// The controlling terminal opened for reading and writing, or -1.
int open_tty() {
  return g_syscalls.open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC, 0);
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    long w = g_syscalls.write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= size_t(w);
  }
}

}  // namespace

void reset_console_io() {
  g_console_io = ConsoleIo{};
  g_breaks.store(0);
  g_terminate.store(false);
}

void console_write(std::string_view text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (text.find('\r') != std::string_view::npos) std::fflush(stdout);
}

void console_flush() {
  std::fflush(stdout);
}

bool console_input_is_terminal() {
  return input_kind() == kInputTerminal;
}

bool console_key_available() {
  if (g_console_io.pending_scan >= 0 || g_console_io.pushed_back >= 0) return true;
  if (g_console_io.at_end || input_kind() == kInputNone) return false;
  if (input_kind() == kInputTerminal) {
    // Asking a terminal takes five system calls (mode out and back), and the program asks at
    // every piece of every file it reads: after an answer of "nothing" the terminal is asked
    // again only when kTerminalQuietNs have passed. A typed key waits that long at most.
    const int64_t now = coarse_clock_ns();
    if (now < g_console_io.quiet_until) return false;
    // A process in the background of its terminal has no keys, and must not touch the
    // terminal's mode (the system would stop it with SIGTTOU at every poll).
    pid_t foreground = tcgetpgrp(0);
    bool ready = false;
    if (foreground == -1 || foreground == getpgrp()) {
      RawMode raw(0);
      ready = wait_readable(0, 0);
    }
    if (!ready) g_console_io.quiet_until = now + kTerminalQuietNs;
    return ready;
  }
  if (!wait_readable(0, 0)) return false;  // a pipe with nothing written yet: no key
  int c = read_byte(0);
  if (c < 0) {
    g_console_io.at_end = true;
    return false;
  }
  g_console_io.pushed_back = c;
  return true;
}

int console_read_key() {
  std::fflush(stdout);
  if (g_console_io.pending_scan >= 0) {
    int scan = g_console_io.pending_scan;
    g_console_io.pending_scan = -1;
    return scan;
  }
  if (g_console_io.pushed_back >= 0) {
    int c = g_console_io.pushed_back;
    g_console_io.pushed_back = -1;
    return c;
  }
  if (g_console_io.at_end || input_kind() == kInputNone) return -1;
  if (input_kind() == kInputTerminal) {
    RawMode raw(0);
    int c = read_byte(0);
    if (c == -2) return -1;  // terminate request: the next poll stops the program
    if (c < 0) {
      g_console_io.at_end = true;  // the terminal went away
      return -1;
    }
    if (c == '\n') return 13;  // Enter typed between reads, turned into a line feed by the terminal
    return c == 27 ? decode_escape(0) : c;
  }
  int c = read_byte(0);
  if (c == -2) return -1;
  if (c < 0) g_console_io.at_end = true;
  return c < 0 ? -1 : c;
}

void console_discard_typeahead() {
  g_console_io.pending_scan = -1;
  if (!console_input_is_terminal()) return;  // a script's bytes are answers, never typed ahead
  g_console_io.pushed_back = -1;
  tcflush(0, TCIFLUSH);
}

void install_break_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_break_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocking key read must see a terminate request
  for (int i = 0; i < 4; ++i) {
    struct sigaction old {};
    sigaction(kBreakSignals[i], &sa, &old);
    if (!g_handlers_installed) g_saved_actions[i] = old;
  }
  g_handlers_installed = true;
  g_breaks.store(0);
  g_terminate.store(false);
}

void restore_break_handler() {
  if (!g_handlers_installed) return;
  for (int i = 0; i < 4; ++i) sigaction(kBreakSignals[i], &g_saved_actions[i], nullptr);
  g_handlers_installed = false;
}

int break_count() {
  return g_breaks.load(std::memory_order_relaxed);
}
void reset_break_count() {
  g_breaks.store(0);
}
bool terminate_requested() {
  return g_terminate.load(std::memory_order_relaxed);
}

void beep(unsigned /*frequency_hz*/, unsigned /*duration_ms*/) {
  message_beep();
}

void message_beep() {
  int fd = open_tty();
  if (fd < 0) return;
  write_all(fd, "\a", 1);
  g_syscalls.close(fd);
}

bool bring_to_front() {
  if (isatty(1) != 1) return false;
  return tcgetsid(1) != -1 && tcgetsid(1) == getsid(0);
}

void message_box(std::string_view title, std::string_view text) {
  int fd = open_tty();
  if (fd < 0) return;
  // Lines of the text, with tabs as blanks and "\r" dropped; the frame fits the widest.
  std::vector<std::string> lines(1);
  for (char c : text) {
    if (c == '\n') {
      lines.emplace_back();
    } else if (c != '\r') {
      lines.back() += c == '\t' ? ' ' : c;
    }
  }
  while (lines.size() > 1 && lines.back().empty()) lines.pop_back();
  constexpr std::string_view kOk = "[ OK ]";
  size_t width = std::max(title.size() + 2, kOk.size());
  for (const std::string& l : lines) width = std::max(width, l.size());
  std::string box = "\r\n+" + std::string(width + 2, '-') + "+\r\n";
  auto row = [&](std::string_view s, bool centre) {
    size_t pad = width - s.size();
    size_t left = centre ? pad / 2 : 0;
    box += "| " + std::string(left, ' ') + std::string(s) + std::string(pad - left, ' ') + " |\r\n";
  };
  row(title, true);
  box += "+" + std::string(width + 2, '-') + "+\r\n";
  for (const std::string& l : lines) row(l, false);
  row("", false);
  row(kOk, true);
  box += "+" + std::string(width + 2, '-') + "+\r\n";
  std::fflush(stdout);
  write_all(fd, box.data(), box.size());
  {
    RawMode raw(fd);
    int c = read_byte(fd);
    if (c == 27) decode_escape(fd);  // a whole sequence is one key
    g_console_io.pending_scan = -1;
  }
  g_syscalls.close(fd);
}

}  // namespace host
