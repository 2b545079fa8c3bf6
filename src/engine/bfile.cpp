// Buffered file access: the slot table and the scan-file records (see bfile.h).
#include "engine/bfile.h"

#include <algorithm>
#include <cstring>

#include "driver/base/settings.h"

namespace engine {

Files g_files;

namespace {

FileSlot* slot_of(int handle) {
  if (handle < 1 || handle > kFileSlots) return nullptr;
  FileSlot& s = g_files.slots[size_t(handle - 1)];
  return s.file.is_open() ? &s : nullptr;
}

// Moves the system position to `pos` unless it is there already.
bool system_seek_to(FileSlot& s, int64_t pos) {
  if (s.system_pos == pos) return true;
  uint64_t now = 0;
  int rc = host::seek_file(s.file, pos, 0, &now);
  if (rc != 0) {
    s.last_error = rc;
    return false;
  }
  s.system_pos = int64_t(now);
  return true;
}

// Forgets the buffer: the logical position becomes `pos` and the next read refills.
void drop_buffer(FileSlot& s, int64_t pos) {
  s.buffer_start = pos;
  s.buffer_pos = 0;
  s.buffer_fill = 0;
  s.refill_needed = true;
  s.end_reached = false;
}

// Reads up to n bytes of the file at `at` into dest; false on failure. At the system
// position the reads go on from there (no seek); elsewhere they are positioned reads, which
// leave the system position where it stands, so a refill never needs a seek of its own. A
// short read that reaches the known end of the file ends the reading: no further read is
// made only to be told that nothing follows.
bool system_read(FileSlot& s, int64_t at, uint8_t* dest, size_t n, size_t& got) {
  got = 0;
  const bool in_place = s.system_pos == at;
  while (got < n) {
    size_t part = 0;
    const int rc = in_place ? host::read_some(s.file, dest + got, n - got, part)
                            : host::read_some_at(s.file, dest + got, n - got, uint64_t(at) + got, part);
    if (rc != 0) {
      s.last_error = rc;
      if (in_place) s.system_pos = -1;  // where the system position stands is not known now
      return false;
    }
    if (part == 0) break;
    got += part;
    if (in_place) s.system_pos += int64_t(part);
    if (s.known_end >= 0 && at + int64_t(got) >= s.known_end) break;
  }
  return true;
}

// A slot's state right after its file was put in it at position 0.
void start_slot(FileSlot& s) {
  drop_buffer(s, 0);
  s.system_pos = 0;
  s.last_error = 0;
  s.known_end = s.file.size_known ? int64_t(s.file.size_at_open) : -1;
}

// Fills the buffer of a slot just started on a file whose status the open left pending,
// with a positioned read from 0: that read settles the file's size or its status, and a
// name that no longer leads to a regular file fails here, as the open. 0 or the NT error.
int prime_slot(FileSlot& s) {
  size_t got = 0;
  if (int rc = host::read_some_at(s.file, s.buffer.data(), kFileBufferSize, 0, got)) return rc;
  s.known_end = s.file.size_known ? int64_t(s.file.size_at_open) : -1;
  s.buffer_start = 0;
  s.buffer_pos = 0;
  s.buffer_fill = int64_t(got);
  s.refill_needed = false;
  s.end_reached = got < kFileBufferSize;
  return 0;
}

int close_scan_file_with(int record, bool shred) {
  if (record < 0 || record >= kScanFiles) return -1;
  ScanFile& rec = g_files.scan_files[size_t(record)];
  if (rec.handle == 0) return -1;
  const int handle = rec.handle;
  rec.handle = 0;
  if (!rec.temp.active()) return close_file(handle) == 0 ? 0 : -1;
  // The copy's handle goes back to it: shredding, closing and deleting happen through it.
  FileSlot* sp = slot_of(handle);
  if (sp != nullptr) {
    rec.temp.file = std::move(sp->file);
    drop_buffer(*sp, 0);
    sp->system_pos = 0;
  }
  return unpack::close_temp_copy(rec.temp, shred) == 0 && sp != nullptr ? 0 : -1;
}

}  // namespace

void reset_files() {
  for (FileSlot& s : g_files.slots) {
    if (s.file.is_open()) host::close_file(s.file);
    drop_buffer(s, 0);
    s.system_pos = 0;
    s.last_error = 0;
  }
  for (ScanFile& r : g_files.scan_files) r = ScanFile{};
  g_files.last_open_error = 0;
}

int open_file(std::string_view name, unsigned access, unsigned permission) {
  FileSlot* free_slot = nullptr;
  for (FileSlot& s : g_files.slots) {
    if (!s.file.is_open()) {
      free_slot = &s;
      break;
    }
  }
  if (free_slot == nullptr) {
    g_files.last_open_error = host::kErrTooManyOpenFiles;
    return -1;
  }
  unsigned sys_access = 0, share = host::kShareNone;
  if (access & kOpenReadWrite) {
    sys_access = host::kAccessRead | host::kAccessWrite;
    share = host::kShareRead | host::kShareWrite;
  } else if (access & kOpenRead) {
    sys_access = host::kAccessRead;
    share = host::kShareRead;
  }
  host::Disposition disp = host::kOpenExisting;
  if (access & kOpenCreate) disp = (access & kOpenNew) ? host::kCreateNew : host::kOpenAlways;
  bool existed = (access & kOpenCreate) ? host::file_exists(name) : true;
  int rc = host::open_file(name, sys_access, share, disp, free_slot->file);
  if (rc != 0) {
    g_files.last_open_error = rc;
    return -1;
  }
  // A file this open created gets the read-only attribute when asked for.
  if ((access & kOpenCreate) && !existed && (permission & kPermCreate) && !(permission & kPermWrite)) {
    uint32_t attributes = 0;
    if (host::get_attributes(name, attributes) == 0) host::set_attributes(name, attributes | host::kAttrReadOnly);
  }
  start_slot(*free_slot);
  if (free_slot->file.status_pending) {
    if (int prc = prime_slot(*free_slot)) {
      host::close_file(free_slot->file);
      drop_buffer(*free_slot, 0);
      g_files.last_open_error = prc;
      return -1;
    }
  }
  g_files.last_open_error = 0;
  return int(free_slot - g_files.slots.data()) + 1;
}

int64_t read_file(int handle, uint8_t* dest, size_t count) {
  FileSlot* sp = slot_of(handle);
  if (sp == nullptr) return -1;
  FileSlot& s = *sp;
  const int64_t remaining = s.buffer_fill - s.buffer_pos;
  if (!s.refill_needed && remaining >= int64_t(count)) {
    if (count > 0) std::memcpy(dest, s.buffer.data() + s.buffer_pos, count);
    s.buffer_pos += int64_t(count);
    return int64_t(count);
  }
  if (!s.refill_needed && s.end_reached) {
    if (remaining > 0) std::memcpy(dest, s.buffer.data() + s.buffer_pos, size_t(remaining));
    s.buffer_pos += remaining;
    return remaining;
  }
  // Refill from the logical position; the rest of the buffer is never combined with new data.
  const int64_t logical = s.buffer_start + s.buffer_pos;
  size_t got = 0;
  if (count <= kFileBufferSize) {
    if (!system_read(s, logical, s.buffer.data(), kFileBufferSize, got)) {
      // The buffer no longer reflects the file; the logical position stays where it was.
      drop_buffer(s, logical);
      return -1;
    }
    const size_t delivered = std::min(count, got);
    if (delivered > 0) std::memcpy(dest, s.buffer.data(), delivered);
    s.end_reached = got < kFileBufferSize;
    s.buffer_start = logical;
    s.buffer_pos = int64_t(delivered);
    s.buffer_fill = int64_t(got);
    s.refill_needed = false;
    return int64_t(delivered);
  }
  if (!system_read(s, logical, dest, count, got)) {
    drop_buffer(s, logical);
    return -1;
  }
  const size_t kept = std::min(got, kFileBufferSize);
  std::memcpy(s.buffer.data(), dest + (got - kept), kept);
  s.end_reached = got < count;
  s.buffer_start = logical + int64_t(got - kept);
  s.buffer_pos = int64_t(kept);
  s.buffer_fill = int64_t(kept);
  s.refill_needed = false;
  return int64_t(got);
}

int64_t seek_file(int handle, int64_t distance, int origin) {
  FileSlot* sp = slot_of(handle);
  if (sp == nullptr) return -1;
  FileSlot& s = *sp;
  if (origin == 0 && distance >= s.buffer_start && distance - s.buffer_start <= s.buffer_fill) {
    s.buffer_pos = distance - s.buffer_start;
    return distance;
  }
  if (origin == 1 && s.buffer_pos + distance >= 0 && s.buffer_pos + distance <= s.buffer_fill) {
    s.buffer_pos += distance;
    return s.buffer_start + s.buffer_pos;
  }
  int whence = origin;
  int64_t offset = distance;
  if (origin == 1) {
    // Relative to the logical position, which the system position need not match.
    whence = 0;
    offset = s.buffer_start + s.buffer_pos + distance;
    if (offset < 0) return -1;
  } else if (origin != 0 && origin != 2) {
    return -1;
  }
  if (whence == 0 && offset < 0) return -1;
  uint64_t now = 0;
  int rc = host::seek_file(s.file, offset, whence, &now);
  if (rc != 0) {
    s.last_error = rc;
    return -1;
  }
  s.system_pos = int64_t(now);
  drop_buffer(s, int64_t(now));
  return int64_t(now);
}

int64_t write_file(int handle, const uint8_t* src, size_t count) {
  FileSlot* sp = slot_of(handle);
  if (sp == nullptr) return -1;
  FileSlot& s = *sp;
  const int64_t logical = s.buffer_start + s.buffer_pos;
  if (!system_seek_to(s, logical)) return -1;
  int rc = host::write_file(s.file, src, count);
  if (rc != 0) {
    s.last_error = rc;
    // Where the system position stands after a failed write is not known.
    s.system_pos = -1;
    drop_buffer(s, logical);
    return -1;
  }
  s.system_pos = logical + int64_t(count);
  if (s.known_end >= 0 && s.system_pos > s.known_end) s.known_end = s.system_pos;
  drop_buffer(s, s.system_pos);
  return int64_t(count);
}

int close_file(int handle) {
  FileSlot* sp = slot_of(handle);
  if (sp == nullptr) return -1;
  int rc = host::close_file(sp->file);
  drop_buffer(*sp, 0);
  sp->system_pos = 0;
  if (rc != 0) {
    sp->last_error = rc;
    return -1;
  }
  return 0;
}

int read_byte(int handle) {
  FileSlot* sp = slot_of(handle);
  if (sp == nullptr) return -1;
  if (!sp->refill_needed && sp->buffer_pos < sp->buffer_fill) return sp->buffer[size_t(sp->buffer_pos++)];
  uint8_t b = 0;
  return read_file(handle, &b, 1) == 1 ? int(b) : -1;
}

int write_byte(int value, int handle) {
  uint8_t b = uint8_t(value);
  return write_file(handle, &b, 1) == 1 ? value : -1;
}

int64_t rewind_file(int handle) { return seek_file(handle, 0, 0); }

int flush_file(int handle) {
  // Writes go straight to the system, so there is nothing of ours to flush.
  return slot_of(handle) == nullptr ? -1 : 0;
}

int file_error(int handle) {
  if (handle < 1 || handle > kFileSlots) return 0;
  return g_files.slots[size_t(handle - 1)].last_error;
}

int open_scan_file(std::string_view name) {
  for (int i = 0; i < kScanFiles; ++i) {
    ScanFile& rec = g_files.scan_files[size_t(i)];
    if (rec.handle != 0) continue;
    int h = open_file(name, kOpenRead, 0);
    if (h < 0) return -1;
    rec.handle = h;
    return i;
  }
  return -1;
}

int adopt_temp_copy(unpack::TempCopy& copy) {
  if (!copy.active() || !copy.file.is_open()) return -1;
  for (int i = 0; i < kScanFiles; ++i) {
    ScanFile& rec = g_files.scan_files[size_t(i)];
    if (rec.handle != 0) continue;
    for (FileSlot& s : g_files.slots) {
      if (s.file.is_open()) continue;
      if (host::seek_file(copy.file, 0, 0, nullptr) != 0) return -1;
      s.file = std::move(copy.file);
      start_slot(s);
      rec.temp = std::move(copy);
      rec.handle = int(&s - g_files.slots.data()) + 1;
      return i;
    }
    return -1;
  }
  return -1;
}

int close_scan_file(int record) { return close_scan_file_with(record, false); }
int close_scan_file_shred(int record) { return close_scan_file_with(record, true); }

int file_identity(int handle, host::FileId& out) {
  const FileSlot* sp = slot_of(handle);
  if (sp == nullptr) return host::kErrInvalidParameter;
  return host::file_id(sp->file, out);
}

int scan_file_handle(int record) {
  if (record < 0 || record >= kScanFiles) return -1;
  int h = g_files.scan_files[size_t(record)].handle;
  return h == 0 ? -1 : h;
}

}  // namespace engine
