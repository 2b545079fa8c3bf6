// The issued forms of the virus data: stream, built-in block (and its generated C++ source),
// identity-file text, pattern records and pattern file; and the readers that take each of
// them back apart for the disassembler. The readers refuse exactly what the loaders refuse,
// so whatever they accept the program accepts too.
#include <algorithm>
#include <cctype>
#include <set>
#include <span>

#include "text.h"
#include "vdc.h"
#include "virusdata/builtin.h"
#include "virusdata/checksum.h"
#include "virusdata/stream.h"

namespace vdc {
namespace {

// A decimal number at the start of s (after blanks); false when there is none or it is huge.
bool leading_number(const std::string& s, size_t& out) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  out = 0;
  for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
    out = out * 10 + static_cast<size_t>(s[i] - '0');
    if (out > (size_t{1} << 32)) return false;
  }
  return true;
}

void put_le32(std::vector<uint8_t>& b, uint32_t v) {
  for (int s = 0; s < 32; s += 8) b.push_back(static_cast<uint8_t>(v >> s));
}

uint32_t get_le32(const std::vector<uint8_t>& b, size_t off) {
  return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 | uint32_t(b[off + 3]) << 24;
}

std::string upper(const std::string& s) {
  std::string out = s;
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::toupper(c); });
  return out;
}

}  // namespace

std::vector<uint8_t> encode_stream(const std::vector<Entry>& entries) {
  std::vector<uint8_t> out = {0x00, 0x01};
  for (const Entry& e : entries) {
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(e.records.size()));
    for (const Record& r : e.records) {
      out.push_back(static_cast<uint8_t>(r.program.size()));
      out.push_back(static_cast<uint8_t>(r.program.size() >> 8));
      out.insert(out.end(), r.program.begin(), r.program.end());
    }
  }
  return out;
}

std::vector<uint8_t> make_pattern_record(const std::string& name, const std::vector<uint8_t>& signature) {
  std::vector<uint8_t> rec(kPatternRecordSize, 0);
  const size_t n = signature.size();
  rec[0] = static_cast<uint8_t>(n);
  for (size_t i = 0; i < 4 && i < n; ++i) rec[1 + i] = signature[n - 1 - i];
  virusdata::pattern_digest(signature.data(), static_cast<int32_t>(n >= 4 ? n - 4 : 0), rec.data() + 5);
  // bytes 13..16 hash (filled in by the index build), 17 reserved: zero
  for (size_t i = 0; i < name.size() && i < kPatternNameRoom - 1; ++i) rec[18 + i] = static_cast<uint8_t>(name[i]);
  return rec;
}

std::string pattern_record_problem(const std::vector<uint8_t>& record) {
  if (record.size() != kPatternRecordSize) return "a pattern record has 35 bytes";
  if (record[0] < kMinPatternBytes || record[0] > kMaxPatternBytes)
    return "the pattern record's length " + std::to_string(record[0]) + " is outside 4..24";
  for (size_t i = 0; i <= kMaxNameLength; ++i)
    if (record[18 + i] == 0) return "";
  return "the pattern record's name has no zero byte within 16 bytes";
}

std::vector<uint8_t> pattern_record_of(const Pattern& p) {
  return p.raw_record.empty() ? make_pattern_record(p.name, p.signature) : p.raw_record;
}

int32_t virus_count_of(const Issue& issue) {
  if (issue.virus_count >= 0) return issue.virus_count;
  std::set<std::string> names;
  for (const Entry& e : issue.entries) {
    bool deleted = false;
    for (const Record& r : e.records)
      if (!r.program.empty() && r.program[0] == 0xB4) deleted = true;
    if (!deleted && !e.name.empty()) names.insert(upper(e.name));
  }
  for (const Pattern& p : issue.patterns)
    if (!p.name.empty()) names.insert(upper(p.name));
  return static_cast<int32_t>(names.size());
}

std::vector<uint8_t> scramble_builtin(const std::vector<uint8_t>& stream) {
  std::vector<uint8_t> out(stream.size());
  const size_t n = stream.size();
  for (size_t i = 0; i < n; ++i) out[i] = stream[i] ^ virusdata::kDescrambleKey[(n - i) % 8];
  return out;
}

