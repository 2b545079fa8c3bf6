// Directory search (find-first/find-next) over one host directory.
//
// find_first lists the directory once, in full, into the handle: "." and ".." first for
// every directory but a drive's root (and the host's "/"), then the entries sorted by their
// upper-cased names, two names equal but for case in host byte order. Records carry the
// upper-cased name, except names equal but for case to another in the directory: those keep
// their exact host spelling (so that each can be opened and none is missed). Only regular files
// and directories are listed: symbolic links, FIFOs, devices and sockets never are, nor
// names holding a "\" (no NT path can name them), nor a directory on one of the kernel's
// virtual file systems (proc, sysfs, ...; tested only where the device changes, i.e. at a
// mount point). A directory that is itself on such a file system lists nothing.
//
// An entry whose type the directory itself gives as neither a regular file nor a directory
// is passed over without asking for its status. Every name a listing reads goes into the
// directory's table of spellings (see internal.h), which the opening of a file by its
// upper-cased name tries before it lists the directory again.
//
// Name patterns follow the NT find-first rules: "*.*" matches every name; "*" any run of
// characters; "?" one character, or none at a "." or the end of the name; "*" before a
// "." stops at the name's last "."; a "." before "*" or "?", or at the end of the pattern,
// matches a "." or the end of the name (so "*." matches names without an extension).
// Letters match without regard to case. (Short 8.3 alias names do not exist on this host,
// so a long extension never matches through one.)
//
// Results of find_first: 0 with the first match; 18 when nothing matches or the directory
// does not exist (also a path through a symbolic link, or a drive without files); the NT
// error otherwise (5 for a directory that cannot be read, 206 for a name or path too long).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/internal.h"
#include "host/syscalls.h"

