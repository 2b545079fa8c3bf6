// The drive map: which drive letters exist, their types, the host directory holding each
// drive's files and the host file or block device holding its raw sectors.
//
// The map is read from BRINT_DRIVES by init_drive_map (unset: "C=/"):
//   entries separated by ";", blanks around an entry ignored, empty entries ignored;
//   LETTER "=" [TYPE ":"] ROOT ["," DEVICE]   or   "PHYSICALDRIVE" N "=" DEVICE;
//   TYPE fixed|floppy|removable|network|cdrom|ramdisk (any case, default fixed);
//   ROOT an absolute host directory or "-" (no files); DEVICE an absolute host path with an
//   optional "@" and a decimal byte offset.
//
// Choices of this file: letters and type words are taken in either case; ROOT and DEVICE
// are split at the first "," (a ROOT holding a comma cannot be mapped); a ROOT's trailing
// "/" are dropped and, when it exists, it is made canonical so that the working directory
// (which the system gives resolved) is found on it; a letter or physical drive mapped
// twice, a map without a drive letter, and N above 49 are malformed; a ROOT that does not exist is
// accepted (its drive simply holds no files, like a network drive that is away).
#include <climits>
#include <cstdlib>

#include "host/host.h"

namespace host {
namespace {

DriveMap default_map() {
  DriveMap m;
  DriveEntry c;
  c.letter = 'C';
  c.type = kDriveFixed;
  c.root = "/";
  m.drives.push_back(c);
  return m;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int type_of_word(std::string_view w) {
  const struct {
    const char* word;
    int type;
  } kTypes[] = {{"FIXED", kDriveFixed},     {"FLOPPY", kDriveFloppy}, {"REMOVABLE", kDriveRemovable},
                {"NETWORK", kDriveNetwork}, {"CDROM", kDriveCdrom},   {"RAMDISK", kDriveRamdisk}};
  std::string u = upper(w);
  for (const auto& t : kTypes)
    if (u == t.word) return t.type;
  return kDriveNone;
}

// DEVICE ["@" OFFSET]: returns an empty string for `why` when well formed.
std::string parse_device(std::string_view text, std::string& device, uint64_t& offset) {
  offset = 0;
  size_t at = text.rfind('@');
  std::string_view path = text;
  if (at != std::string_view::npos) {
    std::string_view digits = text.substr(at + 1);
    if (digits.empty() || digits.size() > 19) return "the byte offset after \"@\" is not a number";
    for (char c : digits) {
      if (c < '0' || c > '9') return "the byte offset after \"@\" is not a number";
      offset = offset * 10 + uint64_t(c - '0');
    }
    path = text.substr(0, at);
  }
  if (path.empty() || path[0] != '/') return "the device is not an absolute host path";
  device = std::string(path);
  return {};
}

std::string canonical_root(std::string_view root) {
  std::string r(root);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  char buf[PATH_MAX];
  if (realpath(r.c_str(), buf) != nullptr) r = buf;
  return r;
}

// One entry; returns an empty string when it is well formed, else the reason.
std::string parse_entry(std::string_view e, DriveMap& out) {
  size_t eq = e.find('=');
  if (eq == std::string_view::npos) return "no \"=\"";
  std::string name = upper(trim(e.substr(0, eq)));
  std::string_view value = trim(e.substr(eq + 1));
  if (name.rfind("PHYSICALDRIVE", 0) == 0) {
    std::string_view digits = std::string_view(name).substr(13);
    if (digits.empty() || digits.size() > 2) return "the physical drive number is not 0 to 49";
    int n = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return "the physical drive number is not 0 to 49";
      n = n * 10 + (c - '0');
    }
    if (n > kMaxPhysicalDrive) return "the physical drive number is not 0 to 49";
    for (const PhysicalEntry& p : out.physical)
      if (p.number == n) return "the physical drive is mapped twice";
    PhysicalEntry p;
    p.number = n;
    if (std::string why = parse_device(value, p.device, p.device_offset); !why.empty()) return why;
    out.physical.push_back(p);
    return {};
  }
  if (name.size() != 1 || name[0] < 'A' || name[0] > 'Z') return "the drive is not a letter A to Z";
  DriveEntry d;
  d.letter = name[0];
  for (const DriveEntry& x : out.drives)
    if (x.letter == d.letter) return "the drive letter is mapped twice";
  std::string_view rest = value;
  size_t colon = rest.find(':');
  if (colon != std::string_view::npos && !rest.empty() && rest[0] != '/' && rest[0] != '-') {
    d.type = type_of_word(trim(rest.substr(0, colon)));
    if (d.type == kDriveNone)
      return "unknown drive type \"" + std::string(trim(rest.substr(0, colon))) + "\"";
    rest = trim(rest.substr(colon + 1));
  }
  std::string_view root = rest;
  size_t comma = rest.find(',');
  if (comma != std::string_view::npos) {
    root = trim(rest.substr(0, comma));
    if (std::string why = parse_device(trim(rest.substr(comma + 1)), d.device, d.device_offset); !why.empty())
      return why;
  }
  if (root == "-") {
    d.root.clear();
  } else if (!root.empty() && root[0] == '/') {
    d.root = canonical_root(root);
  } else {
    return "the root is neither an absolute host directory nor \"-\"";
  }
  out.drives.push_back(d);
  return {};
}

}  // namespace

DriveMap g_drive_map = default_map();

int parse_drive_map(std::string_view text, DriveMap& out, std::string* message) {
  out = DriveMap{};
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = trim(text.substr(start, end - start));
    if (!entry.empty()) {
      std::string why = parse_entry(entry, out);
      if (!why.empty()) {
        if (message)
          *message = "Fatal error: Bad drive map entry \"" + std::string(entry) +
                     "\" in BRINT_DRIVES: " + why + ".\n";
        out = DriveMap{};
        return -2;
      }
    }
    start = end + 1;
  }
  if (out.drives.empty()) {
    if (message)
      *message = "Fatal error: Bad drive map \"" + std::string(text) +
                 "\" in BRINT_DRIVES: no drive letter in it.\n";
    return -2;
  }
  return 0;
}

int init_drive_map(std::string* message) {
  const char* v = std::getenv("BRINT_DRIVES");
  if (v == nullptr) {
    g_drive_map = default_map();
    return 0;
  }
  DriveMap m;
  if (parse_drive_map(v, m, message) != 0) {
    g_drive_map = default_map();
    return -2;
  }
  g_drive_map = std::move(m);
  return 0;
}

const DriveEntry* find_drive(char letter) {
  char u = upper_char(letter);
  for (const DriveEntry& d : g_drive_map.drives)
    if (d.letter == u) return &d;
  return nullptr;
}

const PhysicalEntry* find_physical_drive(int n) {
  for (const PhysicalEntry& p : g_drive_map.physical)
    if (p.number == n) return &p;
  return nullptr;
}

int drive_type(char letter) {
  const DriveEntry* d = find_drive(letter);
  return d ? d->type : kDriveNone;
}

bool physical_drive_present(int n) {
  return find_physical_drive(n) != nullptr;
}

}  // namespace host
