// NT paths on the host: resolving a path to a host path (case-insensitively, exact match
// first), the current drive and directory, GetFullPathName, the executable's path.
//
// Path forms: "X:\DIR\NAME" or "X:/DIR/NAME" (under drive X's ROOT), "X:NAME" (relative to
// the current directory when X is the current drive, else to X's root), "\DIR\NAME" (the
// current drive's root), "/host/path" (the host path itself), anything else relative to the
// host working directory. "\" and "/" are both separators; "." is dropped and ".." never
// climbs above the drive's root (or "/").
//
// Choices of this file: a full path (full_path_name) of 260 characters or more fails with
// 206, since the program's path buffers hold 259 characters and the terminating zero; a
// trailing separator of the argument is kept, as GetFullPathName keeps it; a host absolute
// argument on a drive is given in that drive's NT form, one on no drive stays a host path.
// When the working directory lies on no drive, current_directory() is the current drive's
// root, and relative paths still open (relative to the working directory), but cannot be
// made a full path (15, "invalid drive").
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "host/internal.h"

namespace host {
namespace detail {

DirCache g_dir_cache;

Descriptor::~Descriptor() {
  if (fd >= 0) close(fd);
}
Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

void reset_dir_cache() {
  g_dir_cache = DirCache{};
}

namespace {

bool is_sep(char c) {
  return c == '\\' || c == '/';
}

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_sep(s[i])) ++i;
    size_t j = i;
    while (j < s.size() && !is_sep(s[j])) ++j;
    if (j > i) parts.push_back(s.substr(i, j - i));
    i = j;
  }
  return parts;
}

std::string working_directory() {
  std::vector<char> buf(PATH_MAX + 1);
  if (getcwd(buf.data(), buf.size()) == nullptr) return {};
  return buf.data();
}

std::string join(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

// Lists `dir` into its table: every upper-cased host name -> the smallest host spelling
// of it in byte order.
const NameTable& fill_directory_cache(const std::string& dir) {
  auto& table = fresh_directory_table(dir);
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return table;
  while (dirent* e = readdir(d)) add_to_table(table, e->d_name);
  closedir(d);
  return table;
}

// The host name in `dir` equal to `name` without regard to case (the smallest in byte
// order when several are), or empty. A hit in the directory's table is checked to still
// exist; a miss or a stale hit lists the directory again, so a table is never trusted for
// what it lacks.
std::string find_in_directory(const std::string& dir, std::string_view name) {
  std::string key = upper(name);
  auto known = g_dir_cache.dirs.find(dir);
  if (known != g_dir_cache.dirs.end()) {
    const Spelling* hit = known->second.find(key);
    struct stat st {};
    if (hit != nullptr && lstat(join(dir, hit->name).c_str(), &st) == 0) return hit->name;
  }
  const Spelling* hit = fill_directory_cache(dir).find(key);
  return hit == nullptr ? std::string() : hit->name;
}

// Drive whose ROOT is the longest prefix (at a component boundary) of host path `p`.
const DriveEntry* drive_holding(const std::string& p, std::string* rest) {
  const DriveEntry* best = nullptr;
  size_t best_len = 0;
  for (const DriveEntry& d : g_drive_map.drives) {
    if (d.root.empty()) continue;
    const std::string& r = d.root;
    bool match = r == "/" ? (!p.empty() && p[0] == '/')
                          : (p.compare(0, r.size(), r) == 0 && (p.size() == r.size() || p[r.size()] == '/'));
    if (match && (best == nullptr || r.size() > best_len)) {
      best = &d;
      best_len = r.size();
    }
  }
  if (best && rest) *rest = p.substr(best->root == "/" ? 0 : best_len);
  return best;
}

// NT form of a host path on drive `d` with `rest` the part below the ROOT ("/A/B").
std::string nt_form(char letter, std::string_view rest) {
  std::string out{letter, ':'};
  for (std::string_view part : split(rest)) {
    out += '\\';
    out += part;
  }
  if (out.size() == 2) out += '\\';
  return out;
}

}  // namespace

NameTable& fresh_directory_table(const std::string& dir) {
  if (g_dir_cache.dirs.size() >= kMaxCachedDirectories && g_dir_cache.dirs.count(dir) == 0) g_dir_cache.dirs.clear();
  auto& table = g_dir_cache.dirs[dir];
  table.clear();
  return table;
}

