// The virus data stream and its carriers: entry reading, the built-in block and the
// identity-file text.
#include "virusdata/stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace virusdata;
using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes name_bytes(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}
Bytes record(const Bytes& program) {
  return cat({{uint8_t(program.size() & 0xFF), uint8_t(program.size() >> 8)}, program});
}

TEST(StreamEntries, TableOfStreams) {
  const Bytes hdr = {0x00, 0x01};
  const struct {
    const char* what;
    Bytes in;
    int result;
    size_t entries;
  } cases[] = {
      {"header only", hdr, kStreamOk, 0},
      {"empty", {}, kStreamIncompatible, 0},
      {"wrong second header byte", {0x00, 0x02}, kStreamIncompatible, 0},
      {"wrong first header byte", {0x01, 0x01}, kStreamIncompatible, 0},
      {"15-byte name", cat({hdr, name_bytes("ABCDEFGHIJKLMNO"), {0}}), kStreamOk, 1},
      {"16-byte name", cat({hdr, name_bytes("ABCDEFGHIJKLMNOP"), {0}}), kStreamCorrupt, 0},
      {"empty name", cat({hdr, name_bytes(""), {0}}), kStreamOk, 1},
      {"count 0", cat({hdr, name_bytes("V"), {0}}), kStreamOk, 1},
      {"record length 0", cat({hdr, name_bytes("V"), {1, 0, 0}}), kStreamCorrupt, 0},
      {"0xFB of 2 bytes", cat({hdr, name_bytes("V"), {1}, record({0xFB, 1})}), kStreamCorrupt, 0},
      {"0xFB of 3 bytes", cat({hdr, name_bytes("V"), {1}, record({0xFB, 1, 2})}), kStreamOk, 1},
      {"0x03 of 2 bytes", cat({hdr, name_bytes("V"), {1}, record({0x03, 1})}), kStreamCorrupt, 0},
      {"0xFC of 1 byte", cat({hdr, name_bytes("V"), {1}, record({0xFC})}), kStreamCorrupt, 0},
      {"0xFC of 2 bytes", cat({hdr, name_bytes("V"), {1}, record({0xFC, 0x4D})}), kStreamOk, 1},
      {"other of 1 byte", cat({hdr, name_bytes("V"), {1}, record({0xB4})}), kStreamOk, 1},
      {"length past the end", cat({hdr, name_bytes("V"), {1, 0xFF, 0xFF, 0x90}}), kStreamCorrupt, 0},
  };
  for (const auto& c : cases) {
    std::vector<StreamEntry> entries;
    const char* reason = nullptr;
    EXPECT_EQ(split_stream(c.in, entries, &reason), c.result) << c.what;
    EXPECT_EQ(entries.size(), c.entries) << c.what;
    EXPECT_EQ(reason != nullptr, c.result != kStreamOk) << c.what;  // every refusal says why
  }
}

TEST(StreamEntries, EveryTruncationIsCorruptButAtEntryBoundaries) {
  const Bytes first = cat({name_bytes("Alpha"), {2}, record({0xFB, 0x4D, 0x5A, 0x01}), record({0x42, 0x43})});
  const Bytes second = cat({name_bytes("Beta"), {1}, record({0xFC, 0xE9, 0x00, 0x11})});
  const Bytes stream = cat({{0x00, 0x01}, first, second});
  const size_t boundary1 = 2 + first.size();
  for (size_t len = 0; len <= stream.size(); ++len) {
    std::vector<StreamEntry> entries;
    const int r = split_stream(std::span(stream.data(), len), entries);
    if (len < 2) {
      EXPECT_EQ(r, kStreamIncompatible) << len;
    } else if (len == 2 || len == boundary1 || len == stream.size()) {
      EXPECT_EQ(r, kStreamOk) << len;
    } else {
      EXPECT_EQ(r, kStreamCorrupt) << len;
      EXPECT_EQ(entries.size(), len < boundary1 ? 0u : 1u) << len;
    }
  }
  std::vector<StreamEntry> entries;
  ASSERT_EQ(split_stream(stream, entries), kStreamOk);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "Alpha");
  ASSERT_EQ(entries[0].records.size(), 2u);
  EXPECT_EQ(entries[0].records[0], (Bytes{0xFB, 0x4D, 0x5A, 0x01}));
  EXPECT_EQ(entries[0].records[1], (Bytes{0x42, 0x43}));
  EXPECT_EQ(entries[1].name, "Beta");
  EXPECT_EQ(entries[1].records[0], (Bytes{0xFC, 0xE9, 0x00, 0x11}));
}

