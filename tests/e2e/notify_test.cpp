// Removal and notification end to end: deleting and shredding infected files after the
// question, protected files, the report file, the event log (local and remote), mail through
// a sendmail on PATH and the alert window.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e/harness.h"
#include "e2e/issue.h"

namespace {

const std::string kBanner =
    "BRINT virus detection utility\nVersion 2.77\nCopyright (C) Corvel Software 1989-1995. All rights reserved.\n\n";
const std::string kOverwriteStart = "Fast positive deletion  *  Keeps your data secure  *  ";

#define NEED_FAKETIME() \
  if (!e2e::have_faketime()) GTEST_SKIP() << "faketime is not installed"

std::string sample(const std::string& name) {
  return e2e::read_file(std::string(BRINT_SOURCE_DIR) + "/data/samples/" + name);
}

// The issue date of the built-in data at noon: no clock or data-age warning, and a frozen
// clock makes every time line known.
std::string issue_day() {
  const std::string& d = e2e::data_issue().issue;
  return "20" + d.substr(0, 2) + "-" + d.substr(2, 2) + "-" + d.substr(4, 2) + " 12:00:00";
}
std::string system_time_line() {
  return "System time 12:00:00, System date " + e2e::long_date(e2e::data_issue().issue) + "\n";
}

// "\n" -> "\r\n", as the report and mail files store text.
std::string crlf(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A terminal writes "\r\n" for every "\n".
std::string from_terminal(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  return out;
}

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
  return n;
}

// One event of the local event log.
struct Event {
  int type = 0;
  int category = 0;
  std::string id;
  std::vector<std::string> strings;
  std::string message;
  std::string source;
};

// A reader for the flat JSON objects of the event log: strings, integers and arrays of
// strings.
struct JsonReader {
  const std::string& s;
  size_t i = 0;
  void skip() {
    while (i < s.size() && (s[i] == ' ' || s[i] == ',' || s[i] == ':')) ++i;
  }
  std::string string() {
    std::string out;
    if (i >= s.size() || s[i] != '"') throw std::runtime_error("string expected in " + s);
    for (++i; i < s.size() && s[i] != '"'; ++i) {
      if (s[i] != '\\') {
        out += s[i];
        continue;
      }
      const char e = s[++i];
      if (e == 'n') out += '\n';
      else if (e == 'r') out += '\r';
      else if (e == 't') out += '\t';
      else if (e == 'u') {
        out += static_cast<char>(std::stoi(s.substr(i + 1, 4), nullptr, 16));
        i += 4;
      } else out += e;
    }
    ++i;
    return out;
  }
};

std::vector<Event> parse_events(const std::string& text) {
  std::vector<Event> events;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    Event e;
    JsonReader r{line, 1};
    for (;;) {
      r.skip();
      if (r.i >= line.size() || line[r.i] == '}') break;
      const std::string key = r.string();
      r.skip();
      if (line[r.i] == '"') {
        std::string v = r.string();
        if (key == "id") e.id = v;
        if (key == "message") e.message = v;
        if (key == "source") e.source = v;
      } else if (line[r.i] == '[') {
        ++r.i;
        for (;;) {
          r.skip();
          if (line[r.i] == ']') break;
          e.strings.push_back(r.string());
        }
        ++r.i;
      } else {
        size_t used = 0;
        const int v = std::stoi(line.substr(r.i), &used);
        r.i += used;
        if (key == "type") e.type = v;
        if (key == "category") e.category = v;
      }
    }
    events.push_back(e);
  }
  return events;
}

std::vector<std::string> ids_of(const std::vector<Event>& events) {
  std::vector<std::string> ids;
  for (const auto& e : events) ids.push_back(e.id);
  return ids;
}

// A drive C: in a temporary directory with the system directory and TMP beside it.
struct Box {
  e2e::TempDir dir;
  std::string drive = dir.file("c");
  std::string system = dir.file("sys");
  std::string tmp = dir.file("tmp");
  Box() {
    e2e::make_dirs(drive);
    e2e::make_dirs(tmp);
  }
  std::string at(const std::string& name) const { return drive + "/" + name; }
  void put(const std::string& name, const std::string& bytes) const { e2e::write_file(at(name), bytes); }
  void put_eicar(const std::string& name) const { put(name, sample("eicar.com")); }
  e2e::RunOptions options(std::vector<std::string> args, bool frozen = true) const {
    e2e::RunOptions o;
    o.args = std::move(args);
    o.env = {{"BRINT_DRIVES", "C=" + drive}, {"BRINT_SYSTEM", system}, {"TMP", tmp}};
    o.cwd = drive;
    if (frozen) {
      o.faketime = issue_day();
      o.freeze_clock = true;
    }
    return o;
  }
  std::vector<Event> events() const { return parse_events(e2e::read_file(system + "/eventlog/Application.jsonl")); }
  std::string registry_values() const {
    return e2e::read_file(system +
                          "/registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/EventLog/Application/"
                          "NTBrint/values");
  }
  bool tmp_is_empty() const { return std::filesystem::is_empty(tmp); }
};

