// The qualifier table, the pre-scan, drive and area arguments, and the -D= day test.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "driver/base/settings.h"
#include "driver/options.h"
#include "host/host.h"
#include "virusdata/checksum.h"

using driver::g_settings;
using driver::g_state;
using driver::ParseStatus;

namespace {

// 1995-10-16 12:34:56, a Monday.
constexpr const char* kMondayStamp = "95101612345601??????";

void fresh() {
  driver::reset_settings();
  driver::reset_state();
  g_state.start_timestamp = kMondayStamp;
}

driver::ParseResult parse_args(std::vector<std::string> args) {
  args.insert(args.begin(), "ntbrint");
  return driver::parse(args);
}

}  // namespace

// Each row: one token, whether it is accepted, and what it must have set.
TEST(Qualifiers, EveryFormOfTheTable) {
  const auto& s = g_settings;
  const struct {
    const char* token;
    bool ok;
    std::function<bool()> check;
  } cases[] = {
      {"-6", true, [&] { return s.sixty_two_seconds; }},
      {"-6X", true, [&] { return s.sixty_two_seconds; }},
      {"-A", true, [&] { return s.append; }},
      {"-a", true, [&] { return s.append; }},
      {"-AX", false, nullptr},
      {"-AD=d", true, [&] { return s.areas_drive == 'd'; }},
      {"-AD=DE", true, [&] { return s.areas_drive == 'D'; }},
      {"-AD=", false, nullptr},
      {"-AD", false, nullptr},
      {"-AF=my.are", true, [&] { return s.areas_file == "MY.ARE" && !s.areas_file_warning; }},
      {"-AF=", false, nullptr},
      {"-ALL", true, [&] { return (s.area_flags & driver::kAreaAllFiles) != 0; }},
      {"-AL", true, [&] { return (s.area_flags & driver::kAreaAllFiles) != 0; }},
      {"-ALX", true, [&] { return (s.area_flags & driver::kAreaAllFiles) != 0; }},
      {"-ASX", true, [&] { return s.area_flags == (driver::kAreaReadFile | driver::kAreaStandard); }},
      {"-D", false, nullptr},
      {"-DX", false, nullptr},
      {"-D=mo", true, [&] { return s.schedule == driver::Schedule::kToday; }},
      {"-D=TUESDAY", true, [&] { return s.schedule == driver::Schedule::kNotToday; }},
      {"-D=101", false, nullptr},
      {"-D=-5", false, nullptr},
      {"-D=XY", false, nullptr},
      {"-D=", false, nullptr},
      {"-DA", true, [&] { return s.display_areas; }},
      {"-DE", true, [&] { return s.day_file_on && s.day_file == "BRINT.DAY"; }},
      {"-DE=", true, [&] { return s.day_file_on && s.day_file == "BRINT.DAY"; }},
      {"-DE=last.day", true, [&] { return s.day_file == "last.day"; }},
      {"-DElast.day", true, [&] { return s.day_file == "last.day"; }},
      {"-DI", true, [&] { return s.disinfect; }},
      {"-DL", true, [&] { return s.display_library; }},
      {"-DN", true, [&] { return s.display_names; }},
      {"-E", false, nullptr},
      {"-EV=alpha", true, [&] { return s.remote_events && s.remote_machine == "ALPHA"; }},
      {"-EV=123456789012345", true, [&] { return s.remote_machine.size() == 15; }},
      {"-EV=1234567890123456", false, nullptr},
      {"-F", true, [&] { return s.full_check; }},
      {"-FX", false, nullptr},
      {"-FM=note.txt", true, [&] { return s.message_file == "NOTE.TXT"; }},
      {"-FS", true, [&] { return s.file_server; }},
      {"-WLI=wl.ini", true, [&] { return s.settings_file == "wl.ini"; }},
      {"-WLS", true, [&] { return s.server_mode && s.server_name == host::computer_name().substr(0, 260); }},
      {"-WLS=alpha", true, [&] { return s.server_mode && s.server_name == "alpha"; }},
      {"-WLSX", true, [&] { return s.server_mode && s.server_name.empty(); }},
      {"-MI", true, [&] { return s.mail_results && s.mail_account == "brint" && s.mail_password == "vamro"; }},
      {"-MI=USER", true, [&] { return s.mail_account == "USER" && s.mail_password.empty(); }},
      {"-MI=,USER", true, [&] { return s.mail_account == "USER" && s.mail_password.empty(); }},
      {"-MI=,,ME,,SECRET,X", true, [&] { return s.mail_account == "ME" && s.mail_password == "SECRET"; }},
      {"-MI=", false, nullptr},
      {"-MI=,", false, nullptr},
      {"-MIX", false, nullptr},
      {"-ML20", true, [&] { return s.page_length == 20; }},
      {"-ML5", true, [&] { return s.page_length == 5; }},
      {"-ML=20", false, nullptr},
      {"-ML0", false, nullptr},
      {"-ML", false, nullptr},
      {"-MU", true, [&] { return s.multiple_disks; }},
      {"-N", true, [&] { return !s.pause_on_discovery; }},
      {"-NX", false, nullptr},
      {"-NAB", true, [&] { return !s.no_boot_areas; }},  // the pre-scan's business, not the parse's
      {"-NAF", true, [&] { return (s.area_flags & driver::kAreaReadFile) == 0; }},
      {"-NAP", true, [&] { return !s.use_internal_patterns; }},
      {"-NAS", true, [&] { return s.area_flags == driver::kAreaReadFile; }},
      {"-NB", true, [&] { return !s.bell; }},
      {"-NCI", true, [&] { return !s.check_identities; }},
      {"-NDI", true, [&] { return !s.disinfect; }},
      {"-NE", true, [&] { return !s.event_logging; }},
      {"-NEX", false, nullptr},
      {"-NI", true, [&] { return s.no_interrupting && s.key_wait; }},
      {"-NIX", true, [&] { return !s.no_interrupting && !s.key_wait; }},
      {"-NK", true, [&] { return !s.key_wait; }},
      {"-NOC", true, [&] { return s.no_confirmation; }},
      {"-NS", true, [&] { return !s.silent; }},
      {"-P", true, [&] { return s.report_on && s.report_file == "PRN"; }},
      {"-PX", false, nullptr},
      {"-P=log.txt", true, [&] { return s.report_on && s.report_file == "log.txt"; }},
      {"-P=", false, nullptr},
      {"-PAT=4D5A", true, [&] { return s.pat_values == std::vector<std::string>{"4D5A"}; }},
      {"-PD", true, [&] { return s.pause_on_discovery; }},
      {"-PR=L", true, [&] { return true; }},
      {"-pr=l", true, [&] { return true; }},
      {"-PR=X", false, nullptr},
      {"-Q", true, [&] { return !s.full_check; }},
      {"-QE", true, [&] { return s.errors_only_events; }},
      {"-QEX", false, nullptr},
      {"-REC", true, [&] { return true; }},
      {"-REMOVE", true, [&] { return s.remove_files && s.disable_boot; }},
      {"-REMOVEB", true, [&] { return !s.remove_files && s.disable_boot; }},
      {"-REMOVEF", true, [&] { return s.remove_files && !s.disable_boot; }},
      {"-REMOVEFILES", true, [&] { return s.remove_files && !s.disable_boot; }},
      {"-REMOV", false, nullptr},
      {"-REMOVEX", false, nullptr},
      {"-RS", true, [&] { return s.shred; }},
      {"-S", true, [&] { return true; }},
      {"-SS", true, [&] { return !s.super_silent; }},  // set by the pre-scan only
      {"-SC", true, [&] { return s.check_compressed; }},
      {"-SX", false, nullptr},
      {"-T=1f", true, [&] { return s.diagnostic_mask == 0x1F; }},
      {"-T=0x10", true, [&] { return s.diagnostic_mask == 0x10; }},
      {"-T=", false, nullptr},
      {"-T=zz", false, nullptr},
      {"-WC", true, [&] { return s.warn_compressed; }},
      {"-WO", true, [&] { return s.keep_checking; }},
      {"-W", false, nullptr},
      {"-", false, nullptr},
      {"-Z", false, nullptr},
  };
  for (const auto& c : cases) {
    for (const char* lead : {"-", "/"}) {
      fresh();
      std::string token = lead + std::string(c.token + 1);
      auto r = parse_args({token});
      EXPECT_EQ(r.status, c.ok ? ParseStatus::kOk : ParseStatus::kBadQualifier) << token;
      if (c.ok && c.check) {
        EXPECT_TRUE(c.check()) << token;
      }
    }
  }
}

