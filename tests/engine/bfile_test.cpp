// Buffered file access: slot limits, buffer service, seeks inside and outside the buffered
// range, large reads, writes at the logical position, scan-file records and temporary copies.
#include "engine/bfile.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "driver/base/settings.h"
#include "host/syscalls.h"
#include "unpack/unpack.h"

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/bfile_test_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf " + path).c_str()); }
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::vector<uint8_t> pattern_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t((i * 7 + i / 251) & 0xFF);
  return v;
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class BfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::reset_files();
    driver::reset_state();
    data = pattern_bytes(30000);
    name = dir.file("DATA.BIN");
    write_bytes(name, data);
  }
  void TearDown() override { engine::reset_files(); }
  TempDir dir;
  std::string name;
  std::vector<uint8_t> data;
};

TEST_F(BfileTest, EleventhOpenFailsAndNinthScanFileFails) {
  std::vector<int> handles;
  for (int i = 0; i < engine::kFileSlots; ++i) {
    int h = engine::open_file(name, engine::kOpenRead, 0);
    ASSERT_EQ(h, i + 1);
    handles.push_back(h);
  }
  EXPECT_EQ(engine::open_file(name, engine::kOpenRead, 0), -1);
  for (int h : handles) EXPECT_EQ(engine::close_file(h), 0);
  EXPECT_EQ(engine::close_file(handles[0]), -1);  // already closed

  for (int i = 0; i < engine::kScanFiles; ++i) EXPECT_EQ(engine::open_scan_file(name), i);
  EXPECT_EQ(engine::open_scan_file(name), -1);
  EXPECT_EQ(engine::close_scan_file(3), 0);
  EXPECT_EQ(engine::open_scan_file(name), 3);
}

TEST_F(BfileTest, OpenOfMissingFileFailsWithSystemCode) {
  EXPECT_EQ(engine::open_file(dir.file("NONE.BIN"), engine::kOpenRead, 0), -1);
  EXPECT_EQ(engine::g_files.last_open_error, host::kErrFileNotFound);
  EXPECT_EQ(engine::open_scan_file(dir.file("NONE.BIN")), -1);
}

TEST_F(BfileTest, ReadsServeBytesInOrderAcrossRefills) {
  int h = engine::open_file(name, engine::kOpenRead, 0);
  std::vector<uint8_t> got;
  uint8_t piece[4096];
  for (;;) {
    int64_t n = engine::read_file(h, piece, sizeof piece);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    got.insert(got.end(), piece, piece + n);
  }
  EXPECT_EQ(got, data);
  EXPECT_EQ(engine::read_file(h, piece, 1), 0);  // still at the end
}

TEST_F(BfileTest, SeekToBufferEndIsServedFromBufferAndNextReadRefills) {
  int h = engine::open_file(name, engine::kOpenRead, 0);
  uint8_t b[16];
  ASSERT_EQ(engine::read_file(h, b, 16), 16);
  auto& slot = engine::g_files.slots[size_t(h - 1)];
  const int64_t system_before = slot.system_pos;
  EXPECT_EQ(engine::seek_file(h, int64_t(engine::kFileBufferSize), 0), int64_t(engine::kFileBufferSize));
  EXPECT_EQ(slot.system_pos, system_before);  // no system call
  ASSERT_EQ(engine::read_file(h, b, 4), 4);
  EXPECT_EQ(b[0], data[engine::kFileBufferSize]);
  EXPECT_EQ(slot.buffer_start, int64_t(engine::kFileBufferSize));
}

TEST_F(BfileTest, RelativeSeeksStayInBufferAndNegativeOnesGoToTheSystem) {
  int h = engine::open_file(name, engine::kOpenRead, 0);
  uint8_t b[4];
  ASSERT_EQ(engine::seek_file(h, 20000, 0), 20000);
  ASSERT_EQ(engine::read_file(h, b, 4), 4);
  EXPECT_EQ(engine::seek_file(h, 0, 1), 20004);                // logical position
  EXPECT_EQ(engine::seek_file(h, -4, 1), 20000);               // inside the buffer
  EXPECT_EQ(engine::seek_file(h, -100, 1), 19900);             // before the buffer: taken from the logical position
  ASSERT_EQ(engine::read_file(h, b, 1), 1);
  EXPECT_EQ(b[0], data[19900]);
  EXPECT_EQ(engine::seek_file(h, -30000, 1), -1);              // before the start
  EXPECT_EQ(engine::seek_file(h, 0, 1), 19901);                // unchanged
  EXPECT_EQ(engine::seek_file(h, -10, 2), int64_t(data.size()) - 10);
  ASSERT_EQ(engine::read_file(h, b, 4), 4);
  EXPECT_EQ(b[3], data[data.size() - 7]);
}

