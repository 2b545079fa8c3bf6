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
#include "common/test_util.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "host/host.h"

namespace areastest {

using testutil::Capture;
using testutil::TempTree;

// A drive map text with "@" standing for `root`.
inline std::string with_root(const std::string& map, const std::string& root) {
  std::string text;
  for (char c : map) {
    if (c == '@')
      text += root;
    else
      text.push_back(c);
  }
  return text;
}

// The directory `rel` of the tree, made when missing; the current directory when empty.
inline std::string made_dir(const TempTree& tree, const std::string& rel) {
  if (rel.empty()) return ".";
  mkdir(tree.at(rel).c_str(), 0755);
  return tree.at(rel);
}

// Every areas global back to its start, the drive map from `map` (host paths may use
// "@" for the tree's root), the working directory `cwd` (relative to the tree).
struct Env {
  TempTree tree{"areastest"};
  testutil::MapGuard map_guard;
  testutil::InDirectory in_directory;
  explicit Env(const std::string& map, const std::string& cwd = "")
      : map_guard(with_root(map, tree.path)), in_directory(made_dir(tree, cwd)) {
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
};

}  // namespace areastest
