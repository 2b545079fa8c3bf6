// Helpers shared by the files of src/host/ only (never included outside it).
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/host.h"

namespace host::detail {

// An NT path turned into a host path.
struct HostPath {
  std::string path;                   // host absolute path, components as found on the host
  const DriveEntry* drive = nullptr;  // drive it lies on (nullptr: host absolute or relative)
  bool drive_root = false;            // the path is the drive's ROOT itself
  bool blocked = false;               // a component on the way is a symbolic link or not a directory
  bool host_absolute = false;         // given as a host path ("/..."): links on the way are followed
};

// An owned descriptor, closed when the holder goes or takes another.
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  explicit Descriptor(int f) : fd(f) {}
  ~Descriptor();
  Descriptor(Descriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

// What a directory's table knows of one name: the smallest host spelling of it, and
// whether the directory gave that entry as a regular file.
struct Spelling {
  std::string name;
  bool regular = false;
};
// Upper-cased name -> spelling. Flat: the entries sit in one vector and the slots (open
// addressing) index them, so that refilling the table for the next directory allocates
// nothing once it has grown.
struct NameTable {
  struct Entry {
    std::string key;  // upper-cased
    Spelling spelling;
  };
  std::vector<Entry> entries;
  std::vector<uint32_t> slots;  // entry index + 1; 0 is free; a power of two in size
  void clear();
  size_t size() const { return entries.size(); }
  // The spelling of `upper_key` (upper-cased), or nullptr.
  const Spelling* find(std::string_view upper_key) const;
  // Adds `host_name`; of names equal but for case the smallest in byte order is kept.
  void add(std::string_view host_name, bool regular);
  // The same with `upper_key`, `host_name` upper-cased, given by a caller that has it.
  void add(std::string_view host_name, std::string_view upper_key, bool regular);
};

// The upper-cased names of the directories recently listed or searched for a name in
// another case, so that opening every file of a tree by its upper-cased path lists each
// directory on the way once at most, not once per file.
constexpr size_t kMaxCachedDirectories = 256;  // past this the whole table is dropped and refilled
struct DirCache {
  std::unordered_map<std::string, NameTable> dirs;  // host path of a directory -> its names
  // The same table for the directory listed last (list_directory): only the one, so that a
  // walk over a large tree holds the names of one directory, not of every one it passed.
  std::string listed_dir;
  std::string listed_as;    // the directory as the listing named it ("C:\DOS\"); empty: none
  std::string listed_root;  // the ROOT its drive had then
  NameTable listed;
  // The listed directory as the listing opened it, kept until the next listing: its files
  // open relative to it, in the directory the listing read even when that directory has
  // been renamed or replaced since (a directory being searched cannot be renamed on NT, so
  // a walk there never loses it half-way). No descriptor: open by the host path.
  Descriptor listed_dir_fd;
  // Counts the listings, so that a search handle knows whether its listing is the one above.
  uint64_t listing_number = 0;
  // The entry a search handle gave out last, when it is one of the listing above listed as
  // a regular file: the walk opens it next, and finds its spelling here without a look-up
  // in `listed` (whose entries lie in the directory's own order, not the walk's).
  bool handed_valid = false;
  std::string handed_name;       // FindData::name
  std::string handed_host_name;  // FindData::host_name
  // The listed directory's file system ends a regular file exactly where a read comes back
  // short (a local disk or memory file system), so such a read tells the file's size.
  bool short_read_is_end = false;
  // Reused for the names looked up and the paths opened, so that an open allocates nothing.
  std::string scratch_key;
  std::string scratch_path;
};
extern DirCache g_dir_cache;
void reset_dir_cache();
// The table of `dir`, emptied, for a listing of the whole directory to fill (add_to_table);
// the listing's table replaces the one of the directory listed before.
NameTable& fresh_directory_table(const std::string& dir);
// `listing` is the descriptor the listing reads the directory through; the cache keeps it.
NameTable& fresh_listing_table(const std::string& dir, std::string_view named, const DriveEntry* drive,
                               Descriptor listing);
// Forgets the table of the last listing (one cut short is incomplete).
void drop_listing_table();
void add_to_table(NameTable& table, std::string_view host_name, bool regular = false);
// The spelling the table of `dir` holds for `name` without regard to case; empty when the
// directory has no table or the table no such name. Nothing is listed or checked: a hit is
// only a name worth trying.
std::string cached_spelling(const std::string& dir, std::string_view name);

// The host path of a drive path "X:\DIR\NAME" (or "X:/...") whose components are all plain
// names (no "." or "..", none longer than 260 characters) on a drive with a ROOT: the ROOT
// and the components as given. False for every other form, which needs resolve().
bool direct_host_path(std::string_view path, std::string& out);

// Resolves `path` (drive form, "\" form, host absolute, relative) component by component:
// an exact host name first, else the first host name equal without regard to case, else the
// spelling given (a name to be created). Results: 0; 3 when the drive is not mapped, has no
// ROOT, or the form is not a file path ("\\server\..."); 206 for a component over 260
// characters or a host path over the host's limit. Symbolic links below a drive's ROOT or
// below the working directory are never followed: such a path is `blocked`.
int resolve(std::string_view path, HostPath& out);

// The NT error for a failed call on `host_path`: errno mapped by nt_error, except that
// ENOENT becomes 3 when the directory that should hold the last component is missing.
int path_error(int errnum, const std::string& host_path);

// Equal without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b);

// The type of the file system `fd` lies on (statfs), 0 when it cannot be had.
unsigned long file_system_type(int fd);
// True when `fd` (or a file system of `type`) is one of the kernel's virtual file systems
// (proc, sysfs, ...).
bool virtual_file_system(int fd);
bool virtual_file_system_type(unsigned long type);
// True for the local disk and memory file systems, where a read of a regular file comes
// back short only at its end. Network and user-space file systems may return less
// anywhere, so the others are never trusted with it.
bool short_read_is_end_type(unsigned long type);

}  // namespace host::detail
