// File scanning: which windows of a file reach the identity engine (DOS entry, NE and LX
// entry code, a plain image's jump target), the 62-seconds stamp, -WO, quick and full mode,
// and the results and messages of files that cannot be opened or read.
#include "engine/scan.h"

#include <fcntl.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "engine/matcher.h"
#include "engine_test_util.h"
#include "host/syscalls.h"
#include "../unpack/lz91_pack.h"
#include "unpack/unpack.h"

namespace {

using enginetest::hex;

void put16(std::vector<uint8_t>& f, size_t off, uint16_t v) {
  f[off] = uint8_t(v);
  f[off + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& f, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) f[off + size_t(i)] = uint8_t(v >> (8 * i));
}

// A DOS executable of 0x1000 bytes: header 0x200 bytes, entry at 0x200 (marker C1), a new
// header offset 0x400 behind a relocation table offset of 0x40.
std::vector<uint8_t> dos_exe() {
  std::vector<uint8_t> f(0x1000, 0);
  f[0] = 'M', f[1] = 'Z';
  put16(f, 8, 0x20);     // header paragraphs: H = 0x200
  put16(f, 0x14, 0);     // IP
  put16(f, 0x16, 0);     // CS: E = 0x200
  put16(f, 0x18, 0x40);  // relocation table offset
  put32(f, 0x3C, 0x400);
  f[0x200] = 0xC1;
  return f;
}

// NE at 0x400: entry segment 1 at sector 1 (shift 0 stands for 9), IP 0x10: code at 0x210 (C2).
std::vector<uint8_t> ne_exe() {
  std::vector<uint8_t> f = dos_exe();
  f[0x400] = 'N', f[0x401] = 'E';
  put16(f, 0x400 + 0x14, 0x10);
  put16(f, 0x400 + 0x16, 1);
  put16(f, 0x400 + 0x1C, 1);
  put16(f, 0x400 + 0x22, 0x40);
  put16(f, 0x400 + 0x32, 0);
  put16(f, 0x440, 1);  // segment sector
  put16(f, 0x444, 0);  // flags: code
  f[0x210] = 0xC2;
  return f;
}

// LX at 0x400: object 1, entry 0x20 in it, page size 0x1000, object table 0x500, page table
// 0x520, data pages at 0x800: code at 0x820 (C3).
std::vector<uint8_t> lx_exe() {
  std::vector<uint8_t> f = dos_exe();
  f[0x400] = 'L', f[0x401] = 'X';
  put32(f, 0x400 + 0x18, 1);
  put32(f, 0x400 + 0x1C, 0x20);
  put32(f, 0x400 + 0x28, 0x1000);
  f[0x400 + 0x2C] = 0;
  put32(f, 0x400 + 0x40, 0x100);
  put32(f, 0x400 + 0x44, 1);
  put32(f, 0x400 + 0x48, 0x120);
  put32(f, 0x400 + 0x80, 0x800);
  put32(f, 0x500, 0x1000);  // virtual size
  put32(f, 0x508, 5);       // flags: readable, executable
  put32(f, 0x50C, 1);       // page table index
  put32(f, 0x520, 0);       // page offset
  put16(f, 0x524, 0x100);   // data size
  put16(f, 0x526, 0);       // page flags
  f[0x820] = 0xC3;
  return f;
}

class ScanTest : public enginetest::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    char tmpl[] = "/tmp/scan_test_XXXXXX";
    dir = mkdtemp(tmpl);
    // Each marker byte at the start of a window reports under its own name when the
    // window's base is the one expected.
    enginetest::load_library(
        "virus \"Entry\"\nrecord\nbyte C1\npushbase\ntopis 0x200\nreport\nend\n"
        "virus \"NeCode\"\nrecord\nbyte C2\npushbase\ntopis 0x200\nreport\nend\n"
        "virus \"LxCode\"\nrecord\nbyte C3\npushbase\ntopis 0x20\nreport\nend\n"
        "virus \"Target\"\nrecord\nbyte C4\npushbase\ntopis 0x12\nreport\nend\n"
        "virus \"Jump\"\nrecord\nbyte E9\nreport\nend\n");
    virusdata::g_library.pattern_table.assign(virusdata::kPatternTableSize, virusdata::PatternRecord{});
    engine::reset_matcher();
  }
  void TearDown() override {
    host::reset_syscalls();
    std::system(("rm -rf " + dir).c_str());
    EngineFixture::TearDown();
  }
  int scan(const std::vector<uint8_t>& bytes, uint16_t dos_time = 0) {
    name = dir + "/FILE.EXE";
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    engine::FileRecord rec;
    rec.size = bytes.size();
    rec.dos_time = dos_time;
    int kind = -1;
    const int rc = engine::scan_file(name, rec, kind);
    EXPECT_EQ(kind, 0);
    return rc;
  }
  std::string dir, name;
};

