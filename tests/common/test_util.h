// Helpers shared by the unit tests of every folder: bytes from hexadecimal text, a temporary
// directory tree, whole-file reads and writes, the working directory and the drive map set for a scope, scripted key
// input on standard input, and standard output captured.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace testutil {

// The bytes of a text of hexadecimal digits; anything else in it (blanks) is passed over.
inline std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    const int d = (c >= '0' && c <= '9')   ? c - '0'
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                           : -1;
    if (d < 0) continue;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(uint8_t(high * 16 + d));
      high = -1;
    }
  }
  return out;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writes `bytes` as the whole file and gives it `mode`.
inline void write_file(const std::string& path, std::string_view bytes, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  chmod(path.c_str(), mode);
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// True when anything stands at `path`, a dangling symbolic link included.
inline bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// A temporary directory (its real path, links resolved) removed with everything in it,
// read-only parts included, at the end of the scope.
struct TempTree {
  std::string path;
  explicit TempTree(const std::string& prefix = "brinttest") {
    std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
    const char* p = mkdtemp(tmpl.data());
    EXPECT_NE(p, nullptr);
    char buf[4096];
    path = p && realpath(p, buf) ? buf : tmpl;
  }
  ~TempTree() {
    std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    [[maybe_unused]] int r = std::system(cmd.c_str());
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  std::string at(const std::string& rel) const { return path + "/" + rel; }
  void file(const std::string& rel, const std::string& bytes = "x") const {
    int fd = open(at(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << rel;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
  }
  void file(const std::string& rel, const std::vector<uint8_t>& bytes) const {
    file(rel, std::string(bytes.begin(), bytes.end()));
  }
  void dir(const std::string& rel) const { ASSERT_EQ(mkdir(at(rel).c_str(), 0755), 0) << rel; }
};

// Sets the working directory for the lifetime of the object.
struct InDirectory {
  std::string saved;
  explicit InDirectory(const std::string& dir) {
    char buf[4096];
    saved = getcwd(buf, sizeof buf) ? buf : "/";
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InDirectory() { [[maybe_unused]] int r = chdir(saved.c_str()); }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;
};

// Installs a drive map text as BRINT_DRIVES and reads it; the default map is back afterwards.
struct MapGuard {
  explicit MapGuard(const std::string& text) {
    setenv("BRINT_DRIVES", text.c_str(), 1);
    std::string msg;
    EXPECT_EQ(host::init_drive_map(&msg), 0) << msg;
  }
  ~MapGuard() {
    unsetenv("BRINT_DRIVES");
    host::init_drive_map(nullptr);
  }
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
};

// Standard input replaced by a pipe holding `keys` (then its end) for the object's lifetime.
struct ScriptedKeys {
  int saved = -1;
  explicit ScriptedKeys(const std::string& keys) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], keys.data(), keys.size()), ssize_t(keys.size()));
    close(p[1]);
    saved = dup(0);
    dup2(p[0], 0);
    close(p[0]);
    host::reset_console_io();
  }
  ~ScriptedKeys() {
    dup2(saved, 0);
    close(saved);
    host::reset_console_io();
  }
  ScriptedKeys(const ScriptedKeys&) = delete;
  ScriptedKeys& operator=(const ScriptedKeys&) = delete;
};

// Captures what reaches standard output between construction and text().
struct Capture {
  Capture() {
    host::console_flush();
    testing::internal::CaptureStdout();
  }
  std::string text() {
    host::console_flush();
    return testing::internal::GetCapturedStdout();
  }
};

// Runs `f` and returns what it wrote on standard output.
template <typename F>
std::string captured_stdout(F f) {
  Capture capture;
  f();
  return capture.text();
}

}  // namespace testutil