std::string headline(const char* mode, int areas) {
  return std::string(mode) + " Brinting " + std::to_string(areas) + (areas == 1 ? " area" : " areas") + " for " +
         std::to_string(e2e::data_issue().virus_count) + " viruses.\n";
}

// ---------------------------------------------------------------------------------------
// Removal.

TEST(Removal, YesDeletesNoKeepsAndOtherKeysAreIgnored) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("A.COM");
  b.put_eicar("B.COM");
  b.put("CLEAN.COM", sample("testcom.com").substr(0, 10));
  auto o = b.options({"-NK", "-NB", "-REMOVE", "C:"});
  o.use_pty = true;
  o.pty_steps = {{"About to delete file C:\\A.COM. Proceed (Y/N) ? ", "x"},
                 {"", "y", 0, 200},
                 {"About to delete file C:\\B.COM. Proceed (Y/N) ? ", "n"}};
  auto r = e2e::run(o);
  const std::string out = from_terminal(r.out);
  EXPECT_TRUE(contains(out, "About to delete file C:\\A.COM. Proceed (Y/N) ? Y\r\nFile C:\\A.COM has been deleted.\n"))
      << out;
  EXPECT_TRUE(contains(out, "About to delete file C:\\B.COM. Proceed (Y/N) ? N\r\n3 files")) << out;
  EXPECT_FALSE(contains(out, "xY")) << "an ignored key is not echoed";
  EXPECT_TRUE(contains(out, "1 file has been removed and 0 boot sectors have been disabled.\n"
                            "All removals have been completed successfully.\n"))
      << out;
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(e2e::file_exists(b.at("A.COM")));
  EXPECT_EQ(e2e::read_file(b.at("B.COM")), sample("eicar.com"));
  EXPECT_TRUE(e2e::file_exists(b.at("CLEAN.COM")));
}

// Removal acts only on the file that was checked: a name that leads to another file by the
// time the operator answers is left alone.
TEST(Removal, ANameThatLeadsToAnotherFileByNowIsNotRemoved) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("A.COM");
  b.put("OTHER.TXT", "someone's letter");
  auto o = b.options({"-NK", "-NB", "-REMOVE", "C:\\A.COM"});
  o.use_pty = true;
  e2e::PtyStep swap{"About to delete file C:\\A.COM. Proceed (Y/N) ? ", "y"};
  swap.action = [&b] { ::rename(b.at("OTHER.TXT").c_str(), b.at("A.COM").c_str()); };
  o.pty_steps = {swap};
  auto r = e2e::run(o);
  const std::string out = from_terminal(r.out);
  EXPECT_TRUE(contains(out, "Proceed (Y/N) ? Y\r\nCould not delete file C:\\A.COM\n")) << out;
  EXPECT_TRUE(contains(out, "\n1 file could not be removed.\n")) << out;
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(e2e::read_file(b.at("A.COM")), "someone's letter");
}

TEST(Removal, NoConfirmationRemovesEveryInfectedFileWithoutAsking) {
  NEED_FAKETIME();
  Box b;
  e2e::make_dirs(b.at("SUB"));
  b.put_eicar("A.COM");
  b.put_eicar("SUB/B.COM");
  b.put("RO.COM", sample("eicar.com"));
  ::chmod(b.at("RO.COM").c_str(), 0444);  // read-only: the bit is cleared without a word
  b.put("T.EXE", sample("testexe.exe"));
  auto o = b.options({"-NK", "-NOC", "-REMOVEF", "-F", "C:"});
  o.no_stdin = true;
  auto r = e2e::run(o);
  EXPECT_FALSE(contains(r.out, "Proceed")) << r.out;
  EXPECT_FALSE(contains(r.out, "attributes")) << r.out;
  for (const char* f : {"C:\\A.COM", "C:\\RO.COM", "C:\\SUB\\B.COM", "C:\\T.EXE"}) {
    EXPECT_EQ(count_of(r.out, std::string("File ") + f + " has been deleted.\n"), 1u) << f << "\n" << r.out;
  }
  EXPECT_TRUE(contains(r.out, "4 files have been removed and 0 boot sectors have been disabled.\n")) << r.out;
  EXPECT_EQ(r.status, 3);
  for (const char* f : {"A.COM", "RO.COM", "SUB/B.COM", "T.EXE"}) EXPECT_FALSE(e2e::file_exists(b.at(f))) << f;
}