TEST_F(ScanTest, WindowsReachingTheIdentityEngine) {
  const struct { const char* what; std::vector<uint8_t> file; const char* found; } cases[] = {
      {"DOS entry", dos_exe(), "Entry"},
      {"entry beyond the end: no entry pass, no new header", [] { auto f = ne_exe(); f[0x200] = 0; put16(f, 0x16, 0x100); return f; }(), nullptr},
      {"NE entry code with base E (shift 0 taken as 9)", [] { auto f = ne_exe(); f[0x200] = 0; return f; }(), "NeCode"},
      {"NE data segment not checked", [] { auto f = ne_exe(); f[0x200] = 0; put16(f, 0x444, 1); return f; }(), nullptr},
      {"NE entry segment 0 not checked", [] { auto f = ne_exe(); f[0x200] = 0; put16(f, 0x416, 0); return f; }(), nullptr},
      {"relocation offset below 0x40: no new header", [] { auto f = ne_exe(); f[0x200] = 0; put16(f, 0x18, 0x3F); return f; }(), nullptr},
      {"LX object and page tables, base P", [] { auto f = lx_exe(); f[0x200] = 0; return f; }(), "LxCode"},
      {"LX with page size 0 stops", [] { auto f = lx_exe(); f[0x200] = 0; put32(f, 0x428, 0); return f; }(), nullptr},
      {"LX object not executable", [] { auto f = lx_exe(); f[0x200] = 0; put32(f, 0x508, 1); return f; }(), nullptr},
      {"LE not analysed", [] { auto f = lx_exe(); f[0x200] = 0; f[0x401] = 'E'; return f; }(), nullptr},
      {"short MZ file is a plain image", hex("4D 5A C1"), nullptr},
      {"plain image short jump target", [] { std::vector<uint8_t> f(0x100, 0); f[0] = 0xEB; f[1] = 0x10; f[0x12] = 0xC4; return f; }(), "Target"},
      {"plain image jump target beyond the file", [] { std::vector<uint8_t> f(0x11, 0); f[0] = 0xEB; f[1] = 0x10; return f; }(), nullptr},
  };
  for (const auto& c : cases) {
    out.clear();
    driver::reset_counters();
    EXPECT_EQ(scan(c.file), 0) << c.what;
    if (c.found) {
      EXPECT_EQ(out, ">>> Identity '" + std::string(c.found) + "' found in file " + name + "\n") << c.what;
      EXPECT_EQ(driver::g_counters.infected_files, 1) << c.what;
    } else {
      EXPECT_EQ(out, "") << c.what;
      EXPECT_EQ(driver::g_counters.infected_files, 0) << c.what;
    }
    EXPECT_EQ(driver::g_counters.files_checked, 1) << c.what;
    EXPECT_EQ(driver::g_counters.bytes_checked, int64_t(c.file.size())) << c.what;
  }
}

