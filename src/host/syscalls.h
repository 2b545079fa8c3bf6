// The host layer's table of operating-system calls.
//
// Every call that a test may want to fail on purpose (open, read, write, positioned sector
// I/O, flock, sleep) goes through g_syscalls instead of being called directly, so that a
// test can put its own function in a slot, drive the code under test into the failure, and
// put the real call back with reset_syscalls(). The slots take and return plain integers
// (no operating-system types) and behave exactly as the calls they stand for: -1 and errno
// set on failure. Only src/host/ calls through the table; everyone else calls the host
// functions of host.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

struct Syscalls {
  int (*open)(const char* path, int flags, unsigned mode);            // open(2)
  // open(2) that follows no symbolic link anywhere on the path (openat2(2) with
  // RESOLVE_NO_SYMLINKS; ELOOP when it meets one, ENOSYS where the system lacks it).
  int (*open_no_links)(const char* path, int flags, unsigned mode);
  int (*open_at)(int dirfd, const char* path, int flags);             // openat(2)
  int (*close)(int fd);                                               // close(2)
  long (*read)(int fd, void* buf, size_t n);                          // read(2)
  long (*write)(int fd, const void* buf, size_t n);                   // write(2)
  long (*pread)(int fd, void* buf, size_t n, int64_t offset);         // pread(2)
  long (*pwrite)(int fd, const void* buf, size_t n, int64_t offset);  // pwrite(2)
  int64_t (*lseek)(int fd, int64_t offset, int whence);               // lseek(2)
  int (*flock)(int fd, int operation);                                // flock(2)
  void (*sleep_ms)(unsigned milliseconds);                            // nanosleep(2), restarted
};
extern Syscalls g_syscalls;  // the table every host function calls through

// Puts the real calls back into every slot.
void reset_syscalls();

}  // namespace host