TEST(Removal, ShreddingOverwritesTheWholeFileBeforeTheNameGoes) {
  NEED_FAKETIME();
  Box b;
  // A 250-byte infected file: the sample program padded; a second link outside the drive
  // keeps the content to look at after the name has gone.
  b.put("T.EXE", sample("testexe.exe") + std::string(250 - sample("testexe.exe").size(), '\0'));
  const std::string keep = b.dir.file("keep.bin");
  ASSERT_EQ(::link(b.at("T.EXE").c_str(), keep.c_str()), 0);
  auto o = b.options({"-NK", "-NOC", "-REMOVE", "-RS", "-F", "C:\\T.EXE"});
  o.no_stdin = true;
  auto r = e2e::run(o);
  EXPECT_TRUE(contains(r.out, ">>> Pattern 'Brint Test EXE' found in file C:\\T.EXE\nFile C:\\T.EXE has been shredded.\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "1 file has been removed")) << r.out;
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(e2e::file_exists(b.at("T.EXE")));
  const std::string shredded = e2e::read_file(keep);
  ASSERT_EQ(shredded.size(), 300u);  // three whole overwrite blocks cover 250 bytes
  const std::string block = shredded.substr(0, 100);
  EXPECT_EQ(block.substr(0, 54), kOverwriteStart);
  EXPECT_EQ(block.substr(95), "  *  ");
  EXPECT_EQ(shredded, block + block + block);

  // The question names the shredding.
  b.put("T.EXE", sample("testexe.exe"));
  o = b.options({"-NK", "-REMOVE", "-RS", "-F", "C:\\T.EXE"});
  o.use_pty = true;
  o.pty_steps = {{"About to shred file C:\\T.EXE. Proceed (Y/N) ? ", "n"}};
  r = e2e::run(o);
  EXPECT_TRUE(contains(from_terminal(r.out), "About to shred file C:\\T.EXE. Proceed (Y/N) ? N\r\n")) << r.out;
  EXPECT_EQ(e2e::read_file(b.at("T.EXE")), sample("testexe.exe"));
}

// Runs `args` through setpriv with the file-owner override dropped: the program is root
// but cannot change the mode of a file it does not own, so it must take ownership first.
e2e::RunOptions without_fowner(const Box& b, std::vector<std::string> args) {
  auto o = b.options({});
  o.program = "/usr/bin/setpriv";
  o.args = {"--bounding-set=-fowner", "--", e2e::brint_binary()};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.no_stdin = true;
  return o;
}

bool can_drop_fowner() {
  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) return false;
  e2e::RunOptions o;
  o.program = "/usr/bin/setpriv";
  o.args = {"--bounding-set=-fowner", "--", "/bin/true"};
  return e2e::run(o).status == 0;
}

// chattr +i on `path` (root on a file system that has the flag); undone when it goes.
struct Immutable {
  std::string path;
  bool set = false;
  explicit Immutable(std::string p) : path(std::move(p)) {
    e2e::RunOptions o;
    o.program = "/usr/bin/chattr";
    o.args = {"+i", path};
    set = ::access("/usr/bin/chattr", X_OK) == 0 && e2e::run(o).status == 0;
  }
  ~Immutable() {
    if (!set) return;
    e2e::RunOptions o;
    o.program = "/usr/bin/chattr";
    o.args = {"-i", path};
    e2e::run(o);
  }
};

TEST(Removal, AFileOfAnotherOwnerIsTakenOverThenDeleted) {
  NEED_FAKETIME();
  if (!can_drop_fowner()) GTEST_SKIP() << "needs root and setpriv";
  Box b;
  b.put_eicar("E.COM");
  ASSERT_EQ(::chown(b.at("E.COM").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(b.at("E.COM").c_str(), 0444), 0);
  auto r = e2e::run(without_fowner(b, {"-NK", "-NOC", "-REMOVE", "C:\\E.COM"}));
  EXPECT_TRUE(contains(r.out, "Could not set attributes of file C:\\E.COM\n"
                              "Successfully grabbed ownership of file C:\\E.COM.\n"
                              "File C:\\E.COM has been deleted.\n"))
      << r.out;
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(e2e::file_exists(b.at("E.COM")));
}

// An infected read-only file of another owner in a directory whose names cannot be
// unlinked: the removal changes the mode (and, without the file-owner override, the owner)
// and fails; the owner and mode are put back.
void failed_removal_restores(bool drop_fowner) {
  Box b;
  e2e::make_dirs(b.at("LOCKED"));
  b.put_eicar("LOCKED/E.COM");
  const std::string file = b.at("LOCKED/E.COM");
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  Immutable frozen_dir(b.at("LOCKED"));
  if (!frozen_dir.set) GTEST_SKIP() << "chattr +i is not available here";
  const std::vector<std::string> args = {"-NK", "-NOC", "-REMOVE", "C:\\LOCKED\\E.COM"};
  e2e::RunOptions o = drop_fowner ? without_fowner(b, args) : b.options(args);
  o.no_stdin = true;
  auto r = e2e::run(o);
  const std::string taken = drop_fowner ? "Could not set attributes of file C:\\LOCKED\\E.COM\n"
                                          "Successfully grabbed ownership of file C:\\LOCKED\\E.COM.\n"
                                        : "";
  EXPECT_TRUE(contains(r.out, ">>> Identity 'EICAR Test' found in file C:\\LOCKED\\E.COM\n" + taken +
                                  "Could not delete file C:\\LOCKED\\E.COM\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "0 files have been removed and 0 boot sectors have been disabled.\n"
                              "\n1 file could not be removed.\n"))
      << r.out;
  EXPECT_EQ(r.status, 3);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(e2e::read_file(file), sample("eicar.com"));
}

TEST(Removal, AFailedRemovalPutsTheModeBack) {
  NEED_FAKETIME();
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  failed_removal_restores(false);
}

// The mode must go back before the owner: once the file belongs to its old owner again, a
// program without the file-owner override can no longer set its mode.
TEST(Removal, AFailedRemovalPutsTheOwnerAndModeBack) {
  NEED_FAKETIME();
  if (!can_drop_fowner()) GTEST_SKIP() << "needs root and setpriv";
  failed_removal_restores(true);
}

TEST(Removal, AFileNobodyMayChangeIsReportedNotRemoved) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");
  ASSERT_EQ(::chmod(b.at("E.COM").c_str(), 0444), 0);
  Immutable frozen(b.at("E.COM"));
  if (!frozen.set) GTEST_SKIP() << "chattr +i is not available here";
  auto o = b.options({"-NK", "-NOC", "-REMOVE", "-RS", "C:\\E.COM"});
  o.no_stdin = true;
  auto r = e2e::run(o);
  EXPECT_TRUE(contains(r.out, "Could not set attributes of file C:\\E.COM\n"
                              "Unable to grab ownership of file C:\\E.COM - NT error code 5.\n"
                              "Could not shred file C:\\E.COM\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "\n1 file could not be removed.\n")) << r.out;
  EXPECT_FALSE(contains(r.out, "All removals")) << r.out;
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(e2e::read_file(b.at("E.COM")), sample("eicar.com"));  // not half-shredded
}

// ---------------------------------------------------------------------------------------
// Report file.

TEST(ReportFile, SuperSilentKeepsEveryLineInTheReport) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");
  auto o = b.options({"-SS", "-P=R.TXT", "C:\\E.COM"});
  o.no_stdin = true;
  auto r = e2e::run(o);
  const std::string finding = ">>> Identity 'EICAR Test' found in file C:\\E.COM\n";
  const std::string totals = "1 virus pattern/identity was discovered.\n1 file out of 1 was infected.\n";
  EXPECT_EQ(r.out.find(finding), 0u) << r.out;
  EXPECT_TRUE(contains(r.out, totals)) << r.out;
  for (const char* quiet : {"Brinting", "brinted in", "bytes/second", "System time"}) {
    EXPECT_FALSE(contains(r.out, quiet)) << quiet;
  }
  EXPECT_EQ(r.status, 3);
  const std::string report = e2e::read_file(b.at("R.TXT"));
  const std::string header = kBanner + e2e::issue_line() + system_time_line() +
                             "Command line qualifiers are: -SS -P=R.TXT C:\\E.COM \n\n";
  const std::string body = headline("Quick", 1) + "\n" + finding +
                           "1 file (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 68 bytes/second.\n" + totals;
  const std::string expected = crlf(header + body);
  EXPECT_EQ(report.substr(0, expected.size()), expected);
  EXPECT_EQ(report.substr(report.size() - 16), "End of BRINT.\r\n\f");
}

TEST(ReportFile, ReplacedByDefaultAppendedWithA) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");
  b.put("CLEAN.COM", "just text");
  auto o = b.options({"-NK", "-P=R.TXT", "C:\\E.COM"});
  o.no_stdin = true;
  e2e::run(o);
  const std::string first = e2e::read_file(b.at("R.TXT"));
  ASSERT_TRUE(contains(first, "EICAR Test")) << first;

  o.args = {"-NK", "-P=r.txt", "C:\\CLEAN.COM"};  // the same file, whatever the case
  auto r = e2e::run(o);
  EXPECT_EQ(r.status, 0);
  const std::string second = e2e::read_file(b.at("R.TXT"));
  EXPECT_EQ(second.find(crlf(kBanner)), 0u);
  EXPECT_FALSE(contains(second, "EICAR Test")) << second;
  EXPECT_TRUE(contains(second, "Command line qualifiers are: -NK -P=r.txt C:\\CLEAN.COM \r\n")) << second;

  o.args = {"-NK", "-A", "-P=R.TXT", "C:\\E.COM"};
  r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  const std::string third = e2e::read_file(b.at("R.TXT"));
  ASSERT_GT(third.size(), second.size());
  EXPECT_EQ(third.substr(0, second.size()), second);  // the old report stays whole
  const std::string appended = third.substr(second.size());
  EXPECT_EQ(appended.find(crlf(kBanner)), 0u) << appended;  // right after "End of BRINT." and the form feed
  EXPECT_TRUE(contains(appended, "EICAR Test"));
  EXPECT_EQ(appended.substr(appended.size() - 16), "End of BRINT.\r\n\f");
}

TEST(ReportFile, AReportFileHeldByAnotherProcessIsRetriedThenRefused) {
  Box b;
  b.put("CLEAN.COM", "just text");
  b.put("R.TXT", "kept");
  const int fd = ::open(b.at("R.TXT").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  auto o = b.options({"-NK", "-P=R.TXT", "C:\\CLEAN.COM"}, false);
  o.no_stdin = true;
  o.timeout_ms = 60000;
  const auto start = std::chrono::steady_clock::now();
  auto r = e2e::run(o);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(contains(r.out, "Could not open file R.TXT\n")) << r.out;
  EXPECT_FALSE(contains(r.out, "Brinting")) << r.out;
  EXPECT_EQ(r.status, 2);
  EXPECT_GE(waited, std::chrono::seconds(4)) << "about 100 attempts 60 ms apart";
  EXPECT_EQ(e2e::read_file(b.at("R.TXT")), "kept");  // not truncated before the lock was held

  // Released while the program retries: the report is written.
  std::thread release([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ::flock(fd, LOCK_UN);
  });
  r = e2e::run(o);
  release.join();
  ::close(fd);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(contains(r.out, "Could not open file")) << r.out;
  EXPECT_EQ(e2e::read_file(b.at("R.TXT")).find(crlf(kBanner)), 0u);
}

TEST(ReportFile, ThePrinterReportGoesToLpOrCannotBeOpened) {
  NEED_FAKETIME();
  Box b;
  b.put("CLEAN.COM", "just text");
  // An lp that keeps a copy of the file it is given (its last argument).
  const std::string bin = b.dir.file("bin");
  e2e::make_dirs(bin);
  e2e::write_file(bin + "/lp", "#!/bin/sh\nfor a; do f=$a; done\ncat \"$f\" > '" + b.dir.file("printed") + "'\n");
  ::chmod((bin + "/lp").c_str(), 0755);
  auto o = b.options({"-NK", "-P", "C:\\CLEAN.COM"});
  o.no_stdin = true;
  o.env["PATH"] = bin + ":/usr/bin:/bin";
  auto r = e2e::run(o);
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string printed = e2e::read_file(b.dir.file("printed"));
  EXPECT_EQ(printed.find(crlf(kBanner)), 0u) << printed;
  EXPECT_TRUE(contains(printed, "Command line qualifiers are: -NK -P C:\\CLEAN.COM \r\n")) << printed;
  EXPECT_TRUE(ends_with(printed, "End of BRINT.\r\n\f"));
  EXPECT_TRUE(b.tmp_is_empty()) << "the spool file is gone";

  o.env["PATH"] = b.dir.file("nobin");  // no lp anywhere on PATH
  r = e2e::run(o);
  EXPECT_TRUE(contains(r.out, "Could not open file PRN\n")) << r.out;
  EXPECT_EQ(r.status, 2);
}

// ---------------------------------------------------------------------------------------
// Event log.

const std::string kVersion = "2.77";
const std::string kReleased = "01 September 1995";

TEST(EventLog, StartFindingAndEndEventsForEachExitCode) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");
  b.put("CLEAN.COM", "just text");
  const std::string clean_areas = "\r\nC:\\CLEAN.COM\r\n";
  const std::string infected_areas = "\r\nC:\\E.COM\r\n";
  const std::string elapsed = "0 minutes and 0 seconds";  // the clock stands still

  // 0: nothing found.
  auto o = b.options({"-NK", "C:\\CLEAN.COM"});
  o.no_stdin = true;
  auto r = e2e::run(o);
  EXPECT_EQ(r.status, 0);
  auto ev = b.events();
  ASSERT_EQ(ids_of(ev), (std::vector<std::string>{"0xC0000005", "0xC0000007"}));
  EXPECT_EQ(ev[0].type, 4);
  EXPECT_EQ(ev[0].category, 3);
  EXPECT_EQ(ev[0].source, "NTBrint");
  EXPECT_EQ(ev[0].strings, (std::vector<std::string>{kVersion, kReleased, clean_areas}));
  EXPECT_EQ(ev[0].message, "Corvel Brint for Windows NT version 2.77 (released 01 September 1995) started scan on: " +
                               clean_areas);
  EXPECT_EQ(ev[1].type, 4);
  EXPECT_EQ(ev[1].category, 3);
  EXPECT_EQ(ev[1].strings, (std::vector<std::string>{kVersion, kReleased, elapsed, clean_areas}));
  EXPECT_EQ(ev[1].message, "Corvel Brint for Windows NT version 2.77 (released 01 September 1995) completed scan after " +
                               elapsed + " with no errors on areas: " + clean_areas);
  const std::string values = b.registry_values();
  EXPECT_TRUE(contains(values, "EventMessageFile=REG_EXPAND_SZ:")) << values;
  EXPECT_TRUE(contains(values, "TypesSupported=REG_DWORD:7")) << values;
  EXPECT_TRUE(contains(values, "CategoryCount=REG_DWORD:3")) << values;

  // 3: a virus, with its finding event.
  ::unlink((b.system + "/eventlog/Application.jsonl").c_str());
  o.args = {"-NK", "C:\\E.COM"};
  r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  ev = b.events();
  ASSERT_EQ(ids_of(ev), (std::vector<std::string>{"0xC0000005", "0xC0000004", "0xC0000009"}));
  EXPECT_EQ(ev[1].type, 1);
  EXPECT_EQ(ev[1].category, 1);
  EXPECT_EQ(ev[1].strings, (std::vector<std::string>{"identity", "EICAR Test", "in C:\\E.COM"}));
  EXPECT_EQ(ev[1].message, "Corvel Brint for Windows NT found identity 'EICAR Test' in C:\\E.COM.");
  EXPECT_EQ(ev[2].strings, (std::vector<std::string>{kVersion, kReleased, elapsed, infected_areas}));
  EXPECT_EQ(ev[2].message, "Corvel Brint for Windows NT version 2.77 (released 01 September 1995) completed scan after " +
                               elapsed + ". Viruses were discovered whilst scanning areas: " + infected_areas);

  // 1: Esc at the removal question.
  ::unlink((b.system + "/eventlog/Application.jsonl").c_str());
  o = b.options({"-NK", "-REMOVE", "C:\\E.COM"});
  o.use_pty = true;
  o.pty_steps = {{"Proceed (Y/N) ? ", "\x1b"}};
  r = e2e::run(o);
  EXPECT_TRUE(contains(from_terminal(r.out), "Proceed (Y/N) ? \nQUIT\n")) << r.out;
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(e2e::file_exists(b.at("E.COM")));
  ev = b.events();
  ASSERT_EQ(ids_of(ev), (std::vector<std::string>{"0xC0000005", "0xC0000004", "0xC0000008"}));
  EXPECT_EQ(ev[2].message, "Corvel Brint for Windows NT version 2.77 (released 01 September 1995) was interrupted after " +
                               elapsed + ". The scan was incomplete on areas: " + infected_areas);

  // 2: the report file cannot be opened. The source is not registered yet, but the end
  // event is logged.
  ::unlink((b.system + "/eventlog/Application.jsonl").c_str());
  o = b.options({"-NK", "-P=C:\\NODIR\\R.TXT", "C:\\CLEAN.COM"});
  o.no_stdin = true;
  r = e2e::run(o);
  EXPECT_TRUE(contains(r.out, "Could not open file C:\\NODIR\\R.TXT\n")) << r.out;
  EXPECT_EQ(r.status, 2);
  ev = b.events();
  ASSERT_EQ(ids_of(ev), (std::vector<std::string>{"0xC000000B"}));
  EXPECT_EQ(ev[0].strings, (std::vector<std::string>{kVersion, kReleased, elapsed, clean_areas}));
  EXPECT_EQ(ev[0].message, "Corvel Brint for Windows NT version 2.77 (released 01 September 1995) completed scan after " +
                               elapsed + ". Errors were encountered whilst scanning areas: " + clean_areas);
}

TEST(EventLog, NoEndEventForABadQualifierOrAnUnscheduledRun) {
  NEED_FAKETIME();
  Box b;
  for (const auto& args : std::vector<std::vector<std::string>>{{"-NK", "-NOSUCH"}, {"-NK", "-D=0"}}) {
    auto o = b.options(args);
    o.no_stdin = true;
    e2e::run(o);
    EXPECT_FALSE(e2e::file_exists(b.system + "/eventlog/Application.jsonl")) << args[1];
  }
}

TEST(EventLog, QuietEventsKeepOnlyFindingsAndNoEventsWriteNothing) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");
  auto o = b.options({"-NK", "-QE", "C:\\E.COM"});
  o.no_stdin = true;
  auto r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  auto ev = b.events();
  ASSERT_EQ(ids_of(ev), (std::vector<std::string>{"0xC0000004"}));
  EXPECT_EQ(ev[0].type, 1);

  Box quiet;
  quiet.put_eicar("E.COM");
  o = quiet.options({"-NK", "-NE", "C:\\E.COM"});
  o.no_stdin = true;
  r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(e2e::file_exists(quiet.system + "/eventlog")) << "no event log";
  EXPECT_FALSE(e2e::file_exists(quiet.system + "/registry")) << "no source registered";
}

