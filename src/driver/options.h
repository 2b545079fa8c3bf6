// Qualifiers, drive arguments and area arguments of the command line.
//
// One table describes every qualifier: the letters that name it, the form it accepts,
// the function that applies it to g_settings, and its line in the qualifier list. The
// parser and the qualifier list both walk that table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace driver {

constexpr size_t kMaxAreaEntries = 94;       // slots of the area list; one more refuses the line
constexpr size_t kMaxAreaPath = 260;         // full path of an area argument, ">" not counted
constexpr size_t kMaxReportFile = 259;       // -P= (longer: bad qualifier)
constexpr size_t kMaxRemoteMachine = 15;     // -EV=
constexpr size_t kMaxServerName = 263;       // -WLS=
constexpr size_t kMaxComputerName = 260;     // -WLS without a name takes at most this much
constexpr size_t kMaxSettingsFile = 259;     // -WLI=
constexpr size_t kMaxMessageFile = 263;      // -FM=
constexpr size_t kMaxAreasFile = 263;        // -AF=

// How a qualifier's letters must be followed.
enum class Form {
  kExact,    // nothing may follow the letters
  kAny,      // anything may follow and is ignored, or is the qualifier's value
  kHelpOnly  // not a qualifier: a line of the qualifier list only
};

// Result of applying one qualifier.
constexpr int kQualifierOk = 0;
constexpr int kQualifierBad = 1;

struct Qualifier {
  const char* letters;                  // compared in either case after "-" or "/"
  Form form;                            // what may follow the letters
  int (*apply)(std::string_view rest);  // applies it; `rest` follows the letters
  const char* help;                     // its line in the qualifier list, or nullptr
};

// The qualifier table, in the order of the qualifier list.
const std::vector<Qualifier>& qualifier_table();

// The table row a token ("-X..." or "/X...") selects, or nullptr (a bad qualifier).
// `rest` receives the characters after the row's letters.
const Qualifier* find_qualifier(std::string_view token, std::string_view& rest);

// Sets super-silent, silent, no boot areas and recurse from tokens[1..] before anything
// is printed (the parse accepts these qualifiers again without effect).
void prescan(const std::vector<std::string>& tokens);

// Result of parse().
enum class ParseStatus {
  kOk,
  kBadQualifier,  // show the qualifier list, exit code 2
  kBadDrive,      // "Bad drive specification in '%s'", exit code -9997
  kTooManyAreas   // more area arguments than the area list holds
};
struct ParseResult {
  ParseStatus status = ParseStatus::kOk;
  size_t token = 0;  // index of the token that stopped the parse
};

// Applies tokens[1..] in order: qualifiers into g_settings, drive arguments into the drive
// mask, area arguments into g_state.area_entries. Stops at the first bad token; what
// stood before it has been applied. Reads g_state.start_timestamp (day test).
ParseResult parse(const std::vector<std::string>& tokens);

// Day test of one -D= value against the 20-character start timestamp: 1 today, 0 not
// today, -1 when the value is neither a day abbreviation nor a percentage 0..100.
// Replaces the checksum's round keys (it uses the block cipher).
int day_test(std::string_view value, const std::string& timestamp);

// Normalises an area argument: ">" first under -REC, then the full path, upper-cased.
// 0, or the NT error when no full path of at most kMaxAreaPath characters can be made.
int normalise_area(std::string_view text, std::string& out);

// Shows the qualifier list (paged by the page length; a quit answer at a page wait ends
// the list) and stops the program with `exit_code`.
[[noreturn]] void show_qualifier_list(int exit_code);

// "%d" and "%x" conversions as the qualifiers read them: leading blanks, then a number;
// false when no digit can be read. What follows the number is ignored.
bool scan_decimal(std::string_view text, int& out);
bool scan_hex(std::string_view text, uint32_t& out);

}  // namespace driver
