// Area examination on real temporary trees: what is handed to file scanning and in which
// order, exclusions, special system files, messages and error counts, the status display.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "areas/areas.h"
#include "areas_test_util.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "host/host.h"

namespace {

using Names = std::vector<std::string>;

struct WalkTest : ::testing::Test {
  areastest::Env env{"C=@/c;A=floppy:-", "c"};
  Names scanned;                // paths handed to file scanning, in order
  Names checked;                // paths given the compression check
  Names warned;                 // "path kind variant" of compression warnings
  Names sectors;                // bodies handed to the sector checks
  std::string report;           // everything written through the output routine
  int scan_result = 0;          // what the scan hook returns
  int compression_kind = 0;     // what the scan hook reports

  void SetUp() override {
    auto& s = driver::g_settings;
    s.super_silent = true;     // no status line on the console
    s.no_interrupting = true;  // poll for quit never reads the test's standard input
    areas::g_hooks.scan_file = [this](const std::string& p, const areas::DirRecord& rec, int& kind) {
      EXPECT_EQ(rec.attributes & 0x10, 0) << p;
      scanned.push_back(p);
      kind = compression_kind;
      return scan_result;
    };
    areas::g_hooks.compression_check = [this](const std::string& p) {
      checked.push_back(p);
      return 0;
    };
    areas::g_hooks.compression_warning = [this](const std::string& p, int kind, int variant) {
      warned.push_back(p + " " + std::to_string(kind) + " " + std::to_string(variant));
    };
    areas::g_hooks.check_sectors = [this](areas::AreaKind, const std::string& body) {
      sectors.push_back(body);
      return body == "+81 5" ? 23 : 0;
    };
    driver::g_sinks.report_write = [this](std::string_view t) {
      report += t;
      return 0;
    };
  }

  void files(const Names& rels) {
    for (const auto& r : rels) {
      if (r.back() == '/')
        env.tree.dir("c/" + r.substr(0, r.size() - 1));
      else
        env.tree.file("c/" + r);
    }
  }