// A UDP socket on 127.0.0.1 with a free port.
struct UdpListener {
  int fd = -1;
  int port = 0;
  UdpListener() {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~UdpListener() {
    if (fd >= 0) ::close(fd);
  }
  // The datagrams that arrived (the sender has ended: they are all queued).
  std::vector<std::string> received() const {
    std::vector<std::string> out;
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0) break;
      out.emplace_back(buf, static_cast<size_t>(n));
    }
    return out;
  }
};

TEST(EventLog, RemoteLoggingSendsFindingsAndTheEndAndKeepsTheLocalLog) {
  NEED_FAKETIME();
  UdpListener udp;
  ASSERT_GT(udp.port, 0);
  Box b;
  b.put_eicar("E.COM");
  auto o = b.options({"-NK", "-EV=127.0.0.1:" + std::to_string(udp.port), "C:\\E.COM"});
  o.no_stdin = true;
  auto r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(contains(r.out, "does not exist")) << r.out;
  EXPECT_EQ(ids_of(b.events()), (std::vector<std::string>{"0xC0000005", "0xC0000004", "0xC0000009"}));
  EXPECT_FALSE(e2e::file_exists(b.system + "/registry")) << "remote logging registers no local source";

  const auto got = udp.received();
  ASSERT_EQ(got.size(), 2u);  // the scan start is never sent
  // RFC 5424: <PRI>1 TIMESTAMP HOST APP PROCID MSGID [SD] MSG; user facility, error then info.
  EXPECT_EQ(got[0].rfind("<11>1 ", 0), 0u) << got[0];
  EXPECT_TRUE(contains(got[0], " NTBrint ")) << got[0];
  EXPECT_TRUE(contains(got[0], "[event@32473 type=\"1\" category=\"1\"] Corvel Brint for Windows NT found identity "
                               "'EICAR Test' in C:\\E.COM."))
      << got[0];
  EXPECT_EQ(got[1].rfind("<14>1 ", 0), 0u) << got[1];
  EXPECT_TRUE(contains(got[1], "Viruses were discovered whilst scanning areas:")) << got[1];
  EXPECT_FALSE(contains(got[1], "\n")) << "one line per datagram";
}

