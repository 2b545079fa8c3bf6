// Files: open with access, sharing and disposition; read, write, seek, size, close;
// delete, rename, create directory; attributes and DOS date and time.
//
// Sharing is emulated with flock(2) on the open file, never blocking: share nothing takes
// an exclusive lock, share read (without share write) a shared lock, and a lock that
// cannot be had is NT error 32. An open whose sharing lets others write takes no lock of
// its own but still probes, briefly, for the lock its access would conflict with: a shared
// one for reading (refused while another opener shares nothing), an exclusive one for
// writing (refused while another opener forbids writing), as NT refuses them. A truncating open truncates
// only after its lock is held, so it never cuts a file another opener has locked.
//
// Only regular files are opened (a FIFO, device or socket would block or never end): the
// open uses O_NONBLOCK and refuses anything else with 5, except a character device or a
// pipe opened for writing only (a report written to /dev/null, a terminal or a pipe). A
// directory is 5, as NT's open of a directory without backup semantics is. A symbolic link
// as the last component is never followed, whatever the path's form (2): removal and
// scanning must never act on another file than the one named.
//
// An existing file named by a drive path is opened in one call that follows no symbolic
// link anywhere on the path (openat2 with RESOLVE_NO_SYMLINKS): when it succeeds it has met
// the very file the component-by-component resolution would find, exact names first. When
// it fails, the spelling the directory's last listing holds for the last component is tried
// the same way, and then the full resolution runs, which also gives the NT error. A file of
// the directory listed last opens by its one name relative to that directory, which the
// listing opened and keeps open: a walk goes on in the directory it listed even when that
// directory is renamed or replaced meanwhile, as on NT, where a directory being searched
// cannot be renamed. A name it no longer holds is looked for along the path. The entry a
// search handed out last (take_entry) gives its spelling at once; other names are looked
// up in the listing's table of spellings. The status taken after the open
// is kept in the handle (identity, kind, size at open); a file the listing gave as a
// regular one defers it (see File in host.h): a name replaced by a FIFO or a device between
// the listing and the open is then refused at its first read, which is positioned, so
// nothing is taken from a pipe. Only a device that reads by position and ends within that
// first read would pass as a short file.
//
// Choices of this file: symbolic links, FIFOs, devices and sockets have no attributes (2,
// "not found": only regular files and directories exist for the program); rename never
// replaces an existing target (80), as MoveFile does not; delete removes a read-only file
// too (NT refuses with 5; the program clears the attribute first anyway, and a temporary
// copy created read-only must never be left behind); delete acts on regular files only (a
// symbolic link or special file is 2); read and write go on after a signal interrupts them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "host/internal.h"
#include "host/syscalls.h"

namespace host {

File::~File() {
  if (fd >= 0) g_syscalls.close(fd);
}
File::File(File&& other) noexcept {
  *this = std::move(other);
}
File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) g_syscalls.close(fd);
    fd = other.fd;
    known = other.known;
    status_pending = other.status_pending;
    size_known = other.size_known;
    regular = other.regular;
    device = other.device;
    inode = other.inode;
    size_at_open = other.size_at_open;
    mtime_at_open = other.mtime_at_open;
    other.fd = -1;
    other.known = false;
    other.status_pending = false;
    other.size_known = false;
  }
  return *this;
}