TEST_F(BfileTest, LargeReadBypassesBufferAndKeepsItsTail) {
  int h = engine::open_file(name, engine::kOpenRead, 0);
  std::vector<uint8_t> big(engine::kFileBufferSize + 1);
  ASSERT_EQ(engine::read_file(h, big.data(), big.size()), int64_t(big.size()));
  EXPECT_TRUE(std::equal(big.begin(), big.end(), data.begin()));
  // The last 10240 bytes are buffered: seeking back into them costs no system call.
  auto& slot = engine::g_files.slots[size_t(h - 1)];
  const int64_t system_before = slot.system_pos;
  EXPECT_EQ(engine::seek_file(h, 1, 0), 1);
  EXPECT_EQ(slot.system_pos, system_before);
  uint8_t b = 0;
  ASSERT_EQ(engine::read_file(h, &b, 1), 1);
  EXPECT_EQ(b, data[1]);
  // A large read that meets the end delivers what there is, then 0.
  ASSERT_EQ(engine::seek_file(h, 25000, 0), 25000);
  EXPECT_EQ(engine::read_file(h, big.data(), big.size()), 5000);
  EXPECT_EQ(engine::read_file(h, big.data(), 1), 0);
}

TEST_F(BfileTest, WriteLandsAtTheLogicalPositionAndRefillsAfterwards) {
  int h = engine::open_file(name, engine::kOpenReadWrite, 0);
  uint8_t b[8];
  ASSERT_EQ(engine::read_file(h, b, 8), 8);  // buffer filled; system position at 10240
  ASSERT_EQ(engine::seek_file(h, 100, 0), 100);
  const uint8_t patch[3] = {0xAA, 0xBB, 0xCC};
  ASSERT_EQ(engine::write_file(h, patch, 3), 3);
  EXPECT_EQ(engine::seek_file(h, 0, 1), 103);
  ASSERT_EQ(engine::seek_file(h, 99, 0), 99);
  ASSERT_EQ(engine::read_file(h, b, 5), 5);
  EXPECT_EQ(b[0], data[99]);
  EXPECT_EQ(b[1], 0xAA);
  EXPECT_EQ(b[3], 0xCC);
  EXPECT_EQ(b[4], data[103]);
  EXPECT_EQ(engine::write_byte(0x55, h), 0x55);
  EXPECT_EQ(engine::close_file(h), 0);
  std::vector<uint8_t> on_disk = read_bytes(name);
  EXPECT_EQ(on_disk[101], 0xBB);
  EXPECT_EQ(on_disk[104], 0x55);
  EXPECT_EQ(on_disk.size(), data.size());
}

// System reads of at most 1000 bytes, as some file systems give them.
long short_read(int fd, void* buf, size_t n) { return long(::read(fd, buf, std::min<size_t>(n, 1000))); }
long short_pread(int fd, void* buf, size_t n, int64_t offset) {
  return long(::pread(fd, buf, std::min<size_t>(n, 1000), off_t(offset)));
}

std::vector<uint8_t> read_in_pieces(int h) {
  std::vector<uint8_t> got;
  uint8_t piece[4096];
  for (int64_t n; (n = engine::read_file(h, piece, sizeof piece)) > 0;) got.insert(got.end(), piece, piece + n);
  return got;
}

