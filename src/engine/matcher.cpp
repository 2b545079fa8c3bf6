// The pattern matcher (see matcher.h).
#include "engine/matcher.h"

#include <cstring>

#include "driver/base/console.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/identity.h"
#include "engine/scan.h"
#include "engine/scan_buffer.h"
#include "findings/reports.h"
#include "virusdata/checksum.h"
#include "virusdata/library.h"

namespace engine {

MatcherState g_matcher;

void reset_matcher() { g_matcher = MatcherState{}; }

void prepare_matcher() {
  const virusdata::Library& lib = virusdata::g_library;
  g_matcher.present.fill(0);
  for (uint32_t h = 0; h < uint32_t(virusdata::kPatternIndexSize); ++h) {
    const int32_t e = lib.pattern_index[h];
    if (e >= 0 && e < lib.pattern_count) g_matcher.present[h >> 6] |= uint64_t(1) << (h & 63);
  }
  g_matcher.ready = true;
  g_matcher.built_count = lib.pattern_count;
}

int confirm(size_t start, size_t count, const uint8_t digest[8]) {
  if (start > kScanBufferSize || count > kScanBufferSize - start) return 0;
  uint32_t w0 = 0, w1 = 0;
  virusdata::checksum64_of(virusdata::kPatternKey, g_scan.bytes.data() + start, int32_t(count), w0, w1);
  const uint8_t value[8] = {uint8_t(w0), uint8_t(w0 >> 8), uint8_t(w0 >> 16), uint8_t(w0 >> 24),
                            uint8_t(w1), uint8_t(w1 >> 8), uint8_t(w1 >> 16), uint8_t(w1 >> 24)};
  return std::memcmp(value, digest, 8) == 0 ? 1 : 0;
}

namespace {

// The records of hash h ending at position i. `room` is the number of bytes from the start
// of the range up to and including i: a record longer than that does not fit. Returns the
// number of records reported.
int candidates_at(size_t i, uint32_t h, size_t room) {
  const virusdata::Library& lib = virusdata::g_library;
  const int32_t count = lib.pattern_count;
  int32_t j = lib.pattern_index[h];
  if (j < 0 || j >= count) return 0;
  const uint8_t* buf = g_scan.bytes.data();
  // Digests computed at this position, one per signature length (shared by the records).
  uint32_t computed = 0;
  uint8_t digests[virusdata::kMaxPatternBytes + 1][8];
  int found = 0;
  for (; j < count; ++j) {
    const virusdata::PatternRecord& rec = lib.pattern_table[size_t(j)];
    if (rec.hash != h) break;
    if (rec.tail[0] != buf[i] || rec.tail[1] != buf[i - 1]) continue;
    const size_t len = rec.length;
    if (len < size_t(virusdata::kMinPatternBytes) || len > size_t(virusdata::kMaxPatternBytes) || room < len) continue;
    if (rec.tail[2] != buf[i - 2] || rec.tail[3] != buf[i - 3]) continue;
    if (!(computed & (1u << len))) {
      uint32_t w0 = 0, w1 = 0;
      virusdata::checksum64_of(virusdata::kPatternKey, buf + (i - len + 1), int32_t(len - 4), w0, w1);
      uint8_t* d = digests[len];
      d[0] = uint8_t(w0), d[1] = uint8_t(w0 >> 8), d[2] = uint8_t(w0 >> 16), d[3] = uint8_t(w0 >> 24);
      d[4] = uint8_t(w1), d[5] = uint8_t(w1 >> 8), d[6] = uint8_t(w1 >> 16), d[7] = uint8_t(w1 >> 24);
      computed |= 1u << len;
    }
    if (std::memcmp(digests[len], rec.digest, 8) != 0) continue;
    findings::pattern_report(rec.name);
    ++found;
  }
  return found;
}

// Pattern search of positions from..to (inclusive, from >= 1); a record fits when its
// length is at most i - fit_origin + 1.
int search_range(size_t from, size_t to, size_t fit_origin) {
  if (!g_matcher.ready || g_matcher.built_count != virusdata::g_library.pattern_count) prepare_matcher();
  const uint8_t* buf = g_scan.bytes.data();
  const uint64_t* present = g_matcher.present.data();
  int found = 0;
  uint32_t prev = buf[from - 1];
  for (size_t i = from; i <= to; ++i) {
    const uint32_t cur = buf[i];
    const uint32_t h = ((prev << 6) ^ cur) & 0x3FFF;
    prev = cur;
    if ((present[h >> 6] >> (h & 63)) & 1) found += candidates_at(i, h, i + 1 - fit_origin);
  }
  return found;
}

}  // namespace

int buffer_search(size_t first, size_t last) {
  if (last >= kScanBufferSize) last = kScanBufferSize - 1;
  if (first > last) return 0;
  driver::g_counters.bytes_checked += int64_t(last - first + 1);
  uint8_t* buf = g_scan.bytes.data();
  if (driver::g_settings.check_identities) {
    const size_t n = last + 1;
    if (identity_search(-1, int64_t(n), 0, int64_t(n), 0) == kIdentityFound) return 1;
    size_t t = n;
    if (n >= 3 && (buf[0] == 0xE9 || buf[0] == 0xE8))
      t = size_t(buf[1] | (buf[2] << 8)) + 3;
    else if (n >= 2 && buf[0] == 0xEB)
      t = size_t(buf[1]) + 2;
    if (t < n) {
      // The jump target moves to index 0; the bytes behind the moved block stay as they were.
      std::memmove(buf, buf + t, n - t);
      if (identity_search(-1, int64_t(n - t), 0, int64_t(n - t), 0) == kIdentityFound) return 1;
    }
  }
  return search_range(first + 1, last, first) > 0 ? 1 : 0;
}

int whole_file_search(int handle, uint64_t size, const char* file_name) {
  if (seek_file(handle, 0, 0) != 0) return -4;
  uint64_t total = 0;
  uint8_t* buf = g_scan.bytes.data();
  for (;;) {
    if (driver::g_settings.silent && g_scan_hooks.show_status) g_scan_hooks.show_status(file_name);
    driver::poll_quit();
    const int64_t n = read_file(handle, buf + kCarryOver, kPieceSize);
    if (n < 0) return -4;
    if (n == 0) break;
    // In the first piece a signature must lie wholly behind the carry-over; later, the
    // carry-over holds the previous piece's last 23 bytes, so any length fits.
    const size_t fit_origin = total == 0 ? kCarryOver : 0;
    search_range(kCarryOver, kCarryOver + size_t(n) - 1, fit_origin);
    total += uint64_t(n);
    std::memmove(buf, buf + size_t(n), kCarryOver);
  }
  return total == size ? 0 : -4;
}

}  // namespace engine
