// The program run end to end: banner and date lines, scheduling, the pass and its summary,
// the qualifier list, bad arguments, multiple disks and interruption.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

const std::string kBanner =
    "BRINT virus detection utility\nVersion 2.77\nCopyright (C) Corvel Software 1989-1995. All rights reserved.\n\n";
const std::string kStart = kBanner + "Examining system ...\r";
const std::string kReading = "  Reading virus data ...\r";
const std::string kPrompt = "Press any key to continue ...";
const std::string kErasedPrompt = kPrompt + "\r" + std::string(29, ' ') + "\r";
const std::string kIssue = "This issue includes viruses known to Corvel up to 01 September 1995\n\n";
const std::string kEmptyPass =
    "Quick Brinting 0 areas for 0 viruses.\nPress Esc to quit.\n\n"
    "0 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\nNo viruses were discovered.\n";
const std::string kClockWarning = "WARNING: Your system clock is not set to a correct date.\n";
const std::string kAgeWarning =
    "WARNING: Useful life of BRINT of 4 months has been exceeded.\nAfter this date it may not discover current viruses.\n";
const char* kMonday = "1995-10-16 12:00:00";

// A drive C: in a fresh temporary directory, which is also the working directory.
struct Drive {
  e2e::TempDir dir;
  e2e::RunOptions options(std::vector<std::string> args, const char* faketime = kMonday) const {
    e2e::RunOptions o;
    o.args = std::move(args);
    o.env = {{"BRINT_DRIVES", "C=" + dir.path}, {"BRINT_SYSTEM", dir.path + "/system"}};
    o.cwd = dir.path;
    if (faketime) {
      o.faketime = faketime;
      o.freeze_clock = true;  // the date lines show the very second given
    }
    return o;
  }
};

// A terminal writes "\r\n" for every "\n".
std::string from_terminal(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  return out;
}

#define NEED_FAKETIME() \
  if (!e2e::have_faketime()) GTEST_SKIP() << "faketime is not installed"

// The 49 help lines as they appear, with the page waits after lines 19 and 39.
const std::vector<std::string> kHelpLines = {
    "A:, B: etc. specifies the drives to be checked",
    "*: specifies all local hard drives\n",
    "-6 Check for 62 seconds and year top bit set",
    "-A Append to file specified by -P=file, instead of creating it",
    "-AD=drive specifies the drive to prefix entries in BRINT.ARE",
    "-ALL Brint all files on drive",
    "-AS Check standard areas",
    "-D=Tue will run it only on Tuesday, or ...",
    "-D=30 will run it only in 30% of the cases",
    "-DA Display areas which will be checked",
    "-DE Daily execution",
    "-DL Display library of patterns",
    "-DN Display names of files as they are scanned",
    "-EV=<machine name> also log events on remote machine",
    "-F Full BRINT",
    "-FM=file displays text in file on discovery of a pattern",
    "-FS When using BRINT on a file server",
    "-WLS[=<name>] Start Wardenline server",
    "-MI=[<account>,<password>] mail results",
    "-MU BRINT multiple disks in the same drive",
    "-NAB do not check boot sectors.",
    "-NAF do not read file BRINT.ARE with areas to be checked",
    "-NAP do not use internal virus patterns",
    "-NAS do not check standard areas",
    "-NB do not sound bell on discovery of a pattern",
    "-NCI do not check identities",
    "-NDI do not disinfect infected items",
    "-NE do not write to system event log",
    "-NI no interrupting",
    "-NK do not wait for key to be pressed to continue",
    "-NOC do not ask for confirmation before removing a file or sector with a virus",
    "-NS no silent running - display everything during running",
    "-P=<printer name>",
    "-PAT=<Hex pattern> (without blanks!)",
    "-PD pause on discovery of a match",
    "-PR=H run at high priority",
    "-PR=L run at low priority",
    "-Q quick BRINTing",
    "-QE quiet events - only log ERROR events",
    "-REC examine subdirectories below the directory specified in command line",
    "-REMOVE remove the file or disable the sector containing a virus",
    "-REMOVEF remove the file containing a virus",
    "-RS remove the file by shredding and not only deletion",
    "-SC BRINT compressed files",
    "-SS Super Silent running",
    "-WC Warn if compressed files exist on disk",
    "\nFor example:\n",
    "   NTBRINT A: B: -NS\n",
    "will BRINT the floppies in drives A: and B: and display all items checked.",
};

// The qualifier list with a page length of `page`, cut after `last` lines (0: all).
std::string help_text(int page, size_t last = 0) {
  std::string out;
  for (size_t i = 0; i < kHelpLines.size(); ++i) {
    out += kHelpLines[i] + "\n";
    const int count = static_cast<int>(i) + 1;
    if ((count + 1) % page == 0) {
      out += kErasedPrompt;
      if (last == i + 1) break;
    }
  }
  return out;
}

}  // namespace