// A run over two infected files, A.COM and B.COM, that logs its events to a machine no
// resolver knows.
e2e::RunResult run_logging_to_unknown_machine(const Box& b) {
  b.put_eicar("A.COM");
  b.put_eicar("B.COM");
  auto o = b.options({"-NK", "-EV=nohost.invalid", "C:"});
  o.no_stdin = true;
  o.timeout_ms = 60000;  // a resolver may take its time to say no
  return e2e::run(o);
}

TEST(EventLog, AMachineThatDoesNotResolveIsReportedOnceAndEventsStayLocal) {
  NEED_FAKETIME();
  Box b;
  auto r = run_logging_to_unknown_machine(b);
  EXPECT_EQ(r.status, 3);
  const std::string message =
      "Machine 'NOHOST.INVALID' does not exist; unable to log event to remote machine.\n";
  EXPECT_EQ(count_of(r.out, message), 1u) << r.out;
  EXPECT_EQ(ids_of(b.events()), (std::vector<std::string>{"0xC0000005", "0xC0000004", "0xC0000004", "0xC0000009"}));
}

// The machine message comes while the finding line is still open: it must stand on a line
// of its own, so that the finding line keeps its file name.
TEST(EventLog, TheMachineMessageDoesNotJoinTheFindingLine) {
  NEED_FAKETIME();
  Box b;
  auto r = run_logging_to_unknown_machine(b);
  EXPECT_TRUE(contains(r.out, ">>> Identity 'EICAR Test' found in file C:\\A.COM\n"
                              "Machine 'NOHOST.INVALID' does not exist; unable to log event to remote machine.\n"
                              ">>> Identity 'EICAR Test' found in file C:\\B.COM\n"))
      << r.out;
}