TEST_F(ScanTest, FileListedWithoutDetailsIsCheckedWithTheSizeItHasWhenOpened) {
  const std::vector<uint8_t> file = dos_exe();
  name = dir + "/FILE.EXE";
  std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  engine::FileRecord rec;
  rec.details = false;  // size and time unknown to the walk
  int kind = -1;
  EXPECT_EQ(engine::scan_file(name, rec, kind), 0);
  EXPECT_EQ(out, ">>> Identity 'Entry' found in file " + name + "\n");
  EXPECT_EQ(driver::g_counters.bytes_checked, int64_t(file.size()));
}

TEST_F(ScanTest, JumpBackToTheStartWrapsAndKeepCheckingFindsBoth) {
  // E9 FD FF: target (0xFFFD + 3) mod 0x10000 = 0, a second pass from offset 0.
  const std::vector<uint8_t> file = hex("E9 FD FF 00 00 00");
  EXPECT_EQ(scan(file), 0);
  EXPECT_EQ(driver::g_counters.identity_findings, 1);  // the first finding ends the analysis
  driver::reset_counters();
  driver::g_settings.keep_checking = true;
  EXPECT_EQ(scan(file), 0);
  EXPECT_EQ(driver::g_counters.identity_findings, 2);
  EXPECT_EQ(driver::g_counters.infected_files, 1);
}

TEST_F(ScanTest, SixtyTwoSecondsStamp) {
  EXPECT_EQ(scan(hex("00 00"), 0x1F), 0);
  EXPECT_EQ(driver::g_counters.identity_findings, 0);
  driver::g_settings.sixty_two_seconds = true;
  EXPECT_EQ(scan(hex("00 00"), 0x1F), 0);
  EXPECT_EQ(out, ">>> Identity '62 seconds' found in file " + name + "\n");
  EXPECT_EQ(driver::g_counters.infected_files, 1);
}

TEST_F(ScanTest, PatternsOnlyInFullMode) {
  const std::vector<uint8_t> sig = hex("10 20 30 40 50 60 70 80");
  const std::vector<uint8_t> raw = vdc::make_pattern_record("Deep", sig);
  virusdata::PatternRecord& rec = virusdata::g_library.pattern_table[0];
  rec.length = raw[0];
  std::copy(raw.begin() + 1, raw.begin() + 5, rec.tail);
  std::copy(raw.begin() + 5, raw.begin() + 13, rec.digest);
  rec.name = "Deep";
  virusdata::g_library.pattern_count = 1;
  virusdata::build_pattern_index();
  engine::reset_matcher();
  std::vector<uint8_t> file(20000, 0);
  std::copy(sig.begin(), sig.end(), file.begin() + 15000);
  EXPECT_EQ(scan(file), 0);
  EXPECT_EQ(driver::g_counters.pattern_findings, 0);
  driver::g_settings.full_check = true;
  EXPECT_EQ(scan(file), 0);
  EXPECT_EQ(driver::g_counters.pattern_findings, 1);
  EXPECT_EQ(driver::g_counters.infected_files, 1);
  // Identity checks off (-NCI): the pattern is still found in full mode.
  driver::reset_counters();
  driver::g_settings.check_identities = false;
  EXPECT_EQ(scan(file), 0);
  EXPECT_EQ(driver::g_counters.pattern_findings, 1);
}

TEST_F(ScanTest, RemovalStartsOnlyForInfectedFiles) {
  std::vector<std::string> removed;
  engine::g_scan_hooks.remove_file = [&](const std::string& n, const host::FileId*) { removed.push_back(n); };
  EXPECT_EQ(scan(hex("00 00")), 0);
  EXPECT_TRUE(removed.empty());
  EXPECT_EQ(scan(dos_exe()), 0);
  EXPECT_EQ(removed, std::vector<std::string>{name});
  engine::g_scan_hooks = engine::ScanHooks{};
}

TEST_F(ScanTest, ListedNamesWithNoSilence) {
  driver::g_settings.silent = false;
  EXPECT_EQ(scan(hex("00 00")), 0);
  EXPECT_EQ(out, "\t" + name + "\n");
}

