// Area examination: the directory search, the three walkers (file set, recursive set,
// whole drive for executables), the sector areas, and the status display.
//
// Owns g_hooks and g_status, and the one program-wide directory search of dir_first/
// dir_next. The walkers list each directory through a search of their own and close it
// before they descend, so a search started by anything they call (file scanning,
// expansion) can never cut a listing short. Every path they form is checked against
// kMaxWalkPath before it is used; a longer one is reported with NT error 206 and neither
// searched nor descended into.
#include <new>
#include <string>
#include <vector>

#include "areas/areas.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "host/host.h"

namespace areas {

Hooks g_hooks;
StatusState g_status;

namespace {

constexpr int kKeyEsc = 27;
constexpr int kKeyCtrlC = 3;
constexpr char kSpinner[4] = {'/', '-', '\\', '|'};

// One directory listing.
struct Listing {
  host::FindHandle handle;
  bool open = false;
};

Listing g_search;  // the program-wide search of dir_first/dir_next

// The record of one entry: the name upper-cased unless another entry of the listing has
// the same upper-cased name, in which case the exact host spelling tells them apart. The
// host's listing names its entries so already; an entry without a host spelling is only
// upper-cased.
void fill_record(const host::FindData& d, bool first, DirRecord& rec) {
  if (d.host_name.empty())
    rec.name = host::upper(d.name);
  else
    rec.name = d.name;
  rec.attributes = static_cast<uint8_t>(first ? (d.attributes & 0xFF) : (d.attributes & 0x3F));
  rec.time = d.dos_time;
  rec.date = d.dos_date;
  rec.size_low = static_cast<uint32_t>(d.size & 0xFFFFFFFFu);
  rec.size_high = static_cast<uint32_t>(d.size >> 32);
  rec.details = d.details;
}

// Starts a listing. Missing directories and files read as "no match". Without
// `file_details`, regular files come without their status (DirRecord::details).
int list_first(Listing& l, std::string_view pattern, DirRecord& rec, bool file_details = true) {
  l = Listing{};
  host::FindData d;
  const int rc = host::find_first(pattern, l.handle, d, file_details);
  if (rc == host::kErrFileNotFound || rc == host::kErrPathNotFound) return kNoMatch;
  if (rc != 0) return rc;
  l.open = true;
  fill_record(d, true, rec);
  return 0;
}

// The next entry, as find_next gives it, read where the listing holds it.
int list_next(Listing& l, DirRecord& rec) {
  if (!l.open) return kNoSearchOpen;
  const host::FindData* d = host::find_next_entry(l.handle);
  if (d == nullptr) return host::kErrNoMoreFiles;
  fill_record(*d, false, rec);
  return 0;
}

void list_close(Listing& l) { l = Listing{}; }

bool is_directory(const DirRecord& rec) { return (rec.attributes & host::kAttrDirectory) != 0; }
bool is_dot(const std::string& name) { return name == "." || name == ".."; }

void count_error() { ++driver::g_counters.errors; }

void set_file_location() {
  if (g_hooks.set_file_location) g_hooks.set_file_location();
}

// Reports a path that would pass kMaxWalkPath, cut at the limit, and counts one error.
void too_long(const std::string& path) {
  driver::outputf(true, msg::kIllegalPath, path.substr(0, kMaxWalkPath).c_str(), host::kErrFilenameTooLong);
  count_error();
}

bool fits(const std::string& path) {
  if (path.size() <= kMaxWalkPath) return true;
  too_long(path);
  return false;
}

bool has_lower_case(std::string_view s) {
  for (char c : s)
    if (c >= 'a' && c <= 'z') return true;
  return false;
}

// Exclusions compare upper-cased names; most paths of a walk are upper-cased already.
bool excluded(const std::string& path, const std::string& name) {
  if (!may_be_excluded(path, name)) return false;
  if (!has_lower_case(path) && !has_lower_case(name)) return is_excluded(path, name);
  return is_excluded(host::upper(path), host::upper(name));
}

// Hands one selected file to file scanning; a non-zero result counts one error, and a
// compressed file whose inside was not checked gets the compression warning.
void hand_on(const std::string& path, const DirRecord& rec) {
  if (!g_hooks.scan_file) return;
  int kind = 0;
  if (g_hooks.scan_file(path, rec, kind) != 0) count_error();
  if (kind > 0 && g_hooks.compression_warning) g_hooks.compression_warning(path, kind, 1);
}

// The directory part of a specification: up to and including its last "\" or ":".
std::string directory_part(const std::string& spec) {
  const size_t at = spec.find_last_of("\\:");
  return at == std::string::npos ? std::string() : spec.substr(0, at + 1);
}

// Lists `pattern` and hands every entry on to `visit`, polling the quit key between entries.
// Returns kNoMatch when the listing ended normally, else the NT error that ended it. With
// `keep`, the listing is left there instead of being closed. The walkers only tell files
// from directories and hand files on to file scanning, which opens them anyway: their
// listings leave the details of regular files to that open.
template <typename Visit>
int list_entries(const std::string& pattern, Visit visit, Listing* keep = nullptr) {
  Listing l;
  DirRecord rec;
  int rc = list_first(l, pattern, rec, false);
  for (; rc == 0; rc = list_next(l, rec)) {
    driver::poll_quit();
    visit(rec);
  }
  if (keep != nullptr) *keep = std::move(l);
  list_close(l);
  return rc;
}

// True when the entries of a listing of the whole directory that match `mask` are what a
// listing of the directory with `mask` would give: a plain name pattern, which the search
// does not split or refuse.
bool served_by_whole_listing(const std::string& mask) {
  return mask.find('/') == std::string::npos && mask.size() <= host::kMaxPath;
}

// Visits the entries of `whole` (a listing of the whole directory) that match `mask`, with
// the records a listing of the directory with `mask` would have given, polling the quit key
// between them. Two names equal but for case match a mask alike, so the names that keep
// their host spelling are the same in both.
template <typename Visit>
void visit_matching(const Listing& whole, const std::string& mask, Visit visit) {
  bool first = true;
  DirRecord rec;
  for (size_t i = 0; i < whole.handle.entries.size(); ++i) {
    const host::FindData& d = *host::take_entry(whole.handle, i);
    if (!host::name_matches(mask, d.host_name.empty() ? d.name : d.host_name)) continue;
    fill_record(d, first, rec);
    first = false;
    driver::poll_quit();
    visit(rec);
  }
}

// True when the listing of `dir` ended normally; otherwise the NT error that ended it is
// reported against the directory and counts one error.
bool listing_ended(const std::string& dir, int rc) {
  if (rc == kNoMatch) return true;
  driver::outputf(true, msg::kIllegalPath, dir.c_str(), rc);
  count_error();
  return false;
}

// Hands one listed entry of the directory `path` holds (its first `dir_size` characters) on
// to file scanning unless it is a directory, its path is too long or its name is excluded.
// The entry's path is formed in `path`, whose room serves every file of the directory.
void hand_on_file(std::string& path, size_t dir_size, const DirRecord& rec) {
  if (is_directory(rec)) return;
  path.resize(dir_size);
  path += rec.name;
  if (!fits(path) || excluded(path, rec.name)) return;
  hand_on(path, rec);
}

// Hands every file of `dir` that matches `pattern` on to file scanning. Returns kNoMatch
// when the listing ended normally, else the NT error that ended it (the caller reports it).
int hand_on_files(const std::string& dir, const std::string& pattern) {
  std::string path = dir;
  return list_entries(pattern, [&](const DirRecord& rec) { hand_on_file(path, dir.size(), rec); });
}

void walk_file_set(const std::string& spec) {
  set_file_location();
  const int rc = hand_on_files(directory_part(spec), spec);
  if (rc != kNoMatch) {
    driver::outputf(true, msg::kCouldNotOpen, spec.c_str(), rc);
    count_error();
  }
}

void show_directory(const std::string& path) {
  if (driver::g_settings.silent) status_display(path);
}

// Visits the subdirectories of `dir` in the reverse of their listing order.
template <typename Walk>
void visit_subdirectories(const std::string& dir, std::vector<std::string>& subdirs, Walk walk) {
  while (!subdirs.empty()) {
    const std::string child = dir + subdirs.back() + "\\";
    subdirs.pop_back();
    if (fits(child)) walk(child);
  }
}

// The subdirectories of `dir` are gathered from a listing of the whole directory; its files
// that match `mask` are then handed on from that same listing rather than from a second one
// made a moment later (nothing runs in between but the status display, so a second listing
// could differ only by what another process changed in that moment).
void walk_recursive(const std::string& dir, const std::string& mask) {
  set_file_location();
  std::vector<std::string> subdirs;
  {
    const std::string all = dir + "*.*";
    Listing whole;
    bool listed = false;
    if (fits(all)) {
      const int rc = list_entries(
          all,
          [&](const DirRecord& rec) {
            if (!is_directory(rec) || is_dot(rec.name)) return;
            const std::string path = dir + rec.name;
            if (!fits(path) || excluded(path, rec.name)) return;
            show_directory(path);
            subdirs.push_back(rec.name);
          },
          &whole);
      listed = listing_ended(dir, rc);
    }
    const std::string pattern = dir + mask;
    if (listed && fits(pattern)) {
      if (served_by_whole_listing(mask)) {
        std::string path = dir;
        visit_matching(whole, mask, [&](const DirRecord& rec) { hand_on_file(path, dir.size(), rec); });
      } else {
        listing_ended(dir, hand_on_files(dir, pattern));
      }
    }
  }
  visit_subdirectories(dir, subdirs, [&](const std::string& child) { walk_recursive(child, mask); });
}

// A recursive set: every ">" removed, then split at the last "\" or ":" into the starting
// directory and the file mask. A mask that is empty, or that names an existing directory
// without wildcards (">C:\DOS" made by -REC from C:\DOS), stands for every file of it.
void start_recursive(const std::string& body) {
  std::string text;
  for (char c : body)
    if (c != '>') text.push_back(c);
  std::string dir = directory_part(text);
  std::string mask = text.substr(dir.size());
  if (!mask.empty() && mask.find_first_of("*?") == std::string::npos) {
    uint32_t attributes = 0;
    if (host::get_attributes(text, attributes) == 0 && (attributes & host::kAttrDirectory) != 0) {
      dir = text + "\\";
      mask.clear();
    }
  }
  if (mask.empty()) mask = "*.*";
  if (fits(dir)) walk_recursive(dir, mask);
}

void walk_drive(const std::string& dir) {
  set_file_location();
  std::vector<std::string> subdirs;
  const std::string all = dir + "*.*";
  if (fits(all)) {
    const int rc = list_entries(all, [&](const DirRecord& rec) {
      const std::string path = dir + rec.name;
      if (!fits(path) || excluded(path, rec.name)) return;
      if (is_directory(rec)) {
        if (is_dot(rec.name)) return;
        show_directory(path);
        subdirs.push_back(rec.name);
        return;
      }
      switch (classify_extension(rec.name)) {
        case ExtensionClass::kExecutable:
          hand_on(path, rec);
          break;
        case ExtensionClass::kCompressionCheck:
          if (driver::g_settings.warn_compressed && g_hooks.compression_check &&
              g_hooks.compression_check(path) != 0)
            count_error();
          break;
        case ExtensionClass::kPassOver:
          break;
      }
    });
    listing_ended(dir, rc);
  }
  visit_subdirectories(dir, subdirs, [](const std::string& child) { walk_drive(child); });
}

// The drive letter a descriptor begins with, or the current drive.
char area_drive(const std::string& body) {
  if (body.size() >= 2 && body[1] == ':') return host::upper_char(body[0]);
  return host::upper_char(host::current_drive());
}

// Without the disk subsystem's drive-space query: a mapped drive is ready when it holds
// files or sectors (a floppy drive with neither has no disk in it).
bool drive_ready(char letter) {
  if (g_hooks.drive_ready) return g_hooks.drive_ready(letter);
  const host::DriveEntry* d = host::find_drive(letter);
  return d != nullptr && (!d->root.empty() || !d->device.empty());
}

void check_sectors(AreaKind kind, const std::string& body) {
  if (g_hooks.check_sectors && g_hooks.check_sectors(kind, body) != 0) count_error();
}

void drive_empty(char letter) {
  driver::outputf(true, msg::kDriveEmpty, letter);
  count_error();
}

}  // namespace

// ---------------------------------------------------------------------------------------

int dir_first(std::string_view pattern, DirRecord& rec) {
  const int rc = list_first(g_search, pattern, rec);
  if (rc != 0) list_close(g_search);
  return rc;
}

int dir_next(DirRecord& rec) { return list_next(g_search, rec); }

void dir_close() { list_close(g_search); }

void reset_hooks() { g_hooks = Hooks{}; }

namespace {

int examine_list() {
  // Both lists are emptied first, so every pass (every disk under -MU) sees the same ones.
  reset_exclusions();
  std::string body;
  for (const auto& entry : g_areas.entries) {
    if (classify(entry, body) != AreaKind::kExclusion) continue;
    if (register_exclusion(body) != 0) {
      driver::outputf(true, msg::kBadExclusion, body.c_str());
      return driver::kReported;
    }
  }
  build_lookup_tables();

  int number = 0;
  for (const auto& entry : g_areas.entries) {
    ++number;
    const AreaKind kind = classify(entry, body);
    if (body.empty()) continue;
    if (driver::g_settings.silent)
      status_display("");
    else
      driver::outputf(true, kind == AreaKind::kExclusion ? msg::kExclusionItem : msg::kExaminingArea, number,
                      entry.c_str());
    switch (kind) {
      case AreaKind::kFileSpec:
        walk_file_set(body);
        break;
      case AreaKind::kRecursive:
        start_recursive(body);
        break;
      case AreaKind::kExclusion:
        break;
      case AreaKind::kAllExecutables: {
        const char letter = area_drive(body);
        if (drive_ready(letter))
          walk_drive(std::string(1, letter) + ":\\");
        else
          drive_empty(letter);
        break;
      }
      case AreaKind::kAbsoluteSector:
      case AreaKind::kAllMasterBoot:
        check_sectors(kind, body);
        break;
      case AreaKind::kSectorRange: {
        const char letter = area_drive(body);
        if (drive_ready(letter))
          check_sectors(kind, body);
        else
          drive_empty(letter);
        break;
      }
      case AreaKind::kEmpty:
      case AreaKind::kAllD:
      case AreaKind::kMemoryRange:
      case AreaKind::kInvalid:
        driver::outputf(true, msg::kIncorrectArea, body.c_str());
        return driver::kReported;
    }
  }
  return 0;
}

}  // namespace

int examine_areas() {
  try {
    return examine_list();
  } catch (const std::bad_alloc&) {
    // A listing or a subdirectory list could not be held: the run cannot go on.
    driver::outputf(true, "%s", msg::kInsufficientMemory);
    return driver::kReported;
  }
}

// ---------------------------------------------------------------------------------------

void reset_status() { g_status = StatusState{}; }

void status_display(std::string_view text) {
  const auto& s = driver::g_settings;
  // Typed-ahead keys are dropped, but Esc and Ctrl-C are put back for the next poll for
  // quit (otherwise a steady stream of status lines would swallow them). A script's input
  // is never dropped.
  if (host::console_input_is_terminal()) {
    while (host::console_key_available()) {
      const int key = host::console_read_key();
      if (key < 0) break;
      if (key == kKeyEsc || key == kKeyCtrlC) {
        host::g_console_io.pushed_back = key;
        break;
      }
    }
  }
  if (s.server_mode) return;
  if (s.silent && !s.super_silent && s.diagnostic_mask == 0) {
    const int64_t now = host::calendar_seconds();
    if (now == g_status.last_second && (!s.display_names || text.empty() || text == g_status.last_text)) return;
    g_status.last_second = now;
    int64_t elapsed = now - driver::g_state.start_time;
    if (elapsed < 0) elapsed = 0;
    const int minutes = static_cast<int>(elapsed / 60);
    const int seconds = static_cast<int>(elapsed % 60);
    if (!s.display_names) {
      driver::console_printf(msg::kElapsed, minutes, seconds);
    } else {
      const std::string shown = text.empty() ? g_status.last_text : std::string(text);
      driver::console_printf(msg::kElapsedName, minutes, seconds, shown.c_str());
      const size_t pad = g_status.last_text.size() > shown.size() ? g_status.last_text.size() - shown.size() : 0;
      driver::console_printf("%s\r", std::string(pad, ' ').c_str());
      g_status.last_text = shown;
    }
  }
  if (!s.silent && g_status.decompressing && !s.super_silent) {
    driver::console_printf("%c\b", kSpinner[g_status.spinner]);
    g_status.spinner = (g_status.spinner + 1) & 3;
  }
}

}  // namespace areas