NameTable& fresh_listing_table(const std::string& dir, std::string_view named, const DriveEntry* drive,
                               Descriptor listing) {
  DirCache& c = g_dir_cache;
  c.listed_dir = dir;
  c.listed_as = drive != nullptr ? std::string(named) : std::string();
  c.listed_root = drive != nullptr ? drive->root : std::string();
  c.listed.clear();
  c.listed_dir_fd = std::move(listing);
  ++c.listing_number;
  c.handed_valid = false;
  return c.listed;
}

void drop_listing_table() {
  DirCache& c = g_dir_cache;
  c.listed_dir.clear();
  c.listed_as.clear();
  c.listed_root.clear();
  c.listed.clear();
  c.listed_dir_fd = Descriptor();
  ++c.listing_number;
  c.handed_valid = false;
  c.short_read_is_end = false;
}

namespace {

// Eight bytes at a time, each step multiplied and folded; the end mixes the high bits into
// the low ones that pick a slot.
uint64_t name_hash(std::string_view upper_key) {
  constexpr uint64_t kMul = 0xff51afd7ed558ccdULL;
  uint64_t h = upper_key.size() * 0x9e3779b97f4a7c15ULL;
  size_t i = 0;
  for (; i + 8 <= upper_key.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, upper_key.data() + i, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 32;
  }
  if (i < upper_key.size()) {
    const size_t rest = upper_key.size() - i;  // 1 to 7 bytes
    uint64_t w = 0;
    if (upper_key.size() >= 8) {  // the last eight bytes, those already taken shifted out
      std::memcpy(&w, upper_key.data() + upper_key.size() - 8, 8);
      w >>= 8 * (8 - rest);
    } else {
      for (size_t k = 0; k < rest; ++k) w |= uint64_t(uint8_t(upper_key[i + k])) << (8 * k);
    }
    h = (h ^ w) * kMul;
    h ^= h >> 32;
  }
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

void NameTable::clear() {
  entries.clear();
  std::fill(slots.begin(), slots.end(), 0u);
}

const Spelling* NameTable::find(std::string_view upper_key) const {
  if (slots.empty()) return nullptr;
  const size_t mask = slots.size() - 1;
  for (size_t i = name_hash(upper_key) & mask;; i = (i + 1) & mask) {
    const uint32_t at = slots[i];
    if (at == 0) return nullptr;
    if (entries[at - 1].key == upper_key) return &entries[at - 1].spelling;
  }
}

void NameTable::add(std::string_view host_name, bool regular) {
  std::string key(host_name);
  upper_in_place(key.data(), key.size());
  add(host_name, key, regular);
}

void NameTable::add(std::string_view host_name, std::string_view key, bool regular) {
  if ((entries.size() + 1) * 2 > slots.size()) {  // keep the slots at most half full
    std::vector<uint32_t> grown(std::max<size_t>(64, slots.size() * 2), 0u);
    const size_t mask = grown.size() - 1;
    for (size_t e = 0; e < entries.size(); ++e) {
      size_t i = name_hash(entries[e].key) & mask;
      while (grown[i] != 0) i = (i + 1) & mask;
      grown[i] = uint32_t(e + 1);
    }
    slots.swap(grown);
  }
  const size_t mask = slots.size() - 1;
  size_t i = name_hash(key) & mask;
  for (; slots[i] != 0; i = (i + 1) & mask) {
    Entry& e = entries[slots[i] - 1];
    if (e.key != key) continue;
    if (host_name < e.spelling.name) e.spelling = Spelling{std::string(host_name), regular};
    return;
  }
  Entry& added = entries.emplace_back();
  added.key.assign(key);
  added.spelling.name.assign(host_name);
  added.spelling.regular = regular;
  slots[i] = uint32_t(entries.size());
}

void add_to_table(NameTable& table, std::string_view n, bool regular) {
  if (n == "." || n == "..") return;
  table.add(n, regular);
}

std::string cached_spelling(const std::string& dir, std::string_view name) {
  const NameTable* table = nullptr;
  if (dir == g_dir_cache.listed_dir) {
    table = &g_dir_cache.listed;
  } else {
    auto known = g_dir_cache.dirs.find(dir);
    if (known == g_dir_cache.dirs.end()) return {};
    table = &known->second;
  }
  const Spelling* hit = table->find(upper(name));
  return hit == nullptr ? std::string() : hit->name;
}

bool direct_host_path(std::string_view path, std::string& out) {
  if (path.size() < 4 || path[1] != ':' || !is_sep(path[2])) return false;
  const char letter = upper_char(path[0]);
  if (letter < 'A' || letter > 'Z') return false;
  const DriveEntry* d = find_drive(letter);
  if (d == nullptr || d->root.empty()) return false;
  out = d->root;
  size_t i = 3;
  bool any = false;
  while (i < path.size()) {
    while (i < path.size() && is_sep(path[i])) ++i;
    size_t j = i;
    while (j < path.size() && !is_sep(path[j])) ++j;
    if (j == i) break;
    std::string_view part = path.substr(i, j - i);
    if (part == "." || part == ".." || part.size() > kMaxPath) return false;
    if (out.empty() || out.back() != '/') out += '/';
    out += part;
    any = true;
    i = j;
  }
  return any && out.size() < PATH_MAX;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upper_char(a[i]) != upper_char(b[i])) return false;
  return true;
}

int path_error(int errnum, const std::string& host_path) {
  if (errnum != ENOENT) return nt_error(errnum);
  size_t slash = host_path.find_last_of('/');
  if (slash == std::string::npos) return kErrFileNotFound;
  std::string parent = slash == 0 ? "/" : host_path.substr(0, slash);
  struct stat st {};
  if (lstat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrPathNotFound;
  return kErrFileNotFound;
}

unsigned long file_system_type(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return 0;
  return static_cast<unsigned long>(fs.f_type);
}

bool virtual_file_system_type(unsigned long type) {
  switch (type) {
    case 0x9fa0UL:      // proc
    case 0x62656572UL:  // sysfs
    case 0x1cd1UL:      // devpts
    case 0x27e0ebUL:    // cgroup
    case 0x63677270UL:  // cgroup2
    case 0x64626720UL:  // debugfs
    case 0x74726163UL:  // tracefs
    case 0x73636673UL:  // securityfs
    case 0xcafe4a11UL:  // bpf
    case 0x62656570UL:  // configfs
    case 0x6165676cUL:  // pstore
      return true;
    default:
      return false;
  }
}

bool virtual_file_system(int fd) {
  return virtual_file_system_type(file_system_type(fd));
}

bool short_read_is_end_type(unsigned long type) {
  switch (type) {
    case 0xEF53UL:      // ext2, ext3, ext4
    case 0x58465342UL:  // xfs
    case 0x9123683EUL:  // btrfs
    case 0x01021994UL:  // tmpfs
    case 0x858458f6UL:  // ramfs
    case 0xF2F52010UL:  // f2fs
    case 0x794c7630UL:  // overlayfs
    case 0x2fc12fc1UL:  // zfs
    case 0x4d44UL:      // vfat
    case 0x2011BAB0UL:  // exfat
    case 0x7366746eUL:  // ntfs3
    case 0x9660UL:      // iso9660
    case 0x73717368UL:  // squashfs
      return true;
    default:
      return false;
  }
}

int resolve(std::string_view path, HostPath& out) {
  out = HostPath{};
  std::string base;
  std::string_view rest = path;
  bool strict = true;  // symbolic links below the base are refused
  if (path.size() >= 2 && path[1] == ':' && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z')) {
    const DriveEntry* d = find_drive(path[0]);
    if (d == nullptr || d->root.empty()) return kErrPathNotFound;
    out.drive = d;
    base = d->root;
    rest = path.substr(2);
    if ((rest.empty() || !is_sep(rest[0])) && upper_char(path[0]) == current_drive()) {
      std::string cwd = working_directory();
      std::string below;
      if (drive_holding(cwd, &below) == d) base = cwd;
    }
  } else if (path.size() >= 2 && is_sep(path[0]) && is_sep(path[1])) {
    return kErrPathNotFound;  // "\\server\share" and "\\.\X:" are not files
  } else if (!path.empty() && path[0] == '\\') {
    const DriveEntry* d = find_drive(current_drive());
    if (d == nullptr || d->root.empty()) return kErrPathNotFound;
    out.drive = d;
    base = d->root;
  } else if (!path.empty() && path[0] == '/') {
    base = "/";
    strict = false;
    out.host_absolute = true;
  } else {
    base = working_directory();
    if (base.empty()) return kErrPathNotFound;
  }
  size_t floor = out.drive ? out.drive->root.size() : 1;  // ".." never climbs above this
  std::string cur = base;
  std::vector<std::string_view> parts = split(rest);
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string_view part = parts[i];
    if (part.size() > kMaxPath) return kErrFilenameTooLong;
    if (part == ".") continue;
    if (part == "..") {
      size_t slash = cur.find_last_of('/');
      if (cur.size() > floor && slash != std::string::npos) cur.resize(std::max(slash, floor));
      if (cur.empty()) cur = "/";
      continue;
    }
    std::string next = join(cur, part);
    bool last = i + 1 == parts.size();
    struct stat st {};
    bool exists = !out.blocked && lstat(next.c_str(), &st) == 0;
    if (!exists && !out.blocked) {
      std::string found = find_in_directory(cur, part);
      if (!found.empty()) {
        next = join(cur, found);
        exists = lstat(next.c_str(), &st) == 0;
      }
    }
    if (exists && !last) {
      if (S_ISLNK(st.st_mode) && !strict) exists = stat(next.c_str(), &st) == 0;
      if (!S_ISDIR(st.st_mode)) out.blocked = true;  // symbolic link, or a file on the way
    }
    cur = std::move(next);
    if (cur.size() >= PATH_MAX) return kErrFilenameTooLong;
  }
  out.path = cur;
  out.drive_root = out.drive != nullptr && cur == out.drive->root;
  return 0;
}

}  // namespace detail

