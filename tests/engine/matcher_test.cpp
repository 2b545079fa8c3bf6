// The pattern matcher: the candidate test at the edges of a range, records sharing a hash,
// the whole-file search's carry-over between pieces, and the buffer search's identity passes.
#include "engine/matcher.h"
#include "engine/wide_digest.h"
#include "virusdata/checksum.h"

#include <fstream>
#include <random>
#include <regex>

#include "engine_test_util.h"

namespace {

using enginetest::hex;

using testutil::load_patterns;

std::vector<uint8_t> sig24(uint8_t seed) {
  std::vector<uint8_t> s(24);
  for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(seed + i * 13);
  return s;
}

class MatcherTest : public enginetest::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    findings::set_file_location("C:\\X");
    driver::g_settings.check_identities = false;
  }
  std::string dir_path() {
    if (dir.empty()) {
      char tmpl[] = "/tmp/matcher_test_XXXXXX";
      dir = mkdtemp(tmpl);
    }
    return dir;
  }
  void TearDown() override {
    if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
    EngineFixture::TearDown();
  }
  int whole_file(const std::vector<uint8_t>& bytes, int64_t size = -1) {
    const std::string name = dir_path() + "/F.BIN";
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    const int h = engine::open_file(name, engine::kOpenRead, 0);
    EXPECT_GT(h, 0);
    const int rc = engine::whole_file_search(h, size < 0 ? bytes.size() : uint64_t(size), name.c_str());
    engine::close_file(h);
    return rc;
  }
  std::string dir;
};

TEST_F(MatcherTest, BufferSearchEdgesOfTheRange) {
  const std::vector<uint8_t> sig = hex("11 22 33 44 55 66");
  load_patterns({{"Edge", sig}});
  const struct { const char* what; size_t at; size_t first; size_t last; bool found; } cases[] = {
      {"ends exactly at the last index", 10, 0, 15, true},
      {"starts exactly at the first index", 4, 4, 15, true},
      {"would start before the first index", 3, 4, 15, false},
      {"would end after the last index", 12, 0, 16, false},
  };
  for (const auto& c : cases) {
    driver::reset_counters();
    std::vector<uint8_t> buf(32, 0);
    std::copy(sig.begin(), sig.end(), buf.begin() + long(c.at));
    enginetest::fill_scan(buf);
    EXPECT_EQ(engine::buffer_search(c.first, c.last), c.found ? 1 : 0) << c.what;
    EXPECT_EQ(driver::g_counters.pattern_findings, c.found ? 1 : 0) << c.what;
    EXPECT_EQ(driver::g_counters.bytes_checked, int64_t(c.last - c.first + 1)) << c.what;
  }
}

TEST_F(MatcherTest, RecordsOfOneHashAreAllTested) {
  // Same last two bytes, so the same hash: every record is tested; the two present are both
  // reported, the one whose fourth-to-last byte differs is not.
  load_patterns({{"First", hex("01 02 03 04 AA BB")}, {"Miss", hex("09 04 AA BB")}, {"Twin", hex("03 04 AA BB")}});
  enginetest::fill_scan(hex("00 01 02 03 04 AA BB 00"));
  EXPECT_EQ(engine::buffer_search(0, 7), 1);
  EXPECT_EQ(driver::g_counters.pattern_findings, 2);
  EXPECT_NE(out.find("'First'"), std::string::npos);
  EXPECT_NE(out.find("'Twin'"), std::string::npos);
  EXPECT_EQ(out.find("'Miss'"), std::string::npos);
}

TEST_F(MatcherTest, WholeFileCarryOverFindsSignaturesAcrossPieces) {
  const std::vector<uint8_t> sig = sig24(7);
  load_patterns({{"Span", sig}});
  // Last byte of the signature is the first byte of the second piece.
  std::vector<uint8_t> file(6000, 0);
  std::copy(sig.begin(), sig.end(), file.begin() + 4096 - 23);
  EXPECT_EQ(whole_file(file), 0);
  EXPECT_EQ(driver::g_counters.pattern_findings, 1);

  // At the very start and at the very end of the file.
  driver::reset_counters();
  file.assign(9000, 0);
  std::copy(sig.begin(), sig.end(), file.begin());
  std::copy(sig.begin(), sig.end(), file.end() - 24);
  EXPECT_EQ(whole_file(file), 0);
  EXPECT_EQ(driver::g_counters.pattern_findings, 2);

  // The file is read many pieces at a time: signatures across the pieces inside one read and
  // across two reads (64 KiB apart) are found alike, and the file's last short read too.
  driver::reset_counters();
  file.assign(3 * 65536 + 1000, 0);
  const size_t ends[] = {4096 + 10, 65536, 2 * 65536 + 10, 2 * 65536 + 4096, file.size()};
  for (const size_t end : ends) std::copy(sig.begin(), sig.end(), file.begin() + long(end - 24));
  EXPECT_EQ(whole_file(file), 0);
  EXPECT_EQ(driver::g_counters.pattern_findings, int64_t(std::size(ends)));
}