// A built-in block made by hand: the stream scrambled byte by byte and cut into chunks.
struct HandBlock {
  uint8_t header[kBuiltinHeaderSize] = {};
  std::vector<Bytes> chunk_bytes;
  std::vector<const uint8_t*> chunk_ptrs;
  BuiltinBlock block{};
};
void make_block(HandBlock& hb, const Bytes& stream, uint32_t chunk_size, uint32_t declared_length) {
  const uint32_t len = uint32_t(stream.size());
  for (int i = 0; i < 4; ++i) {
    hb.header[16 + i] = uint8_t(declared_length >> (8 * i));
    hb.header[20 + i] = uint8_t(chunk_size >> (8 * i));
  }
  for (uint32_t i = 0; i < len; ++i) {
    if (i % chunk_size == 0) hb.chunk_bytes.emplace_back(chunk_size, 0xEE);
    hb.chunk_bytes.back()[i % chunk_size] = stream[i] ^ kDescrambleKey[(len - i) % 8];
  }
  for (const auto& c : hb.chunk_bytes) hb.chunk_ptrs.push_back(c.data());
  hb.block = BuiltinBlock{hb.header, hb.chunk_ptrs.data(), hb.chunk_ptrs.size(), nullptr, 0, 0, nullptr};
}

TEST(BuiltinBlock, DescramblesAcrossChunksAndRefusesInconsistentHeaders) {
  Bytes stream = cat({{0x00, 0x01}, name_bytes("Chunky"), {1}, record({0x50, 0x51, 0x52, 0x53, 0x54, 0x55})});
  HandBlock hb;
  make_block(hb, stream, 5, uint32_t(stream.size()));
  Bytes out;
  ASSERT_EQ(descramble_builtin(hb.block, out), 0);
  EXPECT_EQ(out, stream);

  HandBlock too_long;
  make_block(too_long, stream, 5, uint32_t(too_long.chunk_bytes.size() * 5 + 100));
  too_long.header[16] = uint8_t(stream.size() + 20);  // more than its chunks hold
  EXPECT_EQ(descramble_builtin(too_long.block, out), kStreamDamaged);

  HandBlock zero_chunk;
  make_block(zero_chunk, stream, 5, uint32_t(stream.size()));
  zero_chunk.header[20] = 0;
  EXPECT_EQ(descramble_builtin(zero_chunk.block, out), kStreamDamaged);
}

// Identity-file text for a list of blocks, each scrambled and followed by its check byte.
std::string ide_text(const std::vector<Bytes>& blocks, const char* sep = " ") {
  static const char* hex = "0123456789ABCDEF";
  std::string t;
  auto put = [&](uint8_t b) {
    t += hex[b >> 4];
    t += sep;  // blanks may stand even inside a pair
    t += hex[b & 15];
    t += "\r\n";
  };
  for (const auto& block : blocks) {
    const int c = int(block.size());
    put(uint8_t(c));
    uint8_t check = 0;
    for (int k = 0; k < c; ++k) {
      put(block[k] ^ kDescrambleKey[(c - k) % 8]);
      check ^= block[k];
    }
    put(check);
  }
  return t;
}
Bytes text_bytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

TEST(IdentityText, BlocksChecksAndCleanEnds) {
  const Bytes a = {0x00, 0x01, 'E', 'V', 0x00, 0x01, 0x02, 0x00, 0x41, 0x42, 0x43};
  const Bytes b = {};
  const Bytes c = {0x10, 0x20, 0x30};
  const std::string good = ide_text({a, b, c}, "\t");
  Bytes out;
  size_t off = 0;
  ASSERT_EQ(decode_identity_text(text_bytes(good), out, off), 0);
  EXPECT_EQ(out, cat({a, c}));

  // Each text below is the good text of one block with something changed or appended.
  const std::string one = ide_text({c});
  std::string bad_check = one;
  bad_check[bad_check.size() - 3] ^= 1;  // last hex digit of the check byte ("X X\r\n")
  const struct {
    const char* what;
    std::string text;
    int result;
    size_t bytes;
    size_t fail_at;
  } cases[] = {
      {"ends right after a check byte", one, 0, 3, 0},
      {"bad check byte", bad_check, kStreamDamaged, 3, one.size() - 2},
      {"non-hex where a count is expected", one + "xyz", 0, 3, 0},
      {"lone digit then the end where a count is expected", one + "4", 0, 3, 0},
      {"non-hex inside a block", "03 4Q", kStreamDamaged, 0, 5},
      {"end inside a block", "03 41 42", kStreamDamaged, 2, 8},
      {"empty text", "", 0, 0, 0},
  };
  for (const auto& k : cases) {
    const int r = decode_identity_text(text_bytes(k.text), out, off);
    EXPECT_EQ(r, k.result) << k.what;
    EXPECT_EQ(out.size(), k.bytes) << k.what;
    if (r != 0) {
      EXPECT_EQ(off, k.fail_at) << k.what;
    }
  }
}

TEST(IdentityText, StreamOverIdentityTextReportsWhereItStopped) {
  // A 16-byte name inside good blocks: the text is sound but the stream is corrupt, and the
  // offset points just after the block byte that carried the 16th name character.
  const Bytes stream = cat({{0x00, 0x01}, Bytes(16, 'N')});
  const Bytes text = text_bytes(ide_text({stream}, ""));
  StreamSource src = memory_source(SourceKind::kIdentity, text);
  EXPECT_EQ(read_stream(src, {}), kStreamCorrupt);
  const size_t per_byte = 4;  // two digits and "\r\n"
  EXPECT_EQ(src.failure_offset, per_byte * (1 + 18) - 2);
}

}  // namespace