namespace host {
namespace {

// A listed entry's place in the listing and the first eight bytes of its name, as a number
// that orders as the bytes do (a shorter name padded with zeros).
struct Position {
  uint64_t prefix;
  uint32_t at;
};

// The first eight bytes of `n` as a number that orders as they do, zeros past its end.
uint64_t prefix_of(const std::string& n) {
  if constexpr (std::endian::native == std::endian::little) {
    if (n.size() >= 8) {
      uint64_t w;
      std::memcpy(&w, n.data(), 8);
      return __builtin_bswap64(w);
    }
  }
  uint64_t prefix = 0;
  for (size_t k = 0; k < 8; ++k) prefix = (prefix << 8) | (k < n.size() ? uint8_t(n[k]) : 0u);
  return prefix;
}

// From this many entries on, a listing sorts the prefixes by their bytes (a stable radix
// sort, lowest byte first) instead of by comparisons.
constexpr size_t kRadixFrom = 64;

// Sorts `order` by prefix, keeping the order of equal prefixes. A byte that every prefix
// shares takes no pass (names of one directory often begin alike).
void sort_by_prefix(std::vector<Position>& order) {
  std::vector<Position> moved(order.size());
  std::vector<uint32_t> counts(8 * 256, 0u);  // of every byte, counted in one pass
  for (const Position& p : order)
    for (unsigned b = 0; b < 8; ++b) ++counts[b * 256 + ((p.prefix >> (8 * b)) & 0xFF)];
  for (unsigned b = 0; b < 8; ++b) {
    const unsigned shift = 8 * b;
    uint32_t* start = counts.data() + b * 256;
    if (start[(order[0].prefix >> shift) & 0xFF] == order.size()) continue;
    uint32_t sum = 0;
    for (unsigned v = 0; v < 256; ++v) {
      const uint32_t n = start[v];
      start[v] = sum;
      sum += n;
    }
    for (const Position& p : order) moved[start[(p.prefix >> shift) & 0xFF]++] = p;
    order.swap(moved);
  }
}

constexpr char kDosStar = '<';  // "*" before "."
constexpr char kDosQm = '>';    // "?"
constexpr char kDosDot = '"';   // "." before a wildcard or at the end

std::string translate_pattern(std::string_view p) {
  if (p == "*.*") return "*";
  std::string out;
  for (size_t i = 0; i < p.size(); ++i) {
    char c = p[i];
    char next = i + 1 < p.size() ? p[i + 1] : '\0';
    if (c == '?') {
      out += kDosQm;
    } else if (c == '*' && next == '.') {
      out += kDosStar;
    } else if (c == '.' && (next == '?' || next == '*' || next == '\0')) {
      out += kDosDot;
    } else {
      out += c;
    }
  }
  return out;
}

// Table-driven match of a translated pattern against a name: ok[pi][ni] for pattern[pi..]
// against name[ni..], filled from the ends back.
bool match_translated(std::string_view pat, std::string_view name) {
  if (pat == "*") return true;
  const size_t m = pat.size();
  const size_t n = name.size();
  size_t last_dot = name.find_last_of('.');
  std::vector<uint8_t> ok((m + 1) * (n + 1), 0);
  auto at = [&](size_t pi, size_t ni) -> uint8_t& { return ok[pi * (n + 1) + ni]; };
  at(m, n) = 1;
  for (size_t pi = m; pi-- > 0;) {
    for (size_t ni = n + 1; ni-- > 0;) {
      char p = pat[pi];
      bool more = ni < n;
      bool r = false;
      switch (p) {
        case '*':
          r = at(pi + 1, ni) || (more && at(pi, ni + 1));
          break;
        case kDosStar:
          r = at(pi + 1, ni) || (more && ni != last_dot && at(pi, ni + 1));
          break;
        case kDosQm:
          r = (more && name[ni] != '.') ? at(pi + 1, ni + 1) : at(pi + 1, ni);
          break;
        case kDosDot:
          r = more ? (name[ni] == '.' && at(pi + 1, ni + 1)) : at(pi + 1, ni);
          break;
        default:
          r = more && upper_char(p) == upper_char(name[ni]) && at(pi + 1, ni + 1);
          break;
      }
      at(pi, ni) = r ? 1 : 0;
    }
  }
  return at(0, 0) != 0;
}

FindData record_of(std::string_view host_name, const struct stat& st) {
  FindData d;
  d.host_name = std::string(host_name);
  d.name = upper(host_name);
  d.attributes = attributes_of(uint32_t(st.st_mode));
  d.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
  dos_date_time(int64_t(st.st_mtime), d.dos_date, d.dos_time);
  return d;
}

bool is_root(const std::string& hp) {
  if (hp == "/") return true;
  for (const DriveEntry& d : g_drive_map.drives)
    if (!d.root.empty() && d.root == hp) return true;
  return false;
}

constexpr size_t kListingBuffer = 32768;  // bytes of directory entries read per call

}  // namespace

bool name_matches(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*" || pattern == "*") return true;  // every name, without building the table
  return match_translated(translate_pattern(pattern), name);
}

int list_directory(std::string_view directory, std::string_view pattern, std::vector<FindData>& out,
                   bool file_details) {
  out.clear();
  detail::HostPath hp;
  int r = detail::resolve(directory.empty() ? std::string_view(".") : directory, hp);
  if (r == kErrPathNotFound) return kErrNoMoreFiles;  // no such drive, or a drive without files
  if (r) return r;
  if (hp.blocked) return kErrNoMoreFiles;
  int fd = g_syscalls.open(hp.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) {
    int e = errno;
    if (e == ENOENT || e == ENOTDIR || e == ELOOP) return kErrNoMoreFiles;
    return nt_error(e);
  }
  detail::Descriptor dir(fd);
  const unsigned long fs_type = detail::file_system_type(fd);
  if (detail::virtual_file_system_type(fs_type)) return kErrNoMoreFiles;
  struct stat self {};
  if (fstat(fd, &self) != 0) return nt_error(errno);
  std::string translated = translate_pattern(pattern);
  if (!is_root(hp.path)) {
    struct stat parent {};
    if (fstatat(fd, "..", &parent, 0) != 0) parent = self;
    if (match_translated(translated, ".")) out.push_back(record_of(".", self));
    if (match_translated(translated, "..")) out.push_back(record_of("..", parent));
  }
  size_t first_entry = out.size();
  // Room for as many entries as the directory listed before held: a walk lists directories
  // of alike sizes, and the records then never move while the listing grows (up to a
  // few thousand, so that one huge directory costs the small ones after it nothing).
  out.reserve(first_entry + std::min<size_t>(detail::g_dir_cache.listed.size(), 4096));
  // Every name read goes into the directory's table of spellings too, so that opening one of
  // them by its upper-cased name finds the host spelling without listing the directory again.
  auto& spellings = detail::fresh_listing_table(hp.path, directory, hp.drive, std::move(dir));
  detail::g_dir_cache.short_read_is_end = detail::short_read_is_end_type(fs_type);
  std::vector<char> buf(kListingBuffer);
  std::string key;  // the name read, upper-cased: the table's key and the record's name
  for (;;) {
    long n = getdents64(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      detail::drop_listing_table();
      return nt_error(e);
    }
    if (n == 0) break;
    for (long at = 0; at < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(buf.data() + at);
      at += e->d_reclen;
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      key.assign(name);
      upper_in_place(key.data(), key.size());
      spellings.add(name, key, e->d_type == DT_REG);
      if (name.find('\\') != std::string_view::npos) continue;
      // Only regular files and directories are listed: an entry whose type the directory
      // already tells to be something else needs no status.
      if (e->d_type != DT_REG && e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
      if (!match_translated(translated, name)) continue;
      if (!file_details && e->d_type == DT_REG) {
        FindData& d = out.emplace_back();  // filled where it stays, upper-cased in place
        d.host_name.assign(name);
        d.name.assign(key);
        d.attributes = kAttrArchive;
        d.details = false;
        continue;
      }
      struct stat st {};
      if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
      if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
      if (S_ISDIR(st.st_mode) && st.st_dev != self.st_dev) {  // a mount point
        detail::Descriptor sub(openat(fd, e->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.fd >= 0 && detail::virtual_file_system(sub.fd)) continue;
      }
      out.push_back(record_of(name, st));
    }
  }
  // Sorted through a table of positions, each with the first eight bytes of its name as a
  // number that orders as the bytes do: the records move once, and most comparisons are
  // one of numbers.
  std::vector<Position> order(out.size() - first_entry);
  for (size_t i = 0; i < order.size(); ++i) {
    order[i] = Position{prefix_of(out[first_entry + i].name), uint32_t(first_entry + i)};
  }
  const auto before = [&out](const Position& a, const Position& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int by_name = out[a.at].name.compare(out[b.at].name);
    return by_name != 0 ? by_name < 0 : out[a.at].host_name < out[b.at].host_name;
  };
  if (order.size() < kRadixFrom) {
    std::sort(order.begin(), order.end(), before);
  } else {
    // A large directory: by the prefixes first, then each run of names that share their
    // first eight bytes by the whole name.
    sort_by_prefix(order);
    for (size_t i = 0; i < order.size();) {
      size_t j = i + 1;
      while (j < order.size() && order[j].prefix == order[i].prefix) ++j;
      if (j - i > 1) std::sort(order.begin() + ptrdiff_t(i), order.begin() + ptrdiff_t(j), before);
      i = j;
    }
  }
  {
    std::vector<FindData> sorted;
    sorted.reserve(out.size());
    for (size_t i = 0; i < first_entry; ++i) sorted.push_back(std::move(out[i]));
    for (const Position& p : order) sorted.push_back(std::move(out[p.at]));
    out.swap(sorted);
  }
  // Names equal but for case keep their host spelling, so that each opens as itself.
  for (size_t i = first_entry; i + 1 < out.size(); ++i) {
    if (out[i].name != out[i + 1].name) continue;
    size_t j = i;
    while (j < out.size() && out[j].name == out[i].name) ++j;
    for (size_t k = i; k < j; ++k) out[k].name = out[k].host_name;
    i = j - 1;
  }
  return out.empty() ? kErrNoMoreFiles : 0;
}

int find_first(std::string_view pattern, FindHandle& handle, FindData& out, bool file_details) {
  handle = FindHandle{};
  out = FindData{};
  size_t cut = pattern.find_last_of("\\/");
  std::string directory;
  std::string_view name = pattern;
  if (cut != std::string_view::npos) {
    directory = std::string(pattern.substr(0, cut + 1));
    name = pattern.substr(cut + 1);
  } else if (pattern.size() >= 2 && pattern[1] == ':') {
    directory = std::string(pattern.substr(0, 2));
    name = pattern.substr(2);
  }
  if (name.size() > kMaxPath) return kErrFilenameTooLong;
  if (name.empty()) return kErrNoMoreFiles;
  int r = list_directory(directory, name, handle.entries, file_details);
  if (r) return r;
  handle.listing = detail::g_dir_cache.listing_number;
  return find_next(handle, out);
}

const FindData* take_entry(const FindHandle& handle, size_t index) {
  auto& cache = detail::g_dir_cache;
  if (index >= handle.entries.size()) {
    cache.handed_valid = false;
    return nullptr;
  }
  const FindData& e = handle.entries[index];
  // A regular file listed without its status (the walk's way) is remembered for its open.
  cache.handed_valid = handle.listing == cache.listing_number && !e.details;
  if (cache.handed_valid) {
    cache.handed_name.assign(e.name);
    cache.handed_host_name.assign(e.host_name);
  }
  return &e;
}

const FindData* find_next_entry(FindHandle& handle) {
  const FindData* e = take_entry(handle, handle.next);
  if (e != nullptr) ++handle.next;
  return e;
}

int find_next(FindHandle& handle, FindData& out) {
  const FindData* next = find_next_entry(handle);
  if (next == nullptr) return kErrNoMoreFiles;
  out = *next;
  return 0;
}

}  // namespace host