TEST_F(MatcherTest, FirstPieceDoesNotReachIntoTheCarryOver) {
  const std::vector<uint8_t> sig = sig24(7);
  load_patterns({{"Stale", sig}});
  // Stale bytes before index 23 complete the signature only with the carry-over area.
  std::vector<uint8_t> stale(23 + 10, 0);
  std::copy(sig.begin(), sig.begin() + 14, stale.begin() + 9);
  enginetest::fill_scan(stale);
  EXPECT_EQ(whole_file(std::vector<uint8_t>(sig.begin() + 14, sig.end())), 0);
  EXPECT_EQ(driver::g_counters.pattern_findings, 0);
}

TEST_F(MatcherTest, WholeFileSizeMismatchAndEmptyFile) {
  load_patterns({{"Any", hex("01 02 03 04")}});
  EXPECT_EQ(whole_file({}), 0);
  EXPECT_EQ(whole_file(hex("01 02 03"), 4), -4);
}

TEST_F(MatcherTest, BufferSearchRunsIdentityPassesFirst) {
  driver::g_settings.check_identities = true;
  enginetest::load_library("virus \"Shifted\"\nrecord\nbyte 5A\nbyte 5B\nreport\nend\n");
  load_patterns({{"Pat", hex("5A 5B 5C 5D")}});
  const struct { const char* what; std::vector<uint8_t> data; bool nci; int identities; int patterns; } cases[] = {
      // EB 3C: second identity pass from index 62, which finds.
      {"short jump target", [] { std::vector<uint8_t> d(512, 0); d[0] = 0xEB; d[1] = 0x3C; d[62] = 0x5A; d[63] = 0x5B; d[64] = 0x5C; d[65] = 0x5D; return d; }(), false, 1, 0},
      // E9 with a target beyond the buffer: no second pass, no short-jump test; patterns run.
      {"near jump beyond the buffer", [] { std::vector<uint8_t> d(512, 0); d[0] = 0xE9; d[1] = 0xFF; d[2] = 0x01; d[100] = 0x5A; d[101] = 0x5B; d[102] = 0x5C; d[103] = 0x5D; return d; }(), false, 0, 1},
      // -NCI: no identity pass at all, only patterns.
      {"identity checks off", [] { std::vector<uint8_t> d(512, 0); d[0] = 0xEB; d[1] = 0x3C; d[62] = 0x5A; d[63] = 0x5B; d[64] = 0x5C; d[65] = 0x5D; return d; }(), true, 0, 1},
  };
  for (const auto& c : cases) {
    driver::reset_counters();
    driver::g_settings.check_identities = !c.nci;
    enginetest::fill_scan(c.data);
    findings::g_findings.location.kind = findings::kLocLogicalSector;
    EXPECT_EQ(engine::buffer_search(0, 511), 1) << c.what;
    EXPECT_EQ(driver::g_counters.identity_findings, c.identities) << c.what;
    EXPECT_EQ(driver::g_counters.pattern_findings, c.patterns) << c.what;
  }
}

TEST_F(MatcherTest, PatternsSearchTheShiftedBuffer) {
  // The identity passes find nothing; the pattern search runs over the buffer moved by the
  // short jump, where the pattern now starts at index 0 (and keeps its old copy behind).
  driver::g_settings.check_identities = true;
  enginetest::load_library("virus \"None\"\nrecord\nbyte 77\nreport\nend\n");
  load_patterns({{"Pat", hex("5A 5B 5C 5D")}});
  std::vector<uint8_t> d(16, 0);
  d[0] = 0xEB;
  d[1] = 0x08;
  d[10] = 0x5A, d[11] = 0x5B, d[12] = 0x5C, d[13] = 0x5D;
  enginetest::fill_scan(d);
  EXPECT_EQ(engine::buffer_search(0, 15), 1);
  EXPECT_EQ(driver::g_counters.pattern_findings, 2);
  EXPECT_EQ(engine::g_scan.bytes[0], 0x5A);
}

uint64_t plain_digest(const uint8_t* data, size_t count) {
  uint32_t w0 = 0, w1 = 0;
  virusdata::checksum64_of(virusdata::kPatternKey, data, int32_t(count), w0, w1);
  return uint64_t(w0) | (uint64_t(w1) << 32);
}

