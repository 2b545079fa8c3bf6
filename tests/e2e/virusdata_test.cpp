// The virus data end to end: the library listing, data added from brint.vdl and identity
// files made by the data compiler, corrupt data, and user patterns from BRINT.PAT and -PAT=.
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/expect.h"
#include "e2e/harness.h"

namespace {

const e2e::DataIssue& issue() { return e2e::data_issue(); }
std::string at() { return e2e::faketime_at(e2e::data_issue().issue, 1); }

std::string vdc() { return std::string(BRINT_BUILD_DIR) + "/brint-vdc"; }

// The busy indicator also turns while the library list is sorted, a number of times that
// depends on the sort; the list itself is what these tests look at.
std::string without_busy(const std::string& s) {
  return std::regex_replace(s, std::regex("[-/|\\\\]\b"), "");
}

// The four names of a line in 16-character columns, the fourth ending the line.
std::string name_lines(std::vector<std::string> names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    out += names[i];
    if ((i + 1) % 4 == 0) {
      out += "\n";
    } else {
      out += std::string(16 - names[i].size(), ' ');
    }
  }
  return out + "\n";
}

// The names of our data issue: every `virus` and `pattern` name of the sources, sorted
// ignoring case, each once.
std::vector<std::string> issue_names() {
  std::vector<std::string> names;
  const std::regex name_re(R"re(^\s*(virus|pattern)\s+"([^"]*)")re", std::regex::icase);
  for (const auto& e : std::filesystem::directory_iterator(std::string(BRINT_SOURCE_DIR) + "/data")) {
    if (e.path().extension() != ".vds") continue;
    std::istringstream in(e2e::read_file(e.path().string()));
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
      if (std::regex_search(line, m, name_re) && !m[2].str().empty()) names.push_back(m[2]);
    }
  }
  const auto upper = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  std::sort(names.begin(), names.end(), [&](const auto& a, const auto& b) { return upper(a) < upper(b); });
  names.erase(std::unique(names.begin(), names.end(), [&](const auto& a, const auto& b) { return upper(a) == upper(b); }),
              names.end());
  return names;
}

// A drive C: and a copy of the program in a directory of its own, since the program reads
// the identity files of its own directory.
struct DataSetup : e2e::Drive {
  e2e::TempDir bin;
  DataSetup() {
    std::filesystem::copy_file(e2e::brint_binary(), bin.file("ntbrint"));
    ::chmod(bin.file("ntbrint").c_str(), 0755);
  }
  e2e::RunOptions options(std::vector<std::string> args) const {
    auto o = e2e::Drive::options(std::move(args), at());
    o.program = bin.file("ntbrint");
    return o;
  }
  // Compiles `source` with the data compiler into `output` given as `--vdl FILE` and the like.
  void compile(const std::string& source, const std::string& kind, const std::string& output) const {
    const std::string src = system.file("extra.vds");
    e2e::write_file(src, source);
    e2e::RunOptions o;
    o.program = vdc();
    o.args = {kind, output, src};
    const auto r = e2e::run(o);
    ASSERT_EQ(r.status, 0) << r.out;
  }
};

// Two identity entries of our own; what their programs test does not matter here.
const char* const kExtraSource = R"(
virus "Extra One"
record
    pair 4D 5A
    finish
end
virus "extra two"
record
    byte 41
    finish
end
)";

}  // namespace

TEST(VirusList, ListsOurIssueSortedFourToALine) {
  NEED_FAKETIME();
  e2e::Drive d;
  auto r = e2e::run(d.options({"-DL", "-NAB"}, at()));
  const std::string heading =
      "The library contains information on " + std::to_string(issue().virus_count) + " viruses:\n\n";
  EXPECT_EQ(without_busy(r.out), without_busy(e2e::opening(at())) + heading + "  Sorting virus names ...\r" +
                                     name_lines(issue_names()));
  EXPECT_EQ(r.status, 0);
}

