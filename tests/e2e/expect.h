// Shared expectations of the end-to-end tests: the fixed texts the program prints, the busy
// indicator, dates around the data issue, and a throw-away drive C: to run the program on.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "e2e/issue.h"

namespace e2e {

inline const std::string kBanner =
    "BRINT virus detection utility\nVersion 2.77\nCopyright (C) Corvel Software 1989-1995. All rights reserved.\n\n";
inline const std::string kStart = kBanner + "Examining system ...\r";
inline const std::string kPrompt = "Press any key to continue ...";
inline const std::string kErasedPrompt = kPrompt + "\r" + std::string(29, ' ') + "\r";
inline const std::string kClockWarning = "WARNING: Your system clock is not set to a correct date.\n";
inline const std::string kAgeWarning =
    "WARNING: Useful life of BRINT of 4 months has been exceeded.\nAfter this date it may not discover current viruses.\n";
inline const std::string kElapsed0 = "Elapsed time 00:00\r";

// `n` steps of the busy indicator from step `from` on: the cycle slash, hyphen, backslash,
// bar, whose very first step writes the hyphen; each character is taken back with a backspace.
inline std::string busy(int from, int n) {
  static const char kCycle[] = {'/', '-', '\\', '|'};
  std::string s;
  for (int i = from; i < from + n; ++i) {
    s += kCycle[(i + 1) % 4];
    s += '\b';
  }
  return s;
}

// Number of virus entries in the built-in stream: the `virus` statements of the data sources.
inline int builtin_entries() {
  static const int n = [] {
    int count = 0;
    const std::regex virus_line(R"(^\s*virus\s+")", std::regex::icase);
    for (const auto& e : std::filesystem::directory_iterator(std::string(BRINT_SOURCE_DIR) + "/data")) {
      if (e.path().extension() != ".vds") continue;
      std::ifstream f(e.path());
      for (std::string line; std::getline(f, line);) {
        if (std::regex_search(line, virus_line)) ++count;
      }
    }
    return count;
  }();
  return n;
}

// Busy steps of one stream of `entries` entries: one before entry 0, 32, 64, ... and one more
// where the next entry would begin.
inline int stream_steps(int entries) { return entries / 32 + 1; }

// The busy steps taken while the built-in data loads: four for clearing the lists, then the stream.
inline int builtin_steps() { return 4 + stream_steps(builtin_entries()); }

// "  Reading virus data ...\r" and the busy indicator of the built-in load.
inline std::string reading() { return "  Reading virus data ...\r" + busy(0, builtin_steps()); }

// Calendar arithmetic on YYMMDD dates (00-79 are 20xx).
inline std::time_t yymmdd_time(const std::string& yymmdd) {
  std::tm tm{};
  const int yy = std::stoi(yymmdd.substr(0, 2));
  tm.tm_year = (yy < 80 ? 2000 + yy : 1900 + yy) - 1900;
  tm.tm_mon = std::stoi(yymmdd.substr(2, 2)) - 1;
  tm.tm_mday = std::stoi(yymmdd.substr(4, 2));
  tm.tm_hour = 12;
  return timegm(&tm);
}

inline std::tm shifted(const std::string& yymmdd, int days) {
  const std::time_t t = yymmdd_time(yymmdd) + std::time_t(days) * 86400;
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

// "YYYY-MM-DD hh:mm:ss" for faketime, `days` after a YYMMDD date.
inline std::string faketime_at(const std::string& yymmdd, int days, const std::string& hms = "12:00:00") {
  const std::tm tm = shifted(yymmdd, days);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf + hms;
}

// The YYMMDD form of a date `days` after a YYMMDD date (what the day file holds).
inline std::string yymmdd_at(const std::string& yymmdd, int days) {
  const std::tm tm = shifted(yymmdd, days);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

// The first date line for a faketime text "YYYY-MM-DD hh:mm:ss".
inline std::string date_line(const std::string& faketime) {
  const std::string yymmdd = faketime.substr(2, 2) + faketime.substr(5, 2) + faketime.substr(8, 2);
  return "System time " + faketime.substr(11, 8) + ", System date " + long_date(yymmdd) + "\n";
}

// The lines from the banner to the issue line on a date without a warning.
inline std::string opening(const std::string& faketime) {
  return kStart + reading() + date_line(faketime) + issue_line();
}

// The headline of a pass, with the built-in virus count unless another is given.
inline std::string headline(int areas, const char* mode = "Quick", int viruses = -1) {
  if (viruses < 0) viruses = data_issue().virus_count;
  return std::string(mode) + " Brinting " + std::to_string(areas) + (areas == 1 ? " area" : " areas") + " for " +
         std::to_string(viruses) + (viruses == 1 ? " virus" : " viruses") + ".\nPress Esc to quit.\n\n";
}

// The summary of a pass that checked no file, with nothing found.
inline const std::string kNoFiles =
    "0 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\nNo viruses were discovered.\n";

// One step of a terminal conversation: once `wait_for` shows, wait `delay_ms`, send `signal`
// (0: none) and type `send`.
inline PtyStep key(std::string wait_for, std::string send, int signal = 0, int delay_ms = 0) {
  PtyStep s;
  s.wait_for = std::move(wait_for);
  s.send = std::move(send);
  s.signal = signal;
  s.delay_ms = delay_ms;
  return s;
}

// A terminal writes "\r\n" for every "\n".
inline std::string from_terminal(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  return out;
}

// A drive C: in a fresh temporary directory, which is also the working directory; the
// program's own data directory (BRINT_SYSTEM) lies outside it.
struct Drive {
  TempDir dir;
  TempDir system;
  std::string root() const { return dir.path; }
  std::string file(const std::string& name) const { return dir.file(name); }
  RunOptions options(std::vector<std::string> args, const std::string& faketime) const {
    RunOptions o;
    o.args = std::move(args);
    o.env = {{"BRINT_DRIVES", "C=" + dir.path}, {"BRINT_SYSTEM", system.path}};
    o.cwd = dir.path;
    if (!faketime.empty()) {
      o.faketime = faketime;
      o.freeze_clock = true;  // the date lines show the very second given; elapsed time stays 0
    }
    return o;
  }
};

}  // namespace e2e

#define NEED_FAKETIME() \
  if (!e2e::have_faketime()) GTEST_SKIP() << "faketime is not installed"
