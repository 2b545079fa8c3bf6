// Compressed executables end to end: a virus inside an LZ91-packed program is found only when
// -SC expands it, and the packed file is then left in place; -WC warnings in a whole-drive
// walk; the exit code of a run whose only trouble is compressed files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/expect.h"
#include "e2e/harness.h"
#include "e2e/issue.h"
#include "unpack/lz91_pack.h"

namespace {

std::string at() { return e2e::faketime_at(e2e::data_issue().issue, 1); }

std::string sample(const std::string& name) {
  return e2e::read_file(std::string(BRINT_SOURCE_DIR) + "/data/samples/" + name);
}

std::string packed(const std::string& image) {
  const std::vector<uint8_t> f = unpack_test::pack_lz91(std::vector<uint8_t>(image.begin(), image.end()));
  return std::string(f.begin(), f.end());
}

struct Box : e2e::Drive {
  void put(const std::string& name, const std::string& bytes) const { e2e::write_file(file(name), bytes); }
  // The output after the issue line.
  e2e::RunResult run(std::vector<std::string> args) const {
    auto o = options(std::move(args), at());
    o.env["TMP"] = tmp.path;
    auto r = e2e::run(o);
    const std::string head = e2e::opening(at());
    if (r.out.rfind(head, 0) == 0) r.out = r.out.substr(head.size());
    return r;
  }
  int temp_files() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp.path)) n += e.path().extension() == ".$$$";
    return n;
  }
  e2e::TempDir tmp;
};

TEST(Compressed, VirusInsideAPackedProgramIsFoundOnlyWhenExpanded) {
  NEED_FAKETIME();
  Box b;
  const std::string eicar = packed(sample("eicar.com"));
  b.put("PACKED.EXE", eicar);

  // Without -SC the packed bytes hide the virus.
  auto r = b.run({"-NAB", "-NK", "-REMOVEF", "-NOC", "C:\\PACKED.EXE"});
  EXPECT_NE(r.out.find("No viruses were discovered.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;

  // With -SC the expanded copy is checked; the file is not offered for removal and stays.
  r = b.run({"-NAB", "-NK", "-SC", "-REMOVEF", "-NOC", "C:\\PACKED.EXE"});
  EXPECT_NE(r.out.find(">>> Identity 'EICAR Test' found in file C:\\PACKED.EXE\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("deleted"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_EQ(e2e::read_file(b.file("PACKED.EXE")), eicar);
  EXPECT_EQ(b.temp_files(), 0);

  // -NS shows the expansion at work.
  r = b.run({"-NAB", "-NK", "-SC", "-NS", "C:\\PACKED.EXE"});
  EXPECT_NE(r.out.find("\tC:\\PACKED.EXE\n  Decompressing ...\r\r                   \r"), std::string::npos) << r.out;
  EXPECT_EQ(b.temp_files(), 0);
}

TEST(Compressed, CleanPackedProgramIsExpandedAndClean) {
  NEED_FAKETIME();
  Box b;
  b.put("CLEAN.EXE", packed(std::string(0x400, '\x90')));
  const auto r = b.run({"-NAB", "-NK", "-SC", "-NS", "C:\\CLEAN.EXE"});
  EXPECT_NE(r.out.find("\tC:\\CLEAN.EXE\n  Decompressing ...\r"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("No viruses were discovered.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(b.temp_files(), 0);
}

TEST(Compressed, WarnIfCompressedInAWholeDriveWalk) {
  NEED_FAKETIME();
  Box b;
  b.put("FOO.ZIP", "PK\x03\x04 rest of an archive");
  b.put("FOO.LZH", "-lh5- rest of an archive");
  b.put("FOO.TXT", "PK\x03\x04 text");
  const auto r = b.run({"-WC", "-NAB", "-NK"});
  EXPECT_NE(r.out.find("Warning! File C:\\FOO.LZH is compressed (LZH).\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Warning! File C:\\FOO.ZIP is compressed (ZIP).\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("FOO.TXT"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nWarning! 2 compressed files could not be checked.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 2) << r.out;
}

TEST(Compressed, PackedProgramUnderWarnIfCompressedGivesExitCodeTwo) {
  NEED_FAKETIME();
  Box b;
  b.put("PACKED.EXE", packed(std::string(0x40, '\x90')));
  const auto r = b.run({"-WC", "-NAB", "-NK", "C:\\PACKED.EXE"});
  EXPECT_NE(r.out.find("Warning! File C:\\PACKED.EXE is compressed (LX 0.9X).\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nWarning! 1 compressed file could not be checked.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 2) << r.out;
}

}  // namespace