TEST_F(ScanTest, OpenFailureIsReportedAndCountsNothing) {
  engine::FileRecord rec;
  int kind = 0;
  EXPECT_EQ(engine::scan_file(dir + "/NONE.EXE", rec, kind), -2);
  EXPECT_EQ(out, "Could not open file " + dir + "/NONE.EXE\n");
  EXPECT_EQ(driver::g_counters.files_checked, 0);
}

long failing_read(int, void*, size_t) {
  errno = EIO;
  return -1;
}

TEST_F(ScanTest, ReadFailureIsReportedAndTheFileClosed) {
  name = dir + "/BAD.EXE";
  std::ofstream(name) << "MZ";
  host::g_syscalls.read = failing_read;
  engine::FileRecord rec;
  rec.size = 2;
  int kind = 0;
  EXPECT_EQ(engine::scan_file(name, rec, kind), -4);
  host::reset_syscalls();
  EXPECT_EQ(out, "Could not read file " + name + "\n");
  for (const auto& r : engine::g_files.scan_files) EXPECT_EQ(r.handle, 0);
}

TEST_F(ScanTest, ShortWholeFileReadIsAReadError) {
  driver::g_settings.full_check = true;
  name = dir + "/SHORT.BIN";
  std::ofstream(name) << "ABC";
  engine::FileRecord rec;
  rec.size = 10;  // the directory said more than there is
  int kind = 0;
  EXPECT_EQ(engine::scan_file(name, rec, kind), -4);
  EXPECT_EQ(out, "Could not read file " + name + "\n");
}

}  // namespace

namespace {

// With -SC a packed program is expanded into a temporary copy in `dir` that is checked first.
class ExpandTest : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    unpack::reset_temp_copies();
    driver::g_state.temp_dir = dir;
    driver::g_settings.check_compressed = true;
    engine::g_scan_hooks.remove_file = [this](const std::string& n, const host::FileId*) { removed.push_back(n); };
  }
  void TearDown() override {
    engine::g_scan_hooks = engine::ScanHooks{};
    unpack::reset_temp_copies();
    ScanTest::TearDown();
  }
  // Scans `bytes` as FILE.EXE; `kind` gets the compression-kind result.
  int scan_kind(const std::vector<uint8_t>& bytes, int& kind) {
    name = dir + "/FILE.EXE";
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    engine::FileRecord rec;
    rec.size = bytes.size();
    kind = -1;
    return engine::scan_file(name, rec, kind);
  }
  int temp_files_left() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".$$$") ++n;
    return n;
  }
  std::vector<std::string> removed;
};

// An image whose entry (IP 0, CS 0) holds the marker of "Entry" once expanded.
std::vector<uint8_t> infected_image() {
  std::vector<uint8_t> image(0x40, 0x90);
  image[0] = 0xC1;
  return image;
}

