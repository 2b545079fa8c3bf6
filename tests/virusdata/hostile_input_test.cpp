// Hostile input: seeded mutations of sound streams, identity texts, built-in headers and
// pattern lines. Every loader must give one of its results and leave the library sound
// (checked best under the sanitizer build, where a stray read fails the run).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "vd_test_util.h"
#include "virusdata/library.h"

namespace {

using namespace virusdata;
using namespace vdtest;

constexpr int kRounds = 2000;

Bytes mutate(Bytes b, std::mt19937& rng) {
  const int edits = 1 + int(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    switch (rng() % 5) {
      case 0:
        if (!b.empty()) b[rng() % b.size()] ^= uint8_t(1u << (rng() % 8));
        break;
      case 1:
        if (!b.empty()) b.resize(rng() % b.size());
        break;
      case 2:
        b.insert(b.begin() + long(rng() % (b.size() + 1)), uint8_t(rng()));
        break;
      case 3:
        if (!b.empty()) b[rng() % b.size()] = uint8_t(rng() % 2 ? 0xFF : 0x00);
        break;
      default:
        if (!b.empty()) b.erase(b.begin() + long(rng() % b.size()));
        break;
    }
  }
  return b;
}

// Every list link leads to a record, and every record is long enough for its list's key.
void expect_sound_library() {
  const auto n = int32_t(g_library.records.size());
  auto walk = [&](int32_t head, size_t min_length) {
    int steps = 0;
    for (int32_t i = head; i != kNoRecord; i = g_library.records[size_t(i)].next) {
      ASSERT_TRUE(i >= 0 && i < n);
      ASSERT_LE(++steps, n);  // no cycle
      const auto& r = g_library.records[size_t(i)];
      ASSERT_GE(r.program.size(), min_length);
      ASSERT_LE(r.program.size(), kMaxProgramLength);
      ASSERT_TRUE(r.name >= 0 && size_t(r.name) < g_library.names.size());
      ASSERT_LE(record_name(r).size(), kMaxEntryName);
    }
  };
  for (int32_t h : g_library.pair_lists) walk(h, 3);
  for (int32_t h : g_library.first_byte_lists) walk(h, 2);
  for (int32_t h : g_library.length_lists) walk(h, 3);
  walk(g_library.general_list, 1);
  // Deletion finds records by name through slots_by_name: every listed record's name slot
  // must be there under its current name, and nothing else.
  for (const auto& [key, slots] : g_library.slots_by_name)
    for (int32_t slot : slots) ASSERT_EQ(g_library.names[size_t(slot)], key);
  for (const auto& r : g_library.records) {
    const auto it = g_library.slots_by_name.find(record_name(r));
    ASSERT_NE(it, g_library.slots_by_name.end());
    ASSERT_NE(std::find(it->second.begin(), it->second.end(), r.name), it->second.end());
  }
}

const Bytes& seed_stream() {
  static const Bytes s = stream({entry("Pair", {{0xFB, 0x4D, 0x5A, 0x77, 0x01}, {0xB4}}),
                                 entry("First", {{0xFC, 0xE9, 0x01}}), entry("Length", {{0x03, 0x12, 0x34}}),
                                 entry("Other", {{0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A}}),
                                 entry("Pair", {{0xB4}}), entry("Other", {{0x44}, {0xB4}, {0x45}}),
                                 entry("", {{0x46}}), entry("", {{0xB4}})});
  return s;
}

TEST(HostileInput, MutatedStreams) {
  std::mt19937 rng(20261210);
  for (int round = 0; round < kRounds; ++round) {
    Fresh f;
    const Bytes s = mutate(seed_stream(), rng);
    StreamSource src = memory_source(SourceKind::kVdl, s);
    const int r = load_stream(src);
    ASSERT_TRUE(r == 0 || r == kStreamCorrupt || r == kStreamIncompatible) << round;
    ASSERT_LE(src.failure_offset, s.size()) << round;
    expect_sound_library();
  }
}

TEST(HostileInput, MutatedIdentityTexts) {
  std::mt19937 rng(7);
  const std::string good = ide_text(seed_stream());
  for (int round = 0; round < kRounds; ++round) {
    Fresh f;
    const Bytes text = mutate(Bytes(good.begin(), good.end()), rng);
    StreamSource src = memory_source(SourceKind::kIdentity, text);
    const int r = load_stream(src);
    ASSERT_TRUE(r == 0 || r == kStreamCorrupt || r == kStreamIncompatible) << round;
    ASSERT_LE(src.failure_offset, text.size()) << round;
    expect_sound_library();
  }
}

TEST(HostileInput, BuiltinHeadersThatLie) {
  std::mt19937 rng(99);
  const Bytes s = seed_stream();
  std::vector<Bytes> chunks(3, Bytes(kBuiltinChunkSize, 0));
  for (size_t i = 0; i < s.size(); ++i) chunks[0][i] = s[i] ^ kDescrambleKey[(s.size() - i) % 8];
  const uint8_t* ptrs[3] = {chunks[0].data(), chunks[1].data(), chunks[2].data()};
  for (int round = 0; round < 500; ++round) {
    uint8_t header[kBuiltinHeaderSize] = {};
    const uint32_t length = round % 2 ? uint32_t(rng()) : uint32_t(rng() % (3 * kBuiltinChunkSize + 2));
    const uint32_t chunk = round % 3 ? kBuiltinChunkSize : uint32_t(rng() % 5);
    for (int i = 0; i < 4; ++i) {
      header[16 + i] = uint8_t(length >> (8 * i));
      header[20 + i] = uint8_t(chunk >> (8 * i));
    }
    const BuiltinBlock block{header, ptrs, 1 + size_t(rng() % 3), nullptr, 0, 1, nullptr};
    Fresh f;
    const int r = load_builtin_data(block, true, "X");
    ASSERT_TRUE(r == 0 || r == -2) << round;
    expect_sound_library();
  }
}

TEST(HostileInput, RandomPatternLines) {
  std::mt19937 rng(3);
  const std::string alphabet = "0123456789abcdefABCDEFG _\t;x";
  Fresh f;
  for (int round = 0; round < kRounds; ++round) {
    std::string line;
    const size_t len = rng() % 90;
    for (size_t i = 0; i < len; ++i) line += alphabet[rng() % alphabet.size()];
    g_library.pattern_table[0] = PatternRecord{};
    const int r = add_pattern(0, line, round % 5 == 0 ? "Command line 9" : "");
    ASSERT_TRUE(r == 0 || r == -2) << line;
    if (r == 0) {
      const PatternRecord& p = g_library.pattern_table[0];
      ASSERT_GE(p.length, kMinPatternBytes) << line;
      ASSERT_LE(p.length, kMaxPatternBytes) << line;
      ASSERT_LE(p.name.size(), size_t(kMaxNameLength)) << line;
    }
    f.out.clear();
  }
}

}  // namespace
