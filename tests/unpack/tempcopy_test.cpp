// Temporary expanded copies: names, exclusive creation, the limit of eight, shredding through
// the handle, and detect-and-expand from end to end over a real packed file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/base/settings.h"
#include "host/host.h"
#include "test_util.h"
#include "unpack/unpack.h"

namespace {

namespace fs = std::filesystem;
using unpack_test::load_fixture;
using unpack_test::sha256;

std::vector<uint8_t> read_host(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::string name_for(unsigned counter) {
  char name[16];
  std::snprintf(name, sizeof name, "%4.4X%4.4X.$$$", unsigned(getpid() & 0xFFFF), counter);
  return name;
}

class TempCopies : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/unpack-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    driver::reset_settings();
    driver::reset_state();
    driver::g_settings.no_interrupting = true;  // no key polling from the test runner's input
    driver::g_state.temp_dir = dir_.string();
    unpack::reset_temp_copies();
  }
  void TearDown() override {
    unpack::reset_temp_copies();
    fs::remove_all(dir_);
  }
  size_t files_in_dir() const {
    return size_t(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}));
  }
  fs::path dir_;
};

TEST_F(TempCopies, NamesAreMadeFromTheProcessAndACounter) {
  unpack::TempCopy a, b;
  ASSERT_EQ(unpack::create_temp_copy(a), 0);
  ASSERT_EQ(unpack::create_temp_copy(b), 0);
  EXPECT_EQ(a.name, name_for(0));
  EXPECT_EQ(b.name, name_for(1));
  EXPECT_EQ(a.path, dir_.string() + "\\" + name_for(0));
  EXPECT_TRUE(fs::exists(dir_ / name_for(0)));
  EXPECT_TRUE(fs::exists(dir_ / name_for(1)));
  EXPECT_EQ(unpack::close_temp_copy(a, false), 0);
  EXPECT_FALSE(fs::exists(dir_ / name_for(0)));
  EXPECT_FALSE(a.active());
  {
    unpack::TempCopy dropped = std::move(b);  // leaving the scope deletes it
    EXPECT_FALSE(b.active());
  }
  EXPECT_FALSE(fs::exists(dir_ / name_for(1)));
  EXPECT_EQ(files_in_dir(), 0u);
}

TEST_F(TempCopies, ExistingFilesAreNeverTakenOver) {
  std::ofstream(dir_ / name_for(0)) << "somebody else's file";
  unpack::TempCopy c;
  ASSERT_EQ(unpack::create_temp_copy(c), 0);
  EXPECT_EQ(c.name, name_for(1));
  ASSERT_EQ(unpack::close_temp_copy(c, false), 0);
  EXPECT_EQ(read_host(dir_ / name_for(0)).size(), 20u);

  // 64 names in a row taken: creation gives up.
  for (unsigned i = 2; i < 2 + 64; ++i) std::ofstream(dir_ / name_for(i)) << "x";
  unpack::TempCopy d;
  EXPECT_EQ(unpack::create_temp_copy(d), -2);
  EXPECT_FALSE(d.active());
  EXPECT_EQ(unpack::create_temp_copy(d), 0);  // the counter has moved past them
  EXPECT_EQ(d.name, name_for(66));
}

TEST_F(TempCopies, NinthCopyIsRefused) {
  std::vector<unpack::TempCopy> copies(8);
  for (auto& c : copies) ASSERT_EQ(unpack::create_temp_copy(c), 0);
  unpack::TempCopy ninth;
  EXPECT_EQ(unpack::create_temp_copy(ninth), -2);
  int kind = 0;
  const std::vector<uint8_t> packed = load_fixture("lz91-testprog.exe");
  EXPECT_EQ(unpack::detect_and_expand("", unpack::bytes_reader(packed), kind, ninth), -2);
  EXPECT_EQ(kind, 10);
  EXPECT_EQ(files_in_dir(), 8u);
  ASSERT_EQ(unpack::close_temp_copy(copies[3], false), 0);
  EXPECT_EQ(unpack::create_temp_copy(ninth), 0);
}

TEST_F(TempCopies, MissingTemporaryDirectoryFails) {
  driver::g_state.temp_dir = (dir_ / "missing").string();
  unpack::TempCopy c;
  EXPECT_EQ(unpack::create_temp_copy(c), -2);
  EXPECT_FALSE(c.active());
}

TEST_F(TempCopies, ShreddingOverwritesThroughTheHandle) {
  for (bool shred : {false, true}) {
    unpack::TempCopy c;
    ASSERT_EQ(unpack::create_temp_copy(c), 0);
    const std::vector<uint8_t> secret(250, 'S');
    ASSERT_EQ(host::write_file(c.file, secret.data(), secret.size()), 0);
    // A second name for the same file shows what the copy held when its name went.
    const fs::path witness = dir_ / (shred ? "shredded" : "deleted");
    ASSERT_EQ(link((dir_ / c.name).c_str(), witness.c_str()), 0);
    const std::string name = c.name;
    EXPECT_EQ(unpack::close_temp_copy(c, shred), 0);
    EXPECT_FALSE(fs::exists(dir_ / name));
    const std::vector<uint8_t> left = read_host(witness);
    if (!shred) {
      EXPECT_EQ(left, secret);
    } else {
      ASSERT_EQ(left.size(), 300u);  // three 100-byte blocks cover 250 bytes
      const std::string text(left.begin(), left.end());
      EXPECT_EQ(text.substr(0, 54), "Fast positive deletion  *  Keeps your data secure  *  ");
      EXPECT_EQ(text.substr(100, 100), text.substr(0, 100));
      EXPECT_EQ(text.substr(95, 5), "  *  ");
    }
  }
}

