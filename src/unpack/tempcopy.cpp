// Temporary expanded copies and detect-and-expand.
//
// Owns the table of copies in existence (at most kMaxTempCopies) and the name counter. A copy
// is created with "must not exist" semantics and kept open on that handle until it is closed:
// nothing ever opens it again by name, so no other file can be slipped in under the name
// between creation and checking. Closing shreds through the same handle when asked, then
// deletes the name.
#include <cstdio>
#include <cstring>

#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "unpack/decoders.h"
#include "unpack/unpack.h"

namespace unpack {

TempCopies g_temp_copies;
UnpackHooks g_unpack_hooks;
UnpackState g_unpack;

namespace {

// Deletes copies that are still in the table when the process ends (the stop routine ends
// the program through exit(), which runs this destructor).
struct ExitCleanup {
  ~ExitCleanup() { discard_temp_copies(); }
} g_exit_cleanup;

constexpr char kProgressText[] = "  Decompressing ...\r";
constexpr int kProgressWidth = int(sizeof(kProgressText)) - 2;  // without "\r" and terminator

constexpr size_t kReadChunk = 65536;

std::string temp_directory() {
  if (!driver::g_state.temp_dir.empty()) return driver::g_state.temp_dir;
  return host::get_env("TMP").value_or(".");
}

void free_entry(int index, const std::string& path) {
  if (index >= 0 && index < kMaxTempCopies && g_temp_copies.paths[size_t(index)] == path)
    g_temp_copies.paths[size_t(index)].clear();
}

// Overwrites the whole file through its handle with the overwrite block.
int shred_through(host::File& file) {
  uint64_t size = 0;
  if (host::file_size(file, size) != 0) return -1;
  if (host::seek_file(file, 0, 0, nullptr) != 0) return -1;
  for (uint64_t written = 0; written < size; written += kOverwriteBlockSize)
    if (host::write_file(file, kOverwriteBlock, kOverwriteBlockSize) != 0) return -1;
  return 0;
}

// Reads the packed file from its start, up to kMaxInputBytes (+1 to notice a longer file).
int read_all(const ReadAt& read_at, std::vector<uint8_t>& bytes) {
  bytes.clear();
  for (;;) {
    const size_t have = bytes.size();
    if (have > kMaxInputBytes) return -2;
    bytes.resize(have + kReadChunk);
    const int64_t r = read_at(have, bytes.data() + have, kReadChunk);
    if (r < 0) return -2;
    bytes.resize(have + size_t(r));
    if (r == 0) return 0;
  }
}

void progress_tick() {
  driver::poll_quit();
  if (g_unpack_hooks.spin) g_unpack_hooks.spin();
}

}  // namespace

TempCopy::~TempCopy() { close_temp_copy(*this, false); }

TempCopy::TempCopy(TempCopy&& other) noexcept
    : file(std::move(other.file)), name(std::move(other.name)), path(std::move(other.path)), index(other.index) {
  other.index = -1;
  other.name.clear();
  other.path.clear();
}

TempCopy& TempCopy::operator=(TempCopy&& other) noexcept {
  if (this != &other) {
    close_temp_copy(*this, false);
    file = std::move(other.file);
    name = std::move(other.name);
    path = std::move(other.path);
    index = other.index;
    other.index = -1;
    other.name.clear();
    other.path.clear();
  }
  return *this;
}

void reset_temp_copies() {
  discard_temp_copies();
  g_temp_copies.counter = 0;
}

void discard_temp_copies() {
  for (std::string& path : g_temp_copies.paths) {
    if (path.empty()) continue;
    host::delete_file(path);
    path.clear();
  }
}

int create_temp_copy(TempCopy& out) {
  close_temp_copy(out, false);
  int index = -1;
  for (int i = 0; i < kMaxTempCopies; ++i)
    if (g_temp_copies.paths[size_t(i)].empty()) {
      index = i;
      break;
    }
  if (index < 0) return -2;

  std::string dir = temp_directory();
  if (dir.empty() || (dir.back() != '\\' && dir.back() != '/')) dir += '\\';
  const unsigned pid = host::process_id() & 0xFFFF;
  for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
    char name[16];
    std::snprintf(name, sizeof name, "%4.4X%4.4X.$$$", pid, unsigned(g_temp_copies.counter));
    ++g_temp_copies.counter;
    const std::string path = dir + name;
    host::File file;
    if (host::open_file(path, host::kAccessRead | host::kAccessWrite, host::kShareNone, host::kCreateNew, file) != 0)
      continue;
    out.file = std::move(file);
    out.name = name;
    out.path = path;
    out.index = index;
    g_temp_copies.paths[size_t(index)] = path;
    return 0;
  }
  return -2;
}

int close_temp_copy(TempCopy& copy, bool shred) {
  if (!copy.active()) return 0;
  int result = 0;
  if (copy.file.is_open()) {
    if (shred && shred_through(copy.file) != 0) result = -1;
    if (host::close_file(copy.file) != 0) result = -1;
  } else if (shred) {
    result = -1;  // the handle was given away: the copy cannot be shredded through it
  }
  if (host::delete_file(copy.path) != 0) result = -1;
  free_entry(copy.index, copy.path);
  copy.index = -1;
  copy.name.clear();
  copy.path.clear();
  return result;
}

int expand_into(int kind, const ReadAt& read_at, TempCopy& copy) {
  if (!copy.active() || !copy.file.is_open()) return -2;
  std::vector<uint8_t> packed;
  if (read_all(read_at, packed) != 0) return -2;
  std::vector<uint8_t> expanded;
  if (expand_kind(kind, packed, expanded, progress_tick) != 0) return -2;
  packed = {};
  if (host::seek_file(copy.file, 0, 0, nullptr) != 0) return -2;
  if (!expanded.empty() && host::write_file(copy.file, expanded.data(), expanded.size()) != 0) return -2;
  if (host::seek_file(copy.file, 0, 0, nullptr) != 0) return -2;
  return 0;
}

int detect_and_expand(std::string_view search_name, const ReadAt& read_at, int& kind, TempCopy& copy) {
  close_temp_copy(copy, false);
  kind = detect(search_name, read_at);
  if (!is_expandable(kind)) return -6;
  if (create_temp_copy(copy) != 0) return -2;

  const bool show = !driver::g_settings.server_mode && !driver::g_settings.silent;
  if (show) {
    driver::console_printf("%s", kProgressText);
    g_unpack.decompressing = true;
  }
  const int r = expand_into(kind, read_at, copy);
  if (show) {
    driver::erase_line(kProgressWidth);
    g_unpack.decompressing = false;
  }
  if (r != 0) {
    close_temp_copy(copy, false);
    return -2;
  }
  return kExpanded;
}

}  // namespace unpack