// Refills behind the system position read where they are asked to without a seek, short
// system reads are read on from where they stopped, and the end of the file moves with
// writes past it: the bytes delivered are the file's, in order.
TEST_F(BfileTest, RefillsDeliverTheFileAcrossShortReadsSeeksAndWrites) {
  host::g_syscalls.read = short_read;
  host::g_syscalls.pread = short_pread;
  std::vector<uint8_t> expect = data;
  const int h = engine::open_file(name, engine::kOpenReadWrite, 0);
  EXPECT_EQ(read_in_pieces(h), expect);
  // A write among buffered reads lands at the logical position.
  ASSERT_EQ(engine::seek_file(h, 9000, 0), 9000);
  uint8_t b[16];
  ASSERT_EQ(engine::read_file(h, b, sizeof b), 16);
  const uint8_t patch[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(engine::write_file(h, patch, sizeof patch), 4);
  std::copy(patch, patch + 4, expect.begin() + 9016);
  // Writes past the end make the file longer than it was at open.
  ASSERT_EQ(engine::seek_file(h, 0, 2), int64_t(data.size()));
  const std::vector<uint8_t> tail = pattern_bytes(2000);
  ASSERT_EQ(engine::write_file(h, tail.data(), tail.size()), int64_t(tail.size()));
  expect.insert(expect.end(), tail.begin(), tail.end());
  ASSERT_EQ(engine::rewind_file(h), 0);
  EXPECT_EQ(read_in_pieces(h), expect);
  host::reset_syscalls();
  EXPECT_EQ(read_bytes(name), expect);
}

TEST_F(BfileTest, ReadByteAndRewind) {
  int h = engine::open_file(name, engine::kOpenRead, 0);
  EXPECT_EQ(engine::read_byte(h), data[0]);
  EXPECT_EQ(engine::read_byte(h), data[1]);
  EXPECT_EQ(engine::rewind_file(h), 0);
  EXPECT_EQ(engine::read_byte(h), data[0]);
  EXPECT_EQ(engine::read_byte(99), -1);
  EXPECT_EQ(engine::flush_file(h), 0);
  EXPECT_EQ(engine::flush_file(9), -1);
}

TEST_F(BfileTest, CreateNewRefusesAnExistingFileAndReadOnlyPermissionApplies) {
  EXPECT_EQ(engine::open_file(name, engine::kOpenReadWrite | engine::kOpenCreate | engine::kOpenNew, 0), -1);
  EXPECT_EQ(engine::g_files.last_open_error, host::kErrFileExists);
  const std::string fresh = dir.file("NEW.BIN");
  int h = engine::open_file(fresh, engine::kOpenReadWrite | engine::kOpenCreate | engine::kOpenNew, engine::kPermCreate);
  ASSERT_GT(h, 0);
  engine::close_file(h);
  uint32_t attributes = 0;
  ASSERT_EQ(host::get_attributes(fresh, attributes), 0);
  EXPECT_TRUE(attributes & host::kAttrReadOnly);
}

TEST_F(BfileTest, TemporaryCopyIsReadAndClosedThroughItsCreationHandle) {
  driver::g_state.temp_dir = dir.path;
  unpack::reset_temp_copies();
  for (const bool shred : {false, true}) {
    unpack::TempCopy copy;
    ASSERT_EQ(unpack::create_temp_copy(copy), 0);
    const std::vector<uint8_t> bytes = pattern_bytes(250);
    ASSERT_EQ(host::write_file(copy.file, bytes.data(), bytes.size()), 0);
    const std::string path = dir.file(copy.name);
    // A second name shows what the copy held when its own name went.
    const std::string witness = dir.file(shred ? "shredded" : "deleted");
    ASSERT_EQ(link(path.c_str(), witness.c_str()), 0);

    const int rec = engine::adopt_temp_copy(copy);
    ASSERT_GE(rec, 0);
    EXPECT_FALSE(copy.active());
    const int h = engine::scan_file_handle(rec);
    std::vector<uint8_t> got(300);
    EXPECT_EQ(engine::read_file(h, got.data(), got.size()), 250);  // read from position 0
    got.resize(250);
    EXPECT_EQ(got, bytes);

    EXPECT_EQ(shred ? engine::close_scan_file_shred(rec) : engine::close_scan_file(rec), 0);
    EXPECT_FALSE(host::file_exists(path));
    EXPECT_EQ(engine::scan_file_handle(rec), -1);
    const std::vector<uint8_t> left = read_bytes(witness);
    if (shred) {
      ASSERT_EQ(left.size(), 300u);
      EXPECT_EQ(std::string(left.begin(), left.begin() + 100), std::string(unpack::kOverwriteBlock, 100));
    } else {
      EXPECT_EQ(left, bytes);
    }
  }
  for (const auto& p : unpack::g_temp_copies.paths) EXPECT_EQ(p, "");
  for (const auto& s : engine::g_files.slots) EXPECT_FALSE(s.file.is_open());
}

TEST_F(BfileTest, TemporaryCopyNeedsAFreeRecord) {
  driver::g_state.temp_dir = dir.path;
  unpack::reset_temp_copies();
  write_bytes(name, {1});
  std::vector<int> records;
  for (int i = 0; i < engine::kScanFiles; ++i) records.push_back(engine::open_scan_file(name));
  unpack::TempCopy copy;
  ASSERT_EQ(unpack::create_temp_copy(copy), 0);
  EXPECT_EQ(engine::adopt_temp_copy(copy), -1);
  EXPECT_TRUE(copy.active());  // still the caller's, open
  EXPECT_TRUE(copy.file.is_open());
  EXPECT_EQ(unpack::close_temp_copy(copy, false), 0);
  for (int r : records) engine::close_scan_file(r);
}

// A file of the directory listed last opens without its status: its first read, positioned
// at 0, settles its size when the file ends within it; a longer file takes its status. Either
// way every byte is delivered once, the end is where the file ends, and a seek to the end
// finds the size.
TEST_F(BfileTest, FilesOfAListedDirectoryEndWhereTheyEnd) {
  testutil::MapGuard map("C=" + dir.path);
  const size_t sizes[] = {0, 1, 1024, 10239, 10240, 10241, 30000};
  for (size_t size : sizes) write_bytes(dir.file("S" + std::to_string(size)), pattern_bytes(size));
  std::vector<host::FindData> listed;
  ASSERT_EQ(host::list_directory("C:\\", "*.*", listed), 0);
  for (size_t size : sizes) {
    const int h = engine::open_file("C:\\S" + std::to_string(size), engine::kOpenRead, 0);
    ASSERT_GT(h, 0) << size;
    const host::File& f = engine::g_files.slots[size_t(h - 1)].file;
    EXPECT_EQ(f.known, size >= engine::kFileBufferSize) << size << ": the status is taken only when a read cannot tell";
    EXPECT_TRUE(f.size_known) << size;
    EXPECT_EQ(f.size_at_open, size);
    EXPECT_EQ(read_in_pieces(h), pattern_bytes(size)) << size;
    uint8_t b[1];
    EXPECT_EQ(engine::read_file(h, b, 1), 0) << size;
    EXPECT_EQ(engine::seek_file(h, 0, 2), int64_t(size));
    EXPECT_EQ(engine::close_file(h), 0);
  }
}

// A listed name that leads to something else than a regular file by the time it is opened
// fails as the open, with 5, and nothing is taken from a pipe that replaced it.
TEST_F(BfileTest, ListedFileReplacedByAPipeOrADirectoryIsRefusedUntouched) {
  testutil::MapGuard map("C=" + dir.path);
  write_bytes(dir.file("PIPE"), pattern_bytes(10));
  write_bytes(dir.file("SUB"), pattern_bytes(10));
  std::vector<host::FindData> listed;
  ASSERT_EQ(host::list_directory("C:\\", "*.*", listed), 0);
  ASSERT_EQ(unlink(dir.file("PIPE").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("PIPE").c_str(), 0644), 0);
  const int pipe_fd = open(dir.file("PIPE").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(pipe_fd, 0);
  ASSERT_EQ(write(pipe_fd, "abc", 3), 3);
  ASSERT_EQ(unlink(dir.file("SUB").c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("SUB").c_str(), 0755), 0);
  for (const char* path : {"C:\\PIPE", "C:\\SUB"}) {
    EXPECT_EQ(engine::open_file(path, engine::kOpenRead, 0), -1) << path;
    EXPECT_EQ(engine::g_files.last_open_error, host::kErrAccessDenied) << path;
  }
  char back[8] = {};
  EXPECT_EQ(read(pipe_fd, back, sizeof back), 3);
  EXPECT_EQ(std::string(back), "abc");
  close(pipe_fd);
  for (const engine::FileSlot& s : engine::g_files.slots) EXPECT_FALSE(s.file.is_open());
}

}  // namespace