TEST(VirusList, QuitAtThePauseGivesOne) {
  NEED_FAKETIME();
  e2e::Drive d;
  // The line counter starts at 9 for the heading lines and pauses where it reaches a page
  // end two lines early: with pages of 11 lines, after the first full line of names.
  auto o = d.options({"-DL", "-NAB", "-ML11"}, at());
  o.stdin_data = "x\x1b";  // the first byte goes to the start-up poll for quit
  auto r = e2e::run(o);
  const std::string out = without_busy(r.out);
  const auto names = issue_names();
  ASSERT_GE(names.size(), 4u);
  std::string first_line = name_lines({names[0], names[1], names[2], names[3]});
  first_line.pop_back();  // the list's closing line feed is never written
  EXPECT_TRUE(out.ends_with("  Sorting virus names ...\r" + first_line + e2e::kErasedPrompt)) << out;
  EXPECT_EQ(out.find(names[4]), std::string::npos) << out;
  EXPECT_EQ(r.status, 1);
}

TEST(ExternalData, VdlAndIdentityFilesRaiseTheVirusCount) {
  NEED_FAKETIME();
  DataSetup s;
  s.compile(kExtraSource, "--vdl", s.file("brint.vdl"));
  s.compile(R"(
virus "Third"
record
    byte 42
    finish
end
)", "--ide", s.bin.file("third.ide"));
  auto r = e2e::run(s.options({"-DL", "-NAB"}));
  const int count = issue().virus_count + 3;
  EXPECT_NE(r.out.find("The library contains information on " + std::to_string(count) + " viruses:\n\n"),
            std::string::npos)
      << r.out;
  auto names = issue_names();
  for (const char* n : {"Extra One", "extra two", "Third"}) names.push_back(n);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  });
  EXPECT_NE(without_busy(r.out).find("  Sorting virus names ...\r" + name_lines(names)), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0);

  // The headline of a pass carries the same count; the two extra streams each turn the busy
  // indicator once, after the issue line.
  e2e::make_dirs(s.file("empty"));
  r = e2e::run(s.options({"C:\\EMPTY\\*.*"}));
  EXPECT_EQ(r.out, e2e::opening(at()) + e2e::busy(e2e::builtin_steps(), 2) + e2e::headline(1, "Quick", count) +
                       e2e::kElapsed0 + e2e::kNoFiles);
  EXPECT_EQ(r.status, 0);
}