TEST(Qualifiers, ValueLengthLimits) {
  const struct {
    const char* prefix;
    size_t max;
  } cases[] = {{"-P=", 259}, {"-FM=", 263}, {"-AF=", 263}, {"-WLI=", 259}, {"-WLS=", 263}};
  for (const auto& c : cases) {
    fresh();
    EXPECT_EQ(parse_args({c.prefix + std::string(c.max, 'x')}).status, ParseStatus::kOk) << c.prefix;
    fresh();
    EXPECT_EQ(parse_args({c.prefix + std::string(c.max + 1, 'x')}).status, ParseStatus::kBadQualifier) << c.prefix;
  }
}

TEST(Qualifiers, LaterOnesOverrideAndTheParseStopsAtTheBadOne) {
  fresh();
  EXPECT_EQ(parse_args({"-F", "-Q", "-DI", "-NDI", "-P=A.TXT", "-A"}).status, ParseStatus::kOk);
  EXPECT_FALSE(g_settings.full_check);
  EXPECT_FALSE(g_settings.disinfect);
  EXPECT_TRUE(g_settings.append);
  EXPECT_EQ(g_settings.report_file, "A.TXT");

  fresh();
  auto r = parse_args({"-F", "-BAD", "-NB"});
  EXPECT_EQ(r.status, ParseStatus::kBadQualifier);
  EXPECT_EQ(r.token, 2u);
  EXPECT_TRUE(g_settings.full_check);
  EXPECT_TRUE(g_settings.bell);
}

