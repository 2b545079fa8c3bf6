// The data compiler's outputs, checked against the virus data library's own readers: the
// built-in block (header, scrambled chunks, pattern records, counts) loads; the identity-file
// text and the pattern file read back to the same stream and records; the generated C++
// source, a VDL and an identity file disassemble and reassemble to the same output; and our
// data issue under data/ compiles, with its checks matching its sample files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "driver/base/settings.h"
#include "text.h"
#include "vdc.h"
#include "virusdata/builtin.h"
#include "virusdata/checksum.h"
#include "virusdata/library.h"
#include "virusdata/stream.h"

namespace {

vdc::Issue assemble(const std::string& source, const std::string& base_dir = ".") {
  vdc::Issue issue;
  std::vector<vdc::Diagnostic> diagnostics;
  const bool ok = vdc::assemble_source(source, "t.vds", base_dir, issue, diagnostics);
  std::string all;
  for (const auto& d : diagnostics) all += vdc::format_diagnostic(d) + "\n";
  EXPECT_TRUE(ok) << all;
  return issue;
}

// A BuiltinBlock over an image's vectors (which must outlive it).
struct BlockView {
  std::vector<const uint8_t*> chunks;
  virusdata::BuiltinBlock block{};
};
BlockView view_of(const vdc::BuiltinImage& image) {
  BlockView v;
  for (size_t at = 0; at < image.scrambled.size(); at += virusdata::kBuiltinChunkSize)
    v.chunks.push_back(image.scrambled.data() + at);
  v.block = {image.header.data(), v.chunks.data(), v.chunks.size(), image.patterns.data(),
             image.patterns.size() / vdc::kPatternRecordSize, image.virus_count, image.heads.data()};
  return v;
}

const char kSmallIssue[] =
    "issue 261210\n"
    "expires 270410\n"
    "virus \"Alpha\"\n"
    "record\n"
    "    pair 4D 5A\n"
    "    finish\n"
    "end\n"
    "record\n"
    "    byte E9\n"
    "    report\n"
    "    stop\n"
    "end\n"
    "virus \"\"\n"                       // an entry without a name
    "virus \"beta\"\n"
    "record\n"
    "    size 1024\n"
    "    finish\n"
    "end\n"
    "pattern \"BETA\" 01 02 03 04 05\n"   // same name as an entry, other case
    "pattern \"Gamma ray\" B8 00 4C CD 21\n";

TEST(VdcOutputs, BuiltinBlockLoadsIntoTheLibrary) {
  vdc::Issue issue = assemble(kSmallIssue);
  // a record long enough to spread the stream over several chunks
  issue.entries.push_back({"Big", {vdc::Record{std::vector<uint8_t>(40000, 0xEC)}}});
  const std::vector<uint8_t> stream = vdc::encode_stream(issue.entries);
  const vdc::BuiltinImage image = vdc::make_builtin_image(issue);

  const std::vector<uint8_t> header = {'2', '6', '1', '2', '1', '0', 0, 0, '2', '7', '0', '4', '1', '0', 0, 0,
                                       uint8_t(stream.size()), uint8_t(stream.size() >> 8), uint8_t(stream.size() >> 16), 0,
                                       0x00, 0x40, 0x00, 0x00};
  EXPECT_EQ(image.header, header);
  EXPECT_EQ(image.scrambled.size(), stream.size());
  EXPECT_EQ(image.virus_count, 4);  // Alpha, beta/BETA, Gamma ray, Big; the empty name is none

  BlockView v = view_of(image);
  ASSERT_EQ(v.block.chunk_count, 3u);
  std::vector<uint8_t> plain;
  ASSERT_EQ(virusdata::descramble_builtin(v.block, plain), 0);
  EXPECT_EQ(plain, stream);

  driver::reset_state();
  virusdata::reset_library();
  ASSERT_EQ(virusdata::load_builtin_data(v.block, true, "ntbrint"), 0);
  EXPECT_EQ(virusdata::g_library.pattern_count, 2);
  EXPECT_EQ(driver::g_state.virus_count, 4);
  EXPECT_EQ(virusdata::g_library.records.size(), 4u);
  EXPECT_EQ(virusdata::g_library.pattern_table[1].name, "Gamma ray");
  // The block keeps the heads of signatures it was made from; the loader takes each one
  // only when it gives the record's digest.
  const virusdata::PatternRecord& gamma = virusdata::g_library.pattern_table[1];
  EXPECT_TRUE(gamma.head_known);
  EXPECT_EQ(gamma.head[0], 0xB8);
  std::vector<uint8_t> heads = image.heads;
  heads[virusdata::kPatternHeadStride + 1] ^= 1;
  v.block.pattern_heads = heads.data();
  virusdata::reset_library();
  ASSERT_EQ(virusdata::load_builtin_data(v.block, true, "ntbrint"), 0);
  EXPECT_TRUE(virusdata::g_library.pattern_table[0].head_known);
  EXPECT_FALSE(virusdata::g_library.pattern_table[1].head_known);
}

TEST(VdcOutputs, PatternRecordsMatchTheUserPatternReader) {
  const std::vector<uint8_t> sig = {0x0E, 0x1F, 0xB4, 0x09, 0xBA, 0x0E, 0x00, 0xCD, 0x21, 0xB8};
  const std::vector<uint8_t> rec = vdc::make_pattern_record("Brint Test EXE", sig);
  ASSERT_EQ(rec.size(), 35u);
  EXPECT_EQ(rec[0], 10);
  EXPECT_EQ(std::vector<uint8_t>(rec.begin() + 1, rec.begin() + 5), (std::vector<uint8_t>{0xB8, 0x21, 0xCD, 0x00}));
  uint32_t w0 = 0, w1 = 0;
  virusdata::checksum64_of(virusdata::kPatternKey, sig.data(), 6, w0, w1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(rec[5 + i], uint8_t(w0 >> (8 * i)));
    EXPECT_EQ(rec[9 + i], uint8_t(w1 >> (8 * i)));
  }
  EXPECT_EQ(std::vector<uint8_t>(rec.begin() + 13, rec.begin() + 18), std::vector<uint8_t>(5, 0));  // hash, reserved
  EXPECT_EQ(std::string(rec.begin() + 18, rec.begin() + 32), "Brint Test EXE");
  EXPECT_EQ(std::vector<uint8_t>(rec.begin() + 32, rec.end()), std::vector<uint8_t>(3, 0));

  // The pattern file we write is read by the user pattern reader into the same records.
  const vdc::Issue issue = assemble(kSmallIssue);
  std::string text;
  std::vector<vdc::Diagnostic> d;
  ASSERT_TRUE(vdc::write_pattern_file(issue.patterns, text, d));
  EXPECT_EQ(text,
            "; user pattern file written by brint-vdc: name (underscores stand for spaces), signature\n"
            "BETA 0102030405\n"
            "Gamma_ray B8004CCD21\n");
  virusdata::reset_library();
  virusdata::reset_pattern_state();
  ASSERT_EQ(virusdata::add_pattern(0, "Gamma_ray B8004CCD21", ""), 0);
  const virusdata::PatternRecord& loaded = virusdata::g_library.pattern_table[0];
  const std::vector<uint8_t> ours = vdc::make_pattern_record("Gamma ray", {0xB8, 0x00, 0x4C, 0xCD, 0x21});
  EXPECT_EQ(loaded.name, "Gamma ray");
  EXPECT_EQ(loaded.length, ours[0]);
  EXPECT_TRUE(std::equal(loaded.tail, loaded.tail + 4, ours.begin() + 1));
  EXPECT_TRUE(std::equal(loaded.digest, loaded.digest + 8, ours.begin() + 5));

  // Names the pattern file cannot carry are refused, not bent.
  for (const char* name : {"A_B", "A;B", " AB"}) {
    d.clear();
    EXPECT_FALSE(vdc::write_pattern_file({vdc::Pattern{name, {1, 2, 3, 4}, {}}}, text, d)) << name;
    EXPECT_EQ(d.size(), 1u);
  }
}

TEST(VdcOutputs, IdentityFileTextReadsBackToTheStream) {
  vdc::Issue issue = assemble(kSmallIssue);
  const std::vector<uint8_t> stream = vdc::encode_stream(issue.entries);
  const std::string text = vdc::write_ide(stream);
  std::vector<uint8_t> back;
  size_t failure = 0;
  ASSERT_EQ(virusdata::decode_identity_text({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, back, failure), 0);
  EXPECT_EQ(back, stream);
  // blocks of 32 data bytes, one per line: count, scrambled bytes, check byte
  EXPECT_EQ(text.substr(0, 3), "20 ");
  EXPECT_EQ(text.find('\n'), 3u * 34 - 1);

  // The smallest stream: one block of the two header bytes, key bytes (2 - k) % 8.
  EXPECT_EQ(vdc::write_ide({0x00, 0x01}), "02 " + vdc::hex2(0x00 ^ virusdata::kDescrambleKey[2]) + " " +
                                              vdc::hex2(0x01 ^ virusdata::kDescrambleKey[1]) + " 01\n");
}

TEST(VdcOutputs, VirusCountCountsDistinctNames) {
  vdc::Issue issue = assemble(
      "virus \"Dup\"\nvirus \"DUP\"\nvirus \"Gone\"\nrecord\ndelete\nend\npattern \"dup\" 01020304\n"
      "pattern \"Other\" 01020304\n");
  EXPECT_EQ(vdc::virus_count_of(issue), 2);  // Dup (three spellings) and Other; the deletion entry adds none
  issue = assemble("viruscount 6492\nvirus \"A\"\n");
  EXPECT_EQ(vdc::virus_count_of(issue), 6492);
}

TEST(VdcOutputs, EveryIssuedFormDisassemblesAndReassembles) {
  const vdc::Issue issue = assemble(std::string(kSmallIssue) +
                                    "virus \"Odd \\\"name\\\"\\x7F\"\n"
                                    "record\n"
                                    "  alt\n  seq 8: byte 01\n  otherwise\n  loop 3\n  byte 02\n  break\n  endloop\n"
                                    "  endalt\n  checksum sum(01 02 03)\n  finish\n"
                                    "end\n"
                                    "virus \"Zap\"\nrecord\ndelete\nend\n");
  const vdc::BuiltinImage image = vdc::make_builtin_image(issue);
  const std::string cpp = vdc::write_builtin_cpp(image);

  // built-in block: the generated source, back to source text, back to the same generated source
  vdc::BuiltinImage read;
  std::string reason;
  ASSERT_TRUE(vdc::read_builtin_cpp(cpp, read, reason)) << reason;
  vdc::Issue decoded;
  ASSERT_TRUE(vdc::decode_builtin_image(read, decoded, reason)) << reason;
  ASSERT_EQ(decoded.patterns.size(), 2u);
  EXPECT_EQ(decoded.patterns[1].signature, (std::vector<uint8_t>{0xB8, 0x00, 0x4C, 0xCD, 0x21}));  // from its head
  const std::string source = vdc::disassemble_issue(decoded);
  const vdc::Issue again = assemble(source);
  EXPECT_EQ(vdc::write_builtin_cpp(vdc::make_builtin_image(again)), cpp) << source;

  // VDL and identity file: the stream, back to source, back to the same bytes
  const std::vector<uint8_t> stream = vdc::encode_stream(issue.entries);
  std::vector<vdc::Entry> entries;
  ASSERT_TRUE(vdc::decode_stream(stream, entries, reason)) << reason;
  vdc::Issue from_vdl;
  from_vdl.entries = entries;
  EXPECT_EQ(vdc::encode_stream(assemble(vdc::disassemble_issue(from_vdl)).entries), stream);
  std::vector<uint8_t> from_ide;
  ASSERT_TRUE(vdc::decode_ide(vdc::write_ide(stream), from_ide, reason)) << reason;
  EXPECT_EQ(from_ide, stream);

  // A foreign virus count survives the trip as a "viruscount" line.
  read.virus_count = 6492;
  ASSERT_TRUE(vdc::decode_builtin_image(read, decoded, reason));
  EXPECT_EQ(vdc::make_builtin_image(assemble(vdc::disassemble_issue(decoded))).virus_count, 6492);
}

TEST(VdcOutputs, ReadersRefuseWhatTheLoaderRefuses) {
  const struct {
    const char* what;
    std::vector<uint8_t> stream;
  } bad[] = {
      {"wrong format header", {0x00, 0x02}},
      {"16-byte name", {0x00, 0x01, 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 0, 0}},
      {"record length 0", {0x00, 0x01, 'A', 0, 1, 0, 0}},
      {"FB record of 2 bytes", {0x00, 0x01, 'A', 0, 1, 2, 0, 0xFB, 0x01}},
      {"cut inside a record", {0x00, 0x01, 'A', 0, 1, 3, 0, 0xEC}},
      {"cut before the count", {0x00, 0x01, 'A', 0}},
  };
  for (const auto& c : bad) {
    std::vector<vdc::Entry> entries;
    std::string reason;
    EXPECT_FALSE(vdc::decode_stream(c.stream, entries, reason)) << c.what;
    EXPECT_FALSE(reason.empty()) << c.what;
  }
  std::vector<uint8_t> stream;
  std::string reason;
  EXPECT_FALSE(vdc::decode_ide("02 42 52 00\n", stream, reason));  // wrong check byte
  vdc::BuiltinImage image;
  EXPECT_FALSE(vdc::read_builtin_cpp("int x;", image, reason));
  EXPECT_FALSE(vdc::read_builtin_cpp("const uint8_t kHeader[24] = {0x01,", image, reason));
}

// Damaged or hostile inputs are refused or read, never a crash or a read out of bounds
// (this test earns its keep under the sanitizer build).
TEST(VdcOutputs, HostileInputsAreHandled) {
  const vdc::Issue issue = assemble(kSmallIssue);
  const std::string cpp = vdc::write_builtin_cpp(vdc::make_builtin_image(issue));
  const std::vector<uint8_t> stream = vdc::encode_stream(issue.entries);
  const std::string ide = vdc::write_ide(stream);
  const std::string source = vdc::disassemble_issue(issue);
  std::mt19937 random(42);
  for (int n = 0; n < 300; ++n) {
    std::string c = cpp, i = ide, s = source;
    std::vector<uint8_t> v = stream;
    for (int k = 0; k < 4; ++k) {
      c[random() % c.size()] = static_cast<char>(random() % 256);
      i[random() % i.size()] = static_cast<char>(random() % 256);
      s[random() % s.size()] = static_cast<char>(random() % 256);
      v[random() % v.size()] = static_cast<uint8_t>(random() % 256);
    }
    c.resize(random() % (c.size() + 1));
    std::string reason;
    vdc::BuiltinImage image;
    vdc::Issue decoded;
    if (vdc::read_builtin_cpp(c, image, reason)) vdc::decode_builtin_image(image, decoded, reason);
    std::vector<uint8_t> out;
    vdc::decode_ide(i, out, reason);
    std::vector<vdc::Entry> entries;
    if (vdc::decode_stream(v, entries, reason)) {
      // whatever the loader accepts comes back from its source unchanged
      vdc::Issue from;
      from.entries = entries;
      EXPECT_EQ(vdc::encode_stream(assemble(vdc::disassemble_issue(from)).entries), v);
    }
    vdc::Issue scratch;
    std::vector<vdc::Diagnostic> d;
    vdc::assemble_source(s, "fuzz.vds", ".", scratch, d);
  }
}

// Our data issue: it compiles, its dates are those of the issue, and its checks match the
// sample files they were taken from.
TEST(VdcOutputs, OurDataIssue) {
  const std::string data = std::string(BRINT_SOURCE_DIR) + "/data";
  vdc::Issue issue;
  std::vector<vdc::Diagnostic> d;
  ASSERT_TRUE(vdc::assemble_files({data + "/eicar.vds", data + "/issue.vds", data + "/samples.vds"}, issue, d));
  ASSERT_TRUE(vdc::check_issue(issue, true, d));
  EXPECT_EQ(issue.issue_date, "261210");
  EXPECT_EQ(issue.expiry_date, "270410");

  std::vector<uint8_t> eicar;
  ASSERT_TRUE(vdc::read_file_bytes(data + "/samples/eicar.com", eicar));
  ASSERT_EQ(eicar.size(), 68u);
  ASSERT_EQ(issue.entries.size(), 1u);
  EXPECT_EQ(issue.entries[0].name, "EICAR Test");
  const uint32_t c = virusdata::checksum32_of(virusdata::kIdentityKey, eicar.data() + 2, 66);
  EXPECT_EQ(issue.entries[0].records.at(0).program,
            (std::vector<uint8_t>{0xFB, 0x58, 0x35, 0xFF, 66, uint8_t(c >> 24), uint8_t(c >> 16), uint8_t(c >> 8),
                                  uint8_t(c), 0xED}));

  // every pattern's signature is in the sample it was made for
  const struct {
    const char* name;
    const char* sample;
  } made_for[] = {{"EICAR Test", "eicar.com"},      {"Brint Test COM", "testcom.com"}, {"Brint Test EXE", "testexe.exe"},
                  {"Brint Test Boot", "testboot.bin"}, {"Brint Test MBR", "testmbr.bin"}};
  ASSERT_EQ(issue.patterns.size(), std::size(made_for));
  for (size_t i = 0; i < issue.patterns.size(); ++i) {
    EXPECT_EQ(issue.patterns[i].name, made_for[i].name);
    std::vector<uint8_t> sample;
    ASSERT_TRUE(vdc::read_file_bytes(data + "/samples/" + made_for[i].sample, sample));
    const auto& sig = issue.patterns[i].signature;
    EXPECT_NE(std::search(sample.begin(), sample.end(), sig.begin(), sig.end()), sample.end()) << made_for[i].name;
  }
  EXPECT_EQ(vdc::virus_count_of(issue), 5);
}

}  // namespace
