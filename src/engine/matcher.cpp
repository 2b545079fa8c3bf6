// The pattern matcher (see matcher.h).
#include "engine/matcher.h"

#include <algorithm>
#include <cstring>

#include "driver/base/console.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/identity.h"
#include "engine/scan.h"
#include "engine/scan_buffer.h"
#include "engine/wide_digest.h"
#include "findings/reports.h"
#include "virusdata/library.h"

namespace engine {

MatcherState g_matcher;

void reset_matcher() { g_matcher = MatcherState{}; }

namespace {

constexpr int kPresentBits = 17;
constexpr uint32_t kWordMultiplier = 0x9E3779B1u;
constexpr size_t kStride = 3;  // positions answered by one look-up of the pair table
constexpr size_t kChunk = 63;  // positions searched together: 21 look-ups
constexpr int kDigestFilterBits = 16;

inline uint32_t word_hash(uint32_t word) { return (word * kWordMultiplier) >> (32 - kPresentBits); }

// The four bytes from p, little-endian (one unaligned load where the machine allows it).
inline uint32_t word_at(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The two bytes from p as an index: the first byte high.
inline uint32_t pair_at(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }

inline uint64_t digest_value(const uint8_t d[8]) {
  return uint64_t(word_at(d)) | (uint64_t(word_at(d + 4)) << 32);
}

// The four bytes a record's signature ends with, as word_at() reads them from the buffer.
inline uint32_t tail_word(const virusdata::PatternRecord& rec) {
  return uint32_t(rec.tail[3]) | (uint32_t(rec.tail[2]) << 8) | (uint32_t(rec.tail[1]) << 16) |
         (uint32_t(rec.tail[0]) << 24);
}

// The bit of a group's digest in the digest filter.
inline uint32_t digest_filter_bit(uint64_t digest, uint32_t group) {
  return (uint32_t(digest >> 16) + group * 0x9E3779B1u) & ((uint32_t(1) << kDigestFilterBits) - 1);
}

const MatcherTail* find_tail(uint32_t word) {
  const std::vector<MatcherTail>& tails = g_matcher.tails;
  const size_t mask = tails.size() - 1;
  for (size_t s = word_hash(word) & mask;; s = (s + 1) & mask) {
    const MatcherTail& t = tails[s];
    if (t.groups == 0) return nullptr;
    if (t.word == word) return &t;
  }
}

}  // namespace

void prepare_matcher() {
  const virusdata::Library& lib = virusdata::g_library;
  const int32_t count = std::min<int32_t>(lib.pattern_count, int32_t(lib.pattern_table.size()));
  struct Item {
    uint32_t word;
    uint8_t length;
    uint64_t digest;
    int32_t record;
  };
  // Exactly the records the candidate test can reach: from each index entry while the stored
  // hash stays the same, whose last two bytes give that hash and whose length is valid.
  std::vector<Item> items;
  for (uint32_t h = 0; h < uint32_t(virusdata::kPatternIndexSize); ++h) {
    for (int32_t j = std::max<int32_t>(lib.pattern_index[h], 0); lib.pattern_index[h] >= 0 && j < count; ++j) {
      const virusdata::PatternRecord& rec = lib.pattern_table[size_t(j)];
      if (rec.hash != h) break;
      if (virusdata::pattern_hash(rec.tail[1], rec.tail[0]) != h) continue;
      if (rec.length < virusdata::kMinPatternBytes || rec.length > virusdata::kMaxPatternBytes) continue;
      items.push_back({tail_word(rec), rec.length, digest_value(rec.digest), j});
    }
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    if (a.word != b.word) return a.word < b.word;
    if (a.length != b.length) return a.length < b.length;
    if (a.digest != b.digest) return a.digest < b.digest;
    return a.record < b.record;
  });

