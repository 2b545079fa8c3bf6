// Environment, local time, sleep, the process and the machine: the environment view the
// program reads (TMP, USERNAME), local time from the C library (TZ respected; tests move
// the clock with faketime), the computer name, priority, the backup privilege, the system
// directory, and the errno -> NT error table every host file uses.
//
// Choices of this file: TMP, TMPDIR or USERNAME, USER that are set but empty count as
// unset; a host name that cannot be read gives the computer name "LOCALHOST"; sleep_ms
// sleeps in slices of kSleepSliceMs and stops early once a terminate request (SIGTERM,
// SIGHUP) is pending, so that a server pausing between polls ends promptly.
#include <pwd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/host.h"
#include "host/syscalls.h"

namespace host {
namespace {

constexpr unsigned kSleepSliceMs = 100;  // a terminate request waits at most this long

std::optional<std::string> env_value(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> non_empty_env(const char* name) {
  auto v = env_value(name);
  if (v && v->empty()) return std::nullopt;
  return v;
}

}  // namespace

int nt_error(int errnum) {
  switch (errnum) {
    case 0:
      return 0;
    case ENOENT:
      return kErrFileNotFound;
    case ENOTDIR:
      return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrAccessDenied;
    case EWOULDBLOCK:
      return kErrSharingViolation;
    case EEXIST:
      return kErrFileExists;
    case ENOSPC:
    case EDQUOT:
      return kErrDiskFull;
    case EROFS:
      return kErrWriteProtect;
    case EIO:
      return kErrCrc;
    case ENAMETOOLONG:
      return kErrFilenameTooLong;
    case EINVAL:
      return kErrInvalidParameter;
    case ENOMEM:
      return kErrNotEnoughMemory;
    case EMFILE:
    case ENFILE:
      return kErrTooManyOpenFiles;
    default:
      return kErrGenFailure;
  }
}

std::optional<std::string> get_env(std::string_view name) {
  std::string key = upper(name);  // NT environment names are matched without regard to case
  if (key == "TMP") {
    if (auto v = non_empty_env("TMP")) return v;
    if (auto v = non_empty_env("TMPDIR")) return v;
    return std::string("/tmp");
  }
  if (key == "USERNAME") {
    if (auto v = non_empty_env("USERNAME")) return v;
    if (auto v = non_empty_env("USER")) return v;
    std::string account = account_name(uint32_t(getuid()));
    if (account.empty()) return std::nullopt;
    return account;
  }
  if (auto v = env_value(std::string(name).c_str())) return v;
  if (key != name) return env_value(key.c_str());
  return std::nullopt;
}

std::string account_name(uint32_t uid) {
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(uid_t(uid), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return {};
  return found->pw_name;
}

LocalTime local_time() {
  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  LocalTime out;
  out.year = t.tm_year + 1900;
  out.month = t.tm_mon + 1;
  out.day = t.tm_mday;
  out.hour = t.tm_hour;
  out.minute = t.tm_min;
  out.second = t.tm_sec;
  out.weekday = t.tm_wday;
  return out;
}

int64_t calendar_seconds() {
  return int64_t(time(nullptr));
}

void sleep_ms(unsigned milliseconds) {
  while (milliseconds > 0 && !terminate_requested()) {
    unsigned slice = milliseconds < kSleepSliceMs ? milliseconds : kSleepSliceMs;
    g_syscalls.sleep_ms(slice);
    milliseconds -= slice;
  }
}

uint32_t process_id() {
  return uint32_t(getpid());
}

std::string computer_name() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "LOCALHOST";
  std::string name(buf);
  size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  if (name.empty()) return "LOCALHOST";
  return upper(name);
}

namespace {
int set_nice(int value) {
  errno = 0;
  if (setpriority(PRIO_PROCESS, 0, value) != 0) return nt_error(errno);
  return 0;
}
}  // namespace

int set_priority_high() {
  return set_nice(-10);
}
int set_priority_low() {
  return set_nice(19);
}
int enable_backup_privilege() {
  return 0;
}

std::string system_directory() {
  if (auto v = non_empty_env("BRINT_SYSTEM")) return *v;
  if (geteuid() == 0) return "/var/lib/brint";
  if (auto v = non_empty_env("XDG_STATE_HOME"); v && (*v)[0] == '/') return *v + "/brint";
  std::string home;
  if (auto v = non_empty_env("HOME")) {
    home = *v;
  } else {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
      home = found->pw_dir;
  }
  if (home.empty()) home = "/tmp";
  return home + "/.local/state/brint";
}

}  // namespace host
