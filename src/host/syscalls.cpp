// The real operating-system calls behind g_syscalls (see syscalls.h). Each wrapper only
// adapts types; it adds no behaviour, so a replaced slot sees exactly what the host
// functions would have passed to the system.
#include "host/syscalls.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace host {
namespace {

int real_open(const char* path, int flags, unsigned mode) {
  return ::open(path, flags, mode_t(mode));
}
// A system without openat2 says so once; after that the call is not made again.
bool g_openat2_missing = false;

int real_open_no_links(const char* path, int flags, unsigned mode) {
#ifdef SYS_openat2
  if (g_openat2_missing) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = uint64_t(unsigned(flags));
  how.mode = mode;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const int fd = int(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
  if (fd < 0 && errno == ENOSYS) g_openat2_missing = true;
  return fd;
#else
  (void)path;
  (void)flags;
  (void)mode;
  errno = ENOSYS;
  return -1;
#endif
}
int real_open_at(int dirfd, const char* path, int flags) {
  return ::openat(dirfd, path, flags);
}
int real_close(int fd) {
  return ::close(fd);
}
long real_read(int fd, void* buf, size_t n) {
  return long(::read(fd, buf, n));
}
long real_write(int fd, const void* buf, size_t n) {
  return long(::write(fd, buf, n));
}
long real_pread(int fd, void* buf, size_t n, int64_t offset) {
  return long(::pread(fd, buf, n, off_t(offset)));
}
long real_pwrite(int fd, const void* buf, size_t n, int64_t offset) {
  return long(::pwrite(fd, buf, n, off_t(offset)));
}
int64_t real_lseek(int fd, int64_t offset, int whence) {
  return int64_t(::lseek(fd, off_t(offset), whence));
}
int real_flock(int fd, int operation) {
  return ::flock(fd, operation);
}

// Sleeps the whole time even when a signal interrupts it: the break handler only counts,
// and the caller polls the counter after the sleep.
void real_sleep_ms(unsigned milliseconds) {
  timespec left{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

constexpr Syscalls kRealSyscalls = {real_open,  real_open_no_links, real_open_at,      real_close,
                                    real_read,  real_write,         real_pread,        real_pwrite,
                                    real_lseek, real_flock,         real_sleep_ms};

}  // namespace

Syscalls g_syscalls = kRealSyscalls;

void reset_syscalls() {
  g_syscalls = kRealSyscalls;
}

}  // namespace host