TEST(PatternDigest, FastAndWideChecksumsEqualThePlainOne) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(64 + 20);
  for (int round = 0; round < 50; ++round) {
    for (auto& b : data) b = round % 5 == 0 ? uint8_t(rng() % 2) : uint8_t(rng());
    for (size_t count = 1; count <= 20; ++count) {
      ASSERT_EQ(engine::pattern_digest(data.data(), count), plain_digest(data.data(), count)) << count;
      if (!engine::wide_digests_available()) continue;
      uint8_t lanes[8][engine::kWideLanes];
      engine::wide_digests(data.data(), count, lanes);
      for (size_t lane = 0; lane < engine::kWideLanes; ++lane) {
        uint64_t d = 0;
        for (int b = 7; b >= 0; --b) d = (d << 8) | lanes[b][lane];
        ASSERT_EQ(d, plain_digest(data.data() + lane, count)) << "count " << count << " lane " << lane;
      }
    }
  }
}

// The candidate test written out plainly, position by position and record by record, as
// the reference the matcher's tables must agree with: the names reported, in order.
std::vector<std::string> reference_reports(size_t first, size_t last) {
  const virusdata::Library& lib = virusdata::g_library;
  const uint8_t* buf = engine::g_scan.bytes.data();
  std::vector<std::string> names;
  for (size_t i = first + 1; i <= last; ++i) {
    const uint32_t h = virusdata::pattern_hash(buf[i - 1], buf[i]);
    int32_t j = lib.pattern_index[h];
    if (j < 0 || j >= lib.pattern_count) continue;
    for (; j < lib.pattern_count && lib.pattern_table[size_t(j)].hash == h; ++j) {
      const virusdata::PatternRecord& rec = lib.pattern_table[size_t(j)];
      if (rec.tail[0] != buf[i] || rec.tail[1] != buf[i - 1]) continue;
      if (i - first + 1 < rec.length) continue;
      if (rec.tail[2] != buf[i - 2] || rec.tail[3] != buf[i - 3]) continue;
      if (engine::confirm(i - rec.length + 1, rec.length - 4u, rec.digest) == 0) continue;
      names.push_back(rec.name);
    }
  }
  return names;
}

std::vector<std::string> reported_names(const std::string& out) {
  std::vector<std::string> names;
  const std::regex name("'(P[0-9]+)'");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), name); it != std::sregex_iterator(); ++it)
    names.push_back((*it)[1].str());
  return names;
}

TEST_F(MatcherTest, AgreesWithThePlainCandidateTestOnRunsAndCommonTails) {
  // Buffers made of runs of a few byte values, and patterns cut from them (so most match
  // somewhere), many ending in the same four bytes, some repeated: the matcher's run
  // skipping, tail groups and digest search must report exactly what the plain test does.
  // In even rounds every other record keeps its head bytes (a user pattern), so groups mix
  // records matched by their heads with records matched by their digests; in odd rounds all
  // of them do and are eight bytes or longer, so no pair is weak.
  std::mt19937 rng(20261210);
  const uint8_t alphabet[] = {0x00, 0x00, 0x20, 0xFF, 0x11, 0x90};
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> buf;
    while (buf.size() < engine::kScanBufferSize) {
      const uint8_t value = rng() % 4 == 0 ? uint8_t(rng()) : alphabet[rng() % std::size(alphabet)];
      buf.insert(buf.end(), 1 + rng() % (rng() % 3 == 0 ? 60 : 6), value);
    }
    buf.resize(engine::kScanBufferSize);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> patterns;
    const bool all_heads = round % 2 == 1;
    for (int k = 0; k < 80; ++k) {
      const size_t length = all_heads ? 8 + rng() % 17 : 4 + rng() % 21;
      const size_t at = rng() % (buf.size() - length);
      std::vector<uint8_t> sig(buf.begin() + long(at), buf.begin() + long(at + length));
      if (rng() % 8 == 0) sig[rng() % length] ^= 0x40;  // one that may match nowhere
      patterns.push_back({"P" + std::to_string(k), sig});
      if (rng() % 10 == 0) patterns.push_back({"P" + std::to_string(k) + "0", sig});  // a twin record
    }
    load_patterns(patterns, all_heads ? 1 : 2);
    enginetest::fill_scan(buf);
    const size_t first = rng() % 64, last = buf.size() - 1 - rng() % 64;
    const std::vector<std::string> expected = reference_reports(first, last);
    // With the wide checksums where the machine has them, and with the plain ones only.
    for (const bool wide : {true, false}) {
      engine::g_matcher.use_wide = wide;
      enginetest::fill_scan(buf);
      out.clear();
      driver::reset_counters();
      EXPECT_EQ(engine::buffer_search(first, last), expected.empty() ? 0 : 1) << "round " << round;
      EXPECT_EQ(reported_names(out), expected) << "round " << round << (wide ? " wide" : " plain");
      EXPECT_EQ(engine::g_matcher.all_long, all_heads);
    }
  }
}

}  // namespace