// ---------------------------------------------------------------------------------------
// Mail.

// A sendmail on PATH that keeps its arguments and its input beside it and exits with `status`.
std::string fake_sendmail(const Box& b, int status) {
  const std::string bin = b.dir.file("bin");
  e2e::make_dirs(bin);
  e2e::write_file(bin + "/sendmail", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + b.dir.file("mail.args") +
                                         "'\ncat > '" + b.dir.file("mail.in") + "'\nexit " +
                                         std::to_string(status) + "\n");
  ::chmod((bin + "/sendmail").c_str(), 0755);
  return bin + ":/usr/bin:/bin";
}

// Options of a run without standard input whose mail goes to a fake sendmail that succeeds.
e2e::RunOptions mail_options(const Box& b, std::vector<std::string> args) {
  auto o = b.options(std::move(args));
  o.no_stdin = true;
  o.env["PATH"] = fake_sendmail(b, 0);
  return o;
}

std::string base64_decode(const std::string& in) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int have = 0;
  for (char c : in) {
    const size_t v = kAlphabet.find(c);
    if (v == std::string::npos) continue;  // line breaks and padding
    bits = (bits << 6) | static_cast<unsigned>(v);
    have += 6;
    if (have >= 8) {
      have -= 8;
      out += static_cast<char>((bits >> have) & 0xFF);
    }
  }
  return out;
}