  int examine(const Names& list) {
    areas::reset_areas();
    for (const auto& e : list) EXPECT_EQ(areas::add_area(e), 0);
    areastest::Capture cap;  // important messages also reach the console: keep the log clean
    const int rc = areas::examine_areas();
    cap.text();
    return rc;
  }
};

const Names kTree = {"W/",         "W/B.EXE",  "W/A.COM",   "W/NOTES.TXT", "W/SUB1/", "W/SUB1/X.EXE",
                     "W/SUB2/",    "W/SUB2/Y.EXE", "W/SUB2/DEEP/", "W/SUB2/DEEP/Z.EXE"};

TEST_F(WalkTest, RecursiveSetFilesFirstThenSubdirectoriesInReverseOrder) {
  files(kTree);
  const Names all = {"C:\\W\\A.COM",       "C:\\W\\B.EXE",           "C:\\W\\NOTES.TXT",
                     "C:\\W\\SUB2\\Y.EXE", "C:\\W\\SUB2\\DEEP\\Z.EXE", "C:\\W\\SUB1\\X.EXE"};
  const struct {
    const char* area;
    Names want;
  } cases[] = {
      {">C:\\W\\*.*", all},
      {"C:\\W\\>*.*", all},
      {">C:\\W", all},    // -REC on a directory: every file below it
      {">C:\\W\\", all},  // and on a directory with its trailing "\"
      {">C:\\W\\*.EXE", {"C:\\W\\B.EXE", "C:\\W\\SUB2\\Y.EXE", "C:\\W\\SUB2\\DEEP\\Z.EXE", "C:\\W\\SUB1\\X.EXE"}},
      {">C:\\W\\Y.EXE", {"C:\\W\\SUB2\\Y.EXE"}},  // a file name is looked for in every directory
      {">C:\\NOPE\\*.*", {}},
  };
  for (const auto& c : cases) {
    scanned.clear();
    report.clear();
    driver::reset_counters();
    EXPECT_EQ(examine({c.area}), 0) << c.area;
    EXPECT_EQ(scanned, c.want) << c.area;
    EXPECT_EQ(report, "") << c.area;
    EXPECT_EQ(driver::g_counters.errors, 0) << c.area;
  }
}

TEST_F(WalkTest, FileSetWalksOneDirectory) {
  files(kTree);
  const struct {
    const char* area;
    Names want;
  } cases[] = {
      {"C:\\W\\*.EXE", {"C:\\W\\B.EXE"}},
      {"C:\\W\\*.*", {"C:\\W\\A.COM", "C:\\W\\B.EXE", "C:\\W\\NOTES.TXT"}},
      {"C:\\W\\A.COM", {"C:\\W\\A.COM"}},
      {"C:\\W", {}},  // names the directory itself: nothing is checked, nothing reported
      {"C:\\NOPE\\*.*", {}},
  };
  for (const auto& c : cases) {
    scanned.clear();
    report.clear();
    EXPECT_EQ(examine({c.area}), 0) << c.area;
    EXPECT_EQ(scanned, c.want) << c.area;
    EXPECT_EQ(report, "") << c.area;
  }
  EXPECT_EQ(driver::g_counters.errors, 0);
}

TEST_F(WalkTest, WholeDriveSelectsExecutablesAndCompressionChecksTheRest) {
  files({"A.C", "FOO.OVX", "FOO.OV", "FOO.ZIP", "FOO.LZH", "FOO.TXT", "FOO.ARJ", "FOO.BID", "BAR.EXE",
         "PAGEFILE.SYS", "README", "SUB/", "SUB/Q.COM", "SUB/PAGEFILE.SYS", "SUB/AB.Z"});
  EXPECT_EQ(examine({"C:\"All executables\""}), 0);
  const Names exe = {"C:\\BAR.EXE", "C:\\FOO.OV", "C:\\FOO.OVX", "C:\\SUB\\PAGEFILE.SYS", "C:\\SUB\\Q.COM"};
  EXPECT_EQ(scanned, exe);
  EXPECT_TRUE(checked.empty());  // only under -WC

  scanned.clear();
  driver::g_settings.warn_compressed = true;
  EXPECT_EQ(examine({"C:\"All executables\""}), 0);
  EXPECT_EQ(scanned, exe);
  EXPECT_EQ(checked, (Names{"C:\\FOO.LZH", "C:\\FOO.ZIP", "C:\\SUB\\AB.Z"}));
  EXPECT_EQ(driver::g_counters.errors, 0);

  // -ALL makes the drive a recursive set of every file; the page file is still never opened.
  scanned.clear();
  EXPECT_EQ(examine({"C:\\>*.*"}), 0);
  EXPECT_EQ(scanned.size(), 13u);
  for (const auto& p : scanned) EXPECT_NE(p, "C:\\PAGEFILE.SYS");
}

TEST_F(WalkTest, ExclusionsPassOverFilesAndDirectories) {
  files(kTree);
  const struct {
    Names list;
    Names want;
  } cases[] = {
      // A name exclusion on a subdirectory keeps the walk out of it; a full path passes
      // over one file.
      {{"<SUB2", "<C:\\W\\B.EXE", ">C:\\W\\*.EXE"}, {"C:\\W\\SUB1\\X.EXE"}},
      {{"<X.EXE", "<C:\\W\\SUB2", "C:\"All executables\""}, {"C:\\W\\A.COM", "C:\\W\\B.EXE"}},
      {{"<C:\\W", "C:\"All executables\""}, {}},
  };
  for (const auto& c : cases) {
    scanned.clear();
    EXPECT_EQ(examine(c.list), 0) << c.list.back();
    EXPECT_EQ(scanned, c.want) << c.list.back();
  }
  EXPECT_EQ(report, "");
}

TEST_F(WalkTest, BadExclusionStopsBeforeAnythingIsExamined) {
  files(kTree);
  EXPECT_EQ(examine({"C:\\W\\*.EXE", "<*.COM", "C:\\W\\*.COM"}), driver::kReported);
  EXPECT_TRUE(scanned.empty());
  EXPECT_EQ(report, "\nUnable to process exclusion item '*.COM'\n");
}

TEST_F(WalkTest, ExclusionsAreRegisteredAfreshForEveryPass) {
  files(kTree);
  Names list;
  for (int i = 0; i < 31; ++i) list.push_back("<F" + std::to_string(i) + ".EXE");
  list.push_back("<B.EXE");  // a 32nd name exclusion would not fit
  list.erase(list.begin());
  list.push_back("C:\\W\\*.EXE");
  for (int pass = 0; pass < 3; ++pass) {
    scanned.clear();
    EXPECT_EQ(examine(list), 0) << pass;
    EXPECT_TRUE(scanned.empty()) << pass;
  }
  EXPECT_EQ(areas::g_exclusions.names.size(), 31u);
}

TEST_F(WalkTest, IncorrectAreaStopsTheExamination) {
  files(kTree);
  for (const char* bad : {"[*]", "C:\\W[1]\\*.EXE", "C:\"Everything\"", "\"All Drives\""}) {
    scanned.clear();
    report.clear();
    EXPECT_EQ(examine({"C:\\W\\*.EXE", bad, "C:\\W\\*.COM"}), driver::kReported) << bad;
    EXPECT_EQ(scanned, (Names{"C:\\W\\B.EXE"})) << bad;
    EXPECT_EQ(report, "\n\nIncorrect area descriptor:\n    " + std::string(bad) + "\n") << bad;
  }
}

TEST_F(WalkTest, AnnouncementsWithoutSilentMode) {
  files(kTree);
  driver::g_settings.silent = false;
  EXPECT_EQ(examine({"C:\\W\\*.EXE", "<EDIT.COM", "", "C:\\W\\*.COM ; tools"}), 0);
  EXPECT_EQ(report,
            "\nExamining area 1: C:\\W\\*.EXE\n"
            "\nItem 2 is an exclusion descriptor: <EDIT.COM\n"
            "\nExamining area 4: C:\\W\\*.COM ; tools\n");
  EXPECT_EQ(scanned, (Names{"C:\\W\\B.EXE", "C:\\W\\A.COM"}));
}

TEST_F(WalkTest, ScanResultsCountErrorsAndCompressedFilesAreWarned) {
  files(kTree);
  scan_result = driver::kReported;
  compression_kind = 3;
  EXPECT_EQ(examine({"C:\\W\\*.EXE", ">C:\\W\\SUB1\\*.EXE"}), 0);
  EXPECT_EQ(driver::g_counters.errors, 2);
  EXPECT_EQ(warned, (Names{"C:\\W\\B.EXE 3 1", "C:\\W\\SUB1\\X.EXE 3 1"}));
}

TEST_F(WalkTest, SectorAreasAndDrivesThatAreNotReady) {
  areas::g_hooks.drive_ready = [](char letter) { return letter != 'A'; };
  EXPECT_EQ(examine({"\"All master boot sectors\"", "+80 0", "+81 5", "C:|0", "A:|*", "A:\"All executables\""}), 0);
  EXPECT_EQ(sectors, (Names{"\"All master boot sectors\"", "+80 0", "+81 5", "C:|0"}));
  EXPECT_EQ(report,
            "                   \rDrive A is empty.\n"
            "                   \rDrive A is empty.\n");
  EXPECT_EQ(driver::g_counters.errors, 3);  // the failed sector check and the two empty drives
}

TEST_F(WalkTest, NamesDifferingOnlyInCaseAreBothHandedOn) {
  files({"K/", "K/foo.exe", "K/FOO.EXE", "K/Bar.exe", "K/d/", "K/d/IN.COM", "K/D/", "K/D/IN.COM"});
  EXPECT_EQ(examine({"C:\\K\\*.EXE"}), 0);
  EXPECT_EQ(scanned, (Names{"C:\\K\\BAR.EXE", "C:\\K\\FOO.EXE", "C:\\K\\foo.exe"}));
  scanned.clear();
  EXPECT_EQ(examine({">C:\\K\\*.COM"}), 0);
  EXPECT_EQ(scanned, (Names{"C:\\K\\d\\IN.COM", "C:\\K\\D\\IN.COM"}));
}

TEST_F(WalkTest, FloppyDriveWithoutDiskIsEmpty) {
  EXPECT_EQ(examine({"A:\"All executables\"", "A:|0"}), 0);
  EXPECT_EQ(report, "                   \rDrive A is empty.\n                   \rDrive A is empty.\n");
  EXPECT_EQ(driver::g_counters.errors, 2);
  EXPECT_TRUE(sectors.empty());
}

TEST_F(WalkTest, FifosAndSymbolicLinksAreNeverHandedOn) {
  files({"L/", "L/REAL.EXE", "T/", "T/INSIDE.EXE"});
  ASSERT_EQ(mkfifo(env.tree.at("c/L/PIPE.EXE").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/etc/passwd", env.tree.at("c/L/LINK.EXE").c_str()), 0);
  ASSERT_EQ(symlink(env.tree.at("c/T").c_str(), env.tree.at("c/L/LOOP").c_str()), 0);
  ASSERT_EQ(symlink(env.tree.at("c/L").c_str(), env.tree.at("c/L/SELF").c_str()), 0);
  EXPECT_EQ(examine({">C:\\L\\*.*", "C:\"All executables\""}), 0);
  EXPECT_EQ(scanned, (Names{"C:\\L\\REAL.EXE", "C:\\T\\INSIDE.EXE", "C:\\L\\REAL.EXE"}));
  EXPECT_EQ(driver::g_counters.errors, 0);
}

TEST_F(WalkTest, WalkPathPastTheLimitIsRefused) {
  const std::string d60(60, 'D');
  std::string rel = "P";
  files({"P/"});
  for (int i = 0; i < 5; ++i) {
    rel += "/" + d60;
    env.tree.dir("c/" + rel);
  }
  env.tree.file("c/P/" + d60 + "/OK.EXE");
  EXPECT_EQ(examine({">C:\\P\\*.EXE"}), 0);
  EXPECT_EQ(scanned, (Names{"C:\\P\\" + d60 + "\\OK.EXE"}));
  // C:\P\ and four levels are 249 characters; the fifth level would pass 260.
  std::string deep = "C:\\P";
  for (int i = 0; i < 5; ++i) deep += "\\" + d60;
  EXPECT_EQ(report, "Illegal path or file specification: " + deep.substr(0, 260) + " (NT error code 206)\n");
  EXPECT_EQ(driver::g_counters.errors, 1);
}

// Runs `fn` without the right to bypass read permissions (in a child process when the
// tests run as root) and returns what it returned.
std::string unprivileged(const std::function<std::string()>& fn) {
  if (geteuid() != 0) return fn();
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out = "setuid failed";
    if (setgid(65534) == 0 && setuid(65534) == 0) out = fn();
    [[maybe_unused]] ssize_t w = write(fds[1], out.data(), out.size());
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return got;
}

TEST_F(WalkTest, UnreadableDirectoryGivesItsMessageAndOneError) {
  files({"U/", "U/A.EXE", "U/LOCKED/", "U/LOCKED/SECRET.EXE", "U/OPEN/", "U/OPEN/B.EXE"});
  chmod(env.tree.path.c_str(), 0755);
  for (const char* d : {"c", "c/U", "c/U/OPEN"}) chmod(env.tree.at(d).c_str(), 0755);
  chmod(env.tree.at("c/U/LOCKED").c_str(), 0);
  const std::string got = unprivileged([this] {
    const int rc = examine({">C:\\U\\*.EXE"});
    std::string out = std::to_string(rc) + "|" + std::to_string(driver::g_counters.errors) + "|";
    for (const auto& p : scanned) out += p + ",";
    return out + "|" + report;
  });
  EXPECT_EQ(got,
            "0|1|C:\\U\\A.EXE,C:\\U\\OPEN\\B.EXE,|"
            "Illegal path or file specification: C:\\U\\LOCKED\\ (NT error code 5)\n");
}

TEST_F(WalkTest, ProgramWideDirectorySearch) {
  files({"S/", "S/B.EXE", "S/A.EXE", "S/C.TXT"});
  areas::DirRecord rec;
  ASSERT_EQ(areas::dir_first("C:\\S\\*.EXE", rec), 0);
  EXPECT_EQ(rec.name, "A.EXE");
  EXPECT_EQ(rec.size_low, 1u);
  EXPECT_EQ(rec.size_high, 0u);
  ASSERT_EQ(areas::dir_next(rec), 0);
  EXPECT_EQ(rec.name, "B.EXE");
  EXPECT_EQ(areas::dir_next(rec), areas::kNoMatch);
  areas::dir_close();
  EXPECT_EQ(areas::dir_next(rec), areas::kNoSearchOpen);
  // Starting a search closes the one still open.
  ASSERT_EQ(areas::dir_first("C:\\S\\*.*", rec), 0);
  EXPECT_EQ(rec.name, ".");
  EXPECT_NE(rec.attributes & 0x10, 0);
  EXPECT_EQ(areas::dir_first("C:\\S\\*.COM", rec), areas::kNoMatch);
  EXPECT_EQ(areas::dir_next(rec), areas::kNoSearchOpen);
  EXPECT_EQ(areas::dir_first("C:\\NOPE\\*.*", rec), areas::kNoMatch);
}

TEST_F(WalkTest, StatusDisplay) {
  auto& s = driver::g_settings;
  s.super_silent = false;
  s.display_names = true;
  driver::g_state.start_time = host::calendar_seconds() - 75;
  areastest::Capture cap;
  areas::status_display("C:\\LONGNAME.EXE");
  areas::status_display("C:\\A.EXE");
  areas::status_display("C:\\A.EXE");  // the same text within the same second: nothing
  const std::string out = cap.text();
  // Minutes and seconds of the elapsed time (75 s, or 76 s when the clock ticked).
  const std::string t = out.substr(0, 6);
  EXPECT_TRUE(t == "01:15 " || t == "01:16 ") << out;
  ASSERT_GE(out.size(), 28u) << out;
  const std::string second = out.substr(22, 6);
  const std::string want = "C:\\LONGNAME.EXE\r" + second + "C:\\A.EXE" + std::string(7, ' ') + "\r";
  EXPECT_EQ(out.substr(6, want.size()), want);
  const std::string rest = out.substr(6 + want.size());
  EXPECT_TRUE(rest.empty() || rest.ends_with(" C:\\A.EXE\r")) << rest;  // unless the clock ticked

  // Super-silent, a diagnostic mask and server mode show nothing.
  for (int i = 0; i < 3; ++i) {
    driver::reset_settings();
    areas::reset_status();
    s.super_silent = i == 0;
    s.diagnostic_mask = i == 1 ? 1 : 0;
    s.server_mode = i == 2;
    areastest::Capture quiet;
    areas::status_display("X");
    EXPECT_EQ(quiet.text(), "") << i;
  }

  // Without silent mode the spinner turns while an expansion is in progress.
  driver::reset_settings();
  areas::reset_status();
  s.silent = false;
  areas::g_status.decompressing = true;
  areastest::Capture spin;
  for (int i = 0; i < 5; ++i) areas::status_display("");
  EXPECT_EQ(spin.text(), "/\b-\b\\\b|\b/\b");
}

}  // namespace