TEST(Qualifiers, ListHasFortyNineLinesAndEveryListedRowParses) {
  int lines = 0;
  for (const auto& q : driver::qualifier_table()) {
    if (q.help) ++lines;
    if (q.form == driver::Form::kHelpOnly) continue;
    // A row's own letters (plus a value where it needs one) select that same row.
    std::string_view rest;
    std::string token = std::string("-") + q.letters;
    EXPECT_EQ(driver::find_qualifier(token, rest), &q) << token;
  }
  EXPECT_EQ(lines, 49);
}

TEST(Qualifiers, DaysAreAnyOfSeveral) {
  fresh();
  EXPECT_EQ(parse_args({"-D=SU"}).status, ParseStatus::kOk);
  EXPECT_EQ(g_settings.schedule, driver::Schedule::kNotToday);
  fresh();
  EXPECT_EQ(parse_args({"-D=SU", "-D=MO", "-D=TU"}).status, ParseStatus::kOk);
  EXPECT_EQ(g_settings.schedule, driver::Schedule::kToday);
}

TEST(Prescan, SetsSilenceBootAreasAndRecurse) {
  const struct {
    std::vector<std::string> args;
    bool silent, super_silent, no_boot, recurse;
  } cases[] = {
      {{}, false, false, false, false},
      {{"-NS"}, false, false, false, false},  // -NS acts in the parse, not here
      {{"-s"}, true, false, false, false},
      {{"/S"}, true, false, false, false},
      {{"-SX"}, false, false, false, false},  // -S must stand alone
      {{"-SS"}, true, true, false, false},
      {{"/ssx"}, true, true, false, false},
      {{"-nab"}, false, false, true, false},
      {{"/NABX", "C:\\X", "-recurse"}, false, false, true, true},
      {{"NAB", "REC"}, false, false, false, false},  // not qualifiers
  };
  for (const auto& c : cases) {
    fresh();
    g_settings.silent = false;  // to see whether the pre-scan sets it
    std::vector<std::string> tokens = {"ntbrint"};
    tokens.insert(tokens.end(), c.args.begin(), c.args.end());
    driver::prescan(tokens);
    const std::string what = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(g_settings.silent, c.silent) << what;
    EXPECT_EQ(g_settings.super_silent, c.super_silent) << what;
    EXPECT_EQ(g_settings.no_boot_areas, c.no_boot) << what;
    EXPECT_EQ(g_settings.recurse, c.recurse) << what;
  }
}

// Drive and area arguments against a drive map of one drive C: in a temporary directory.
class Arguments : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/brint-driver-XXXXXX";
    root_ = mkdtemp(tmpl);
    std::filesystem::create_directories(root_ + "/dos");
    old_cwd_ = std::filesystem::current_path();
    setenv("BRINT_DRIVES", ("C=" + root_ + ";D=" + root_ + "/dos").c_str(), 1);
    std::string message;
    ASSERT_EQ(host::init_drive_map(&message), 0) << message;
    std::filesystem::current_path(root_);
    fresh();
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(root_);
    unsetenv("BRINT_DRIVES");
    std::string message;
    host::init_drive_map(&message);
  }
  std::string root_;
  std::filesystem::path old_cwd_;
};

TEST_F(Arguments, DriveLetters) {
  EXPECT_EQ(parse_args({"C:", "a:"}).status, ParseStatus::kOk);
  EXPECT_EQ(g_settings.drive_mask, (1u << 2) | 1u);
  EXPECT_EQ(g_settings.area_flags, driver::kAreaReadFile | driver::kAreaDrivesNamed);
  EXPECT_TRUE(g_state.area_entries.empty());

  fresh();
  EXPECT_EQ(parse_args({"*:"}).status, ParseStatus::kOk);
  uint32_t expected = 0;
  for (char d = 'A'; d <= 'Z'; ++d) {
    const int t = host::drive_type(d);
    if (t == host::kDriveFixed || t == host::kDriveRemovable) expected |= 1u << (d - 'A');
  }
  EXPECT_EQ(g_settings.drive_mask, expected);
  EXPECT_NE(expected & (1u << 2), 0u);

  fresh();
  auto r = parse_args({"-F", "1:"});
  EXPECT_EQ(r.status, ParseStatus::kBadDrive);
  EXPECT_EQ(r.token, 2u);
}

