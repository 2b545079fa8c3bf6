// The program run end to end: banner and date lines, scheduling, the pass and its summary,
// the qualifier list, bad arguments, multiple disks and interruption.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <string>
#include <vector>

#include "e2e/expect.h"
#include "e2e/harness.h"

namespace {

using e2e::kBanner;
using e2e::kClockWarning;
using e2e::kAgeWarning;
using e2e::kElapsed0;
using e2e::kErasedPrompt;
using e2e::kNoFiles;
using e2e::kPrompt;
using e2e::kStart;
using e2e::from_terminal;

const e2e::DataIssue& issue() { return e2e::data_issue(); }

// The day before the data issue (the clock must be wrong) and the first Monday on or after
// the issue date (inside the data's useful life, so no warning).
std::string before_issue() { return e2e::faketime_at(issue().issue, -1); }
int monday_offset() {
  const std::tm tm = e2e::shifted(issue().issue, 0);
  return (8 - tm.tm_wday) % 7;
}
std::string monday(const std::string& hms = "12:00:00") {
  return e2e::faketime_at(issue().issue, monday_offset(), hms);
}

// A pass over an empty drive C: with boot areas left out: one area, no file.
const std::string kEmptyPass = e2e::headline(1) + kElapsed0 + kNoFiles;

struct Drive : e2e::Drive {
  e2e::RunOptions options(std::vector<std::string> args, const std::string& faketime = monday()) const {
    return e2e::Drive::options(std::move(args), faketime);
  }
};

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
  const std::string at = before_issue();
  auto r = e2e::run(d.options({"-NAB"}, at));
  EXPECT_EQ(r.out, kStart + e2e::reading() + e2e::date_line(at) + kClockWarning + kErasedPrompt + "\n" +
                       e2e::issue_line() + kEmptyPass);
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, OnTheIssueAndExpiryDaysNoWarningTheDayAfterTheDataIsOld) {
  NEED_FAKETIME();
  Drive d;
  for (const std::string& at :
       {e2e::faketime_at(issue().issue, 0, "00:00:01"), e2e::faketime_at(issue().expires, 0, "23:59:58")}) {
    auto r = e2e::run(d.options({"-NAB"}, at));
    EXPECT_EQ(r.out, e2e::opening(at) + kEmptyPass) << at;
    EXPECT_EQ(r.status, 0);
  }
  const std::string after = e2e::faketime_at(issue().expires, 1, "08:05:09");
  auto r = e2e::run(d.options({"-NK", "-NAB"}, after));
  EXPECT_EQ(r.out, kStart + e2e::reading() + e2e::date_line(after) + kAgeWarning + "\n" + e2e::issue_line() +
                       kEmptyPass);
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, TodayShowsTheFullYearAndTheWarningThatFitsTheDate) {
  Drive d;
  // The harness runs the program with TZ=UTC.
  const auto today = [] {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday);
    return std::string(buf);
  };
  const std::string before = today();
  auto r = e2e::run(d.options({"-NAB"}, ""));
  if (today() != before) GTEST_SKIP() << "the date changed during the run";
  const std::string date = "System date " + e2e::long_date(before) + "\n";
  EXPECT_NE(r.out.find(date), std::string::npos) << r.out;
  std::string warning;
  if (before < issue().issue) warning = kClockWarning + kErasedPrompt + "\n";
  if (before > issue().expires) warning = kAgeWarning + kErasedPrompt + "\n";
  EXPECT_NE(r.out.find(date + warning + e2e::issue_line() + e2e::headline(1)), std::string::npos) << r.out;
  // The clock runs here: only the parts of the summary that cannot depend on it.
  EXPECT_NE(r.out.find("0 files (0.0 Kbytes) brinted in 0 minutes and "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("No viruses were discovered.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, EscAtTheWarningQuitsUnlessInterruptingIsOff) {
  NEED_FAKETIME();
  Drive d;
  auto o = d.options({"-DE", "-NAB"}, before_issue());
  o.use_pty = true;
  o.pty_steps = {e2e::key(kPrompt, "\x1b")};
  auto r = e2e::run(o);
  EXPECT_NE(from_terminal(r.out).find(kClockWarning + kErasedPrompt + "\nQUIT\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(e2e::file_exists(d.file("BRINT.DAY")));  // a quit writes no day file

  o.args = {"-NI", "-NAB"};
  r = e2e::run(o);
  EXPECT_NE(from_terminal(r.out).find(kClockWarning + kErasedPrompt + "\n" + e2e::issue_line()), std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 0);
}

TEST(DateLines, CtrlCDuringTheKeyWaitQuits) {
  NEED_FAKETIME();
  Drive d;
  auto o = d.options({"-NAB"}, before_issue());
  o.use_pty = true;
  o.pty_steps = {e2e::key(kPrompt, "", SIGINT, 0), e2e::key("", "x", 0, 300)};
  auto r = e2e::run(o);
  EXPECT_NE(from_terminal(r.out).find(kErasedPrompt + "\nQUIT\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 1);
}

TEST(SuperSilent, PrintsNothingAndWaitsForNothing) {
  NEED_FAKETIME();
  Drive d;
  auto o = d.options({"-SS", "-NAB"}, before_issue());
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
    auto args = c.args;
    args.push_back("-NAB");
    auto r = e2e::run(d.options(args));
    EXPECT_EQ(r.status, 0) << c.args[0];
    if (c.runs) {
      EXPECT_EQ(r.out, e2e::opening(monday()) + kEmptyPass) << c.args[0];
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
  const std::string tuesday = e2e::faketime_at(issue().issue, monday_offset() + 1, "09:00:00");
  auto r = e2e::run(d.options({"-DE", "-NAB"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, e2e::opening(monday()) + kEmptyPass);
  EXPECT_EQ(e2e::read_file(d.file("BRINT.DAY")), e2e::yymmdd_at(issue().issue, monday_offset()));

  r = e2e::run(d.options({"-DE", "-NAB"}, monday("23:00:00")));
  EXPECT_EQ(r.out, kStart + "BRINT not scheduled to run.\n");
  EXPECT_EQ(r.status, 0);

  r = e2e::run(d.options({"-DE", "-NAB"}, tuesday));
  EXPECT_EQ(r.out, e2e::opening(tuesday) + kEmptyPass);
  EXPECT_EQ(e2e::read_file(d.file("BRINT.DAY")), e2e::yymmdd_at(issue().issue, monday_offset() + 1));

  // A named day file, and a -D= that says no: the day file is not even looked at.
  r = e2e::run(d.options({"-DE=other.day", "-D=SU", "-NAB"}, tuesday));
  EXPECT_EQ(r.out, kStart + "BRINT not scheduled to run.\n");
  EXPECT_FALSE(e2e::file_exists(d.file("other.day")));
  r = e2e::run(d.options({"-DEother.day", "-NAB"}, tuesday));
  EXPECT_EQ(e2e::read_file(d.file("other.day")), e2e::yymmdd_at(issue().issue, monday_offset() + 1));
  EXPECT_EQ(r.status, 0);
}

TEST(Summary, AnExplicitEmptyAreaChecksNoFile) {
  NEED_FAKETIME();
  Drive d;
  e2e::make_dirs(d.file("empty"));
  auto r = e2e::run(d.options({"C:\\EMPTY\\*.*"}));
  EXPECT_EQ(r.out, e2e::opening(monday()) + kEmptyPass);
  EXPECT_EQ(r.status, 0);
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
  o.pty_steps = {e2e::key(kPrompt, " "), e2e::key(kPrompt, "\x1b")};
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
  e2e::make_dirs(d.file("dos"));
  auto r = e2e::run(d.options({"-DA", "-NK", "dos", "C:\\MY FILES", "-REC"}));
  EXPECT_EQ(r.out, e2e::opening(monday()) + "2 areas checked are:\n\n>C:\\DOS\n>C:\\MY FILES\n\n");
  EXPECT_EQ(r.status, 0);
  r = e2e::run(d.options({"-SS", "-DA", "c:\\dos"}));
  EXPECT_EQ(r.out, "1 area checked is:\n\nC:\\DOS\n\n");
  EXPECT_EQ(r.status, 0);
}

TEST(MultipleDisks, EscAtTheFirstPromptChecksNoDisk) {
  NEED_FAKETIME();
  Drive d;
  const std::string place =
      " disk in the drive and press any key to start\nBrinting. Press Esc to quit checking multiple disks ... ";
  auto o = d.options({"-MU", "-F", "-NB", "-NAB"});
  o.use_pty = true;
  o.pty_steps = {e2e::key("multiple disks ... ", "\x1b")};
  auto r = e2e::run(o);
  EXPECT_EQ(from_terminal(r.out),
            e2e::opening(monday()) + "Place the first" + place + "\n\n0 disks were checked in total.\n");
  EXPECT_EQ(r.status, 0);

  o.pty_steps = {e2e::key("multiple disks ... ", "x"), e2e::key("multiple disks ... ", "\x1b")};
  r = e2e::run(o);
  const std::string disk1 = e2e::headline(1, "Full");
  EXPECT_EQ(from_terminal(r.out),
            e2e::opening(monday()) + "Place the first" + place + "\n\n" +
                disk1.substr(0, disk1.find('.')) + " on disk #1.\nPress Esc to quit.\n\n" + kElapsed0 + kNoFiles +
                "\nPlace the next" + place + "\n\n1 disk was checked in total.\n");
  EXPECT_EQ(r.status, 0);

  // No console input: the prompt cannot be answered, so no disk is checked. The prompt
  // itself is shown even in super-silent mode.
  r = e2e::run(d.options({"-MU", "-SS", "-NAB"}));
  EXPECT_EQ(r.out, "Place the first" + place + "\n\n0 disks were checked in total.\n");
  EXPECT_EQ(r.status, 0);
}
