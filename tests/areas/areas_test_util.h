// Helpers of the areas tests: a temporary drive tree, a drive map, the working directory,
// the globals put back before every test, and the console output captured.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "areas/areas.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "host/host.h"

namespace areastest {

struct TempTree {
  std::string path;
  TempTree() {
    char tmpl[] = "/tmp/areastest.XXXXXX";
    const char* p = mkdtemp(tmpl);
    EXPECT_NE(p, nullptr);
    char buf[4096];
    path = realpath(p, buf) ? buf : p;
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
  void dir(const std::string& rel) const { ASSERT_EQ(mkdir(at(rel).c_str(), 0755), 0) << rel; }
};

// Every areas global back to its start, the drive map from `map` (host paths may use
// "@" for the tree's root), the working directory `cwd` (relative to the tree).
struct Env {
  TempTree tree;
  std::string saved_cwd;
  explicit Env(const std::string& map, const std::string& cwd = "") {
    std::string text;
    for (char c : map) {
      if (c == '@')
        text += tree.path;
      else
        text.push_back(c);
    }
    setenv("BRINT_DRIVES", text.c_str(), 1);
    std::string msg;
    EXPECT_EQ(host::init_drive_map(&msg), 0) << msg;
    char buf[4096];
    saved_cwd = getcwd(buf, sizeof buf) ? buf : "/";
    if (!cwd.empty()) {
      mkdir(tree.at(cwd).c_str(), 0755);
      EXPECT_EQ(chdir(tree.at(cwd).c_str()), 0);
    }
    driver::reset_settings();
    driver::reset_counters();
    driver::reset_state();
    driver::reset_output();
    driver::g_settings.areas_drive = host::current_drive();
    areas::reset_areas();
    areas::reset_exclusions();
    areas::reset_special_files();
    areas::reset_hooks();
    areas::reset_status();
  }
  ~Env() {
    [[maybe_unused]] int r = chdir(saved_cwd.c_str());
    unsetenv("BRINT_DRIVES");
    host::init_drive_map(nullptr);
  }
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

}  // namespace areastest