TEST(DateLines, BeforeTheIssueTheClockIsWrong) {
  NEED_FAKETIME();
  Drive d;
  auto r = e2e::run(d.options({}, "1995-08-31 12:00:00"));
  EXPECT_EQ(r.out, kStart + kReading + "System time 12:00:00, System date 31 August 1995\n" + kClockWarning +
                       kErasedPrompt + "\n" + kIssue + kEmptyPass);
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, OnTheExpiryDayNoWarningTheDayAfterTheDataIsOld) {
  NEED_FAKETIME();
  Drive d;
  auto r = e2e::run(d.options({}, "1996-01-01 23:59:58"));
  EXPECT_EQ(r.out, kStart + kReading + "System time 23:59:58, System date 01 January 1996\n" + kIssue + kEmptyPass);
  EXPECT_EQ(r.status, 0);
  r = e2e::run(d.options({"-NK"}, "1996-01-02 08:05:09"));
  EXPECT_EQ(r.out, kStart + kReading + "System time 08:05:09, System date 02 January 1996\n" + kAgeWarning + "\n" +
                       kIssue + kEmptyPass);
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, TodayShowsTheFullYearAndOnlyTheDataAgeWarning) {
  Drive d;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);  // the harness runs the program with TZ=UTC
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  char date[64];
  std::snprintf(date, sizeof date, "System date %02d %s %d\n", tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900);
  auto r = e2e::run(d.options({}, nullptr));
  EXPECT_NE(r.out.find(date), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(kClockWarning), std::string::npos);
  EXPECT_NE(r.out.find(kAgeWarning + kErasedPrompt + "\n" + kIssue + kEmptyPass), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, EscAtTheWarningQuitsUnlessInterruptingIsOff) {
  NEED_FAKETIME();
  Drive d;
  auto o = d.options({"-DE"}, "1995-08-31 12:00:00");
  o.use_pty = true;
  o.pty_steps = {{kPrompt, "\x1b"}};
  auto r = e2e::run(o);
  EXPECT_NE(from_terminal(r.out).find(kClockWarning + kErasedPrompt + "\nQUIT\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(e2e::file_exists(d.dir.file("BRINT.DAY")));  // a quit writes no day file

  o.args = {"-NI"};
  r = e2e::run(o);
  EXPECT_NE(from_terminal(r.out).find(kClockWarning + kErasedPrompt + "\n" + kIssue), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, CtrlCDuringTheKeyWaitQuits) {
  NEED_FAKETIME();
  Drive d;
  auto o = d.options({}, "1995-08-31 12:00:00");
  o.use_pty = true;
  o.pty_steps = {{kPrompt, "", SIGINT, 0}, {"", "x", 0, 300}};
  auto r = e2e::run(o);
  EXPECT_NE(from_terminal(r.out).find(kErasedPrompt + "\nQUIT\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 1);
}

TEST(SuperSilent, PrintsNothingAndWaitsForNothing) {
  NEED_FAKETIME();
  Drive d;
  auto o = d.options({"-SS"}, "1995-08-31 12:00:00");
  o.use_pty = true;  // a key wait would hang here until the harness gives up
  o.timeout_ms = 5000;
  auto r = e2e::run(o);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
}

TEST(Schedule, DayNamesAndPercentages) {
  NEED_FAKETIME();
  Drive d;
  const struct {
    std::vector<std::string> args;
    bool runs;
  } cases[] = {
      {{"-D=SU"}, false}, {{"-D=su", "-D=Monday"}, true}, {{"-D=Mo", "-D=TU"}, true},
      {{"-D=0"}, false},  {{"-D=100"}, true},             {{"-SS", "-D=SA"}, false},
  };
  for (const auto& c : cases) {
    auto r = e2e::run(d.options(c.args));
    EXPECT_EQ(r.status, 0) << c.args[0];
    if (c.runs) {
      EXPECT_EQ(r.out, kStart + kReading + "System time 12:00:00, System date 16 October 1995\n" + kIssue + kEmptyPass)
          << c.args[0];
    } else if (c.args[0] == "-SS") {
      EXPECT_EQ(r.out, "");
    } else {
      EXPECT_EQ(r.out, kStart + "BRINT not scheduled to run.\n") << c.args[0];
    }
  }
}

TEST(Schedule, DayFileRunsOncePerDay) {
  NEED_FAKETIME();
  Drive d;
  auto r = e2e::run(d.options({"-DE"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(kEmptyPass), std::string::npos);
  EXPECT_EQ(e2e::read_file(d.dir.file("BRINT.DAY")), "951016");

  r = e2e::run(d.options({"-DE"}));
  EXPECT_EQ(r.out, kStart + "BRINT not scheduled to run.\n");
  EXPECT_EQ(r.status, 0);

  r = e2e::run(d.options({"-DE"}, "1995-10-17 09:00:00"));
  EXPECT_NE(r.out.find(kEmptyPass), std::string::npos);
  EXPECT_EQ(e2e::read_file(d.dir.file("BRINT.DAY")), "951017");

  // A named day file, and a -D= that says no: the day file is not even looked at.
  r = e2e::run(d.options({"-DE=other.day", "-D=SU"}, "1995-10-17 09:00:00"));
  EXPECT_EQ(r.out, kStart + "BRINT not scheduled to run.\n");
  EXPECT_FALSE(e2e::file_exists(d.dir.file("other.day")));
  r = e2e::run(d.options({"-DEother.day"}, "1995-10-17 09:00:00"));
  EXPECT_EQ(e2e::read_file(d.dir.file("other.day")), "951017");
}

TEST(QualifierList, PagedWithPipedKeys) {
  NEED_FAKETIME();
  Drive d;
  auto r = e2e::run(d.options({"-F", "-D=101"}));  // no keys: every wait goes on
  EXPECT_EQ(r.out, kStart + help_text(20));
  EXPECT_EQ(r.status, 2);

  auto o = d.options({"-ML5", "-AX"});
  o.stdin_data = "a\x1b";  // the second wait is answered with Esc
  r = e2e::run(o);
  EXPECT_EQ(r.out, kStart + help_text(5, 9));
  EXPECT_EQ(r.status, 2);

  r = e2e::run(d.options({"-NK", "-ML=20"}));
  EXPECT_EQ(r.out.find(kPrompt), std::string::npos);
  EXPECT_EQ(r.status, 2);
}

TEST(QualifierList, PagedOnATerminal) {
  NEED_FAKETIME();
  Drive d;
  auto o = d.options({"-REMOV"});
  o.use_pty = true;
  o.pty_steps = {{kPrompt, " "}, {kPrompt, "\x1b"}};
  auto r = e2e::run(o);
  EXPECT_EQ(from_terminal(r.out), kStart + help_text(20, 39));
  EXPECT_EQ(r.status, 2);
}

TEST(CommandLine, RefusedLinesAndBadDrives) {
  NEED_FAKETIME();
  Drive d;
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {{"1:"}, kStart + "Bad drive specification in '1:'\n", 243},
      {{"-F", "Q:\\DATA"}, kStart + "Bad drive specification in 'Q:\\DATA'\n", 243},
      {{"\"C:\\DOS"}, kBanner + "Fatal error: Mismatched quote on command line.", 2},
      {{"-SS", std::string(1025, 'A')}, kBanner + "Fatal error: Command line too long.", 2},
      {std::vector<std::string>(100, "-F"), kBanner + "Fatal error: Too many arguments on command line.", 2},
      {std::vector<std::string>(95, "C:\\"), kStart + "Fatal error: Too many areas on command line.", 2},
  };
  for (const auto& c : cases) {
    auto r = e2e::run(d.options(c.args));
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.status, c.status) << c.args[0];
  }
}

TEST(AreaListing, ListsTheAreaArguments) {
  NEED_FAKETIME();
  Drive d;
  e2e::make_dirs(d.dir.file("dos"));
  auto r = e2e::run(d.options({"-DA", "-NK", "dos", "C:\\MY FILES", "-REC"}));
  EXPECT_EQ(r.out, kStart + kReading + "System time 12:00:00, System date 16 October 1995\n" + kIssue +
                       "2 areas checked are:\n\n>C:\\DOS\n>C:\\MY FILES\n\n");
  EXPECT_EQ(r.status, 0);
  r = e2e::run(d.options({"-SS", "-DA", "c:\\dos"}));
  EXPECT_EQ(r.out, "1 area checked is:\n\nC:\\DOS\n\n");
}

TEST(MultipleDisks, EscAtTheFirstPromptChecksNoDisk) {
  NEED_FAKETIME();
  Drive d;
  const std::string place =
      " disk in the drive and press any key to start\nBrinting. Press Esc to quit checking multiple disks ... ";
  auto o = d.options({"-MU", "-F", "-NB"});
  o.use_pty = true;
  o.pty_steps = {{"multiple disks ... ", "\x1b"}};
  auto r = e2e::run(o);
  EXPECT_EQ(from_terminal(r.out), kStart + kReading + "System time 12:00:00, System date 16 October 1995\n" + kIssue +
                                      "Place the first" + place + "\n\n0 disks were checked in total.\n");
  EXPECT_EQ(r.status, 0);

  o.pty_steps = {{"multiple disks ... ", "x"}, {"multiple disks ... ", "\x1b"}};
  r = e2e::run(o);
  EXPECT_EQ(from_terminal(r.out),
            kStart + kReading + "System time 12:00:00, System date 16 October 1995\n" + kIssue + "Place the first" +
                place + "\n\nFull Brinting 0 areas for 0 viruses on disk #1.\nPress Esc to quit.\n\n" +
                "0 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 0 bytes/second.\n"
                "No viruses were discovered.\n" +
                "\nPlace the next" + place + "\n\n1 disk was checked in total.\n");
  EXPECT_EQ(r.status, 0);

  // No console input: the prompt cannot be answered, so no disk is checked. The prompt
  // itself is shown even in super-silent mode.
  r = e2e::run(d.options({"-MU", "-SS"}));
  EXPECT_EQ(r.out, "Place the first" + place + "\n\n0 disks were checked in total.\n");
  EXPECT_EQ(r.status, 0);
}
