// The identity search: which lists run for an object, from which offset and position, the
// diagnostic bit that runs every record, deletions, and following jumps into a file.
#include <fstream>

#include "engine_test_util.h"

namespace {

using enginetest::hex;

class IdentitySearchTest : public enginetest::EngineFixture {
 protected:
  int search(const std::string& data, int64_t length = -1, int64_t base = 0) {
    std::vector<uint8_t> bytes = hex(data);
    enginetest::fill_scan(bytes);
    findings::g_findings.location.kind = findings::kLocLogicalSector;
    return engine::identity_search(-1, int64_t(bytes.size()), base, length < 0 ? int64_t(bytes.size()) : length, 0);
  }
};

TEST_F(IdentitySearchTest, EachListRunsForItsObjects) {
  enginetest::load_library(
      "virus \"Pair\"\nrecord\npair 4D 5A\nbyte 90\nreport\nend\n"
      // Same pair list as 4D 5A ((0x4C * 4) ^ 0x5E == (0x4D * 4) ^ 0x5A): runs from offset 3 too.
      "virus \"Cousin\"\nrecord\npair 4C 5E\nbyte 91\nreport\nend\n"
      "virus \"First\"\nrecord\nbyte E9\nbyte 00\nreport\nend\n"
      "virus \"Length\"\nrecord\nsize 16\nreport\nend\n"
      "virus \"General\"\nrecord\nat 1\nbyte 77\nreport\nend\n");
  const struct { const char* what; const char* data; int64_t length; int64_t base; const char* name; } cases[] = {
      {"pair list", "4D 5A 90", -1, 0, "Pair"},
      {"a record of the same pair list with another key pair", "4D 5A 91", -1, 0, "Cousin"},
      {"pair bit not set", "4C 5F 91", -1, 0, nullptr},
      {"first-byte list", "E9 00", -1, 0, "First"},
      {"length list", "00 00", 16, 0, "Length"},
      {"length list with a base", "00 00", 20, 4, "Length"},
      {"length list not for 65536 and more", "00 00", 65536 + 16, 0, nullptr},
      {"length list not when L - B is negative", "00 00", 16, 32, nullptr},
      {"general list", "00 77", -1, 0, "General"},
  };
  for (const auto& c : cases) {
    out.clear();
    const int rc = search(c.data, c.length, c.base);
    if (c.name) {
      EXPECT_EQ(rc, -4) << c.what;
      EXPECT_NE(out.find(std::string("'") + c.name + "'"), std::string::npos) << c.what << ": " << out;
    } else {
      EXPECT_EQ(rc, 0) << c.what << ": " << out;
    }
  }
}

TEST_F(IdentitySearchTest, FirstFoundEndsTheSearchUnlessDiagnosticBitFour) {
  enginetest::load_library(
      "virus \"One\"\nrecord\nbyte 41\nreport\nend\n"
      "virus \"Two\"\nrecord\nreport\nend\n");
  EXPECT_EQ(search("41"), -4);
  EXPECT_EQ(driver::g_counters.identity_findings, 1);

  driver::reset_counters();
  driver::g_settings.diagnostic_mask = engine::kDiagnosticRunAll;
  EXPECT_EQ(search("41"), 0);
  EXPECT_EQ(driver::g_counters.identity_findings, 2);
}

TEST_F(IdentitySearchTest, FaultyProgramEndsTheSearchWithMinusTwo) {
  enginetest::load_library(
      "virus \"Good\"\nrecord\nreport\nend\n"
      "virus \"Bad\"\nrecord\ndb 00\nend\n");
  // Later records are tried first: the faulty one ends the search.
  EXPECT_EQ(search("41"), -2);
  EXPECT_EQ(driver::g_counters.identity_findings, 0);
}

TEST_F(IdentitySearchTest, DeletedNamesNeverReport) {
  enginetest::load_library(
      "virus \"Gone\"\nrecord\nbyte 41\nreport\nend\nrecord\nfinish\nend\n"
      "virus \"Gone\"\nrecord\ndelete\nend\n");
  EXPECT_EQ(search("41"), 0);
  EXPECT_EQ(driver::g_counters.identity_findings, 0);
  EXPECT_EQ(out, "");
}

TEST_F(IdentitySearchTest, ReadBlockFollowsIntoTheFileAndCachesTheBlock) {
  char tmpl[] = "/tmp/identity_search_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string name = dir + "/PROG.COM";
  std::string bytes(3000, '\0');
  bytes[0] = char(0xE9);
  bytes[2000] = 'V';
  bytes[2001] = 'X';
  std::ofstream(name, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  enginetest::load_library(
      "virus \"Follow\"\nrecord\nbyte E9\npush16 2000\nreadblock\nbyte 56\npushbase\ntopis 2000\n"
      "push16 2000\nreadblock\nskip 1\nbyte 58\nreport\nend\n"
      "virus \"Beyond\"\nrecord\npush16 3000\nreadblock\nreport\nend\n");
  const int h = engine::open_file(name, engine::kOpenRead, 0);
  ASSERT_GT(h, 0);
  ASSERT_EQ(engine::read_file(h, engine::g_scan.bytes.data(), 1024), 1024);
  findings::set_file_location(name);
  EXPECT_EQ(engine::identity_search(h, 1024, 0, 3000, 0), -4);
  EXPECT_NE(out.find("'Follow'"), std::string::npos) << out;
  EXPECT_EQ(out.find("'Beyond'"), std::string::npos) << out;
  EXPECT_EQ(engine::g_identity.cached_offset, 2000);
  // A block at or beyond the object length is not read: the program fails.
  engine::g_scan.bytes[0] = 0;
  EXPECT_EQ(engine::identity_search(h, 1024, 0, 3000, 0), 0);
  EXPECT_EQ(out.find("'Beyond'"), std::string::npos) << out;
  engine::close_file(h);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