namespace {

// Resolves `path` for a file operation; `host_path` is the host path. Returns 0 or the NT error.
int host_path_for(std::string_view path, std::string& host_path) {
  detail::HostPath hp;
  if (int r = detail::resolve(path, hp)) return r;
  if (hp.blocked) return kErrPathNotFound;
  host_path = std::move(hp.path);
  return 0;
}

// Keeps the status of the file open on `f`; a size the first read already settled stays.
void take_status(File& f, const struct stat& st) {
  f.known = true;
  f.regular = S_ISREG(st.st_mode);
  f.device = uint64_t(st.st_dev);
  f.inode = uint64_t(st.st_ino);
  if (!f.size_known) {
    f.size_at_open = f.regular ? uint64_t(st.st_size) : 0;
    f.size_known = f.regular;
  }
  f.mtime_at_open = int64_t(st.st_mtime);
}

// Opens `name` (one component) of the directory listed last: relative to the directory the
// listing read, else by its host path. The descriptor, or -1.
int open_in_listed(std::string_view name, int flags) {
  auto& cache = detail::g_dir_cache;
  std::string& p = cache.scratch_path;
  if (cache.listed_dir_fd.fd >= 0) {
    p.assign(name);
    return g_syscalls.open_at(cache.listed_dir_fd.fd, p.c_str(), flags);  // one name: no link on the way
  }
  p.assign(cache.listed_dir);
  if (p.empty() || p.back() != '/') p += '/';
  p.append(name);
  return g_syscalls.open_no_links(p.c_str(), flags, 0);
}

// Opens a file of the directory listed last, named as that listing named the directory
// ("C:\DOS\" + name), through the host directory the listing found and the spelling it
// read; a name other than that spelling is still tried exactly first, since an exact name
// always wins, even one made after the listing. The descriptor, -1 when that fails (the
// caller takes the long way), or -2 when the path is not one of the listed directory's.
// `as_listed` tells that the entry opened is the one the listing gave as a regular file, on
// a file system where a short read ends a file.
int open_listed(std::string_view path, int flags, bool& as_listed) {
  auto& cache = detail::g_dir_cache;
  as_listed = false;
  // The path must be the listed directory as the listing named it (ending in its
  // separator) and one name after it: the directory is compared whole, the name alone
  // searched for a separator.
  const std::string& dir = cache.listed_as;
  if (dir.size() < 3 || dir[1] != ':' || (dir[2] != '\\' && dir[2] != '/')) return -2;
  if ((dir.back() != '\\' && dir.back() != '/') || path.size() <= dir.size() ||
      path.compare(0, dir.size(), dir) != 0)
    return -2;
  const std::string_view name = path.substr(dir.size());
  if (name.find('\\') != std::string_view::npos || name.find('/') != std::string_view::npos) return -2;
  const DriveEntry* drive = find_drive(dir[0]);
  if (drive == nullptr || drive->root != cache.listed_root) return -2;  // the drive map changed since
  if (name == "." || name == ".." || name.size() > kMaxPath) return -2;
  std::string& key = cache.scratch_key;
  key.assign(name);
  upper_in_place(key.data(), key.size());
  // The entry handed out last, when it is the one named: its listed name is the key only
  // when no other name of the directory differs from it in case alone, and then its host
  // name is the one spelling the table holds for the key, a regular file's.
  const std::string* spelling = nullptr;
  bool regular = false;
  if (cache.handed_valid && key == cache.handed_name) {
    spelling = &cache.handed_host_name;
    regular = true;
  } else if (const detail::Spelling* found = cache.listed.find(key)) {
    spelling = &found->name;
    regular = found->regular;
  } else {
    return -2;
  }
  if (*spelling != name) {
    int fd = open_in_listed(name, flags);
    if (fd >= 0 || errno != ENOENT) return fd >= 0 ? fd : -1;
  }
  const int fd = open_in_listed(*spelling, flags);
  if (fd < 0) return -1;
  as_listed = regular && cache.short_read_is_end;
  return fd;
}

// Opens a name that must already exist without resolve()'s look at every component: the
// drive path as given, no symbolic link anywhere on it (so exactly the file resolve() would
// find, when this succeeds), else the spelling the directory's last listing holds for the
// last component. -1 when neither opens; the caller then takes the long way, which also
// finds the right NT error.
int open_direct(std::string_view path, int flags, bool& as_listed) {
  if (int fd = open_listed(path, flags, as_listed); fd != -2) return fd;
  std::string hp;
  if (!detail::direct_host_path(path, hp)) return -1;
  int fd = g_syscalls.open_no_links(hp.c_str(), flags, 0);
  if (fd >= 0) return fd;
  if (errno != ENOENT) return -1;
  const size_t slash = hp.find_last_of('/');
  const std::string dir = slash == 0 ? "/" : hp.substr(0, slash);
  const std::string_view last = std::string_view(hp).substr(slash + 1);
  const std::string spelling = detail::cached_spelling(dir, last);
  if (spelling.empty() || spelling == last) return -1;
  return g_syscalls.open_no_links((hp.substr(0, slash + 1) + spelling).c_str(), flags, 0);
}

// Opens `path` with `flags`: the descriptor, or minus the NT error. `as_listed` as for
// open_listed.
int open_named(std::string_view path, int flags, bool creating, bool& as_listed) {
  as_listed = false;
  if (!creating) {
    int fd = open_direct(path, flags, as_listed);
    if (fd >= 0) return fd;
  }
  std::string hp;
  if (int r = host_path_for(path, hp)) return -r;
  int fd = g_syscalls.open(hp.c_str(), flags, 0666);
  if (fd >= 0) return fd;
  int e = errno;
  if (e == ELOOP) return -kErrFileNotFound;  // a symbolic link: never followed
  return -detail::path_error(e, hp);
}

}  // namespace

