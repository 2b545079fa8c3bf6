// Qualifiers, drive arguments and area arguments of the command line.
//
// A token is a qualifier when it starts with "-" or "/". Its letters are compared with the
// table one position at a time, ASCII letters in either case; what follows them is the
// row's business: an (exact) row takes nothing more, the others pass the rest to their
// apply function, which reads a value or ignores it. No row's letters are a prefix of
// another row's letters unless the shorter row is exact, so the first match is the only one.
#include "driver/options.h"

#include <cstdint>
#include <cstring>

#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "host/host.h"
#include "virusdata/checksum.h"

namespace driver {

namespace {

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// True when `text` starts with `letters`, ASCII letters compared in either case.
bool starts_with_letters(std::string_view text, std::string_view letters) {
  if (text.size() < letters.size()) return false;
  for (size_t i = 0; i < letters.size(); ++i) {
    if (ascii_upper(text[i]) != ascii_upper(letters[i])) return false;
  }
  return true;
}

// A value that must not be empty and must fit its setting.
int take_value(std::string_view rest, size_t max, std::string& out, bool upper_case) {
  if (rest.empty() || rest.size() > max) return kQualifierBad;
  out = upper_case ? host::upper(rest) : std::string(rest);
  return kQualifierOk;
}

// ---- the apply functions, one per row

int set_sixty_two(std::string_view) { g_settings.sixty_two_seconds = true; return kQualifierOk; }
int set_append(std::string_view) { g_settings.append = true; return kQualifierOk; }
int set_areas_drive(std::string_view rest) {
  if (rest.empty()) return kQualifierBad;
  g_settings.areas_drive = rest[0];  // as typed; more characters are ignored
  return kQualifierOk;
}
int set_areas_file(std::string_view rest) {
  if (take_value(rest, kMaxAreasFile, g_settings.areas_file, true) != kQualifierOk) return kQualifierBad;
  g_settings.areas_file_warning = false;
  return kQualifierOk;
}
int set_all_files(std::string_view) { g_settings.area_flags |= kAreaAllFiles; return kQualifierOk; }
int set_standard_areas(std::string_view) {
  g_settings.area_flags = (g_settings.area_flags & ~kAreaNothingNamed) | kAreaStandard;
  return kQualifierOk;
}
int set_day(std::string_view rest) {
  int today = day_test(rest, g_state.start_timestamp);
  if (today < 0) return kQualifierBad;
  // Several -D= run the program when any of them says today.
  if (today == 1) {
    g_settings.schedule = Schedule::kToday;
  } else if (g_settings.schedule != Schedule::kToday) {
    g_settings.schedule = Schedule::kNotToday;
  }
  return kQualifierOk;
}
int set_display_areas(std::string_view) { g_settings.display_areas = true; return kQualifierOk; }
int set_day_file(std::string_view rest) {
  if (!rest.empty() && rest[0] == '=') rest.remove_prefix(1);
  g_settings.day_file_on = true;
  g_settings.day_file = rest.empty() ? std::string("BRINT.DAY") : std::string(rest);
  return kQualifierOk;
}
int set_disinfect(std::string_view) { g_settings.disinfect = true; return kQualifierOk; }
int set_display_library(std::string_view) { g_settings.display_library = true; return kQualifierOk; }
int set_display_names(std::string_view) { g_settings.display_names = true; return kQualifierOk; }
int set_remote_events(std::string_view rest) {
  if (take_value(rest, kMaxRemoteMachine, g_settings.remote_machine, true) != kQualifierOk) return kQualifierBad;
  g_settings.remote_events = true;
  return kQualifierOk;
}
int set_full(std::string_view) { g_settings.full_check = true; return kQualifierOk; }
int set_message_file(std::string_view rest) {
  return take_value(rest, kMaxMessageFile, g_settings.message_file, true);
}
int set_file_server(std::string_view) { g_settings.file_server = true; return kQualifierOk; }
int set_settings_file(std::string_view rest) {
  return take_value(rest, kMaxSettingsFile, g_settings.settings_file, false);
}
int set_server(std::string_view rest) {
  g_settings.server_mode = true;
  if (rest.empty()) {
    std::string name = host::computer_name();
    if (name.size() > kMaxComputerName) name.resize(kMaxComputerName);
    g_settings.server_name = name;
  } else if (rest[0] == '=') {
    rest.remove_prefix(1);
    if (rest.size() > kMaxServerName) return kQualifierBad;
    g_settings.server_name = std::string(rest);
  } else {
    g_settings.server_name.clear();  // -WLSX: server mode with an empty name
  }
  return kQualifierOk;
}
int set_mail(std::string_view rest) {
  if (rest.empty()) {
    g_settings.mail_account = "brint";
    g_settings.mail_password = "vamro";
    g_settings.mail_results = true;
    return kQualifierOk;
  }
  if (rest[0] != '=') return kQualifierBad;
  rest.remove_prefix(1);
  // Pieces between commas; runs of commas count as one, leading commas are skipped.
  std::vector<std::string_view> pieces;
  size_t i = 0;
  while (i < rest.size() && pieces.size() < 2) {
    while (i < rest.size() && rest[i] == ',') ++i;
    size_t start = i;
    while (i < rest.size() && rest[i] != ',') ++i;
    if (i > start) pieces.push_back(rest.substr(start, i - start));
  }
  if (pieces.empty()) return kQualifierBad;
  g_settings.mail_account = std::string(pieces[0]);
  g_settings.mail_password = pieces.size() > 1 ? std::string(pieces[1]) : std::string();
  g_settings.mail_results = true;
  return kQualifierOk;
}
int set_page_length(std::string_view rest) {
  int n = 0;
  if (!scan_decimal(rest, n) || n < 1) return kQualifierBad;
  g_settings.page_length = n;
  return kQualifierOk;
}
int set_multiple(std::string_view) { g_settings.multiple_disks = true; return kQualifierOk; }
int set_no_pause(std::string_view) { g_settings.pause_on_discovery = false; return kQualifierOk; }
int accept_prescanned(std::string_view) { return kQualifierOk; }
int set_no_areas_file(std::string_view) { g_settings.area_flags &= ~kAreaReadFile; return kQualifierOk; }
int set_no_internal(std::string_view) { g_settings.use_internal_patterns = false; return kQualifierOk; }
int set_no_standard(std::string_view) {
  g_settings.area_flags &= ~(kAreaStandard | kAreaNothingNamed);
  return kQualifierOk;
}
int set_no_bell(std::string_view) { g_settings.bell = false; return kQualifierOk; }
int set_no_identities(std::string_view) { g_settings.check_identities = false; return kQualifierOk; }
int set_no_disinfect(std::string_view) { g_settings.disinfect = false; return kQualifierOk; }
int set_no_events(std::string_view) { g_settings.event_logging = false; return kQualifierOk; }
int set_no_interrupting(std::string_view rest) {
  // -NI alone forbids interrupting; -NI followed by anything switches the key wait off.
  if (rest.empty()) {
    g_settings.no_interrupting = true;
  } else {
    g_settings.key_wait = false;
  }
  return kQualifierOk;
}
int set_no_key_wait(std::string_view) { g_settings.key_wait = false; return kQualifierOk; }
int set_no_confirm(std::string_view) { g_settings.no_confirmation = true; return kQualifierOk; }
int set_not_silent(std::string_view) { g_settings.silent = false; return kQualifierOk; }
int set_report(std::string_view) { g_settings.report_on = true; return kQualifierOk; }
int set_report_file(std::string_view rest) {
  if (take_value(rest, kMaxReportFile, g_settings.report_file, false) != kQualifierOk) return kQualifierBad;
  g_settings.report_on = true;
  return kQualifierOk;
}
int set_pattern(std::string_view rest) {
  g_settings.pat_values.emplace_back(rest);
  return kQualifierOk;
}
int set_pause(std::string_view) { g_settings.pause_on_discovery = true; return kQualifierOk; }
int set_high_priority(std::string_view) { host::set_priority_high(); return kQualifierOk; }
int set_low_priority(std::string_view) { host::set_priority_low(); return kQualifierOk; }
int set_quick(std::string_view) { g_settings.full_check = false; return kQualifierOk; }
int set_errors_only(std::string_view) { g_settings.errors_only_events = true; return kQualifierOk; }
int set_remove(std::string_view) {
  g_settings.remove_files = true;
  g_settings.disable_boot = true;
  return kQualifierOk;
}
int set_remove_boot(std::string_view) { g_settings.disable_boot = true; return kQualifierOk; }
int set_remove_files(std::string_view) { g_settings.remove_files = true; return kQualifierOk; }
int set_shred(std::string_view) { g_settings.shred = true; return kQualifierOk; }
int set_compressed(std::string_view) { g_settings.check_compressed = true; return kQualifierOk; }
int set_diagnostic(std::string_view rest) {
  uint32_t mask = 0;
  if (!scan_hex(rest, mask)) return kQualifierBad;
  g_settings.diagnostic_mask = mask;
  return kQualifierOk;
}
int set_warn_compressed(std::string_view) { g_settings.warn_compressed = true; return kQualifierOk; }
int set_keep_checking(std::string_view) { g_settings.keep_checking = true; return kQualifierOk; }

const std::vector<Qualifier> kQualifiers = {
    {nullptr, Form::kHelpOnly, nullptr, "A:, B: etc. specifies the drives to be checked"},
    {nullptr, Form::kHelpOnly, nullptr, "*: specifies all local hard drives\n"},
    {"6", Form::kAny, set_sixty_two, "-6 Check for 62 seconds and year top bit set"},
    {"A", Form::kExact, set_append, "-A Append to file specified by -P=file, instead of creating it"},
    {"AD=", Form::kAny, set_areas_drive, "-AD=drive specifies the drive to prefix entries in BRINT.ARE"},
    {"AF=", Form::kAny, set_areas_file, nullptr},
    {"AL", Form::kAny, set_all_files, "-ALL Brint all files on drive"},
    {"AS", Form::kAny, set_standard_areas, "-AS Check standard areas"},
    {"D=", Form::kAny, set_day, "-D=Tue will run it only on Tuesday, or ..."},
    {nullptr, Form::kHelpOnly, nullptr, "-D=30 will run it only in 30%% of the cases"},
    {"DA", Form::kAny, set_display_areas, "-DA Display areas which will be checked"},
    {"DE", Form::kAny, set_day_file, "-DE Daily execution"},
    {"DI", Form::kAny, set_disinfect, nullptr},
    {"DL", Form::kAny, set_display_library, "-DL Display library of patterns"},
    {"DN", Form::kAny, set_display_names, "-DN Display names of files as they are scanned"},
    {"EV=", Form::kAny, set_remote_events, "-EV=<machine name> also log events on remote machine"},
    {"F", Form::kExact, set_full, "-F Full BRINT"},
    {"FM=", Form::kAny, set_message_file, "-FM=file displays text in file on discovery of a pattern"},
    {"FS", Form::kAny, set_file_server, "-FS When using BRINT on a file server"},
    {"WLI=", Form::kAny, set_settings_file, nullptr},
    {"WLS", Form::kAny, set_server, "-WLS[=<name>] Start Wardenline server"},
    {"MI", Form::kAny, set_mail, "-MI=[<account>,<password>] mail results"},
    {"ML", Form::kAny, set_page_length, nullptr},
    {"MU", Form::kAny, set_multiple, "-MU BRINT multiple disks in the same drive"},
    {"N", Form::kExact, set_no_pause, nullptr},
    {"NAB", Form::kAny, accept_prescanned, "-NAB do not check boot sectors."},
    {"NAF", Form::kAny, set_no_areas_file, "-NAF do not read file BRINT.ARE with areas to be checked"},
    {"NAP", Form::kAny, set_no_internal, "-NAP do not use internal virus patterns"},
    {"NAS", Form::kAny, set_no_standard, "-NAS do not check standard areas"},
    {"NB", Form::kAny, set_no_bell, "-NB do not sound bell on discovery of a pattern"},
    {"NCI", Form::kAny, set_no_identities, "-NCI do not check identities"},
    {"NDI", Form::kAny, set_no_disinfect, "-NDI do not disinfect infected items"},
    {"NE", Form::kExact, set_no_events, "-NE do not write to system event log"},
    {"NI", Form::kAny, set_no_interrupting, "-NI no interrupting"},
    {"NK", Form::kAny, set_no_key_wait, "-NK do not wait for key to be pressed to continue"},
    {"NOC", Form::kAny, set_no_confirm,
     "-NOC do not ask for confirmation before removing a file or sector with a virus"},
    {"NS", Form::kAny, set_not_silent, "-NS no silent running - display everything during running"},
    {"P", Form::kExact, set_report, nullptr},
    {"P=", Form::kAny, set_report_file, "-P=<printer name>"},
    {"PAT=", Form::kAny, set_pattern, "-PAT=<Hex pattern> (without blanks!)"},
    {"PD", Form::kAny, set_pause, "-PD pause on discovery of a match"},
    {"PR=H", Form::kAny, set_high_priority, "-PR=H run at high priority"},
    {"PR=L", Form::kAny, set_low_priority, "-PR=L run at low priority"},
    {"Q", Form::kExact, set_quick, "-Q quick BRINTing"},
    {"QE", Form::kExact, set_errors_only, "-QE quiet events - only log ERROR events"},
    {"REC", Form::kAny, accept_prescanned,
     "-REC examine subdirectories below the directory specified in command line"},
    {"REMOVE", Form::kExact, set_remove, "-REMOVE remove the file or disable the sector containing a virus"},
    {"REMOVEB", Form::kAny, set_remove_boot, nullptr},
    {"REMOVEF", Form::kAny, set_remove_files, "-REMOVEF remove the file containing a virus"},
    {"RS", Form::kAny, set_shred, "-RS remove the file by shredding and not only deletion"},
    {"S", Form::kExact, accept_prescanned, nullptr},
    {"SC", Form::kAny, set_compressed, "-SC BRINT compressed files"},
    {"SS", Form::kAny, accept_prescanned, "-SS Super Silent running"},
    {"T=", Form::kAny, set_diagnostic, nullptr},
    {"WC", Form::kAny, set_warn_compressed, "-WC Warn if compressed files exist on disk"},
    {"WO", Form::kAny, set_keep_checking, nullptr},
    {nullptr, Form::kHelpOnly, nullptr, "\nFor example:\n"},
    {nullptr, Form::kHelpOnly, nullptr, "   NTBRINT A: B: -NS\n"},
    {nullptr, Form::kHelpOnly, nullptr,
     "will BRINT the floppies in drives A: and B: and display all items checked."},
};

bool is_qualifier(std::string_view token) { return !token.empty() && (token[0] == '-' || token[0] == '/'); }

// A drive argument: "X:" with X a letter or "*". Returns 0, or kBadDrive.
int apply_drive(std::string_view token) {
  const char letter = token[0];
  if (letter == '*') {
    for (int d = 0; d < 26; ++d) {
      const int type = host::drive_type(static_cast<char>('A' + d));
      if (type == host::kDriveFixed || type == host::kDriveRemovable) g_settings.drive_mask |= 1u << d;
    }
  } else if ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) {
    g_settings.drive_mask |= 1u << (ascii_upper(letter) - 'A');
  } else {
    return kBadDrive;
  }
  g_settings.area_flags = (g_settings.area_flags & ~kAreaNothingNamed) | kAreaDrivesNamed;
  return 0;
}

}  // namespace