BuiltinImage make_builtin_image(const Issue& issue) {
  BuiltinImage image;
  const std::vector<uint8_t> stream = encode_stream(issue.entries);
  for (const std::string* date : {&issue.issue_date, &issue.expiry_date}) {
    for (size_t i = 0; i < 8; ++i) image.header.push_back(i < date->size() ? static_cast<uint8_t>((*date)[i]) : 0);
  }
  put_le32(image.header, static_cast<uint32_t>(stream.size()));
  put_le32(image.header, virusdata::kBuiltinChunkSize);
  image.scrambled = scramble_builtin(stream);
  for (const Pattern& p : issue.patterns) {
    const std::vector<uint8_t> rec = pattern_record_of(p);
    image.patterns.insert(image.patterns.end(), rec.begin(), rec.end());
    std::vector<uint8_t> head(virusdata::kPatternHeadStride, 0);
    if (p.signature.size() >= kMinPatternBytes && make_pattern_record(p.name, p.signature) == rec) {
      head[0] = 1;
      std::copy(p.signature.begin(), p.signature.end() - 4, head.begin() + 1);
    }
    image.heads.insert(image.heads.end(), head.begin(), head.end());
  }
  image.virus_count = virus_count_of(issue);
  return image;
}

namespace {

void append_array(std::string& out, const std::string& decl, const std::vector<uint8_t>& bytes, size_t from,
                  size_t count) {
  out += decl + "[" + std::to_string(count == 0 ? 1 : count) + "] = {";
  if (count == 0) out += "0";
  for (size_t i = 0; i < count; ++i) {
    if (i % 16 == 0) out += "\n    ";
    out += "0x" + hex2(bytes[from + i]) + ",";
  }
  out += "\n};\n";
}

}  // namespace

std::string write_builtin_cpp(const BuiltinImage& image) {
  const size_t chunk = virusdata::kBuiltinChunkSize;
  const size_t chunks = (image.scrambled.size() + chunk - 1) / chunk;
  std::string out =
      "// The built-in virus data block, generated by brint-vdc from the data sources. Do not edit:\n"
      "// change the sources under data/ and rebuild.\n"
      "#include \"virusdata/builtin.h\"\n\nnamespace virusdata {\nnamespace {\n\n";
  append_array(out, "const uint8_t kHeader", image.header, 0, image.header.size());
  for (size_t c = 0; c < chunks; ++c) {
    const size_t from = c * chunk;
    append_array(out, "const uint8_t kChunk" + std::to_string(c), image.scrambled, from,
                 std::min(chunk, image.scrambled.size() - from));
  }
  out += "const uint8_t* const kChunks[" + std::to_string(chunks == 0 ? 1 : chunks) + "] = {";
  if (chunks == 0) out += "nullptr";
  for (size_t c = 0; c < chunks; ++c) out += (c ? ", kChunk" : "kChunk") + std::to_string(c);
  out += "};\n";
  append_array(out, "const uint8_t kPatterns", image.patterns, 0, image.patterns.size());
  append_array(out, "const uint8_t kPatternHeads", image.heads, 0, image.heads.size());
  out += "\n}  // namespace\n\nconst BuiltinBlock kBuiltinBlock = {kHeader, kChunks, " + std::to_string(chunks) +
         ", kPatterns, " + std::to_string(image.patterns.size() / kPatternRecordSize) + ", " +
         std::to_string(image.virus_count) + ", kPatternHeads};\n\n}  // namespace virusdata\n";
  return out;
}

std::string write_ide(const std::vector<uint8_t>& stream) {
  std::string out;
  for (size_t at = 0; at < stream.size(); at += kIdeBlockBytes) {
    const size_t c = std::min(kIdeBlockBytes, stream.size() - at);
    out += hex2(static_cast<uint8_t>(c));
    uint8_t check = 0;
    for (size_t k = 0; k < c; ++k) {
      check ^= stream[at + k];
      out += " " + hex2(stream[at + k] ^ virusdata::kDescrambleKey[(c - k) % 8]);
    }
    out += " " + hex2(check) + "\n";
  }
  return out;
}

bool write_pattern_file(const std::vector<Pattern>& patterns, std::string& out, std::vector<Diagnostic>& diagnostics) {
  bool ok = true;
  out = "; user pattern file written by brint-vdc: name (underscores stand for spaces), signature\n";
  for (const Pattern& p : patterns) {
    std::string name;
    bool writable = !p.signature.empty() && !p.name.empty() && p.name[0] != ' ';
    for (char c : p.name) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (c == '_' || c == ';' || c == '\t' || u < 0x20 || u == 0x7F) writable = false;
      name += c == ' ' ? '_' : c;
    }
    if (!writable) {
      diagnostics.push_back({"", 0,
                             "the pattern " + quote_name(p.name) +
                                 " cannot be written to a pattern file (its signature is unknown, or its name is "
                                 "empty, starts with a space or holds '_', ';' or a control character)"});
      ok = false;
      continue;
    }
    std::string hex;
    for (uint8_t b : p.signature) hex += hex2(b);
    out += name + " " + hex + "\n";
  }
  return ok;
}