TEST_F(ExpandTest, VirusInTheExpandedCopyIsFoundAndTheFileIsNotRemoved) {
  const std::vector<uint8_t> packed = unpack_test::pack_lz91(infected_image());
  int kind = 0;
  EXPECT_EQ(scan_kind(packed, kind), 0);
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(out, ">>> Identity 'Entry' found in file " + name + "\n");
  EXPECT_TRUE(removed.empty());
  EXPECT_EQ(temp_files_left(), 0);
  EXPECT_EQ(driver::g_counters.infected_files, 1);
  EXPECT_EQ(driver::g_counters.files_checked, 1);
  EXPECT_EQ(driver::g_counters.bytes_checked, 512 + 0x40);  // the copy's bytes; the file is not analysed
  for (const auto& r : engine::g_files.scan_files) EXPECT_EQ(r.handle, 0);
  for (const auto& p : unpack::g_temp_copies.paths) EXPECT_EQ(p, "");

  // Without -SC the packed file itself is checked and the virus inside stays hidden.
  out.clear();
  driver::reset_counters();
  driver::g_settings.check_compressed = false;
  EXPECT_EQ(scan_kind(packed, kind), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(driver::g_counters.infected_files, 0);
}

TEST_F(ExpandTest, CleanCopyIsDeletedAndTheFileItselfChecked) {
  const std::vector<uint8_t> packed = unpack_test::pack_lz91(std::vector<uint8_t>(0x40, 0x90));
  int kind = 0;
  EXPECT_EQ(scan_kind(packed, kind), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(temp_files_left(), 0);
  EXPECT_EQ(driver::g_counters.bytes_checked, int64_t(512 + 0x40 + packed.size()));  // both count
  for (const auto& r : engine::g_files.scan_files) EXPECT_EQ(r.handle, 0);
}

TEST_F(ExpandTest, NoCopyPossibleChecksTheFileAsItIs) {
  const std::vector<uint8_t> packed = unpack_test::pack_lz91(infected_image());
  // A ninth temporary copy is refused: eight exist already.
  std::vector<unpack::TempCopy> held(unpack::kMaxTempCopies);
  for (auto& c : held) ASSERT_EQ(unpack::create_temp_copy(c), 0);
  int kind = 0;
  EXPECT_EQ(scan_kind(packed, kind), 0);
  EXPECT_EQ(kind, unpack::kKindLz09);  // reported back so that the walk can warn
  EXPECT_EQ(out, "");
  EXPECT_EQ(driver::g_counters.bytes_checked, int64_t(packed.size()));
  for (auto& c : held) unpack::close_temp_copy(c, false);
  EXPECT_EQ(temp_files_left(), 0);

  // The copy is made but no scan-file record is left for it: it is deleted again.
  std::vector<int> records;
  for (int i = 0; i + 1 < engine::kScanFiles; ++i) records.push_back(engine::open_scan_file(dir + "/FILE.EXE"));
  for (int r : records) ASSERT_GE(r, 0);
  driver::reset_counters();
  EXPECT_EQ(scan_kind(packed, kind), 0);
  EXPECT_EQ(kind, unpack::kKindLz09);
  EXPECT_EQ(out, "");
  EXPECT_EQ(temp_files_left(), 0);
  for (int r : records) engine::close_scan_file(r);
}

TEST_F(ScanTest, UnreadableCompressionCheckGivesMinusTwoAfterChecking) {
  driver::g_settings.warn_compressed = true;
  // The check opens the file through its own handle; that open is refused.
  host::g_syscalls.open = [](const char* path, int flags, unsigned mode) -> int {
    static int calls = 0;
    if (++calls == 1) return ::open(path, flags, mode);  // the scan's own open
    errno = EACCES;
    return -1;
  };
  EXPECT_EQ(scan(dos_exe()), -2);
  host::reset_syscalls();
  EXPECT_EQ(out, "NT error code 5 (access denied) - Could not open file " + name + "\n" +
                     ">>> Identity 'Entry' found in file " + name + "\n");
  EXPECT_EQ(driver::g_counters.identity_findings, 1);  // the file was still checked
}

TEST_F(ScanTest, CompressionCheckWarnsWithoutExpanding) {
  driver::g_settings.warn_compressed = true;
  int kind = 0;
  name = dir + "/FILE.EXE";
  const std::vector<uint8_t> packed = unpack_test::pack_lz91(std::vector<uint8_t>(0x40, 0x90));
  std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(packed.data()), std::streamsize(packed.size()));
  engine::FileRecord rec;
  rec.size = packed.size();
  EXPECT_EQ(engine::scan_file(name, rec, kind), 0);
  EXPECT_EQ(out, "Warning! File " + name + " is compressed (LX 0.9X).\n");
  EXPECT_EQ(driver::g_counters.compressed_files, 1);
  EXPECT_EQ(driver::g_counters.files_checked, 1);
}

}  // namespace
