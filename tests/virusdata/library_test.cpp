// The virus data library: lists and deletion, the built-in block, "brint.vdl" and "*.ide"
// loading with their messages, and the pattern index.
#include "virusdata/library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/syscalls.h"
#include "vd_test_util.h"

namespace {

using namespace virusdata;
using namespace vdtest;

int load_bytes(const Bytes& s) {
  StreamSource src = memory_source(SourceKind::kVdl, s);
  return load_stream(src);
}

std::vector<std::string> list_names(int32_t head) {
  std::vector<std::string> out;
  for (int32_t i = head; i != kNoRecord; i = g_library.records[size_t(i)].next)
    out.push_back(record_name(g_library.records[size_t(i)]));
  return out;
}

TEST(LoadStream, RecordsGoToTheirListsNewestFirst) {
  Fresh f;
  const Bytes s = stream({entry("Pair", {{0xFB, 0x4D, 0x5A, 0x77}}), entry("First", {{0xFC, 0xE9, 0x01}}),
                          entry("Length", {{0x03, 0x12, 0x34, 0x00}}), entry("Other", {{0x42}}),
                          entry("Pair2", {{0xFB, 0x4D, 0x5A}}), entry("Empty", {})});
  ASSERT_EQ(load_bytes(s), 0);
  EXPECT_EQ(driver::g_state.virus_count, 6);  // one per entry, the empty one included
  EXPECT_EQ(list_names(g_library.pair_lists[(0x4D * 4) ^ 0x5A]), (std::vector<std::string>{"Pair2", "Pair"}));
  EXPECT_EQ(list_names(g_library.first_byte_lists[0xE9]), (std::vector<std::string>{"First"}));
  EXPECT_EQ(list_names(g_library.length_lists[0x34]), (std::vector<std::string>{"Length"}));
  EXPECT_EQ(list_names(g_library.general_list), (std::vector<std::string>{"Other"}));
  EXPECT_TRUE(pair_bit(0x4D, 0x5A));
  EXPECT_EQ(g_library.pair_bitmap[0x4D * 16 + 5], 1u << 0xA);
  EXPECT_FALSE(pair_bit(0x5A, 0x4D));
  EXPECT_EQ(g_library.records.size(), 5u);
}

TEST(LoadStream, DeletionOfLoadedAndUnknownNames) {
  const struct {
    const char* what;
    Bytes later;
    int count_change;
    bool silenced;
  } cases[] = {
      {"deletes a loaded name", entry("Victim", {{0xB4}}), -1, true},
      {"unknown name", entry("Stranger", {{0xB4}}), 0, false},
      {"name differs in case", entry("victim", {{0xB4}}), 0, false},
  };
  for (const auto& c : cases) {
    Fresh f;
    ASSERT_EQ(load_bytes(stream({entry("Victim", {{0xFC, 0x01}, {0x55, 0x66}}), entry("Keep", {{0x55}})})),
              0);
    const int32_t before = driver::g_state.virus_count;
    ASSERT_EQ(load_bytes(stream({c.later})), 0) << c.what;
    EXPECT_EQ(driver::g_state.virus_count - before, c.count_change) << c.what;
    const auto general = list_names(g_library.general_list);
    // Both records of "Victim" share one name: deleting it silences both.
    EXPECT_EQ(list_names(g_library.first_byte_lists[1])[0].empty(), c.silenced) << c.what;
    EXPECT_EQ(std::count(general.begin(), general.end(), std::string()), c.silenced ? 1 : 0) << c.what;
    EXPECT_EQ(std::count(general.begin(), general.end(), "Keep"), 1) << c.what;
  }
  // Records after a deletion record in the same entry share the entry's emptied name.
  Fresh f;
  ASSERT_EQ(load_bytes(stream({entry("Gone", {{0xB4}, {0x90}})})), 0);
  EXPECT_EQ(list_names(g_library.general_list), (std::vector<std::string>{""}));
  EXPECT_EQ(driver::g_state.virus_count, 0);
  // A deletion record after a record of its own entry finds that record by name: the
  // entry then counts -1 in all (one for the entry, minus the find, minus the blanking).
  ASSERT_EQ(load_bytes(stream({entry("Self", {{0x90}, {0xB4}})})), 0);
  EXPECT_EQ(driver::g_state.virus_count, -1);
  EXPECT_EQ(list_names(g_library.general_list), (std::vector<std::string>{"", ""}));
}

// A built-in block made by hand.
struct HandBlock {
  uint8_t header[kBuiltinHeaderSize] = {'2', '6', '1', '2', '1', '0', 0, 0,
                                        '2', '7', '0', '4', '1', '0', 0, 0};
  Bytes chunk;
  const uint8_t* chunk_ptr = nullptr;
  Bytes patterns;
  BuiltinBlock block{};
  HandBlock(const Bytes& s, std::vector<Bytes> pattern_records, int32_t virus_count) {
    const uint32_t len = uint32_t(s.size());
    for (int i = 0; i < 4; ++i) {
      header[16 + i] = uint8_t(len >> (8 * i));
      header[20 + i] = uint8_t(kBuiltinChunkSize >> (8 * i));
    }
    chunk.assign(kBuiltinChunkSize, 0);
    for (uint32_t i = 0; i < len; ++i) chunk[i] = s[i] ^ kDescrambleKey[(len - i) % 8];
    chunk_ptr = chunk.data();
    for (const auto& r : pattern_records) patterns = cat({patterns, r});
    block = BuiltinBlock{header, &chunk_ptr, 1, patterns.data(), pattern_records.size(), virus_count, nullptr};
  }
};

Bytes pattern_record(uint8_t length, const std::string& name, uint8_t last = 0x22, uint8_t second = 0x11) {
  Bytes r(kPatternRecordStride, 0);
  r[0] = length;
  r[1] = last;
  r[2] = second;
  for (size_t i = 0; i < name.size() && 18 + i < r.size(); ++i) r[18 + i] = uint8_t(name[i]);
  return r;
}

TEST(BuiltinData, CountsComeFromTheBlock) {
  const Bytes s = stream({entry("One", {{0x90}}), entry("Two", {{0x91}})});
  HandBlock hb(s, {pattern_record(6, "Pat A"), pattern_record(24, "Fifteen chars..")}, 77);
  {
    Fresh f;
    ASSERT_EQ(load_builtin_data(hb.block, true, "NTBRINT.EXE"), 0);
    EXPECT_EQ(driver::g_state.virus_count, 77);
    EXPECT_EQ(g_library.pattern_count, 2);
    EXPECT_EQ(g_library.pattern_table[0].name, "Pat A");
    EXPECT_EQ(g_library.pattern_table[1].name, "Fifteen chars..");
    EXPECT_EQ(g_library.pattern_table[0].tail[0], 0x22);
    EXPECT_EQ(list_names(g_library.general_list), (std::vector<std::string>{"Two", "One"}));
    EXPECT_EQ(f.out, "");
  }
  {
    Fresh f;
    ASSERT_EQ(load_builtin_data(hb.block, false, "NTBRINT.EXE"), 0);
    EXPECT_EQ(g_library.pattern_count, 0);
    EXPECT_EQ(driver::g_state.virus_count, 77);
  }
}

TEST(BuiltinData, FailuresAndTheirMessages) {
  const std::string corrupt = "Warning! C:\\BRINT\\NTBRINT.EXE has been corrupted, possibly by a virus.\n";
  const struct {
    const char* what;
    Bytes stream;
    std::vector<Bytes> patterns;
    std::string message;
  } cases[] = {
      {"wrong header", {0x00, 0x07}, {}, "VDL file incompatible with this version of BRINT.\n"},
      {"corrupt stream", stream({entry("Bad", {{0xFC}})}), {}, corrupt},
      {"pattern of 3 bytes", stream({}), {pattern_record(3, "Short")}, corrupt},
      {"pattern of 25 bytes", stream({}), {pattern_record(25, "Long")}, corrupt},
      {"pattern name without end", stream({}), {pattern_record(8, "SixteenCharsName!")}, corrupt},
  };
  for (const auto& c : cases) {
    Fresh f;
    HandBlock hb(c.stream, c.patterns, 5);
    EXPECT_EQ(load_builtin_data(hb.block, true, "C:\\BRINT\\NTBRINT.EXE"), -2) << c.what;
    EXPECT_EQ(f.out, c.message) << c.what;
  }
  Fresh f;
  HandBlock hb(stream({}), {}, 5);
  hb.header[16] = 0xFF;  // longer than its chunks
  hb.header[17] = 0xFF;
  hb.header[18] = 0xFF;
  EXPECT_EQ(load_builtin_data(hb.block, true, "X"), -2);
  EXPECT_EQ(f.out, "Warning! X has been corrupted, possibly by a virus.\n");
}

TEST(ExternalData, VdlThenIdentityFilesInDirectoryOrder) {
  TempDir dir;
  dir.file("brint.vdl", stream({entry("FromVdl", {{0x90}})}));
  dir.file("b.ide", ide_text(stream({entry("FromB", {{0x91}})})));
  dir.file("A.IDE", ide_text(stream({entry("FromA", {{0x92}}), entry("Gone", {})})));
  dir.file("c.txt", ide_text(stream({entry("NotData", {{0x93}})})));
  Fresh f;
  InDirectory in(dir.path);
  driver::g_state.program_dir = dir.path + "/";
  driver::g_state.virus_count = 10;
  ASSERT_EQ(load_external_data(), 0) << f.out;
  EXPECT_EQ(driver::g_state.virus_count, 14);
  EXPECT_EQ(list_names(g_library.general_list), (std::vector<std::string>{"FromB", "FromA", "FromVdl"}));
  EXPECT_EQ(f.out, "");
}

TEST(ExternalData, NothingThereIsNoError) {
  TempDir dir;
  Fresh f;
  InDirectory in(dir.path);
  driver::g_state.program_dir = dir.path + "/";
  EXPECT_EQ(load_external_data(), 0);
  EXPECT_EQ(f.out, "");
}

TEST(ExternalData, FailuresAndTheirMessages) {
  const std::string tail = "0123456789abcdefghijklmnopqrstuvwxyzTAIL";  // 40 characters after the damage
  const struct {
    const char* what;
    std::string vdl, ide;
    std::string message;
  } cases[] = {
      {"incompatible vdl", std::string("\x00\x02", 2), "",
       "VDL file incompatible with this version of BRINT.\n"},
      {"corrupt vdl",
       std::string("\x00\x01"
                   "AB",
                   4),
       "", "Warning! brint.vdl has been corrupted\n"},
      {"incompatible ide", "", ide_text({0x00, 0x02}), "VDL file incompatible with this version of BRINT.\n"},
      // 00 01 41 scrambled is 4E 48 13, its check byte 40.
      {"bad check byte", "", "03 4E 48 13 41" + tail,
       "Warning! @/x.ide has been corrupted\njust prior to the sequence:\n" + tail.substr(0, 32) + "\n"},
      {"non-hex inside a block", "", "03 4E 48 1z" + tail,
       "Warning! @/x.ide has been corrupted\njust prior to the sequence:\n" + tail.substr(0, 32) + "\n"},
      {"fewer than 32 characters left", "", "03 4E 48 13 41 xy",
       "Warning! @/x.ide has been corrupted\njust prior to the sequence:\n xy\n"},
      {"end inside a block", "", "03 4E 48",
       "Warning! @/x.ide has been corrupted\njust prior to the sequence:\n\n"},
      {"damage in the header counts as incompatible", "", "03 4Ez",
       "VDL file incompatible with this version of BRINT.\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (!c.vdl.empty()) dir.file("brint.vdl", c.vdl);
    if (!c.ide.empty()) dir.file("x.ide", c.ide);
    Fresh f;
    InDirectory in(dir.path);
    driver::g_state.program_dir = dir.path + "/";
    EXPECT_EQ(load_external_data(), -2) << c.what;
    std::string expected = c.message;
    if (const size_t at = expected.find('@'); at != std::string::npos) expected.replace(at, 1, dir.path);
    EXPECT_EQ(f.out, expected) << c.what;
  }
}

// Reads of a file of `size` bytes: the one that returns its whole content succeeds, the
// next on the same descriptor fails as a damaged disk would.
struct FailingReads {
  static inline long (*real)(int, void*, size_t) = nullptr;
  static inline long size = 0;
  static inline int spent_fd = -1;
  static long read(int fd, void* buf, size_t n) {
    if (fd == spent_fd) {
      errno = EIO;
      return -1;
    }
    const long r = real(fd, buf, n);
    if (r == size) spent_fd = fd;
    return r;
  }
  explicit FailingReads(long file_size) {
    real = host::g_syscalls.read;
    size = file_size;
    spent_fd = -1;
    host::g_syscalls.read = &FailingReads::read;
  }
  ~FailingReads() { host::reset_syscalls(); }
};

TEST(ExternalData, ReadErrorIsCorruptionNotAnEnd) {
  TempDir dir;
  const Bytes vdl = stream({entry("Whole", {{0x90}})});
  dir.file("brint.vdl", vdl);
  Fresh f;
  InDirectory in(dir.path);
  driver::g_state.program_dir = dir.path + "/";
  FailingReads failing(long(vdl.size()));
  EXPECT_EQ(load_external_data(), -2);
  EXPECT_EQ(f.out, "Warning! brint.vdl has been corrupted\n");
}

TEST(PatternIndex, EveryHashPointsAtItsLowestPosition) {
  Fresh f;
  // Hashes chosen to collide: (second << 6) ^ last.
  const uint8_t pairs[][2] = {{0x10, 0x05}, {0x00, 0x01}, {0x10, 0x05}, {0xFF, 0xFF}, {0x00, 0x01},
                              {0x7F, 0x00}, {0x10, 0x05}, {0x01, 0x40}, {0x00, 0x00}};
  const int n = int(sizeof pairs / sizeof pairs[0]);
  for (int i = 0; i < n; ++i) {
    auto& r = g_library.pattern_table[size_t(i)];
    r.length = 4;
    r.tail[0] = pairs[i][1];
    r.tail[1] = pairs[i][0];
    r.name = "P" + std::to_string(i);
  }
  g_library.pattern_count = n;
  // Records of one hash keep the order the shell sort (gaps n/2, n/4, ... 1) leaves them in,
  // which is the order their findings are reported in.
  std::vector<std::pair<uint32_t, std::string>> expected;
  for (int i = 0; i < n; ++i) expected.push_back({pattern_hash(pairs[i][0], pairs[i][1]), "P" + std::to_string(i)});
  for (int gap = n / 2; gap > 0; gap /= 2)
    for (int i = gap; i < n; ++i)
      for (int j = i - gap; j >= 0 && expected[size_t(j)].first > expected[size_t(j + gap)].first; j -= gap)
        std::swap(expected[size_t(j)], expected[size_t(j + gap)]);
  build_pattern_index();
  for (int i = 0; i < n; ++i) EXPECT_EQ(g_library.pattern_table[size_t(i)].name, expected[size_t(i)].second) << i;
  for (int i = 0; i < n; ++i) {
    const auto& r = g_library.pattern_table[size_t(i)];
    const uint32_t h = pattern_hash(r.tail[1], r.tail[0]);
    EXPECT_EQ(r.hash, h) << i;
    if (i > 0) {
      EXPECT_LE(g_library.pattern_table[size_t(i - 1)].hash, h) << i;
    }
    int lowest = i;
    while (lowest > 0 && g_library.pattern_table[size_t(lowest - 1)].hash == h) --lowest;
    EXPECT_EQ(g_library.pattern_index[h], lowest) << i;
  }
  // (01, 40) and (00, 00) share hash 0; five distinct hashes in all, the rest unused.
  int used = 0;
  for (int h = 0; h < kPatternIndexSize; ++h) used += g_library.pattern_index[h] != kNoRecord;
  EXPECT_EQ(used, 5);
  EXPECT_EQ(g_library.pattern_index[pattern_hash(0x12, 0x34)], kNoRecord);
}

}  // namespace