bool decode_stream(const std::vector<uint8_t>& s, std::vector<Entry>& entries, std::string& reason) {
  entries.clear();
  std::vector<virusdata::StreamEntry> split;
  const int r = virusdata::split_stream(s, split);
  if (r == virusdata::kStreamIncompatible) {
    reason = "the stream does not start with the format header 00 01";
    return false;
  }
  if (r != virusdata::kStreamOk) {
    reason = "the stream is corrupt after " + std::to_string(split.size()) +
             " complete entries (a name over 15 bytes, a record length of 0 or too short for its "
             "first byte, or an end inside an entry)";
    return false;
  }
  for (virusdata::StreamEntry& e : split) {
    Entry entry{std::move(e.name), {}};
    for (std::vector<uint8_t>& program : e.records) entry.records.push_back({std::move(program)});
    entries.push_back(std::move(entry));
  }
  return true;
}

bool decode_ide(const std::string& text, std::vector<uint8_t>& stream, std::string& reason) {
  size_t failure = 0;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (virusdata::decode_identity_text(bytes, stream, failure) != 0) {
    reason = "damaged block (wrong check byte, a non-hex character or the end inside a block) before character " +
             std::to_string(failure);
    return false;
  }
  return true;
}

bool read_builtin_cpp(const std::string& text, BuiltinImage& image, std::string& reason) {
  // Reads the "0xHH," values of one array declared as "<name>[" in our generated layout.
  auto array_of = [&](const std::string& name, std::vector<uint8_t>& out) -> bool {
    const size_t decl = text.find(name + "[");
    if (decl == std::string::npos) return false;
    const size_t open = text.find('{', decl), close = text.find('}', decl);
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    size_t count = 0;
    if (!leading_number(text.substr(decl + name.size() + 1, 12), count)) return false;
    for (size_t i = open; i + 3 < close; ++i) {
      if (text[i] == '0' && text[i + 1] == 'x') {
        if (hex_digit(text[i + 2]) < 0 || hex_digit(text[i + 3]) < 0) return false;
        out.push_back(static_cast<uint8_t>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3])));
        i += 3;
      }
    }
    return out.size() == count || (count == 1 && out.empty());
  };
  image = BuiltinImage{};
  if (!array_of("kHeader", image.header) || image.header.size() != virusdata::kBuiltinHeaderSize) {
    reason = "no 24-byte kHeader array: not a built-in block written by brint-vdc";
    return false;
  }
  const size_t block = text.find("kBuiltinBlock = {");
  if (block == std::string::npos) {
    reason = "no kBuiltinBlock definition";
    return false;
  }
  // {kHeader, kChunks, <chunks>, kPatterns, <patterns>, <virus count>, kPatternHeads}; blocks
  // written before the heads were kept have only the first six.
  std::vector<std::string> fields;
  {
    const size_t open = text.find('{', block), close = text.find('}', block);
    if (close == std::string::npos) {
      reason = "the kBuiltinBlock definition is cut short";
      return false;
    }
    std::string cur;
    for (size_t i = open + 1; i < close; ++i) {
      if (text[i] == ',') {
        fields.push_back(trim(cur));
        cur.clear();
      } else {
        cur += text[i];
      }
    }
    fields.push_back(trim(cur));
  }
  if (fields.size() != 6 && fields.size() != 7) {
    reason = "the kBuiltinBlock definition does not have its six fields";
    return false;
  }
  size_t chunks = 0, patterns = 0, count = 0;
  if (!leading_number(fields[2], chunks) || !leading_number(fields[4], patterns) ||
      !leading_number(fields[5], count) || count > 0x7FFFFFFF) {
    reason = "the kBuiltinBlock definition does not have its six fields";
    return false;
  }
  for (size_t c = 0; c < chunks; ++c) {
    std::vector<uint8_t> bytes;
    if (!array_of("kChunk" + std::to_string(c), bytes)) {
      reason = "chunk " + std::to_string(c) + " is missing";
      return false;
    }
    image.scrambled.insert(image.scrambled.end(), bytes.begin(), bytes.end());
  }
  if (!array_of("kPatterns", image.patterns)) {
    reason = "the pattern records are missing";
    return false;
  }
  if (patterns == 0) image.patterns.clear();
  if (image.patterns.size() != patterns * kPatternRecordSize) {
    reason = "the pattern records do not match the pattern count";
    return false;
  }
  if (fields.size() == 7) {
    if (!array_of("kPatternHeads", image.heads)) {
      reason = "the pattern heads are missing";
      return false;
    }
    if (patterns == 0) image.heads.clear();
    if (image.heads.size() != patterns * virusdata::kPatternHeadStride) {
      reason = "the pattern heads do not match the pattern count";
      return false;
    }
  }
  image.virus_count = static_cast<int32_t>(count);
  return true;
}