// The attachment "br_log.txt" of a MIME message, decoded.
std::string attachment_of(const std::string& mime) {
  const std::string head = "filename=\"br_log.txt\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  const size_t at = mime.find(head);
  if (at == std::string::npos) return "<no attachment>";
  const size_t from = at + head.size();
  const size_t end = mime.find("--", from);
  return base64_decode(mime.substr(from, end - from));
}

TEST(Mail, TheRunsLogIsMailedAndTheTemporaryFileGoes) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");
  auto o = mail_options(b, {"-NK", "-MI", "-P=R.TXT", "C:\\E.COM"});
  auto r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(contains(r.out, "Could not")) << r.out;
  EXPECT_EQ(e2e::read_file(b.dir.file("mail.args")), "-i\n-f\nbrint\nbrinters\n");
  const std::string mime = e2e::read_file(b.dir.file("mail.in"));
  EXPECT_EQ(mime.rfind("To: brinters\r\n", 0), 0u) << mime;
  const std::string& d = e2e::data_issue().issue;
  EXPECT_TRUE(contains(mime, "\r\n\r\nThis log file   was generated by Corvel Brint for Windows NT mail interface at "
                             "12:00:00 on " +
                                 d.substr(4, 2) + "/" + d.substr(2, 2) + "/" + d.substr(0, 2) + ".\r\n--"))
      << mime;
  // The attachment is the report without its qualifiers line and closing.
  std::string report = e2e::read_file(b.at("R.TXT"));
  const std::string qualifiers = "Command line qualifiers are: -NK -MI -P=R.TXT C:\\E.COM \r\n\r\n";
  ASSERT_TRUE(contains(report, qualifiers));
  report.erase(report.find(qualifiers), qualifiers.size());
  report.erase(report.size() - std::string("End of BRINT.\r\n\f").size());
  EXPECT_EQ(attachment_of(mime), report);
  EXPECT_TRUE(b.tmp_is_empty());
}

