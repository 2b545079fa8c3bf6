// Compression detection: kind names, archive extensions, and the header and entry-point
// signatures of packed executables and self-extracting archives.
//
// A signature is a list of (offset, byte) pairs that must all match. Header signatures are
// tested in table order on the first 48 bytes; between the fourth and the fifth the file must
// start with "MZ" or "ZM" (the first four recognise program images without a header). Entry
// signatures are tested on the 64 bytes at the DOS entry point.
#include <array>
#include <cstring>
#include <initializer_list>

#include "unpack/bitio.h"
#include "unpack/unpack.h"

namespace unpack {

namespace {

constexpr std::array<const char*, 20> kNames = {
    "Unknown", "ARC", "ARJ", "BOO", "LZH", "PAK", "ZIP", "ZOO", "PKLite", "ARJ self extract",
    "LX 0.9X", "LHarc", "TopSpeed CRUNCH", "PKARCK", "BSA", "LARC", "LH", "LZEXE", "Diet", "Cruncher"};

struct Pair {
  uint8_t off;
  uint8_t value;
};

struct Signature {
  int kind;
  std::initializer_list<Pair> pairs;
};

// Offsets followed by consecutive bytes: run(o, {b0, b1, ...}) as pairs.
bool matches(std::span<const uint8_t> buf, std::initializer_list<Pair> pairs) {
  for (const Pair& p : pairs)
    if (p.off >= buf.size() || buf[p.off] != p.value) return false;
  return true;
}

bool run_matches(std::span<const uint8_t> buf, size_t off, const char* text) {
  const size_t n = std::strlen(text);
  if (off > buf.size() || buf.size() - off < n) return false;
  return std::memcmp(buf.data() + off, text, n) == 0;
}

// Header signatures before the "MZ" gate (program images).
const Signature kImageSignatures[] = {
    {kKindZip, {{0x00, 0x50}, {0x01, 0x4B}, {0x02, 0x03}, {0x03, 0x04}}},
    {kKindPklite,
     {{0x00, 0xB8}, {0x03, 0xBA}, {0x06, 0x3B}, {0x07, 0xC4}, {0x08, 0x73}, {0x0A, 0x8B}, {0x0B, 0xC4},
      {0x0C, 0x2D}}},
    {kKindCruncher,
     {{0x00, 0xBF}, {0x03, 0x3B}, {0x04, 0xFC}, {0x05, 0x72}, {0x06, 0x04}, {0x07, 0xB4}, {0x08, 0x4C},
      {0x09, 0xCD}, {0x0A, 0x21}, {0x0B, 0xBE}, {0x0E, 0xB9}, {0x11, 0xFD}, {0x12, 0xF3}, {0x13, 0xA5},
      {0x14, 0xFC}, {0x15, 0x8B}, {0x16, 0xF7}, {0x17, 0xBF}, {0x1A, 0xAD}, {0x1B, 0xAD}, {0x1C, 0x8B},
      {0x1D, 0xE8}, {0x1E, 0xB2}, {0x1F, 0x10}, {0x20, 0xE9}}},
    {kKindDiet,
     {{0x00, 0xBE}, {0x03, 0xBF}, {0x06, 0xB9}, {0x09, 0x3B}, {0x0A, 0xFC}, {0x0B, 0x72}, {0x0C, 0x04},
      {0x0D, 0xB4}, {0x0E, 0x4C}, {0x0F, 0xCD}, {0x10, 0x21}, {0x11, 0xFD}, {0x12, 0xF3}, {0x13, 0xA5},
      {0x14, 0xFC}, {0x15, 0x8B}, {0x16, 0xF7}, {0x17, 0xBF}, {0x18, 0x00}, {0x19, 0x01}, {0x1A, 0xAD},
      {0x1B, 0xAD}, {0x1C, 0x8B}, {0x1D, 0xE8}, {0x1E, 0xB2}, {0x1F, 0x10}, {0x20, 0xE9}}},
};

// Header signatures of DOS executables (after the gate), in order.
int mz_header_kind(std::span<const uint8_t> h) {
  if (run_matches(h, 0x1C, "RJSX")) return kKindArjSfx;
  if (run_matches(h, 0x1C, "LZ09") || run_matches(h, 0x1C, "LZ91")) return kKindLz09;
  if (run_matches(h, 0x1E, "PKLITE")) return kKindPklite;
  if (run_matches(h, 0x25, "LHarc's SFX")) return kKindLharc;
  if (run_matches(h, 0x24, "LH") && (run_matches(h, 0x26, "a") || run_matches(h, 0x26, "A")) &&
      run_matches(h, 0x27, "'s SFX"))
    return kKindLharc;
  if (matches(h, {{0x1C, 0x01}, {0x1D, 0x00}, {0x1E, 0x8A}, {0x1F, 0x01}, {0x20, 0x65}, {0x21, 0x15}}))
    return kKindCrunch;
  if (matches(h, {{0x1C, 0x01}, {0x1D, 0x00}, {0x1E, 0x02}, {0x1F, 0x00}, {0x20, 0x00}, {0x21, 0x07}}))
    return kKindPkarck;
  if (matches(h, {{0x1C, 0x0F}, {0x1D, 0x00}, {0x1E, 0xA7}})) return kKindBsa;
  if (run_matches(h, 0x20, "SFX by LARC")) return kKindLarc;
  if (run_matches(h, 0x24, "LH's SFX")) return kKindLh;
  return kKindNone;
}

const Signature kEntrySignatures[] = {
    {kKindLzexe,
     {{0x00, 0x06}, {0x01, 0x0E}, {0x02, 0x1F}, {0x03, 0x8B}, {0x04, 0x0E}, {0x05, 0x0C}, {0x06, 0x00},
      {0x07, 0x8B}, {0x08, 0xF1}, {0x09, 0x4E}, {0x0A, 0x89}, {0x0B, 0xF7}, {0x0C, 0x8C}, {0x0D, 0xDB},
      {0x0E, 0x03}, {0x0F, 0x1E}}},
    {kKindPklite,
     {{0x00, 0xB8}, {0x03, 0xBA}, {0x06, 0x05}, {0x09, 0x3B}, {0x0A, 0x06}, {0x0B, 0x02}, {0x0C, 0x00},
      {0x0D, 0x72}, {0x0E, 0x1B}, {0x0F, 0xB4}}},
    {kKindDiet,
     {{0x00, 0xF9}, {0x01, 0x9C}, {0x02, 0xEB}, {0x03, 0x09}, {0x0D, 0x06}, {0x0E, 0x1E}, {0x0F, 0x57},
      {0x10, 0x56}, {0x11, 0x52}, {0x12, 0x51}, {0x13, 0x53}, {0x14, 0x50}, {0x15, 0x0E}, {0x16, 0xFC},
      {0x17, 0x8C}, {0x18, 0xC8}, {0x19, 0x2E}, {0x1A, 0x01}, {0x1B, 0x06}, {0x1C, 0x49}, {0x1D, 0x00},
      {0x1E, 0xBA}, {0x21, 0x03}, {0x22, 0xC2}, {0x23, 0x8B}, {0x24, 0xD8}}},
    {kKindDiet,
     {{0x00, 0xFC}, {0x01, 0x06}, {0x02, 0x1E}, {0x03, 0x0E}, {0x04, 0x8C}, {0x05, 0xC8}, {0x06, 0x01},
      {0x07, 0x06}, {0x0A, 0xBA}, {0x0D, 0x03}, {0x0E, 0xC2}, {0x0F, 0x8B}, {0x10, 0xD8}, {0x11, 0x05},
      {0x14, 0x8E}, {0x15, 0xDB}, {0x16, 0x8E}, {0x17, 0xC0}, {0x18, 0x33}, {0x19, 0xF6}, {0x1A, 0x33},
      {0x1B, 0xFF}, {0x1C, 0xB9}, {0x1D, 0x08}, {0x1E, 0x00}, {0x1F, 0xF3}, {0x20, 0xA5}}},
    {kKindDiet,
     {{0x00, 0xF9}, {0x01, 0x9C}, {0x02, 0xEB}, {0x03, 0x09}, {0x0D, 0x06}, {0x0E, 0x1E}, {0x0F, 0x57},
      {0x10, 0x56}, {0x11, 0x52}, {0x12, 0x51}, {0x13, 0x53}, {0x14, 0x50}, {0x15, 0x0E}, {0x16, 0xFC},
      {0x17, 0x8C}, {0x18, 0xC8}, {0x1C, 0x03}, {0x1D, 0xD0}, {0x1E, 0x52}, {0x1F, 0xBA}, {0x22, 0x52},
      {0x23, 0xBA}}},
};

// Reads exactly n bytes at off: 1 when all arrived, 0 when fewer did or the seek failed,
// -1 when the read failed.
int read_exact(const ReadAt& read_at, uint64_t off, uint8_t* dest, size_t n) {
  size_t got = 0;
  while (got < n) {
    const int64_t r = read_at(off + got, dest + got, n - got);
    if (r == kSeekFailed) return 0;
    if (r < 0) return -1;
    if (r == 0) return 0;
    got += size_t(r);
  }
  return 1;
}

}  // namespace

const char* compressor_name(int kind) {
  if (kind < 1 || kind > 19) return kNames[0];
  return kNames[size_t(kind)];
}

bool is_expandable(int kind) {
  return kind == kKindPklite || kind == kKindLz09 || kind == kKindDiet || kind == kKindCruncher;
}

int archive_kind(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return 0;
  const std::string_view ext = name.substr(dot + 1);
  if (ext.size() < 3) return 0;
  char e[3];
  for (int i = 0; i < 3; ++i) e[i] = host::upper_char(ext[size_t(i)]);
  static const struct {
    const char* ext;
    int kind;
  } kExtensions[] = {{"ARC", kKindArc}, {"ARJ", kKindArj}, {"BOO", kKindBoo}, {"LZH", kKindLzh},
                     {"PAK", kKindPak}, {"ZIP", kKindZip}, {"ZOO", kKindZoo}};
  for (const auto& x : kExtensions)
    if (std::memcmp(e, x.ext, 3) == 0) return x.kind;
  return 0;
}

int detect(std::string_view search_name, const ReadAt& read_at) {
  const int by_name = archive_kind(search_name);
  if (by_name != 0) return by_name;

  std::array<uint8_t, kHeaderBytes> head{};
  const int got = read_exact(read_at, 0, head.data(), head.size());
  if (got < 0) return kUnreadable;
  if (got == 0) return kKindNone;
  for (const Signature& sig : kImageSignatures)
    if (matches(head, sig.pairs)) return sig.kind;
  if (!((head[0] == 'M' && head[1] == 'Z') || (head[0] == 'Z' && head[1] == 'M'))) return kKindNone;
  const int kind = mz_header_kind(head);
  if (kind != kKindNone) return kind;

  uint16_t header_paras = 0, ip = 0, cs = 0;
  detail::get_le16(head, 0x08, header_paras);
  detail::get_le16(head, 0x14, ip);
  detail::get_le16(head, 0x16, cs);
  const uint32_t entry = ((uint32_t(header_paras) + cs) * 16 + ip) & 0xFFFFF;
  std::array<uint8_t, kEntryBytes> code{};
  const int at_entry = read_exact(read_at, entry, code.data(), code.size());
  if (at_entry < 0) return kUnreadable;
  if (at_entry == 0) return kKindNone;
  for (const Signature& sig : kEntrySignatures)
    if (matches(code, sig.pairs)) return sig.kind;
  return kKindNone;
}

int detect_bytes(std::string_view search_name, std::span<const uint8_t> file) {
  return detect(search_name, bytes_reader(file));
}

ReadAt bytes_reader(std::span<const uint8_t> bytes) {
  return [bytes](uint64_t offset, uint8_t* dest, size_t n) -> int64_t {
    if (offset >= bytes.size()) return 0;
    const size_t avail = bytes.size() - size_t(offset);
    const size_t take = n < avail ? n : avail;
    std::memcpy(dest, bytes.data() + offset, take);
    return int64_t(take);
  };
}

ReadAt file_reader(host::File& file) {
  return [&file](uint64_t offset, uint8_t* dest, size_t n) -> int64_t {
    if (host::seek_file(file, int64_t(offset), 0, nullptr) != 0) return kSeekFailed;
    size_t got = 0;
    if (host::read_file(file, dest, n, got) != 0) return kReadFailed;
    return int64_t(got);
  };
}

}  // namespace unpack