bool decode_builtin_image(const BuiltinImage& image, Issue& issue, std::string& reason) {
  issue = Issue{};
  if (image.header.size() != virusdata::kBuiltinHeaderSize) {
    reason = "the header is not 24 bytes";
    return false;
  }
  for (int f = 0; f < 2; ++f) {
    std::string date;
    for (int i = 0; i < 8; ++i) {
      const uint8_t b = image.header[8 * f + i];
      if (i < 6 && !std::isdigit(b)) {
        reason = std::string("the ") + (f ? "expiry" : "issue") + " date is not six digits";
        return false;
      }
      if (i >= 6 && b != 0) {
        reason = std::string("the ") + (f ? "expiry" : "issue") + " date is not padded with zero bytes";
        return false;
      }
      if (i < 6) date += static_cast<char>(b);
    }
    (f ? issue.expiry_date : issue.issue_date) = date;
  }
  const uint32_t length = get_le32(image.header, 16);
  if (get_le32(image.header, 20) != virusdata::kBuiltinChunkSize) {
    reason = "the chunk size is not 16384";
    return false;
  }
  if (length != image.scrambled.size()) {
    reason = "the stream length " + std::to_string(length) + " differs from the " +
             std::to_string(image.scrambled.size()) + " bytes of the chunks";
    return false;
  }
  std::vector<const uint8_t*> chunks;
  for (size_t at = 0; at < image.scrambled.size(); at += virusdata::kBuiltinChunkSize)
    chunks.push_back(image.scrambled.data() + at);
  const virusdata::BuiltinBlock block{image.header.data(), chunks.data(),      chunks.size(),
                                      image.patterns.data(), image.patterns.size() / kPatternRecordSize,
                                      image.virus_count,     nullptr};
  std::vector<uint8_t> stream;
  if (virusdata::descramble_builtin(block, stream) != 0) {
    reason = "the header does not match the chunks";
    return false;
  }
  if (!decode_stream(stream, issue.entries, reason)) return false;
  if (image.patterns.size() % kPatternRecordSize != 0 || image.patterns.size() / kPatternRecordSize > kMaxBuiltinPatterns) {
    reason = "the pattern records are not whole 35-byte records, or more than 2048";
    return false;
  }
  for (size_t at = 0; at < image.patterns.size(); at += kPatternRecordSize) {
    Pattern p;
    p.raw_record.assign(image.patterns.begin() + at, image.patterns.begin() + at + kPatternRecordSize);
    const std::string problem = pattern_record_problem(p.raw_record);
    if (!problem.empty()) {
      reason = "pattern record " + std::to_string(at / kPatternRecordSize) + ": " + problem;
      return false;
    }
    for (size_t i = 0; i < kPatternNameRoom && p.raw_record[18 + i] != 0; ++i) p.name += static_cast<char>(p.raw_record[18 + i]);
    // A kept head gives the signature back when it makes exactly this record.
    const size_t h = at / kPatternRecordSize * virusdata::kPatternHeadStride;
    if (h + virusdata::kPatternHeadStride <= image.heads.size() && image.heads[h] == 1) {
      const size_t n = p.raw_record[0];
      std::vector<uint8_t> signature(image.heads.begin() + long(h) + 1, image.heads.begin() + long(h + 1 + n - 4));
      for (size_t i = 0; i < 4; ++i) signature.push_back(p.raw_record[4 - i]);
      if (make_pattern_record(p.name, signature) == p.raw_record) {
        p.signature = std::move(signature);
        p.raw_record.clear();
      }
    }
    issue.patterns.push_back(std::move(p));
  }
  issue.virus_count = image.virus_count;
  if (virus_count_of(Issue{issue.issue_date, issue.expiry_date, issue.entries, issue.patterns, -1}) == image.virus_count)
    issue.virus_count = -1;  // the count follows from the names: no override needed
  return true;
}

}  // namespace vdc
