// The area list: command-line areas, standard and drive areas, the areas file, the
// default drives, and the -DA listing.
//
// Owns g_areas. The list never holds more than kMaxAreas entries: every addition checks
// the room first. Messages of the list build go to the console only (never to the report
// file); the -DA listing and the command-line refusal go through the output routine.
#include <string>

#include "areas/areas.h"
#include "areas/text.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "host/host.h"

namespace areas {

AreaList g_areas;

namespace {

constexpr char kCtrlZ = 26;  // ends the areas file

std::string drive_prefix(char letter) { return std::string(1, letter) + ":"; }

bool no_boot_areas() { return driver::g_settings.no_boot_areas || driver::g_settings.file_server; }

// normalise_path without the -REC prefix (exclusions are never recursive).
int full_upper_path(std::string_view spec, std::string& out) {
  const bool recurse = driver::g_settings.recurse;
  driver::g_settings.recurse = false;
  const int rc = normalise_path(spec, out);
  driver::g_settings.recurse = recurse;
  return rc;
}

// Adds one area built by the list itself (drive areas); a full list fails the build.
int add_built_area(const std::string& descriptor) {
  if (add_area(descriptor) == 0) return 0;
  driver::console_printf(msg::kTooManyAreas, driver::g_settings.areas_file.c_str());
  return driver::kReported;
}

// Whether a drive gets a boot sector area. A network drive has no boot sector. On this host a
// fixed drive mapped with files only (no DEVICE, as the default "C=/") has no sectors at all,
// so it is treated like a network drive instead of failing every run with a read error; a
// floppy or removable drive keeps its area, where no DEVICE means no medium ("empty").
bool has_boot_area(char letter) {
  const int type = host::drive_type(letter);
  if (type == host::kDriveNetwork) return false;
  if (type == host::kDriveFloppy || type == host::kDriveRemovable) return true;
  const host::DriveEntry* d = host::find_drive(letter);
  return d != nullptr && !d->device.empty();
}

// Steps for the drive mask: the master boot sectors, then per drive its boot sector and
// its whole-drive area.
int add_drive_areas() {
  const auto& s = driver::g_settings;
  if (!no_boot_areas() && add_built_area("\"All master boot sectors\"") != 0) return driver::kReported;
  for (int n = 0; n < 26; ++n) {
    if ((s.drive_mask & (1u << n)) == 0) continue;
    const char letter = static_cast<char>('A' + n);
    if (!no_boot_areas() && has_boot_area(letter) &&
        add_built_area(drive_prefix(letter) + "|0") != 0)
      return driver::kReported;
    const std::string whole = (s.area_flags & driver::kAreaAllFiles) ? drive_prefix(letter) + "\\>*.*"
                                                                    : drive_prefix(letter) + "\"All executables\"";
    if (add_built_area(whole) != 0) return driver::kReported;
  }
  return 0;
}

// Reads one line of the areas file: what follows a ";" is dropped, the line ends at CR,
// LF, NUL, Ctrl-Z or the end of the file. Results: 1 a line (possibly empty), 0 the end
// of the file, -2 a line of kMaxAreasFileLine + 1 kept characters (reported).
int read_areas_line(LineReader& r, std::string& line) {
  line.clear();
  bool comment = false;
  bool any = false;
  for (;;) {
    const int got = read_char(r);
    if (got < 0) return any ? 1 : 0;
    const char c = static_cast<char>(got);
    if (c == kCtrlZ) {
      r.at_end = true;
      r.buffer.clear();
      r.pos = 0;
      return any ? 1 : 0;
    }
    any = true;
    if (c == '\r' || c == '\n' || c == '\0') return 1;
    if (c == ';') comment = true;
    if (comment) continue;
    line.push_back(c);
    if (line.size() > kMaxAreasFileLine) {
      driver::console_printf(msg::kLineTooLong, line.substr(0, kMaxAreasFileLine).c_str());
      return driver::kReported;
    }
  }
}

// The descriptor an areas-file line becomes. Result 0 with `stored` set (empty: the line
// is skipped), or -1 when the line is refused.
int areas_file_entry(const std::string& line, std::string& stored) {
  stored.clear();
  const std::string drive = drive_prefix(driver::g_settings.areas_drive);
  std::string body;
  switch (classify(line, body)) {
    case AreaKind::kEmpty:
      return 0;
    case AreaKind::kFileSpec:
    case AreaKind::kRecursive: {
      std::string rest = body;
      const bool marked = !rest.empty() && rest[0] == '>';
      if (marked) rest.erase(0, 1);
      if (rest.size() == 2 && rest[1] == ':') return -1;  // a drive alone names no files
      if (rest.size() < 2 || rest[1] != ':') rest = drive + rest;
      std::string full;
      if (normalise_path(rest, full) != 0) return -1;
      stored = (marked && full[0] != '>') ? ">" + full : full;
      return 0;
    }
    case AreaKind::kAbsoluteSector:
    case AreaKind::kMemoryRange:
    case AreaKind::kAllMasterBoot:
      stored = line;
      return 0;
    case AreaKind::kExclusion: {
      const bool has_drive = body.size() >= 2 && body[1] == ':';
      if (!has_drive && !has_char(body, '\\')) {
        stored = "<" + host::upper(body);  // a bare name, matched in every directory
        return 0;
      }
      std::string full;
      if (full_upper_path(has_drive ? body : drive + body, full) != 0) return -1;
      stored = "<" + full;
      return 0;
    }
    case AreaKind::kAllExecutables:
    case AreaKind::kSectorRange:
      stored = (line.size() >= 2 && line[1] == ':') ? body : drive + line;
      return 0;
    case AreaKind::kAllD:
    case AreaKind::kInvalid:
      break;
  }
  return -1;
}

// Reads the open areas file into the list. Result 0 or -2 (reported).
int read_areas_file(LineReader& r) {
  const auto& name = driver::g_settings.areas_file;
  std::string line;
  for (;;) {
    const int got = read_areas_line(r, line);
    if (got == 0) return 0;
    if (got < 0) return driver::kReported;
    std::string text = line;
    strip_leading_blanks(text);
    if (text.empty()) continue;
    std::string stored;
    if (areas_file_entry(text, stored) != 0) {
      driver::console_printf(msg::kBadDriveSpec, line.c_str());
      return driver::kReported;
    }
    if (stored.empty()) continue;
    if (add_area(stored) != 0) {
      driver::console_printf(msg::kTooManyAreas, name.c_str());
      return driver::kReported;
    }
    driver::g_settings.area_flags &= ~driver::kAreaNothingNamed;
    if (g_areas.entries.size() >= kMaxAreas) {
      driver::console_printf(msg::kTooManyAreas, name.c_str());
      return driver::kReported;
    }
  }
}

}  // namespace

void reset_areas() {
  g_areas = AreaList{};
  driver::g_state.area_count = 0;
}

int add_area(std::string_view descriptor) {
  if (g_areas.entries.size() >= kMaxAreas) return -1;
  g_areas.entries.emplace_back(descriptor);
  driver::g_state.area_count = static_cast<int>(g_areas.entries.size());
  return 0;
}

int add_command_line_area(std::string_view token) {
  std::string full;
  if (normalise_path(token, full) != 0) {
    const std::string t(token);
    driver::outputf(true, msg::kBadDriveSpec, t.c_str());
    return driver::kBadDrive;
  }
  if (add_area(full) != 0) return -1;
  driver::g_settings.area_flags &= ~driver::kAreaNothingNamed;
  return 0;
}

int build_area_list() {
  auto& s = driver::g_settings;
  bool file_done = false;
  for (;;) {
    if (s.area_flags & driver::kAreaStandard) {
      const char cur = host::upper_char(host::current_drive());
      if (cur >= 'A' && cur <= 'Z') s.drive_mask |= 1u << (cur - 'A');
    }
    if ((s.area_flags & (driver::kAreaStandard | driver::kAreaDrivesNamed)) && add_drive_areas() != 0)
      return driver::kReported;
    if ((s.area_flags & driver::kAreaReadFile) && !file_done) {
      file_done = true;
      LineReader reader;
      if (open_text(s.areas_file, reader) == 0) {
        if (!s.super_silent && s.areas_file_warning)
          driver::console_printf(msg::kUsingAreasFile, s.areas_file.c_str());
        if (g_areas.entries.size() >= kMaxAreas) {
          driver::console_printf(msg::kTooManyAreas, s.areas_file.c_str());
          return driver::kReported;
        }
        if (read_areas_file(reader) != 0) return driver::kReported;
      }
    }
    if ((s.area_flags & driver::kAreaNothingNamed) == 0) return 0;
    for (int n = 0; n < 26; ++n) {
      const int type = host::drive_type(static_cast<char>('A' + n));
      if (type == host::kDriveFixed || type == host::kDriveRemovable) s.drive_mask |= 1u << n;
    }
    s.area_flags = (s.area_flags & driver::kAreaAllFiles) | driver::kAreaDrivesNamed;
  }
}

void list_areas() {
  const size_t n = g_areas.entries.size();
  if (n == 1)
    driver::outputf(true, "%s", msg::kOneAreaListed);
  else
    driver::outputf(true, msg::kAreasListed, static_cast<int>(n));
  for (const auto& e : g_areas.entries) driver::outputf(true, "%s\n", e.c_str());
  driver::outputf(true, "\n");
}

}  // namespace areas
