// The pattern matcher (see matcher.h).
#include "engine/matcher.h"

#include <algorithm>
#include <bit>
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

constexpr int kPresentBits = 17;  // tails hashed to 2^17 entries of two bits
constexpr int kHead8Bits = 17;
constexpr uint32_t kWordMultiplier = 0x9E3779B1u;
constexpr size_t kStride = 3;  // positions answered by one look-up of the pair table
constexpr size_t kChunk = 63;  // positions searched together: 21 look-ups
constexpr int kDigestFilterBits = 16;
constexpr int kHeadFilterBits = 16;
constexpr size_t kWholeReadPieces = 16;  // pieces the whole-file search reads at a time

inline uint32_t word_hash(uint32_t word) { return (word * kWordMultiplier) >> (32 - kPresentBits); }
inline uint32_t long_hash(uint64_t bytes) { return uint32_t((bytes * 0x9E3779B97F4A7C15ull) >> (64 - kHead8Bits)); }

// Bits of a tail's entry in MatcherState::present.
constexpr uint64_t kPresentAny = 1;    // some tail of the entry has records that need the full test
constexpr uint64_t kPresentHead8 = 2;  // some tail of the entry has records of 8 bytes or more
                                       // with known heads: head8 decides for them
// Bits of a pair's entry in MatcherState::pair_seen: bit j (0..2) when the pair lies j bytes
// before the end of some tail; bit 3 + j when it lies 3 + j bytes before the end of a
// record with a known head of eight bytes or more; kPairWeak when it ends a tail (bits 0..2)
// of a record that needs the full test, so that the earlier pair cannot be asked.
constexpr uint8_t kPairWeak = 0x40;

// The four bytes from p, little-endian (one unaligned load where the machine allows it).
inline uint32_t word_at(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
  return w;
}

