// Test helpers of the notification tests: a temporary directory, environment overrides,
// whole-file reads and writes, running a step in a child process (for steps that end the
// process through the stop routine) with its standard output captured, and resetting every
// global the notification code reads.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "common/test_util.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "host/host.h"
#include "host/syscalls.h"
#include "notify/notify.h"

namespace testutil {

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/brint-notify-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object.
struct EnvVar {
  std::string name;
  std::optional<std::string> old;
  EnvVar(const std::string& n, const std::optional<std::string>& value) : name(n) {
    if (const char* v = getenv(n.c_str())) old = v;
    if (value) {
      setenv(n.c_str(), value->c_str(), 1);
    } else {
      unsetenv(n.c_str());
    }
  }
  ~EnvVar() {
    if (old) {
      setenv(name.c_str(), old->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
};

struct ChildResult {
  int status = -1;   // exit code, or 128 + signal
  std::string out;   // standard output
};

// Runs `step` in a child process with standard output captured; the child ends with the
// code stop() gives it, or 0 when the step returns.
inline ChildResult run_child(const std::function<void()>& step) {
  fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    step();
    host::console_flush();
    fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  ChildResult r;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

// Captures what `step` writes to standard output (in this process).
inline std::string capture_stdout(const std::function<void()>& step) {
  fflush(stdout);
  char tmpl[] = "/tmp/brint-out-XXXXXX";
  int fd = mkstemp(tmpl);
  int saved = dup(1);
  dup2(fd, 1);
  step();
  host::console_flush();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(fd);
  std::string out = read_file(tmpl);
  unlink(tmpl);
  return out;
}

// Puts every global the notification code reads back to its start value.
inline void reset_all() {
  notify::reset_notify();
  driver::reset_settings();
  driver::reset_state();
  driver::reset_counters();
  driver::reset_output();
  driver::g_stop_hooks = driver::StopHooks{};
  host::reset_syscalls();
  host::reset_console_io();
}

// Collects every output of the output routine (through the mail sink slot) into `into`.
inline void collect_outputs(std::string& into) {
  driver::g_sinks.mail_write = [&into](std::string_view text) {
    into.append(text);
    return 0;
  };
}

// Writes an executable shell script.
inline void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body, 0755);
}

}  // namespace testutil