TEST(ExternalData, CorruptDataEndsTheRunWithItsMessage) {
  NEED_FAKETIME();
  DataSetup s;
  s.compile(kExtraSource, "--ide", s.system.file("good.ide"));
  const std::string good = e2e::read_file(s.system.file("good.ide"));

  // The identity file with a character that is no hexadecimal digit inside its first block:
  // the message shows what follows the failure, at most 32 characters of it.
  std::string bad = good;
  const size_t at = bad.find(' ', 12);
  ASSERT_NE(at, std::string::npos);
  bad.insert(at + 1, "Z");
  e2e::write_file(s.bin.file("bad.ide"), bad);
  auto r = e2e::run(s.options({"-NAB"}));
  ASSERT_GT(bad.size(), at + 2 + 32);
  EXPECT_EQ(r.out, e2e::opening(e2e::faketime_at(issue().issue, 1)) + e2e::busy(e2e::builtin_steps(), 1) +
                       "Warning! " + s.bin.file("bad.ide") + " has been corrupted\njust prior to the sequence:\n" +
                       bad.substr(at + 2, 32) + "\n");
  EXPECT_EQ(r.status, 2);
  std::filesystem::remove(s.bin.file("bad.ide"));

  // A wrong check byte at the very end: nothing follows it to show.
  bad = good;
  while (!bad.empty() && std::isspace(static_cast<unsigned char>(bad.back()))) bad.pop_back();
  bad.back() = bad.back() == '0' ? '1' : '0';
  e2e::write_file(s.bin.file("check.ide"), bad);
  r = e2e::run(s.options({"-NAB"}));
  EXPECT_NE(r.out.find(" has been corrupted\njust prior to the sequence:\n\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 2);
  std::filesystem::remove(s.bin.file("check.ide"));

  // brint.vdl cut short inside a record, and one with a foreign format header.
  s.compile(kExtraSource, "--vdl", s.file("brint.vdl"));
  std::string vdl = e2e::read_file(s.file("brint.vdl"));
  e2e::write_file(s.file("brint.vdl"), vdl.substr(0, vdl.size() - 2));
  r = e2e::run(s.options({"-NAB"}));
  EXPECT_NE(r.out.find(e2e::issue_line() + e2e::busy(e2e::builtin_steps(), 1) + "Warning! brint.vdl has been corrupted\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 2);
  vdl[1] = '\x02';
  e2e::write_file(s.file("brint.vdl"), vdl);
  r = e2e::run(s.options({"-NAB"}));
  EXPECT_NE(r.out.find("VDL file incompatible with this version of BRINT.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 2);
}

TEST(UserPatterns, PatternFileAndCommandLinePatternsAreFound) {
  NEED_FAKETIME();
  e2e::Drive d;
  e2e::write_file(d.file("X.COM"), std::string("\x90\x90\x11\x22\x33\x44\x55\x66\x90\xaa\xbb\xcc\xdd\xee\x90\x90", 16));
  e2e::write_file(d.file("CLEAN.COM"), std::string(64, '\x90'));
  // Blanks may stand between the two digits of a byte; a comment ends the line.
  e2e::write_file(d.file("BRINT.PAT"), "; user patterns\nMy_Pattern 11 2233 44 5 566 ; from the sample\n");
  auto r = e2e::run(d.options({"-F", "-NAB", "-PAT=AABBCCDDEE", "C:\\*.COM"}, at()));
  EXPECT_EQ(r.out, e2e::opening(at()) + e2e::headline(1, "Full", issue().virus_count + 2) + e2e::kElapsed0 +
                       ">>> Pattern 'My Pattern' found in file C:\\X.COM\n"
                       ">>> Pattern 'Command line 0' found in file C:\\X.COM\n"
                       "2 files (0.0 Kbytes) brinted in 0 minutes and 1 second\nat 80 bytes/second.\n"
                       "2 virus patterns/identities were discovered.\n1 file out of 2 was infected.\n"
                       "\nPlease send a sample of the virus(es) to Corvel for analysis:\n"
                       "Corvel Software, Virus Research, P.O. Box 277, 2000 Corvel Park\n"
                       "For help call Corvel Technical Support, or mail support@corvel.example\n");
  EXPECT_EQ(r.status, 3);
}

TEST(UserPatterns, PatternFileMadeByTheCompilerIsFound) {
  NEED_FAKETIME();
  e2e::Drive d;
  const std::string src = d.system.file("pat.vds");
  e2e::write_file(src, "pattern \"Compiled Pat\" 31 41 59 26 53 58\n");
  e2e::RunOptions o;
  o.program = vdc();
  o.args = {"--pat", d.file("BRINT.PAT"), src};
  ASSERT_EQ(e2e::run(o).status, 0);
  e2e::write_file(d.file("Y.EXE"), std::string("MZ\x31\x41\x59\x26\x53\x58", 8) + std::string(40, '\0'));
  auto r = e2e::run(d.options({"-F", "-NAB", "C:\\Y.EXE"}, at()));
  EXPECT_NE(r.out.find(e2e::headline(1, "Full", issue().virus_count + 1) + e2e::kElapsed0 +
                       ">>> Pattern 'Compiled Pat' found in file C:\\Y.EXE\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 3);
}

TEST(UserPatterns, BadPatternLinesEndTheRun) {
  NEED_FAKETIME();
  e2e::Drive d;
  const struct {
    std::string file;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {"; line 1\n\nGee 11 22 3G 44\n", {}, "Spurious character G in '11 22 3G 44'\nBad pattern:\nGee\n"},
      {"; line 1\nShort 123\n", {}, "Illegal pattern in input line 2, '123';\nmust have at least 4 bytes.\nBad pattern:\nShort\n"},
      {"Sixteen_chars_ab 11223344\n", {}, "Name too long in 'Sixteen chars ab'\n"},
      {"Long " + std::string(50, '1') + "\n", {},
       "Pattern longer than 24 bytes in '" + std::string(50, '1') + "'\nBad pattern:\nLong\n"},
      {"; one line\n", {"-PAT="}, "Illegal zero pattern in line 1\n"},
      {"", {"-PAT=11XX2233"}, "Spurious character X in '11XX2233'\nBad pattern:\n11XX2233\n"},
  };
  for (const auto& c : cases) {
    if (c.file.empty()) {
      std::filesystem::remove(d.file("BRINT.PAT"));
    } else {
      e2e::write_file(d.file("BRINT.PAT"), c.file);
    }
    auto args = c.args;
    args.push_back("-NAB");
    auto r = e2e::run(d.options(args, at()));
    EXPECT_EQ(r.out, e2e::opening(at()) + c.message) << c.file;
    EXPECT_EQ(r.status, 2) << c.file;
  }
}