TEST_F(TempCopies, DetectAndExpandAPackedFile) {
  const std::vector<uint8_t> packed = load_fixture("lz91-testprog.exe");
  unpack::TempCopy copy;
  int kind = 0;
  ASSERT_EQ(unpack::detect_and_expand("TESTPROG.EXE", unpack::bytes_reader(packed), kind, copy), 1);
  EXPECT_EQ(kind, 10);
  ASSERT_TRUE(copy.active());
  // The copy is read through the handle it was created with, from its start.
  std::vector<uint8_t> got(4096);
  size_t n = 0;
  ASSERT_EQ(host::read_file(copy.file, got.data(), got.size(), n), 0);
  got.resize(n);
  EXPECT_EQ(sha256(got), "bb658e3757aca2cd0ea0f04db3478fad2fadbfe4e5ad7deb8cdc47862ed543b2");
  EXPECT_EQ(files_in_dir(), 1u);
  EXPECT_EQ(unpack::close_temp_copy(copy, false), 0);
  EXPECT_EQ(files_in_dir(), 0u);
}

TEST_F(TempCopies, DetectAndExpandOutcomes) {
  const std::vector<uint8_t> lz = load_fixture("lz91-testprog.exe");
  std::vector<uint8_t> broken = lz;
  broken.resize(broken.size() / 2);
  const std::vector<uint8_t> plain = load_fixture("testprog.orig.exe");
  const std::vector<uint8_t> diet = load_fixture("diet144-stamp.com");
  const std::vector<uint8_t> lzexe_entry = [&] {
    auto b = load_fixture("lz91-testprog.exe");
    for (size_t i = 0x1C; i < 0x20; ++i) b[i] = 0;
    return b;
  }();
  const unpack::ReadAt unreadable = [](uint64_t, uint8_t*, size_t) -> int64_t { return unpack::kReadFailed; };
  const struct {
    const char* what;
    const char* name;
    unpack::ReadAt reader;
    int result;
    int kind;
  } cases[] = {
      {"not compressed", "T.EXE", unpack::bytes_reader(plain), -6, 0},
      {"archive by name", "T.ZIP", unpack::bytes_reader(lz), -6, 6},
      {"LZEXE entry code only", "T.EXE", unpack::bytes_reader(lzexe_entry), -6, 17},
      {"unreadable", "T.EXE", unreadable, -6, -4},
      {"packed but cut short", "T.EXE", unpack::bytes_reader(broken), -2, 10},
      {"diet", "STAMP.COM", unpack::bytes_reader(diet), 1, 18},
  };
  for (const auto& c : cases) {
    unpack::TempCopy copy;
    int kind = 99;
    EXPECT_EQ(unpack::detect_and_expand(c.name, c.reader, kind, copy), c.result) << c.what;
    EXPECT_EQ(kind, c.kind) << c.what;
    EXPECT_EQ(copy.active(), c.result == 1) << c.what;
    EXPECT_EQ(files_in_dir(), c.result == 1 ? 1u : 0u) << c.what;  // a failed copy is gone
  }
  EXPECT_EQ(files_in_dir(), 0u);
}

TEST_F(TempCopies, ProgressTextOnlyWhenNotSilent) {
  const std::vector<uint8_t> lz = load_fixture("lz91-testprog.exe");
  for (bool silent : {true, false}) {
    for (bool server : {false, true}) {
      driver::g_settings.silent = silent;
      driver::g_settings.server_mode = server;
      unpack::TempCopy copy;
      int kind = 0;
      testing::internal::CaptureStdout();
      EXPECT_EQ(unpack::detect_and_expand("", unpack::bytes_reader(lz), kind, copy), 1);
      host::console_flush();
      const std::string shown = testing::internal::GetCapturedStdout();
      const bool expect = !silent && !server;
      EXPECT_EQ(shown, expect ? "  Decompressing ...\r\r" + std::string(19, ' ') + "\r" : "")
          << "silent " << silent << " server " << server;
      EXPECT_FALSE(unpack::g_unpack.decompressing);
    }
  }
}

TEST_F(TempCopies, DiscardRemovesEveryCopy) {
  unpack::TempCopy a, b;
  ASSERT_EQ(unpack::create_temp_copy(a), 0);
  ASSERT_EQ(unpack::create_temp_copy(b), 0);
  unpack::discard_temp_copies();
  EXPECT_EQ(files_in_dir(), 0u);
  unpack::TempCopy c;
  ASSERT_EQ(unpack::create_temp_copy(c), 0);  // the entries are free again
}

}  // namespace