const std::vector<Qualifier>& qualifier_table() { return kQualifiers; }

const Qualifier* find_qualifier(std::string_view token, std::string_view& rest) {
  if (!is_qualifier(token)) return nullptr;
  const std::string_view body = token.substr(1);
  for (const Qualifier& q : kQualifiers) {
    if (q.form == Form::kHelpOnly || !starts_with_letters(body, q.letters)) continue;
    const std::string_view after = body.substr(std::strlen(q.letters));
    if (q.form == Form::kExact && !after.empty()) continue;
    rest = after;
    return &q;
  }
  return nullptr;
}

void prescan(const std::vector<std::string>& tokens) {
  for (size_t i = 1; i < tokens.size(); ++i) {
    const std::string_view t = tokens[i];
    if (!is_qualifier(t)) continue;
    const std::string_view body = t.substr(1);
    if (starts_with_letters(body, "NAB")) g_settings.no_boot_areas = true;
    if (starts_with_letters(body, "REC")) g_settings.recurse = true;
    if (body.size() == 1 && ascii_upper(body[0]) == 'S') g_settings.silent = true;
    if (starts_with_letters(body, "SS")) {
      g_settings.super_silent = true;
      g_settings.silent = true;
    }
  }
}

int normalise_area(std::string_view text, std::string& out) {
  std::string full;
  int rc = host::full_path_name(text, full);
  if (rc != 0) return rc;
  if (full.empty()) return host::kErrInvalidParameter;
  if (full.size() > kMaxAreaPath) return host::kErrFilenameTooLong;
  out = g_settings.recurse ? ">" : "";
  out += host::upper(full);
  return 0;
}

