// Notification and removal services of the host layer: the registry and the local event log
// kept in the system directory, the remote event log (RFC 5424 over UDP), mail through a
// sendmail-compatible program, running a program without a shell, private temporary files,
// and the handle-based file operations that removal uses.
//
// Data owned here: nothing that lasts between calls but the sockets of open RemoteEventLog
// values. Files written: <system>/registry/HKEY_LOCAL_MACHINE/<key>/values and
// <system>/eventlog/Application.jsonl.
//
// Invariants and choices:
// - A registry value file is replaced whole (written beside it, then renamed), so a reader
//   never sees half a file. Value names compare without regard to ASCII case, as NT's do.
// - The JSON event log is valid JSON whatever bytes the strings hold: control characters and
//   bytes that are not well-formed UTF-8 are written as \u00XX escapes.
// - Syslog and the remote log get the message with every run of CR/LF made one blank, so a
//   line-oriented collector shows one event per line.
// - Handle-based operations act on the file behind the descriptor through /proc/self/fd, so
//   that a name swapped after the open (for a link or another file) is never acted on.
// - A child program never inherits our descriptors (the report file's lock stays ours) and
//   never writes to our console: its standard output and error go to /dev/null.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "host/syscalls.h"

namespace host {
namespace {

constexpr const char* kRegistryRoot = "/registry/HKEY_LOCAL_MACHINE";
constexpr const char* kEventLogFile = "/eventlog/Application.jsonl";
constexpr unsigned kChildPollMs = 5;  // how often a waited-for child is looked at

// errno -> NT error, as host.md section 3 lists them.
int nt_err(int e) {
  switch (e) {
    case 0: return 0;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrAccessDenied;
    case EWOULDBLOCK: return kErrSharingViolation;
    case EEXIST: return kErrFileExists;
    case ENOSPC:
    case EDQUOT: return kErrDiskFull;
    case EROFS: return kErrWriteProtect;
    case EIO: return kErrCrc;
    case ENAMETOOLONG: return kErrFilenameTooLong;
    case EINVAL: return kErrInvalidParameter;
    case ENOMEM: return kErrNotEnoughMemory;
    case EMFILE:
    case ENFILE: return kErrTooManyOpenFiles;
    default: return kErrGenFailure;
  }
}

// A descriptor closed when it goes out of scope (directories, pipes, log files).
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// mkdir -p; 0 or an NT error (EROFS and EACCES both mean the directory cannot be written).
int make_dirs(const std::string& path) {
  if (path.empty()) return kErrPathNotFound;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return errno == EROFS ? kErrAccessDenied : nt_err(errno);
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return nt_err(errno);
  if (!S_ISDIR(st.st_mode)) return kErrPathNotFound;
  return 0;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper_char(a[i]) != upper_char(b[i])) return false;
  }
  return true;
}

// The directory of a registry key; false for a malformed key.
bool registry_dir(std::string_view key, std::string& out) {
  out = system_directory() + kRegistryRoot;
  size_t components = 0;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find('\\', start);
    if (end == std::string_view::npos) end = key.size();
    std::string_view part = key.substr(start, end - start);
    if (!part.empty()) {
      if (part == "." || part == ".." || part.find('/') != std::string_view::npos ||
          part.find('\0') != std::string_view::npos) {
        return false;
      }
      out += '/';
      out += part;
      ++components;
    }
    start = end + 1;
  }
  return components > 0;
}

bool read_whole(const std::string& path, std::string& out, int& err) {
  out.clear();
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd < 0) {
    err = nt_err(errno);
    return false;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(f.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = nt_err(errno);
      return false;
    }
    if (n == 0) break;
    out.append(buf, size_t(n));
  }
  return true;
}