void dos_date_time(int64_t seconds, uint16_t& date, uint16_t& time_of_day) {
  time_t t = time_t(seconds);
  tm lt{};
  if (localtime_r(&t, &lt) == nullptr) lt.tm_year = seconds < 0 ? 0 : 300;  // unrepresentable: clamp
  int year = lt.tm_year + 1900;
  if (year < 1980) {
    date = uint16_t((0 << 9) | (1 << 5) | 1);
    time_of_day = 0;
    return;
  }
  if (year > 2107) {
    date = uint16_t((127 << 9) | (12 << 5) | 31);
    time_of_day = uint16_t((23 << 11) | (59 << 5) | 29);
    return;
  }
  date = uint16_t(((year - 1980) << 9) | ((lt.tm_mon + 1) << 5) | lt.tm_mday);
  time_of_day = uint16_t((lt.tm_hour << 11) | (lt.tm_min << 5) | (lt.tm_sec / 2));
}

int open_file(std::string_view path, unsigned access, unsigned share, Disposition disposition, File& out) {
  close_file(out);
  int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
  bool want_read = (access & kAccessRead) != 0;
  bool want_write = (access & kAccessWrite) != 0;
  flags |= want_write ? (want_read ? O_RDWR : O_WRONLY) : O_RDONLY;
  bool truncate = false;
  switch (disposition) {
    case kOpenExisting:
      break;
    case kCreateAlways:
      flags |= O_CREAT;
      truncate = true;
      break;
    case kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case kOpenAlways:
      flags |= O_CREAT;
      break;
    case kTruncateExisting:
      truncate = true;
      break;
  }
  if (truncate && !want_write) return kErrInvalidParameter;
  bool as_listed = false;
  int fd = open_named(path, flags, (flags & O_CREAT) != 0, as_listed);
  if (fd < 0) return -fd;
  File f;
  f.fd = fd;
  bool lockable = false;
  if (as_listed && disposition == kOpenExisting && !want_write) {
    f.status_pending = true;  // taken when needed; the lock is a regular file's
    lockable = true;
  } else {
    struct stat st {};
    if (fstat(fd, &st) != 0) return nt_error(errno);
    bool stream = (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) && want_write && !want_read;
    if (!S_ISREG(st.st_mode) && !stream) return kErrAccessDenied;
    take_status(f, st);
    lockable = f.regular;
  }
  if (lockable) {
    // O_NONBLOCK only kept the open itself from blocking on a FIFO or a device; it changes
    // nothing for a regular file, so it is cleared for the streams alone.
    int lock = 0;
    if ((share & (kShareRead | kShareWrite)) == 0) {
      lock = LOCK_EX;
    } else if ((share & kShareWrite) == 0) {
      lock = LOCK_SH;
    }
    if (lock == 0) {  // no lock of its own: still refused where another opener forbids this access
      int probe = want_write ? LOCK_EX : LOCK_SH;
      if (g_syscalls.flock(fd, probe | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? kErrSharingViolation : nt_error(errno);
      g_syscalls.flock(fd, LOCK_UN);
    }
    if (lock != 0 && g_syscalls.flock(fd, lock | LOCK_NB) != 0)
      return errno == EWOULDBLOCK ? kErrSharingViolation : nt_error(errno);
    if (truncate) {
      if (ftruncate(fd, 0) != 0) return nt_error(errno);
      f.size_at_open = 0;
    }
  } else {
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  }
  out = std::move(f);
  return 0;
}

int file_status(File& f) {
  if (f.fd < 0) return kErrInvalidParameter;
  if (!f.known) {
    struct stat st {};
    if (fstat(f.fd, &st) != 0) return nt_error(errno);
    take_status(f, st);
  }
  if (f.status_pending) {
    if (!f.regular) return kErrAccessDenied;  // stays pending: every read is refused alike
    f.status_pending = false;
  }
  return 0;
}

int read_file(File& f, void* buf, size_t n, size_t& got) {
  got = 0;
  if (f.fd < 0) return kErrInvalidParameter;  // NT's invalid handle is 6; no caller reads a closed file
  if (f.status_pending) {
    if (int rc = file_status(f)) return rc;
  }
  char* p = static_cast<char*>(buf);
  while (got < n) {
    long r = g_syscalls.read(f.fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return got > 0 ? 0 : nt_error(errno);  // what was read counts; the failure comes next call
    if (r == 0) break;
    got += size_t(r);
  }
  return 0;
}

int read_some(File& f, void* buf, size_t n, size_t& got) {
  got = 0;
  if (f.fd < 0) return kErrInvalidParameter;
  if (f.status_pending) {
    if (int rc = file_status(f)) return rc;
  }
  long r = 0;
  do {
    r = g_syscalls.read(f.fd, buf, n);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return nt_error(errno);
  got = size_t(r);
  return 0;
}

int read_some_at(File& f, void* buf, size_t n, uint64_t offset, size_t& got) {
  got = 0;
  if (f.fd < 0 || offset > uint64_t(INT64_MAX)) return kErrInvalidParameter;
  long r = 0;
  do {
    r = g_syscalls.pread(f.fd, buf, n, int64_t(offset));
  } while (r < 0 && errno == EINTR);
  const int e = errno;
  if (f.status_pending) {
    if (r >= 0 && size_t(r) < n && (r > 0 || offset == 0)) {
      // A read that comes back short ends the regular file the listing gave: its size is
      // settled without asking for the status.
      f.status_pending = false;
      f.regular = true;
      f.size_known = true;
      f.size_at_open = offset + uint64_t(r);
    } else if (int rc = file_status(f)) {
      return rc;  // not a regular file (a pipe cannot be read by position): nothing taken
    }
  }
  if (r < 0) return nt_error(e);
  got = size_t(r);
  return 0;
}

int write_file(File& f, const void* buf, size_t n) {
  if (f.fd < 0) return kErrInvalidParameter;
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    long w = g_syscalls.write(f.fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return nt_error(errno);
    if (w == 0) return kErrDiskFull;
    done += size_t(w);
  }
  return 0;
}

int seek_file(File& f, int64_t offset, int whence, uint64_t* new_position) {
  if (f.fd < 0 || whence < 0 || whence > 2) return kErrInvalidParameter;
  const int kWhence[3] = {SEEK_SET, SEEK_CUR, SEEK_END};
  int64_t pos = g_syscalls.lseek(f.fd, offset, kWhence[whence]);
  if (pos < 0) return errno == EINVAL ? 131 /* negative seek */ : nt_error(errno);
  if (new_position) *new_position = uint64_t(pos);
  return 0;
}

int file_size(File& f, uint64_t& size) {
  size = 0;
  struct stat st {};
  if (f.fd < 0) return kErrInvalidParameter;
  if (fstat(f.fd, &st) != 0) return nt_error(errno);
  size = uint64_t(st.st_size);
  return 0;
}

int close_file(File& f) {
  if (f.fd < 0) return 0;
  int fd = f.fd;
  f.fd = -1;
  f.known = false;
  f.status_pending = false;
  f.size_known = false;
  if (g_syscalls.close(fd) != 0 && errno != EINTR) return nt_error(errno);
  return 0;
}

int delete_file(std::string_view path) {
  std::string hp;
  if (int r = host_path_for(path, hp)) return r;
  struct stat st {};
  if (lstat(hp.c_str(), &st) != 0) return detail::path_error(errno, hp);
  if (S_ISDIR(st.st_mode)) return kErrAccessDenied;
  if (!S_ISREG(st.st_mode)) return kErrFileNotFound;  // links and special files do not exist here
  if (unlink(hp.c_str()) != 0) return detail::path_error(errno, hp);
  return 0;
}

int rename_file(std::string_view from, std::string_view to) {
  std::string a, b;
  if (int r = host_path_for(from, a)) return r;
  if (int r = host_path_for(to, b)) return r;
  struct stat st {};
  if (lstat(a.c_str(), &st) != 0) return detail::path_error(errno, a);
  if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS)
    return errno == ENOENT ? detail::path_error(ENOENT, b) : nt_error(errno);
  // A file system without RENAME_NOREPLACE: test, then rename.
  if (lstat(b.c_str(), &st) == 0) return kErrFileExists;
  if (rename(a.c_str(), b.c_str()) != 0) return detail::path_error(errno, b);
  return 0;
}

int create_directory(std::string_view path) {
  std::string hp;
  if (int r = host_path_for(path, hp)) return r;
  if (mkdir(hp.c_str(), 0777) != 0) return detail::path_error(errno, hp);
  return 0;
}

int file_info(std::string_view path, FindData& out) {
  out = FindData{};
  std::string hp;
  if (int r = host_path_for(path, hp)) return r;
  struct stat st {};
  if (lstat(hp.c_str(), &st) != 0) return detail::path_error(errno, hp);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return kErrFileNotFound;
  size_t slash = hp.find_last_of('/');
  out.host_name = slash == std::string::npos ? hp : hp.substr(slash + 1);
  out.name = upper(out.host_name);
  out.attributes = attributes_of(st.st_mode);
  out.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
  dos_date_time(int64_t(st.st_mtime), out.dos_date, out.dos_time);
  return 0;
}

uint32_t attributes_of(uint32_t mode) {
  uint32_t a = 0;
  if (S_ISDIR(mode)) a |= kAttrDirectory;
  if (S_ISREG(mode)) a |= kAttrArchive;
  if ((mode & S_IWUSR) == 0) a |= kAttrReadOnly;
  return a;
}

int get_attributes(std::string_view path, uint32_t& attributes) {
  attributes = 0;
  FindData d;
  if (int r = file_info(path, d)) return r;
  attributes = d.attributes;
  return 0;
}

int set_attributes(std::string_view path, uint32_t attributes) {
  std::string hp;
  if (int r = host_path_for(path, hp)) return r;
  struct stat st {};
  if (lstat(hp.c_str(), &st) != 0) return detail::path_error(errno, hp);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return kErrFileNotFound;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly) {
    mode &= mode_t(~(S_IWUSR | S_IWGRP | S_IWOTH));
  } else {
    mode |= S_IWUSR;
  }
  if (chmod(hp.c_str(), mode) != 0) return detail::path_error(errno, hp);
  return 0;
}

bool file_exists(std::string_view path) {
  uint32_t a = 0;
  return get_attributes(path, a) == 0;
}

}  // namespace host