ParseResult parse(const std::vector<std::string>& tokens) {
  for (size_t i = 1; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    if (is_qualifier(t)) {
      std::string_view rest;
      const Qualifier* q = find_qualifier(t, rest);
      if (q == nullptr || q->apply(rest) != kQualifierOk) return {ParseStatus::kBadQualifier, i};
      continue;
    }
    if (t.size() == 2 && t[1] == ':') {
      if (apply_drive(t) != 0) return {ParseStatus::kBadDrive, i};
      continue;
    }
    std::string entry;
    if (normalise_area(t, entry) != 0) return {ParseStatus::kBadDrive, i};
    if (g_state.area_entries.size() >= kMaxAreaEntries) return {ParseStatus::kTooManyAreas, i};
    g_state.area_entries.push_back(entry);
    g_state.area_count = static_cast<int>(g_state.area_entries.size());
    g_settings.area_flags &= ~kAreaNothingNamed;
  }
  return {};
}

bool scan_decimal(std::string_view text, int& out) {
  size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    // Saturate: a number too big for an int reads as the largest one (still out of range).
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) value = int64_t(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  out = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int>(value);
  return true;
}

bool scan_hex(std::string_view text, uint32_t& out) {
  size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  // An optional "0x" before the digits, as the conversion allows.
  if (text.size() - i >= 3 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      digit(text[i + 2]) >= 0) {
    i += 2;
  }
  if (i >= text.size() || digit(text[i]) < 0) return false;
  uint32_t value = 0;
  for (; i < text.size() && digit(text[i]) >= 0; ++i) value = (value << 4) | static_cast<uint32_t>(digit(text[i]));
  out = value;
  return true;
}