bool write_all(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Local time as ISO 8601 with the offset ("2026-12-10T01:02:03+01:00").
std::string iso_local_time() {
  time_t now = time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  char buf[64];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &t);
  std::string s(buf, n);
  if (s.size() >= 5) s.insert(s.size() - 2, ":");  // +0100 -> +01:00
  return s;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0.
size_t utf8_length(std::string_view s, size_t i) {
  unsigned char c = uint8_t(s[i]);
  size_t len = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char d = uint8_t(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return len;
}

void json_string(std::string& out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (size_t i = 0; i < s.size();) {
    unsigned char c = uint8_t(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    } else if (c < 0x80) {
      out += char(c);
      ++i;
    } else if (size_t len = utf8_length(s, i); len > 0) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\\u00";  // a byte that is not UTF-8: shown as the Latin-1 character
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    }
  }
  out += '"';
}

std::string event_id_text(uint32_t id) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", unsigned(id));
  return buf;
}

// Every run of CR and LF becomes one blank; trailing blanks go.
std::string one_line(std::string_view s) {
  std::string out;
  bool in_break = false;
  for (char c : s) {
    if (c == '\r' || c == '\n') {
      if (!in_break) out += ' ';
      in_break = true;
    } else {
      out += c;
      in_break = false;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string proc_fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 in lines of 76 characters, each ended by CRLF.
void base64_lines(std::string& out, std::string_view data) {
  size_t line = 0;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(data[i])) << 16;
    size_t n = data.size() - i;
    if (n > 1) v |= uint32_t(uint8_t(data[i + 1])) << 8;
    if (n > 2) v |= uint32_t(uint8_t(data[i + 2]));
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += n > 1 ? kBase64[(v >> 6) & 63] : '=';
    out += n > 2 ? kBase64[v & 63] : '=';
    line += 4;
    if (line >= 76) {
      out += "\r\n";
      line = 0;
    }
  }
  if (line > 0) out += "\r\n";
}

// Text lines with CRLF endings (a lone LF or CR becomes CRLF).
std::string crlf_text(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out += "\r\n";
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else if (s[i] == '\n') {
      out += "\r\n";
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Registry.

int registry_create_key(std::string_view key) {
  std::string dir;
  if (!registry_dir(key, dir)) return kErrInvalidParameter;
  return make_dirs(dir);
}

int registry_open_key(std::string_view key) {
  std::string dir;
  if (!registry_dir(key, dir)) return kErrInvalidParameter;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return nt_err(errno);
  if (!S_ISDIR(st.st_mode)) return kErrFileNotFound;
  if (::access(dir.c_str(), R_OK | X_OK) != 0) return nt_err(errno);
  return 0;
}

int registry_set_value(std::string_view key, std::string_view name, std::string_view type,
                       std::string_view data) {
  std::string dir;
  if (!registry_dir(key, dir)) return kErrInvalidParameter;
  auto bad = [](std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; };
  if (name.find('=') != name.npos || bad(name) || bad(type) || bad(data) ||
      type.find(':') != type.npos) {
    return kErrInvalidParameter;
  }
  int rc = registry_open_key(key);
  if (rc != 0) return rc;
  std::string path = dir + "/values";
  std::string old;
  int err = 0;
  if (!read_whole(path, old, err) && err != kErrFileNotFound) return err;
  std::string text;
  size_t pos = 0;
  while (pos < old.size()) {
    size_t end = old.find('\n', pos);
    if (end == old.npos) end = old.size();
    std::string_view line(old.data() + pos, end - pos);
    size_t eq = line.find('=');
    if (!line.empty() && !(eq != line.npos && ascii_iequal(line.substr(0, eq), name))) {
      text.append(line);
      text += '\n';
    }
    pos = end + 1;
  }
  text.append(name);
  text += '=';
  text.append(type);
  text += ':';
  text.append(data);
  text += '\n';
  std::string temp = path + ".new." + std::to_string(getpid());
  {
    Fd f(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (f.fd < 0) return nt_err(errno);
    if (!write_all(f.fd, text)) {
      int e = nt_err(errno);
      ::unlink(temp.c_str());
      return e ? e : kErrGenFailure;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int e = nt_err(errno);
    ::unlink(temp.c_str());
    return e;
  }
  return 0;
}

int registry_get_value(std::string_view key, std::string_view name, std::string& out) {
  std::string dir;
  if (!registry_dir(key, dir)) return kErrInvalidParameter;
  std::string text;
  int err = 0;
  if (!read_whole(dir + "/values", text, err)) return err;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == text.npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    size_t eq = line.find('=');
    if (eq != line.npos && ascii_iequal(line.substr(0, eq), name)) {
      out = std::string(line.substr(eq + 1));
      return 0;
    }
    pos = end + 1;
  }
  return kErrFileNotFound;
}

// ---------------------------------------------------------------------------------------
// Event log.

int report_event(const EventRecord& record) {
  int level = record.type == 1 ? LOG_ERR : record.type == 2 ? LOG_WARNING : LOG_INFO;
  std::string flat = one_line(record.message);
  openlog("NTBrint", LOG_PID, LOG_USER);
  syslog(level, "%s", flat.c_str());
  closelog();

  std::string line = "{\"time\":";
  json_string(line, iso_local_time());
  line += ",\"computer\":";
  json_string(line, computer_name());
  line += ",\"source\":";
  json_string(line, record.source);
  line += ",\"type\":" + std::to_string(record.type);
  line += ",\"category\":" + std::to_string(record.category);
  line += ",\"id\":";
  json_string(line, event_id_text(record.id));
  line += ",\"strings\":[";
  for (size_t i = 0; i < record.strings.size(); ++i) {
    if (i > 0) line += ',';
    json_string(line, record.strings[i]);
  }
  line += "],\"message\":";
  json_string(line, record.message);
  line += "}\n";

  std::string path = system_directory() + kEventLogFile;
  int rc = make_dirs(path.substr(0, path.rfind('/')));
  if (rc != 0) return rc;
  Fd f(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (f.fd < 0) return nt_err(errno);
  while (::flock(f.fd, LOCK_EX) != 0) {
    if (errno != EINTR) return nt_err(errno);
  }
  bool ok = write_all(f.fd, line);
  int e = errno;
  ::flock(f.fd, LOCK_UN);
  return ok ? 0 : (nt_err(e) ? nt_err(e) : kErrGenFailure);
}

RemoteEventLog::~RemoteEventLog() {
  if (fd >= 0) ::close(fd);
}
RemoteEventLog::RemoteEventLog(RemoteEventLog&& other) noexcept : fd(other.fd), address(std::move(other.address)) {
  other.fd = -1;
}
RemoteEventLog& RemoteEventLog::operator=(RemoteEventLog&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = other.fd;
    address = std::move(other.address);
    other.fd = -1;
  }
  return *this;
}

int open_remote_event_log(std::string_view machine, RemoteEventLog& out) {
  std::string name(machine);
  std::string port = std::to_string(kRemoteEventPort);
  // "[v6 address]:port", "name:port" (one colon only: more is a bare IPv6 address).
  if (!name.empty() && name[0] == '[') {
    size_t close = name.find(']');
    if (close == name.npos) return kErrRpcServerUnavailable;
    std::string rest = name.substr(close + 1);
    name = name.substr(1, close - 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return kErrRpcServerUnavailable;
      port = rest.substr(1);
    }
  } else if (size_t colon = name.find(':'); colon != name.npos && name.find(':', colon + 1) == name.npos) {
    port = name.substr(colon + 1);
    name.resize(colon);
  }
  if (name.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != port.npos) {
    return kErrRpcServerUnavailable;
  }
  long port_number = std::strtol(port.c_str(), nullptr, 10);
  if (port_number < 1 || port_number > 65535) return kErrRpcServerUnavailable;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    return kErrRpcServerUnavailable;
  }
  int rc = 0;
  int s = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (s < 0) {
    rc = nt_err(errno);
  } else {
    RemoteEventLog log;
    log.fd = s;
    const uint8_t* a = reinterpret_cast<const uint8_t*>(found->ai_addr);
    log.address.assign(a, a + found->ai_addrlen);
    out = std::move(log);
  }
  freeaddrinfo(found);
  return rc;
}

int report_event_remote(RemoteEventLog& log, const EventRecord& record) {
  if (log.fd < 0 || log.address.empty()) return kErrInvalidParameter;
  // Facility user (1); severity error (3) for error events, warning (4), else informational (6).
  int severity = record.type == 1 ? 3 : record.type == 2 ? 4 : 6;
  std::string app = record.source.empty() ? "-" : record.source;
  std::string msg = "<" + std::to_string(8 + severity) + ">1 " + iso_local_time() + " " + computer_name() +
                    " " + app + " " + std::to_string(getpid()) + " " + event_id_text(record.id) +
                    " [event@32473 type=\"" + std::to_string(record.type) + "\" category=\"" +
                    std::to_string(record.category) + "\"] " + one_line(record.message);
  ssize_t n = ::sendto(log.fd, msg.data(), msg.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(log.address.data()), socklen_t(log.address.size()));
  if (n < 0) return nt_err(errno) ? nt_err(errno) : kErrGenFailure;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Programs and mail.

bool find_program(std::string_view name, std::string& path) {
  if (name.empty() || name.find('/') != name.npos) return false;
  auto path_var = get_env("PATH");
  std::string dirs = path_var ? *path_var : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == dirs.npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + std::string(name);
    if (is_executable_file(candidate)) {
      path = candidate;
      return true;
    }
    start = end + 1;
  }
  return false;
}

int run_program(const std::vector<std::string>& argv, std::string_view input, unsigned timeout_ms,
                int& status) {
  status = -1;
  if (argv.empty()) return kErrInvalidParameter;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return kErrGenFailure;
  Fd read_end(pipe_fds[0]);
  Fd write_end(pipe_fds[1]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) return kErrGenFailure;
  if (pid == 0) {
    // Child: only async-signal-safe calls from here to exec.
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0) _exit(127);
    if (::dup2(read_end.fd, 0) < 0 || ::dup2(null_fd, 1) < 0 || ::dup2(null_fd, 2) < 0) _exit(127);
    ::close_range(3, ~0U, 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(sig, &dfl, nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  ::close(read_end.fd);
  read_end.fd = -1;

  timespec start_ts{};
  clock_gettime(CLOCK_MONOTONIC, &start_ts);
  auto elapsed_ms = [&start_ts]() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec - start_ts.tv_sec) * 1000 + (now.tv_nsec - start_ts.tv_nsec) / 1000000;
  };

  // Feed the input without ever blocking past the deadline; a program that stops reading
  // early (closes its input) is no failure of ours: its exit status decides.
  struct sigaction ignore {}, old_pipe {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &old_pipe);
  ::fcntl(write_end.fd, F_SETFL, O_NONBLOCK);
  bool timed_out = false;
  size_t done = 0;
  while (done < input.size()) {
    int64_t left = int64_t(timeout_ms) - elapsed_ms();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{write_end.fd, POLLOUT, 0};
    int r = ::poll(&p, 1, int(left > 1000 ? 1000 : left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) continue;
    ssize_t n = ::write(write_end.fd, input.data() + done, input.size() - done);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(write_end.fd);
  write_end.fd = -1;
  ::sigaction(SIGPIPE, &old_pipe, nullptr);

  int wstatus = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return kErrGenFailure;
    if (timed_out || elapsed_ms() >= int64_t(timeout_ms)) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
      }
      return kErrGenFailure;
    }
    timespec nap{0, long(kChildPollMs) * 1000000L};
    nanosleep(&nap, nullptr);
  }
  if (WIFEXITED(wstatus)) {
    status = WEXITSTATUS(wstatus);
    return 0;
  }
  if (WIFSIGNALED(wstatus)) {
    status = 128 + WTERMSIG(wstatus);
    return 0;
  }
  return kErrGenFailure;
}

int mail_find_program(std::string& program) {
  if (find_program("sendmail", program)) return 0;
  for (const char* p : {"/usr/sbin/sendmail", "/usr/lib/sendmail"}) {
    if (is_executable_file(p)) {
      program = p;
      return 0;
    }
  }
  return kErrFileNotFound;
}

int mail_logon(std::string_view account, std::string_view /*password*/) {
  if (account.empty() || account[0] == '-') return kErrInvalidParameter;
  for (char c : account) {
    if (uint8_t(c) < 0x20 || c == 0x7F) return kErrInvalidParameter;
  }
  return 0;
}

int mail_send(std::string_view program, std::string_view account, const MailMessage& message) {
  if (mail_logon(account, "") != 0) return kErrInvalidParameter;
  std::string attachment;
  if (!message.attachment_path.empty()) {
    File f;
    if (open_file(message.attachment_path, kAccessRead, kShareRead | kShareWrite, kOpenExisting, f) != 0) {
      return kErrFileNotFound;
    }
    char buf[8192];
    for (;;) {
      size_t got = 0;
      if (read_file(f, buf, sizeof buf, got) != 0) return kErrFileNotFound;
      if (got == 0) break;
      attachment.append(buf, got);
    }
  }
  std::string boundary = "=_BRINT_" + std::to_string(getpid()) + "_" + std::to_string(time(nullptr));
  std::string mime;
  mime += "To: " + message.recipient + "\r\n";
  mime += "MIME-Version: 1.0\r\n";
  mime += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
  mime += "\r\n";
  mime += "--" + boundary + "\r\n";
  mime += "Content-Type: text/plain; charset=utf-8\r\n";
  mime += "Content-Transfer-Encoding: 8bit\r\n\r\n";
  mime += crlf_text(message.note_text);
  if (mime.size() < 2 || mime.compare(mime.size() - 2, 2, "\r\n") != 0) mime += "\r\n";
  if (!message.attachment_path.empty()) {
    std::string name = message.attachment_name;
    for (char& c : name) {
      if (c == '"' || c == '\\' || uint8_t(c) < 0x20) c = '_';
    }
    mime += "--" + boundary + "\r\n";
    mime += "Content-Type: text/plain; charset=utf-8; name=\"" + name + "\"\r\n";
    mime += "Content-Disposition: attachment; filename=\"" + name + "\"\r\n";
    mime += "Content-Transfer-Encoding: base64\r\n\r\n";
    base64_lines(mime, attachment);
  }
  mime += "--" + boundary + "--\r\n";
  int status = -1;
  int rc = run_program({std::string(program), "-i", "-f", std::string(account), message.recipient}, mime,
                       kMailTimeoutMs, status);
  if (rc != 0 || status != 0) return kErrGenFailure;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Temporary files.

int create_temp_file(std::string_view prefix, std::string& name, File& out) {
  auto tmp = get_env("TMP");
  std::string dir = tmp ? *tmp : "/tmp";
  if (dir.empty() || dir[0] != '/') dir = "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::string tmpl = dir + "/" + std::string(prefix) + "XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = ::mkostemp(buf.data(), O_CLOEXEC);  // O_EXCL, mode 0600
  if (fd < 0) return nt_err(errno);
  File f;
  f.fd = fd;
  out = std::move(f);
  name = buf.data();
  return 0;
}

int truncate_file(File& f, uint64_t size) {
  if (!f.is_open()) return kErrInvalidParameter;
  if (::ftruncate(f.fd, off_t(size)) != 0) return nt_err(errno);
  return 0;
}

int flush_file_to_disk(File& f) {
  if (!f.is_open()) return kErrInvalidParameter;
  if (::fsync(f.fd) != 0 && errno != EINVAL) return nt_err(errno);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Acting through one handle.

int file_id(const File& f, FileId& out, bool* regular) {
  if (f.is_open() && f.known) {  // taken at open: an open file's identity never changes
    out.device = f.device;
    out.inode = f.inode;
    if (regular) *regular = f.regular;
    return 0;
  }
  struct stat st {};
  if (!f.is_open() || ::fstat(f.fd, &st) != 0) return f.is_open() ? nt_err(errno) : kErrInvalidParameter;
  out.device = uint64_t(st.st_dev);
  out.inode = uint64_t(st.st_ino);
  if (regular) *regular = S_ISREG(st.st_mode);
  return 0;
}

int reopen_file(const File& f, unsigned access, unsigned share, File& out) {
  if (!f.is_open()) return kErrInvalidParameter;
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if ((access & kAccessRead) && (access & kAccessWrite)) {
    flags |= O_RDWR;
  } else if (access & kAccessWrite) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  std::string path = proc_fd_path(f.fd);
  int fd = g_syscalls.open(path.c_str(), flags, 0);
  if (fd < 0) return nt_err(errno);
  File opened;
  opened.fd = fd;
  int lock = -1;
  if (share == kShareNone) {
    lock = LOCK_EX;
  } else if (share == kShareRead) {
    lock = LOCK_SH;
  }
  if (lock >= 0 && g_syscalls.flock(fd, lock | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? kErrSharingViolation : nt_err(errno);
  }
  int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  out = std::move(opened);
  return 0;
}

int set_attributes_of(const File& f, uint32_t attributes) {
  struct stat st {};
  if (!f.is_open()) return kErrInvalidParameter;
  if (::fstat(f.fd, &st) != 0) return nt_err(errno);
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? mode_t(mode & ~0222) : mode_t(mode | S_IWUSR);
  if (mode == (st.st_mode & 07777)) return 0;
  if (::fchmod(f.fd, mode) != 0) return nt_err(errno);
  return 0;
}

int get_owner_of(const File& f, FileOwner& out) {
  struct stat st {};
  if (!f.is_open()) return kErrInvalidParameter;
  if (::fstat(f.fd, &st) != 0) return nt_err(errno);
  out.user = uint32_t(st.st_uid);
  out.group = uint32_t(st.st_gid);
  out.mode = uint32_t(st.st_mode & 07777);
  return 0;
}

int take_ownership_of(const File& f) {
  struct stat st {};
  if (!f.is_open()) return kErrInvalidParameter;
  if (::fstat(f.fd, &st) != 0) return nt_err(errno);
  if (st.st_uid != geteuid() && ::fchown(f.fd, geteuid(), gid_t(-1)) != 0) return nt_err(errno);
  if (::fstat(f.fd, &st) != 0) return nt_err(errno);  // chown may have cleared set-id bits
  if (::fchmod(f.fd, mode_t((st.st_mode & 07777) | S_IRUSR | S_IWUSR)) != 0) return nt_err(errno);
  return 0;
}

int restore_owner_of(const File& f, const FileOwner& saved) {
  if (!f.is_open()) return kErrInvalidParameter;
  // The mode goes back while the file is still ours (once it belongs to its old owner again,
  // a process without the file-owner override cannot change it), then the owner, then the
  // mode once more, because giving a file away clears its set-id bits.
  int rc = 0;
  if (::fchmod(f.fd, mode_t(saved.mode)) != 0) rc = nt_err(errno);
  if (::fchown(f.fd, uid_t(saved.user), gid_t(saved.group)) != 0 && rc == 0) rc = nt_err(errno);
  ::fchmod(f.fd, mode_t(saved.mode));  // may be refused now; the first change already holds
  return rc;
}

int delete_opened_file(const File& f) {
  if (!f.is_open()) return kErrInvalidParameter;
  struct stat mine {};
  if (::fstat(f.fd, &mine) != 0) return nt_err(errno);
  if (mine.st_nlink == 0) return kErrFileNotFound;  // no name left to delete
  std::string link = proc_fd_path(f.fd);
  std::vector<char> buf(4097);
  ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size() - 1);
  if (n <= 0 || size_t(n) >= buf.size() - 1) return kErrGenFailure;
  std::string path(buf.data(), size_t(n));
  size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash == path.npos) return kErrGenFailure;
  std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  std::string base = path.substr(slash + 1);
  if (base.empty()) return kErrGenFailure;
  Fd d(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (d.fd < 0) return nt_err(errno);
  struct stat named {};
  if (::fstatat(d.fd, base.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return nt_err(errno);
  if (!S_ISREG(named.st_mode) || named.st_dev != mine.st_dev || named.st_ino != mine.st_ino) {
    return kErrAccessDenied;
  }
  if (::unlinkat(d.fd, base.c_str(), 0) != 0) return nt_err(errno);
  return 0;
}

}  // namespace host