TEST(Mail, AccountAndPasswordAndEveryFailureKeepTheExitCode) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");

  // -MI=account,password: the account is the sender; the report masks the password.
  auto o = mail_options(b, {"-NK", "-MI=OPS,SECRET", "-P=R.TXT", "C:\\E.COM"});
  auto r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(e2e::read_file(b.dir.file("mail.args")), "-i\n-f\nOPS\nbrinters\n");
  const std::string report = e2e::read_file(b.at("R.TXT"));
  EXPECT_TRUE(contains(report, "Command line qualifiers are: -NK -MI=OPS,* -P=R.TXT C:\\E.COM \r\n")) << report;
  EXPECT_FALSE(contains(report, "SECRET"));

  // An account the mail program cannot take.
  o.args = {"-NK", "-MI=-X", "C:\\E.COM"};
  ::unlink(b.dir.file("mail.args").c_str());
  r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(ends_with(r.out, "support@corvel.example\nCould not logon to mail.\n")) << r.out;
  EXPECT_FALSE(e2e::file_exists(b.dir.file("mail.args")));
  EXPECT_TRUE(b.tmp_is_empty());

  // The mail program fails.
  o.args = {"-NK", "-MI", "C:\\E.COM"};
  o.env["PATH"] = fake_sendmail(b, 1);
  r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(ends_with(r.out, "support@corvel.example\nCould not send mail.\n")) << r.out;
  EXPECT_TRUE(b.tmp_is_empty());

  // No mail program at all.
  if (e2e::file_exists("/usr/sbin/sendmail") || e2e::file_exists("/usr/lib/sendmail")) {
    GTEST_SKIP() << "this machine has a system sendmail";
  }
  o.env["PATH"] = b.dir.file("nobin");
  r = e2e::run(o);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(ends_with(r.out, "support@corvel.example\nCould not initialise MAPI.\n")) << r.out;
  EXPECT_TRUE(b.tmp_is_empty());

  // A quit on the way still deletes the mail file.
  o.stdin_data = "\x1b";
  o.no_stdin = false;
  r = e2e::run(o);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(b.tmp_is_empty());
}

// ---------------------------------------------------------------------------------------
// Alert window.

TEST(Alert, TheFindingsAreGatheredIntoTheWindowAndPrintedOnce) {
  NEED_FAKETIME();
  Box b;
  b.put_eicar("E.COM");
  auto o = b.options({"-NB", "C:\\E.COM"});
  o.use_pty = true;
  o.pty_steps = {{"[ OK ]", "x"}};
  auto r = e2e::run(o);
  const std::string out = from_terminal(r.out);
  const std::string totals = "1 virus pattern/identity was discovered.\n1 file out of 1 was infected.\n";
  ASSERT_TRUE(contains(out, "BRINT Alert!")) << out;
  const std::string after_box = out.substr(out.find("[ OK ]"));
  EXPECT_TRUE(contains(after_box, totals)) << out;
  EXPECT_EQ(count_of(out.substr(0, out.find("BRINT Alert!")), "was infected"), 0u) << "collected, not printed";
  EXPECT_EQ(r.status, 3);

  // -NK: no window; the gathered lines are printed once.
  o.args = {"-NK", "-NB", "C:\\E.COM"};
  o.pty_steps.clear();
  r = e2e::run(o);
  EXPECT_FALSE(contains(r.out, "BRINT Alert!"));
  EXPECT_EQ(count_of(from_terminal(r.out), totals), 1u) << r.out;
  EXPECT_EQ(r.status, 3);
}

}  // namespace