  MatcherState& m = g_matcher;
  m.present.assign(size_t(1) << (kPresentBits - 6), 0);
  m.pair_seen.assign(size_t(1) << 16, 0);
  m.digest_filter.assign(size_t(1) << (kDigestFilterBits - 6), 0);
  size_t slots = 16;
  while (slots < items.size() * 2) slots *= 2;
  m.tails.assign(slots, MatcherTail{});
  m.groups.clear();
  m.entries.clear();
  for (size_t a = 0; a < items.size();) {
    MatcherTail tail;
    tail.word = items[a].word;
    tail.first_group = uint32_t(m.groups.size());
    for (; a < items.size() && items[a].word == tail.word;) {
      MatcherGroup group;
      group.length = items[a].length;
      group.first = uint32_t(m.entries.size());
      for (; a < items.size() && items[a].word == tail.word && items[a].length == group.length; ++a) {
        m.entries.push_back({items[a].digest, items[a].record});
        const uint32_t f = digest_filter_bit(items[a].digest, uint32_t(m.groups.size()));
        m.digest_filter[f >> 6] |= uint64_t(1) << (f & 63);
      }
      group.count = uint32_t(m.entries.size()) - group.first;
      tail.max_length = std::max(tail.max_length, group.length);
      m.groups.push_back(group);
      ++tail.groups;
    }
    // Bit j: the pair ends a tail j positions later (j = 0: its last two bytes).
    const uint32_t t0 = tail.word >> 24, t1 = (tail.word >> 16) & 0xFF, t2 = (tail.word >> 8) & 0xFF, t3 = tail.word & 0xFF;
    m.pair_seen[(t1 << 8) | t0] |= 1;
    m.pair_seen[(t2 << 8) | t1] |= 2;
    m.pair_seen[(t3 << 8) | t2] |= 4;
    const uint32_t h = word_hash(tail.word);
    m.present[h >> 6] |= uint64_t(1) << (h & 63);
    for (size_t s = h & (slots - 1);; s = (s + 1) & (slots - 1)) {
      if (m.tails[s].groups == 0) {
        m.tails[s] = tail;
        break;
      }
    }
  }
  m.ready = true;
  m.built_count = lib.pattern_count;
}

int confirm(size_t start, size_t count, const uint8_t digest[8]) {
  if (start > kScanBufferSize || count > kScanBufferSize - start) return 0;
  return pattern_digest(g_scan.bytes.data() + start, count) == digest_value(digest) ? 1 : 0;
}

namespace {

// Checksums of one chunk of up to 63 positions starting at `base`, by signature length: in a
// chunk with enough candidates, the first one of a length has all of them computed at once.
struct ChunkDigests {
  size_t base = 0;
  bool wide = false;         // the wide checksums are used in this chunk
  uint32_t ready = 0;        // bit L: digests[L] holds the chunk's checksums of length L
  uint32_t last_word = 0;    // the tail looked up last, and what was found
  const MatcherTail* last_tail = nullptr;
};

// Whether a (digest, group) may be among the entries: the digest's bits 16..31 (`key`)
// with the group mixed in.
inline bool digest_may_match(uint32_t key, uint32_t group) {
  const uint32_t f = digest_filter_bit(uint64_t(key) << 16, group);
  return ((g_matcher.digest_filter[f >> 6] >> (f & 63)) & 1) != 0;
}

// The pattern checksum of the signature of `length` bytes ending at i, when the digest
// filter lets it through for `group`; false when no entry of the group can have it.
bool digest_at(size_t i, size_t length, uint32_t group, ChunkDigests& chunk, uint64_t& digest) {
  const uint8_t* buf = g_scan.bytes.data();
  const uint32_t bit = uint32_t(1) << length;
  if (chunk.wide && (chunk.ready & bit) == 0) {
    wide_digests(buf + chunk.base - length + 1, length - 4, g_matcher.wide[length]);
    chunk.ready |= bit;
  }
  if (chunk.ready & bit) {
    // Two bytes of the lane decide most candidates; the other six only when they pass.
    const auto& lanes = g_matcher.wide[length];
    const size_t lane = i - chunk.base;
    if (!digest_may_match(uint32_t(lanes[2][lane]) | (uint32_t(lanes[3][lane]) << 8), group)) return false;
    digest = 0;
    for (int b = 7; b >= 0; --b) digest = (digest << 8) | lanes[b][lane];
    return true;
  }
  digest = pattern_digest(buf + (i - length + 1), length - 4);
  return digest_may_match(uint32_t(digest >> 16) & 0xFFFF, group);
}

// The records whose signature ends at position i (its four-byte tail is known to be in the
// tables' bitmap), reported in table order. `room` is the number of bytes from the start of
// the range up to and including i: a longer signature does not fit. When nothing matched
// and i lies inside a run of one byte value at least as long as the tail's longest
// signature, `resume` is set past the run (every position up to there sees the same bytes).
int candidates_at(size_t i, size_t room, size_t to, size_t& resume, ChunkDigests& chunk) {
  const uint8_t* buf = g_scan.bytes.data();
  const uint32_t word = word_at(buf + i - 3);
  // Candidates come in runs with the same tail (inside runs of zeros or blanks).
  if (word != chunk.last_word || !chunk.last_tail) {
    chunk.last_word = word;
    chunk.last_tail = find_tail(word);
  }
  const MatcherTail* tail = chunk.last_tail;
  if (!tail) return 0;
  std::vector<int32_t>& matched = g_matcher.matched;
  matched.clear();
  for (uint32_t g = tail->first_group; g < tail->first_group + tail->groups; ++g) {
    const MatcherGroup& group = g_matcher.groups[g];
    if (room < group.length) continue;
    uint64_t digest = 0;
    if (!digest_at(i, group.length, g, chunk, digest)) continue;
    const MatcherEntry* begin = g_matcher.entries.data() + group.first;
    const MatcherEntry* end = begin + group.count;
    const MatcherEntry* e = std::lower_bound(begin, end, digest, [](const MatcherEntry& x, uint64_t d) { return x.digest < d; });
    for (; e != end && e->digest == digest; ++e) matched.push_back(e->record);
  }
  if (matched.empty()) {
    const uint8_t c = buf[i];
    if (word == uint32_t(c) * 0x01010101u && room >= tail->max_length) {
      size_t k = i - tail->max_length + 1;
      while (k < i && buf[k] == c) ++k;
      if (k == i) {
        size_t j = i + 1;
        while (j <= to && buf[j] == c) ++j;
        resume = j;
      }
    }
    return 0;
  }
  std::sort(matched.begin(), matched.end());
  const virusdata::Library& lib = virusdata::g_library;
  for (const int32_t j : matched) findings::pattern_report(lib.pattern_table[size_t(j)].name);
  return int(matched.size());
}

// Pattern search of positions from..to (inclusive, from >= 1); a record fits when its
// length is at most i - fit_origin + 1.
int search_range(size_t from, size_t to, size_t fit_origin) {
  if (!g_matcher.ready || g_matcher.built_count != virusdata::g_library.pattern_count) prepare_matcher();
  if (g_matcher.entries.empty()) return 0;
  // No signature is shorter than four bytes: none fits before fit_origin + 3.
  size_t i = std::max(from, fit_origin + 3);
  const uint8_t* buf = g_scan.bytes.data();
  const uint64_t* present = g_matcher.present.data();
  const uint8_t* pair_seen = g_matcher.pair_seen.data();
  const bool wide = g_matcher.use_wide && wide_digests_available();
  int found = 0;
  while (i <= to) {
    // A chunk of up to 63 positions. First a byte look-up of the two bytes at every third
    // position says which of it and the next two positions may end a signature (the pair
    // is the last, middle or first two bytes of some tail), then the four bytes of those.
    const size_t n = std::min(kChunk, to - i + 1);
    uint64_t pairs = 0;
    if (n == kChunk) {
#pragma GCC unroll 21
      for (size_t k = 0; k < kChunk; k += kStride) pairs |= uint64_t(pair_seen[pair_at(buf + i + k - 1)]) << k;
    } else {
      for (size_t k = 0; k < n; k += kStride) pairs |= uint64_t(pair_seen[pair_at(buf + i + k - 1)]) << k;
      pairs &= (uint64_t(1) << n) - 1;
    }
    size_t next = i + n;
    if (pairs == 0) {
      i = next;
      continue;
    }
    // Then the positions whose four last bytes may end a signature.
    uint64_t tails = 0;
    for (uint64_t p = pairs; p != 0; p &= p - 1) {
      const size_t k4 = size_t(__builtin_ctzll(p));
      const uint32_t h = word_hash(word_at(buf + i + k4 - 3));
      tails |= ((present[h >> 6] >> (h & 63)) & 1) << k4;
    }
    if (tails == 0) {
      i = next;
      continue;
    }
    ChunkDigests chunk;
    chunk.base = i;
    // Every lane's window must lie inside the scan buffer.
    chunk.wide = wide && i >= size_t(virusdata::kMaxPatternBytes) - 1 && i + kWideLanes - 4 < kScanBufferSize;
    // All 64 checksums of a length cost about three single ones: worth it for four candidates.
    chunk.wide = chunk.wide && __builtin_popcountll(tails) >= 4;
    while (tails != 0) {
      const size_t pos = i + size_t(__builtin_ctzll(tails));
      tails &= tails - 1;
      size_t resume = pos + 1;
      found += candidates_at(pos, pos + 1 - fit_origin, to, resume, chunk);
      if (resume >= next) {
        next = resume;
        break;
      }
      if (resume > pos + 1) tails &= ~((uint64_t(1) << (resume - i)) - 1);
    }
    i = next;
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
