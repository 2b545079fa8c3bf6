// File scanning (see scan.h).
#include "engine/scan.h"

#include <algorithm>

#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/identity.h"
#include "engine/matcher.h"
#include "engine/scan_buffer.h"
#include "findings/messages.h"
#include "findings/reports.h"
#include "unpack/unpack.h"

namespace engine {

ScanHooks g_scan_hooks;

namespace {

// How the entry-code analysis ended.
enum class Step {
  kSearch,     // go on with the whole-file search (quick mode: finish)
  kFinish,     // an identity was found: finish now
  kReadError,  // a read failed or an identity search gave an error
};

constexpr uint64_t kMaxObjectLength = 0xFFFFFFFFu;  // the identity engine's object length is 32-bit
constexpr size_t kNeHeaderNeed = 0x40;              // bytes of an NE header the analysis reads
constexpr size_t kLxHeaderNeed = 0x84;              // bytes of an LX header the analysis reads
constexpr size_t kLxObjectEntry = 24;
constexpr size_t kLxPageEntry = 8;
constexpr size_t kNeSegmentEntry = 8;

uint16_t le16(const uint8_t* b, size_t off) { return uint16_t(b[off] | (b[off + 1] << 8)); }
uint32_t le32(const uint8_t* b, size_t off) {
  return uint32_t(b[off]) | (uint32_t(b[off + 1]) << 8) | (uint32_t(b[off + 2]) << 16) | (uint32_t(b[off + 3]) << 24);
}

struct Analysis {
  int handle = -1;
  uint64_t size = 0;      // the record's file size
  int64_t length = 0;     // object length handed to the identity engine
  int64_t header = 0;     // DOS header size H
};

// Reads up to `count` bytes at `offset` into the scan buffer. Returns the bytes read, 0 when
// the seek failed or the offset lies beyond the file (the analysis stops quietly), or -1 when
// the read failed.
int64_t read_at(const Analysis& a, uint64_t offset, size_t count, bool& seek_failed) {
  seek_failed = false;
  if (offset >= a.size || offset > uint64_t(INT64_MAX) || seek_file(a.handle, int64_t(offset), 0) != int64_t(offset)) {
    seek_failed = true;
    return 0;
  }
  return read_file(a.handle, g_scan.bytes.data(), count);
}

// The result of one identity search as a step: -4 finishes unless -WO, errors are read errors.
bool search_code(const Analysis& a, int64_t window, int64_t base, Step& step) {
  const int rc = identity_search(a.handle, window, base, a.length, a.header);
  if (rc == kIdentityFound) {
    if (driver::g_settings.keep_checking) return false;
    step = Step::kFinish;
    return true;
  }
  if (rc != 0) {
    step = Step::kReadError;
    return true;
  }
  return false;
}

// Reads 1024 bytes at `offset` and runs the identity search over them with `base`. Returns
// true when the analysis ends here (step set), false when it goes on.
bool code_at(const Analysis& a, uint64_t offset, int64_t base, Step& step, bool seek_fail_is_error) {
  bool seek_failed = false;
  const int64_t n = read_at(a, offset, kCodeWindow, seek_failed);
  if (seek_failed) {
    step = seek_fail_is_error && offset < a.size ? Step::kReadError : Step::kSearch;
    return true;
  }
  if (n < 0) {
    step = Step::kReadError;
    return true;
  }
  if (n == 0) {
    step = Step::kSearch;
    return true;
  }
  return search_code(a, n, base, step);
}

// Segmented new format at N (its header is in the scan buffer, `n` bytes of it).
Step analyse_ne(const Analysis& a, uint64_t ne, int64_t n, uint64_t entry) {
  if (n < int64_t(kNeHeaderNeed)) return Step::kSearch;
  const uint8_t* b = g_scan.bytes.data();
  const uint32_t ip = le16(b, 0x14);
  const uint32_t segment = le16(b, 0x16);
  uint32_t shift = le16(b, 0x32);
  if (shift == 0) shift = 9;
  if (segment == 0 || shift > 31 || le16(b, 0x1C) < segment) return Step::kSearch;
  const uint64_t entry_offset = ne + le16(b, 0x22) + uint64_t(segment) * kNeSegmentEntry - kNeSegmentEntry;
  bool seek_failed = false;
  const int64_t m = read_at(a, entry_offset, kCodeWindow, seek_failed);
  if (seek_failed) return Step::kSearch;
  if (m < 0) return Step::kReadError;
  if (m < int64_t(kNeSegmentEntry)) return Step::kSearch;
  if (le16(b, 4) & 1) return Step::kSearch;  // a data segment
  const uint64_t code = (uint64_t(le16(b, 0)) << shift) + ip;
  Step step = Step::kSearch;
  // The code of the entry segment is searched with the DOS entry offset as its base.
  if (code_at(a, code, int64_t(entry), step, false)) return step;
  return Step::kSearch;
}

// Linear new format at N (its header is in the scan buffer, `n` bytes of it).
Step analyse_lx(const Analysis& a, uint64_t lx, int64_t n) {
  if (n < int64_t(kLxHeaderNeed)) return Step::kSearch;
  const uint8_t* b = g_scan.bytes.data();
  const uint32_t object = le32(b, 0x18), entry = le32(b, 0x1C), page_size = le32(b, 0x28);
  const uint32_t page_shift = b[0x2C];
  const uint32_t object_table = le32(b, 0x40), object_count = le32(b, 0x44), page_table = le32(b, 0x48);
  const uint32_t data_pages = le32(b, 0x80);
  if (object == 0 || object_count < object || page_size == 0 || page_shift > 31) return Step::kSearch;
  bool seek_failed = false;
  int64_t m = read_at(a, lx + object_table + uint64_t(object - 1) * kLxObjectEntry, kLxObjectEntry, seek_failed);
  if (seek_failed) return Step::kSearch;
  if (m < 0) return Step::kReadError;
  if (m < int64_t(kLxObjectEntry)) return Step::kSearch;
  const uint32_t virtual_size = le32(b, 0), flags = le32(b, 8), page_index = le32(b, 12);
  if (virtual_size < entry || (flags & 5) != 5) return Step::kSearch;
  const uint64_t page = uint64_t(page_index) + entry / page_size;
  if (page == 0) return Step::kSearch;
  m = read_at(a, lx + page_table + (page - 1) * kLxPageEntry, kLxPageEntry, seek_failed);
  if (seek_failed) return Step::kSearch;
  if (m < 0) return Step::kReadError;
  if (m < int64_t(kLxPageEntry)) return Step::kSearch;
  const uint32_t in_page = entry % page_size;
  if (le16(b, 6) != 0 || le16(b, 4) < in_page) return Step::kSearch;
  const uint64_t code = uint64_t(data_pages) + (uint64_t(le32(b, 0)) << page_shift) + in_page;
  Step step = Step::kSearch;
  // The object's code is searched with the entry offset inside its object as its base.
  if (code_at(a, code, int64_t(entry), step, false)) return step;
  return Step::kSearch;
}

// DOS executable: the header is in the scan buffer, `n` bytes of it (at least 32).
Step analyse_exe(Analysis& a, int64_t n) {
  const uint8_t* b = g_scan.bytes.data();
  const uint64_t h = uint64_t(le16(b, 8)) * 16;
  const uint64_t c = (uint64_t(le16(b, 0x16)) * 16 + h) & 0xFFFFF;
  const uint64_t e = (uint64_t(le16(b, 0x14)) + c) & 0xFFFFF;
  // A new-format header is looked for only when the relocation table starts at 0x40 or
  // later and the header read holds the offset field.
  const uint64_t ne = (n >= 0x40 && le16(b, 0x18) >= 0x40) ? le32(b, 0x3C) : 0;
  a.header = int64_t(h);
  if (e >= a.size) return Step::kSearch;
  Step step = Step::kSearch;
  if (code_at(a, e, int64_t(e), step, true)) return step;
  if (ne == 0) return Step::kSearch;
  bool seek_failed = false;
  const int64_t m = read_at(a, ne, kCodeWindow, seek_failed);
  if (seek_failed) return Step::kSearch;
  if (m < 0) return Step::kReadError;
  if (m < 2) return Step::kSearch;
  if (b[0] == 'N' && b[1] == 'E') return analyse_ne(a, ne, m, e);
  if (b[0] == 'L' && b[1] == 'X') return analyse_lx(a, ne, m);
  return Step::kSearch;
}

// Plain program image: the first n bytes are in the scan buffer.
Step analyse_plain(const Analysis& a, int64_t n) {
  const uint8_t* b = g_scan.bytes.data();
  // The jump target is taken before the identity programs run (they may store into the buffer).
  int64_t target = -1;
  if (n >= 3 && (b[0] == 0xE9 || b[0] == 0xE8))
    target = (le16(b, 1) + 3) & 0xFFFF;
  else if (n >= 2 && b[0] == 0xEB)
    target = b[1] + 2;
  Step step = Step::kSearch;
  if (search_code(a, n, 0, step)) return step;
  if (target < 0 || uint64_t(target) >= a.size) return Step::kSearch;
  if (code_at(a, uint64_t(target), target, step, true)) return step;
  return Step::kSearch;
}

// Closes the scan file; shreds a temporary copy when something was found in it.
int close_after(int scan_record, bool infected) {
  return infected ? close_scan_file_shred(scan_record) : close_scan_file(scan_record);
}

// A reader over a handle of the buffered layer for the detection and the expanders.
unpack::ReadAt reader_of(int handle) {
  return [handle](uint64_t offset, uint8_t* dest, size_t n) -> int64_t {
    if (offset > uint64_t(INT64_MAX) || seek_file(handle, int64_t(offset), 0) < 0) return unpack::kSeekFailed;
    const int64_t got = read_file(handle, dest, n);
    return got < 0 ? unpack::kReadFailed : got;
  };
}

// The name the directory search found: the last component of the path (empty in server
// mode, where archives are recognised by their header only).
std::string_view search_name_of(const std::string& name) {
  if (driver::g_settings.server_mode) return {};
  const size_t cut = name.find_last_of("\\/");
  return cut == std::string::npos ? std::string_view(name) : std::string_view(name).substr(cut + 1);
}

// Detect and expand on the file of `scan_record`: 1 with `copy` the scan-file record of the
// expanded copy, -6 not expandable, -2 failed (no copy is left). `kind` is the detection.
int expand_scan_file(const std::string& name, int scan_record, int& kind, int& copy) {
  copy = -1;
  const int handle = scan_file_handle(scan_record);
  unpack::TempCopy temp;
  const int rc = unpack::detect_and_expand(search_name_of(name), reader_of(handle), kind, temp);
  flush_file(handle);
  rewind_file(handle);
  if (rc != unpack::kExpanded) return rc;
  copy = adopt_temp_copy(temp);
  if (copy < 0) {
    unpack::close_temp_copy(temp, false);  // no scan-file record free: the ninth copy
    return -2;
  }
  return 1;
}

// The record of a file listed without its details gets the size of the file as it was
// opened, and its time when the 62-seconds check wants it (the only use of the time here;
// taking it costs a status call per file, which a quick check can spare).
FileRecord record_as_opened(const FileRecord& listed, int scan_record) {
  FileRecord r = listed;
  const int handle = scan_file_handle(scan_record);
  if (listed.details || handle < 1) return r;
  host::File& f = g_files.slots[size_t(handle - 1)].file;
  const bool time_wanted = driver::g_settings.sixty_two_seconds;
  if (!f.size_known || time_wanted) host::file_status(f);
  r.size = f.size_at_open;
  if (time_wanted && f.known) {
    uint16_t date = 0;
    host::dos_date_time(f.mtime_at_open, date, r.dos_time);
  }
  r.details = true;
  return r;
}

int64_t findings_count() { return driver::g_counters.pattern_findings + driver::g_counters.identity_findings; }

// analyse_file; with `checked` set, the identity of a file in which something was found is
// taken into it before the file is closed (`have_id` tells whether it could be): removal
// acts only on that same file, and a clean file costs no status call for it.
int analyse_and_close(const std::string& name, const FileRecord& record, int scan_record, host::FileId* checked,
                      bool* have_id) {
  Analysis a;
  a.handle = scan_file_handle(scan_record);
  a.size = record.size;
  a.length = int64_t(std::min<uint64_t>(record.size, kMaxObjectLength));
  driver::g_counters.bytes_checked += int64_t(record.size);
  const int64_t before = findings_count();
  Step step = Step::kSearch;

  if (driver::g_settings.check_identities) {
    const int64_t n = read_file(a.handle, g_scan.bytes.data(), kCodeWindow);
    if (n < 0) {
      step = Step::kReadError;
    } else {
      if (driver::g_settings.sixty_two_seconds && (record.dos_time & 0x1F) == 0x1F)
        findings::identity_report(msg::scan::kSixtyTwoSeconds);
      const uint8_t* b = g_scan.bytes.data();
      const bool exe = n >= 32 && ((b[0] == 'M' && b[1] == 'Z') || (b[0] == 'Z' && b[1] == 'M'));
      step = exe ? analyse_exe(a, n) : analyse_plain(a, n);
    }
  }
  if (step == Step::kSearch && driver::g_settings.full_check) {
    if (whole_file_search(a.handle, record.size, name.c_str()) != 0) step = Step::kReadError;
  }

  const bool infected = findings_count() != before;
  if (infected) ++driver::g_counters.infected_files;
  if (infected && checked != nullptr) *have_id = file_identity(a.handle, *checked) == 0;
  if (step == Step::kReadError) {
    driver::outputf(true, msg::scan::kCouldNotReadFile, name.c_str());
    close_after(scan_record, infected);
    return -4;
  }
  if (close_after(scan_record, infected) != 0) {
    driver::outputf(true, msg::scan::kCouldNotCloseFile, name.c_str());
    return -3;
  }
  return 0;
}

}  // namespace

int analyse_file(const std::string& name, const FileRecord& record, int scan_record) {
  return analyse_and_close(name, record, scan_record, nullptr, nullptr);
}

int detect_compression(int handle, std::string_view search_name) {
  const int kind = unpack::detect(search_name, reader_of(handle));
  flush_file(handle);
  rewind_file(handle);
  return kind;
}

int scan_file(const std::string& name, const FileRecord& listed, int& compression_kind) {
  compression_kind = 0;
  if (!driver::g_settings.server_mode) {
    if (!driver::g_settings.silent)
      driver::outputf(false, msg::scan::kListedFile, name.c_str());
    else if (g_scan_hooks.show_status)
      g_scan_hooks.show_status(name.c_str());
  }
  const int scan_record = open_scan_file(name);
  if (scan_record < 0) {
    driver::outputf(true, msg::scan::kCouldNotOpenFile, name.c_str());
    return -2;
  }
  const FileRecord record = record_as_opened(listed, scan_record);
  const int64_t infected_before = driver::g_counters.infected_files;
  ++driver::g_counters.files_checked;
  findings::set_file_location(name);
  int kept = 0;

  if (driver::g_settings.check_compressed) {
    int kind = 0, copy = -1;
    const int rc = expand_scan_file(name, scan_record, kind, copy);
    compression_kind = kind;
    if (rc == 1 && copy >= 0) {
      const int copy_handle = scan_file_handle(copy);
      const int64_t copy_size = seek_file(copy_handle, 0, 2);
      if (copy_size < 0 || seek_file(copy_handle, 0, 0) != 0) {
        close_scan_file(copy);
      } else {
        FileRecord copy_record = record;
        copy_record.size = uint64_t(copy_size);
        kept = analyse_file(name, copy_record, copy);
        compression_kind = 0;
        if (driver::g_counters.infected_files != infected_before) {
          // Found in the expanded copy: the file itself is not analysed and not removed.
          if (close_scan_file(scan_record) != 0) {
            driver::outputf(true, msg::scan::kCouldNotCloseFile, name.c_str());
            if (kept == 0) return -3;
          }
          return kept;
        }
      }
    } else if (copy >= 0) {
      close_scan_file(copy);
    }
  } else if (!driver::g_settings.check_compressed && driver::g_settings.warn_compressed) {
    if (findings::compression_check(name) != 0) kept = -2;
  }

  // The identity of the file checked goes to removal, which acts only on that same file.
  host::FileId checked;
  bool have_id = false;
  const int rc = analyse_and_close(name, record, scan_record, &checked, &have_id);
  if (rc != 0) return rc;
  if (driver::g_counters.infected_files != infected_before && g_scan_hooks.remove_file) {
    g_scan_hooks.remove_file(name, have_id ? &checked : nullptr);
  }
  return kept;
}

}  // namespace engine
