// Helpers of the host tests: a temporary directory and small file makers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace hosttest {

struct TempTree {
  std::string path;
  TempTree() {
    char tmpl[] = "/tmp/hosttest.XXXXXX";
    const char* p = mkdtemp(tmpl);
    EXPECT_NE(p, nullptr);
    char buf[4096];
    path = realpath(p, buf) ? buf : p;
  }
  ~TempTree() {
    std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    [[maybe_unused]] int r = std::system(cmd.c_str());
  }
  std::string at(const std::string& rel) const { return path + "/" + rel; }
  void file(const std::string& rel, const std::string& bytes = "x") const {
    int fd = open(at(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << rel;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
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
};

}  // namespace hosttest