TEST_F(Arguments, AreaArgumentsAreFullUpperCasePaths) {
  EXPECT_EQ(parse_args({"C:\\", "c:\\dos\\*.com", "dos", "-REC"}).status, ParseStatus::kOk);
  EXPECT_EQ(g_state.area_entries, (std::vector<std::string>{"C:\\", "C:\\DOS\\*.COM", "C:\\DOS"}));
  EXPECT_EQ(g_state.area_count, 3);
  EXPECT_EQ(g_settings.area_flags & driver::kAreaNothingNamed, 0u);

  fresh();
  g_settings.recurse = true;  // as the pre-scan sets it for -REC anywhere
  EXPECT_EQ(parse_args({"C:\\DOS", "C:\\MY FILES"}).status, ParseStatus::kOk);
  EXPECT_EQ(g_state.area_entries, (std::vector<std::string>{">C:\\DOS", ">C:\\MY FILES"}));

  fresh();
  EXPECT_EQ(parse_args({"Q:\\DATA"}).status, ParseStatus::kBadDrive);
  fresh();
  EXPECT_EQ(parse_args({"C:\\" + std::string(300, 'A')}).status, ParseStatus::kBadDrive);
}

TEST_F(Arguments, AreaListHoldsNinetyFourEntries) {
  std::vector<std::string> args(driver::kMaxAreaEntries, "C:\\DOS");
  EXPECT_EQ(parse_args(args).status, ParseStatus::kOk);
  fresh();
  args.push_back("C:\\DOS");
  auto r = parse_args(args);
  EXPECT_EQ(r.status, ParseStatus::kTooManyAreas);
  EXPECT_EQ(r.token, driver::kMaxAreaEntries + 1);
}

TEST(DayTest, DayNames) {
  // Weekday digit 01: Monday.
  const struct {
    const char* value;
    int today;
  } cases[] = {{"MO", 1}, {"mon", 1}, {"MOx", 1}, {"Mx", -1}, {"SU", 0}, {"TU", 0}, {"tux", 0}, {"SA", 0}, {"M", -1}, {"", -1}};
  for (const auto& c : cases) EXPECT_EQ(driver::day_test(c.value, kMondayStamp), c.today) << c.value;
  EXPECT_EQ(driver::day_test("SA", "95101412345606??????"), 1);
}

TEST(DayTest, PercentageThresholdFollowsTheCipherOfTheTimestamp) {
  const std::string stamp = kMondayStamp;
  // The sum of the two enciphered halves under the key of the day..second digits.
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(stamp[i]);
  virusdata::key_setup(bytes + 4);
  virusdata::encipher_block(bytes);
  virusdata::encipher_block(bytes + 8);
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  const int threshold = static_cast<int>(sum % 100);

  EXPECT_EQ(driver::day_test("0", stamp), 0);
  EXPECT_EQ(driver::day_test("100", stamp), 1);
  EXPECT_EQ(driver::day_test(std::to_string(threshold), stamp), 0);
  EXPECT_EQ(driver::day_test(std::to_string(threshold + 1), stamp), 1);
  EXPECT_EQ(driver::day_test("101", stamp), -1);
  EXPECT_EQ(driver::day_test("-1", stamp), -1);
  EXPECT_EQ(driver::day_test(" 100%", stamp), 1);  // read as a "%d" conversion

  // Another second gives another key: over a minute of stamps, 50% runs some and not all.
  int runs = 0;
  for (int s = 0; s < 60; ++s) {
    char other[21];
    std::snprintf(other, sizeof other, "9510161234%02d01??????", s);
    runs += driver::day_test("50", other);
  }
  EXPECT_GT(runs, 0);
  EXPECT_LT(runs, 60);
}

TEST(Numbers, DecimalAndHexConversions) {
  int d = 0;
  EXPECT_TRUE(driver::scan_decimal("  42x", d));
  EXPECT_EQ(d, 42);
  EXPECT_TRUE(driver::scan_decimal("-7", d));
  EXPECT_EQ(d, -7);
  EXPECT_TRUE(driver::scan_decimal("99999999999999", d));
  EXPECT_EQ(d, INT32_MAX);
  EXPECT_FALSE(driver::scan_decimal("", d));
  EXPECT_FALSE(driver::scan_decimal("-", d));
  EXPECT_FALSE(driver::scan_decimal("x1", d));
  uint32_t h = 0;
  EXPECT_TRUE(driver::scan_hex("ffffffff", h));
  EXPECT_EQ(h, 0xFFFFFFFFu);
  EXPECT_TRUE(driver::scan_hex("0x", h));  // the 0 is the number, x is what follows
  EXPECT_EQ(h, 0u);
  EXPECT_FALSE(driver::scan_hex("g", h));
}