int day_test(std::string_view value, const std::string& timestamp) {
  static constexpr char kDays[] = "SUMOTUWETHFRSA";
  if (timestamp.size() < 16) return -1;
  if (value.size() >= 2) {
    const char a = host::upper_char(value[0]);
    const char b = host::upper_char(value[1]);
    for (int d = 0; d < 7; ++d) {
      if (kDays[2 * d] == a && kDays[2 * d + 1] == b) return (timestamp[13] - '0') == d ? 1 : 0;
    }
  }
  int percentage = 0;
  if (!scan_decimal(value, percentage) || percentage < 0 || percentage > 100) return -1;
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(timestamp[static_cast<size_t>(i)]);
  virusdata::key_setup(bytes + 4);  // the day, hour, minute and second digits
  virusdata::encipher_block(bytes);
  virusdata::encipher_block(bytes + 8);
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<int>(sum % 100) < percentage ? 1 : 0;
}

[[noreturn]] void show_qualifier_list(int exit_code) {
  int count = 0;
  for (const Qualifier& q : kQualifiers) {
    if (q.help == nullptr) continue;
    // Each line is a format without arguments: "%%" shows one "%".
    std::string line;
    for (const char* p = q.help; *p; ++p) {
      if (p[0] == '%' && p[1] == '%') ++p;
      line += *p;
    }
    line += '\n';
    host::console_write(line);
    ++count;
    if ((count + 1) % g_settings.page_length == 0 && key_wait() == kQuit) break;
  }
  stop(exit_code);
}

}  // namespace driver