char current_drive() {
  std::string cwd = detail::working_directory();
  if (const DriveEntry* d = detail::drive_holding(cwd, nullptr)) return d->letter;
  if (find_drive('C')) return 'C';
  return g_drive_map.drives.empty() ? 'C' : g_drive_map.drives.front().letter;
}

std::string current_directory() {
  std::string cwd = detail::working_directory();
  std::string rest;
  if (const DriveEntry* d = detail::drive_holding(cwd, &rest)) return detail::nt_form(d->letter, rest);
  return std::string{current_drive(), ':', '\\'};
}

int full_path_name(std::string_view path, std::string& out) {
  out.clear();
  if (path.empty()) return kErrPathNotFound;
  std::string base;  // NT form ("X:\..." ) or a host path ("/...") the parts go under
  std::string_view rest = path;
  bool host_form = false;
  if (path.size() >= 2 && path[1] == ':') {
    char letter = upper_char(path[0]);
    if (letter < 'A' || letter > 'Z' || find_drive(letter) == nullptr) return kErrInvalidDrive;
    rest = path.substr(2);
    base = std::string{letter, ':', '\\'};
    if ((rest.empty() || !detail::is_sep(rest[0])) && letter == current_drive() &&
        detail::drive_holding(detail::working_directory(), nullptr) == find_drive(letter))
      base = current_directory();
  } else if (path[0] == '\\' && path.size() >= 2 && detail::is_sep(path[1])) {
    return kErrPathNotFound;
  } else if (path[0] == '\\') {
    base = std::string{current_drive(), ':', '\\'};
  } else if (path[0] == '/') {
    std::string below;
    std::string host_path(path);
    if (const DriveEntry* d = detail::drive_holding(host_path, &below)) {
      base = std::string{d->letter, ':', '\\'};
      rest = path.substr(path.size() - below.size());
    } else {
      base = "/";
      host_form = true;
    }
  } else {
    if (detail::drive_holding(detail::working_directory(), nullptr) == nullptr) return kErrInvalidDrive;
    base = current_directory();
  }
  char sep = host_form ? '/' : '\\';
  size_t floor = host_form ? 1 : 3;  // "/" or "X:\"
  std::string cur = base;
  if (cur.size() > floor && cur.back() == sep) cur.pop_back();
  for (std::string_view part : detail::split(rest)) {
    if (part == ".") continue;
    if (part == "..") {
      size_t cut = cur.find_last_of(sep);
      if (cur.size() > floor && cut != std::string::npos) cur.resize(std::max(cut, floor));
      if (cur.size() == floor - 1) cur += sep;
      continue;
    }
    if (cur.back() != sep) cur += sep;
    cur += part;
  }
  if (cur.size() < floor) cur += sep;
  if (detail::is_sep(path.back()) && cur.back() != sep) cur += sep;
  if (cur.size() >= kMaxPath) return kErrFilenameTooLong;
  out = cur;
  return 0;
}

std::string executable_path() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  std::string p(buf.data(), size_t(n));
  std::string rest;
  if (const DriveEntry* d = detail::drive_holding(p, &rest)) return detail::nt_form(d->letter, rest);
  return p;
}

}  // namespace host