// The eight bytes from p, little-endian.
inline uint64_t long_at(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// The two bytes from p as a pair_seen index.
inline uint32_t pair_index(uint32_t first, uint32_t second) { return first | (second << 8); }
inline uint32_t pair_at(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap16(v);
  return v;
}

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

// The last (up to) four bytes of a head of `head_length` bytes that ends just before `end`,
// read little-endian.
inline uint32_t head_key(const uint8_t* end, size_t head_length) {
  if (head_length >= 4) return word_at(end - 4);
  uint32_t key = 0;
  for (size_t k = head_length; k > 0; --k) key = (key << 8) | end[-ptrdiff_t(k)];
  return key;
}

// The bit of a group's head key in the head filter.
inline uint32_t head_filter_bit(uint32_t key, uint32_t group) {
  return ((key ^ (group * 0x85EBCA6Bu)) * kWordMultiplier) >> (32 - kHeadFilterBits);
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
    bool head_known;
    uint64_t digest;  // the head key for a record whose head is known
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
      const size_t head_length = size_t(rec.length) - 4;
      const uint64_t key = rec.head_known ? head_key(rec.head + head_length, head_length) : digest_value(rec.digest);
      items.push_back({tail_word(rec), rec.length, rec.head_known, key, j});
    }
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    if (a.word != b.word) return a.word < b.word;
    if (a.length != b.length) return a.length < b.length;
    if (a.head_known != b.head_known) return b.head_known;
    if (a.digest != b.digest) return a.digest < b.digest;
    return a.record < b.record;
  });

  MatcherState& m = g_matcher;
  // When every record knows its last eight bytes, no pair is weak.
  m.all_long = std::all_of(items.begin(), items.end(), [](const Item& it) { return it.head_known && it.length >= 8; });
  m.present.assign(size_t(1) << (kPresentBits - 5), 0);
  m.head8.assign(size_t(1) << (kHead8Bits - 6), 0);
  m.pair_seen.assign(size_t(1) << 16, 0);
  m.digest_filter.assign(size_t(1) << (kDigestFilterBits - 6), 0);
  m.head_filter.assign(size_t(1) << (kHeadFilterBits - 6), 0);
  size_t slots = 16;
  while (slots < items.size() * 2) slots *= 2;
  m.tails.assign(slots, MatcherTail{});
  m.groups.clear();
  m.entries.clear();
  m.heads.clear();
  for (size_t a = 0; a < items.size();) {
    MatcherTail tail;
    tail.word = items[a].word;
    tail.first_group = uint32_t(m.groups.size());
    uint64_t kinds = 0;  // kPresentAny and kPresentHead8 as the tail's records need them
    for (; a < items.size() && items[a].word == tail.word;) {
      MatcherGroup group;
      group.length = items[a].length;
      group.first = uint32_t(m.entries.size());
      group.head_first = uint32_t(m.heads.size());
      const uint32_t g = uint32_t(m.groups.size());
      for (; a < items.size() && items[a].word == tail.word && items[a].length == group.length; ++a) {
        if (items[a].head_known) {
          m.heads.push_back({uint32_t(items[a].digest), items[a].record});
          const uint32_t f = head_filter_bit(uint32_t(items[a].digest), g);
          m.head_filter[f >> 6] |= uint64_t(1) << (f & 63);
          if (group.length >= 8) {
            // Its last eight bytes as they lie in the buffer: the head's last four, the tail.
            const uint64_t last8 = items[a].digest | (uint64_t(tail.word) << 32);
            const uint32_t b = long_hash(last8);
            m.head8[b >> 6] |= uint64_t(1) << (b & 63);
            kinds |= kPresentHead8;
            // The pairs three to five bytes before the tail's end pairs.
            for (int j = 3; j <= 5; ++j)
              m.pair_seen[pair_index((last8 >> (8 * (6 - j))) & 0xFF, (last8 >> (8 * (7 - j))) & 0xFF)] |= uint8_t(1 << j);
          } else {
            kinds |= kPresentAny;
          }
        } else {
          kinds |= kPresentAny;
          m.entries.push_back({items[a].digest, items[a].record});
          const uint32_t f = digest_filter_bit(items[a].digest, g);
          m.digest_filter[f >> 6] |= uint64_t(1) << (f & 63);
        }
      }
      group.count = uint32_t(m.entries.size()) - group.first;
      group.head_count = uint32_t(m.heads.size()) - group.head_first;
      tail.max_length = std::max(tail.max_length, group.length);
      m.groups.push_back(group);
      ++tail.groups;
    }
    // Bit j: the pair ends a tail j positions later (j = 0: its last two bytes).
    const uint32_t t0 = tail.word >> 24, t1 = (tail.word >> 16) & 0xFF, t2 = (tail.word >> 8) & 0xFF, t3 = tail.word & 0xFF;
    const uint8_t weak = (kinds & kPresentAny) != 0 ? kPairWeak : 0;
    m.pair_seen[pair_index(t1, t0)] |= uint8_t(1 | weak);
    m.pair_seen[pair_index(t2, t1)] |= uint8_t(2 | weak);
    m.pair_seen[pair_index(t3, t2)] |= uint8_t(4 | weak);
    const uint32_t h = word_hash(tail.word);
    m.present[h >> 5] |= kinds << ((h & 31) * 2);
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

// The bytes searched: the scan buffer, or the whole-file search's read buffer.
struct Span {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// Checksums of one chunk of up to 63 positions starting at `base`, by signature length: in a
// chunk with enough candidates, the first one of a length has all of them computed at once.
struct ChunkDigests {
  size_t base = 0;
  bool wide = false;         // the wide checksums are used in this chunk
  uint32_t ready = 0;        // bit L: digests[L] holds the chunk's checksums of length L
  uint32_t last_word = 0;    // the tail looked up last, and what was found
  const MatcherTail* last_tail = nullptr;
  size_t run_last = 0;       // buf[run_start .. run_last] all hold run_byte (when run_last > 0)
  size_t run_start = 0;
  uint8_t run_byte = 0;
};

// Whether a (digest, group) may be among the entries: the digest's bits 16..31 (`key`)
// with the group mixed in.
inline bool digest_may_match(uint32_t key, uint32_t group) {
  const uint32_t f = digest_filter_bit(uint64_t(key) << 16, group);
  return ((g_matcher.digest_filter[f >> 6] >> (f & 63)) & 1) != 0;
}

// The pattern checksum of the signature of `length` bytes ending at i, when the digest
// filter lets it through for `group`; false when no entry of the group can have it.
bool digest_at(const Span& span, size_t i, size_t length, uint32_t group, ChunkDigests& chunk, uint64_t& digest) {
  const uint8_t* buf = span.data;
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

// The records of `group` (number g) whose head equals the bytes before the tail ending at i,
// added to `matched`.
void heads_at(const uint8_t* buf, size_t i, const MatcherGroup& group, uint32_t g, std::vector<int32_t>& matched) {
  const size_t head_length = size_t(group.length) - 4;
  const uint8_t* head_end = buf + i - 3;
  const uint32_t key = head_key(head_end, head_length);
  const uint32_t f = head_filter_bit(key, g);
  if (((g_matcher.head_filter[f >> 6] >> (f & 63)) & 1) == 0) return;
  const MatcherHead* begin = g_matcher.heads.data() + group.head_first;
  const MatcherHead* end = begin + group.head_count;
  const MatcherHead* h = std::lower_bound(begin, end, key, [](const MatcherHead& x, uint32_t k) { return x.key < k; });
  const virusdata::Library& lib = virusdata::g_library;
  for (; h != end && h->key == key; ++h) {
    const virusdata::PatternRecord& rec = lib.pattern_table[size_t(h->record)];
    if (std::memcmp(head_end - head_length, rec.head, head_length) == 0) matched.push_back(h->record);
  }
}

// The records whose signature ends at position i (its four-byte tail is known to be in the
// tables' bitmap), reported in table order. `room` is the number of bytes from the start of
// the range up to and including i: a longer signature does not fit. When nothing matched
// and i lies inside a run of one byte value at least as long as the tail's longest
// signature, `resume` is set past the run (every position up to there sees the same bytes).
int candidates_at(const Span& span, size_t i, size_t room, size_t to, size_t& resume, ChunkDigests& chunk) {
  const uint8_t* buf = span.data;
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
    if (group.head_count != 0) heads_at(buf, i, group, g, matched);
    if (group.count == 0) continue;
    uint64_t digest = 0;
    if (!digest_at(span, i, group.length, g, chunk, digest)) continue;
    const MatcherEntry* begin = g_matcher.entries.data() + group.first;
    const MatcherEntry* end = begin + group.count;
    const MatcherEntry* e = std::lower_bound(begin, end, digest, [](const MatcherEntry& x, uint64_t d) { return x.digest < d; });
    for (; e != end && e->digest == digest; ++e) matched.push_back(e->record);
  }
  if (matched.empty()) {
    const uint8_t c = buf[i];
    if (word == uint32_t(c) * 0x01010101u && room >= tail->max_length) {
      // Where the run starts, at most the longest signature back: known from the position
      // before when that was in the same run.
      const size_t lowest = i - tail->max_length + 1;
      size_t start = i - 3;
      if (chunk.run_last != 0 && chunk.run_last + 1 == i && chunk.run_byte == c) {
        start = chunk.run_start;
      } else {
        while (start > lowest && buf[start - 1] == c) --start;
      }
      chunk.run_last = i;
      chunk.run_start = start;
      chunk.run_byte = c;
      if (start <= lowest) {
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

// The positions of a whole chunk from p that pass the pair test when no pair is weak: bit k
// when the pair ending at p[k - k % 3] lies k % 3 bytes before the end of some signature and
// the pair three bytes earlier lies k % 3 + 3 bytes before it. `earlier` is the entry of the
// pair ending at p[-3]. Kept out of line: alone, the unrolled look-ups keep to registers.
[[gnu::noinline]] uint64_t strong_pairs(const uint8_t* p, const uint8_t* pair_seen, uint32_t earlier) {
  uint64_t pairs = 0;
#pragma GCC unroll 21
  for (size_t k = 0; k < kChunk; k += kStride) {
    const uint32_t v = pair_seen[pair_at(p + k - 1)];
    pairs |= uint64_t(v & (earlier >> 3) & 7) << k;
    earlier = v;
  }
  return pairs;
}

// The same for the first n positions from p when some pair may be weak: a weak pair passes
// its offsets without the earlier pair. Inlined, so that a whole chunk's loop is unrolled.
[[gnu::always_inline]] inline uint64_t pairs_allowing_weak(const uint8_t* p, size_t n, const uint8_t* pair_seen,
                                                           uint32_t earlier) {
  uint64_t pairs = 0;
#pragma GCC unroll 21
  for (size_t k = 0; k < n; k += kStride) {
    const uint32_t v = pair_seen[pair_at(p + k - 1)];
    pairs |= uint64_t(v & ((earlier >> 3) | (0u - (v >> 6))) & 7) << k;
    earlier = v;
  }
  return pairs;
}

// Pattern search of positions from..to (inclusive, from >= 1, to < span.size); a record fits
// when its length is at most i - fit_origin + 1.
int search_range(const Span& span, size_t from, size_t to, size_t fit_origin) {
  if (!g_matcher.ready || g_matcher.built_count != virusdata::g_library.pattern_count) prepare_matcher();
  if (g_matcher.entries.empty() && g_matcher.heads.empty()) return 0;
  // No signature is shorter than four bytes: none fits before fit_origin + 3.
  size_t i = std::max(from, fit_origin + 3);
  const uint8_t* buf = span.data;
  const uint64_t* present = g_matcher.present.data();
  const uint64_t* head8 = g_matcher.head8.data();
  const uint8_t* pair_seen = g_matcher.pair_seen.data();
  const bool wide = g_matcher.use_wide && wide_digests_available();
  const bool all_long = g_matcher.all_long;
  int found = 0;
  while (i <= to) {
    // A chunk of up to 63 positions. First a byte look-up of the two bytes at every third
    // position says which of it and the next two positions may end a signature (the pair
    // is the last, middle or first two bytes of some tail); unless the pair is weak, the
    // pair three bytes earlier must agree (it lies three bytes further from the end of the
    // same signature). Then the four or eight last bytes of the positions that passed.
    const size_t n = std::min(kChunk, to - i + 1);
    uint64_t pairs = 0;
    // Before the buffer's fourth byte there is no earlier pair: let every offset pass.
    uint32_t earlier = i >= 4 ? pair_seen[pair_at(buf + i - 4)] : 0xFF;
    if (all_long && n == kChunk) {
      pairs = strong_pairs(buf + i, pair_seen, earlier);
    } else if (n == kChunk) {
      pairs = pairs_allowing_weak(buf + i, kChunk, pair_seen, earlier);
    } else {
      pairs = pairs_allowing_weak(buf + i, n, pair_seen, earlier) & ((uint64_t(1) << n) - 1);
    }
    size_t next = i + n;
    if (pairs == 0) {
      i = next;
      continue;
    }
    // Then the positions whose four last bytes may end a signature; where only records with
    // known heads of eight bytes or more can, their last eight bytes decide. Without branches:
    // the outcome changes from position to position.
    uint64_t tails = 0;
    if (i >= 7) {
      for (uint64_t p = pairs; p != 0; p &= p - 1) {
        const size_t k4 = size_t(__builtin_ctzll(p));
        const uint8_t* end = buf + i + k4;
        const uint32_t h = word_hash(word_at(end - 3));
        const uint64_t kinds = present[h >> 5] >> ((h & 31) * 2);
        const uint64_t last8 = long_at(end - 7);
        const uint32_t b = long_hash(last8);
        const uint64_t pass = (kinds | ((kinds >> 1) & (head8[b >> 6] >> (b & 63)))) & 1;
        tails |= pass << k4;
        if (pass == 0 && last8 == (last8 & 0xFF) * 0x0101010101010101ull) {
          // Inside a run of one byte value every later position of the run has these same
          // eight bytes, and fails alike: go on behind the run.
          const uint64_t run = last8;
          size_t j = i + k4 + 1;
          while (j + 8 <= to + 1 && long_at(buf + j) == run) j += 8;
          while (j <= to && buf[j] == uint8_t(run)) ++j;
          if (j >= next) {
            next = j;
            break;
          }
          // Keep the positions from j on; bit 0 stands in for the one the loop clears next.
          p = (p & ~((uint64_t(1) << (j - i)) - 1)) | 1;
        }
      }
    } else {
      for (uint64_t p = pairs; p != 0; p &= p - 1) {
        const size_t k4 = size_t(__builtin_ctzll(p));
        const uint32_t h = word_hash(word_at(buf + i + k4 - 3));
        tails |= uint64_t((present[h >> 5] >> ((h & 31) * 2) & (kPresentAny | kPresentHead8)) != 0) << k4;
      }
    }
    if (tails == 0) {
      i = next;
      continue;
    }
    ChunkDigests chunk;
    chunk.base = i;
    // Every lane's window must lie inside the buffer.
    chunk.wide = wide && i >= size_t(virusdata::kMaxPatternBytes) - 1 && i + kWideLanes - 4 < span.size;
    // All 64 checksums of a length cost about three single ones: worth it for four candidates
    // (some bit is left after the lowest three are cleared).
    uint64_t beyond_three = tails & (tails - 1);
    beyond_three &= beyond_three - 1;
    beyond_three &= beyond_three - 1;
    chunk.wide = chunk.wide && beyond_three != 0;
    while (tails != 0) {
      const size_t pos = i + size_t(__builtin_ctzll(tails));
      tails &= tails - 1;
      size_t resume = pos + 1;
      found += candidates_at(span, pos, pos + 1 - fit_origin, to, resume, chunk);
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
  return search_range(Span{buf, kScanBufferSize}, first + 1, last, first) > 0 ? 1 : 0;
}

int whole_file_search(int handle, uint64_t size, const char* file_name) {
  if (seek_file(handle, 0, 0) != 0) return -4;
  std::vector<uint8_t>& bytes = g_matcher.file_bytes;
  bytes.resize(kCarryOver + kWholeReadPieces * kPieceSize);
  std::fill(bytes.begin(), bytes.begin() + kCarryOver, uint8_t(0));  // nothing of an earlier file
  const Span span{bytes.data(), bytes.size()};
  // The first read takes what the file's buffer already holds from the header analysis.
  size_t want = kFileBufferSize;
  bool piecewise = false;
  uint64_t total = 0;
  // Before every piece (and before learning that none follows): the status display and the
  // quit poll.
  const auto before_piece = [file_name] {
    if (driver::g_settings.silent && g_scan_hooks.show_status) g_scan_hooks.show_status(file_name);
    driver::poll_quit();
  };
  for (;;) {
    const int64_t n = read_file(handle, bytes.data() + kCarryOver, piecewise ? kPieceSize : want);
    if (n < 0 && !piecewise) {
      // The layer keeps the position: read again a piece at a time up to the failing one.
      piecewise = true;
      continue;
    }
    if (n <= 0) {
      before_piece();
      if (n < 0) return -4;
      break;
    }
    for (size_t at = 0; at < size_t(n); at += kPieceSize) {
      before_piece();
      // In the file's first piece a signature must lie wholly behind the carry-over; later,
      // the bytes before the piece are the file's, so any length fits.
      const size_t fit_origin = total == 0 && at == 0 ? kCarryOver : 0;
      const size_t piece = std::min(kPieceSize, size_t(n) - at);
      search_range(span, kCarryOver + at, kCarryOver + at + piece - 1, fit_origin);
    }
    total += uint64_t(n);
    std::memmove(bytes.data(), bytes.data() + size_t(n), kCarryOver);
    want = kWholeReadPieces * kPieceSize;
  }
  return total == size ? 0 : -4;
}

}  // namespace engine
