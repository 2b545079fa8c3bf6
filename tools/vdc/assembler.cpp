// The assembler: source text to entries, identity programs and pattern signatures.
//
// A source is read line by line. Outside a record a line is a directive (issue, expires,
// viruscount, virus, pattern, patrec); between "record" and "end" each line is one
// instruction, a "db" of raw bytes, an alternative link, or a structured-block keyword
// (alt/otherwise/endalt, loop/endloop), optionally preceded by "label:". Every instruction
// has a fixed size once its operands are parsed, so a record is laid out in one pass and
// its label references (jumps, calls, alternatives, links, loop exits) are filled in by a
// second one. Diagnostics carry the file and line and the assembler goes on with the next
// line, so one run lists every fault of a source.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <utility>

#include "opcodes.h"
#include "text.h"
#include "vdc.h"
#include "virusdata/checksum.h"

namespace vdc {

std::string format_diagnostic(const Diagnostic& d) {
  std::string out = d.file.empty() ? std::string("brint-vdc") : d.file;
  if (d.line > 0) out += ":" + std::to_string(d.line);
  return out + ": " + d.reason;
}

namespace {

// What a label reference is filled with.
enum class FixKind : uint8_t {
  kRel8,       // s8 at the field: target - p
  kRel16,      // s16 LE: target - p
  kAltResume,  // s16 LE: target - (p + 1)
  kAltNext,    // s16 LE: target - (p + 3); "none" = 0, and 0 cannot name a target
  kLoopExit,   // u8: target - p
  kLink,       // s16 LE: target - address of the link; "none" = 0
};

struct Fixup {
  FixKind kind;
  size_t field;       // offset of the field in the item's bytes
  std::string label;  // target label; empty = "none"
};

// One laid-out piece of a record: an instruction, raw bytes or a link.
struct Item {
  int line = 0;
  size_t address = 0;          // offset in the program
  std::vector<uint8_t> bytes;  // encoded, label fields still zero
  std::vector<Fixup> fixups;
};

struct AltBlock {
  std::string resume;      // label after endalt
  size_t holder_item;      // item whose "next alternative" field is still open
  size_t holder_fixup;     // index of that fixup in the item
  int serial;              // to name the generated labels
  int alternatives = 1;    // alternatives opened so far
  int line;                // where the block began
};

struct LoopBlock {
  std::string exit;  // label defined at endloop
  int line;
};

struct RecordBuild {
  int line = 0;
  std::vector<Item> items;
  size_t size = 0;
  std::map<std::string, size_t> labels;  // name -> address
  std::map<std::string, int> label_lines;
  std::vector<AltBlock> alts;
  std::vector<LoopBlock> loops;
  bool faulty = false;  // a line of the record was refused: the record as a whole is not judged
};

struct Assembler {
  const std::string& file;
  const std::string& base_dir;
  Issue& issue;
  std::vector<Diagnostic>& diagnostics;
  bool in_entry = false;
  bool in_record = false;
  RecordBuild record;
  int serial = 0;
  int line = 0;
  bool failed = false;

  void error(const std::string& reason, int at = -1) {
    diagnostics.push_back({file, at < 0 ? line : at, reason});
    failed = true;
    if (in_record) record.faulty = true;
  }
};

bool is_ident_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_ident_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; }

bool is_identifier(const std::string& s) {
  if (s.empty() || !is_ident_start(s[0])) return false;
  for (char c : s)
    if (!is_ident_char(c)) return false;
  return true;
}

// A line's first word, lower-cased, and the rest after it, trimmed.
std::pair<std::string, std::string> split_word(const std::string& text) {
  size_t sp = 0;
  while (sp < text.size() && text[sp] != ' ' && text[sp] != '\t') ++sp;
  std::string word = text.substr(0, sp);
  std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
  return {word, trim(text.substr(sp))};
}

// Drops a ';' comment that is not inside a quoted string.
std::string strip_comment(const std::string& line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (quoted && line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && line[i] == ';') {
      return line.substr(0, i);
    }
  }
  return line;
}

// Splits operands at commas outside quotes and parentheses.
std::vector<std::string> split_operands(const std::string& text) {
  std::vector<std::string> parts;
  if (trim(text).empty()) return parts;
  std::string cur;
  bool quoted = false;
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      cur += c;
      if (c == '\\' && i + 1 < text.size()) cur += text[++i];
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
      cur += c;
    } else if (c == '(') {
      ++depth;
      cur += c;
    } else if (c == ')') {
      --depth;
      cur += c;
    } else if (c == ',' && depth == 0) {
      parts.push_back(trim(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(trim(cur));
  return parts;
}

// A number: decimal, or hexadecimal with 0x; an optional leading minus.
bool parse_number(const std::string& token, int64_t min, int64_t max, int64_t& out, std::string& why) {
  std::string t = trim(token);
  if (t.empty()) {
    why = "a number is missing";
    return false;
  }
  bool negative = false;
  size_t i = 0;
  if (t[0] == '-' || t[0] == '+') {
    negative = t[0] == '-';
    i = 1;
  }
  int base = 10;
  if (t.size() > i + 1 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= t.size()) {
    why = "'" + t + "' is not a number";
    return false;
  }
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    const int d = base == 16 ? hex_digit(t[i]) : (std::isdigit(static_cast<unsigned char>(t[i])) ? t[i] - '0' : -1);
    if (d < 0) {
      why = "'" + t + "' is not a number (decimal, or hexadecimal written 0x..)";
      return false;
    }
    value = value * base + d;
    if (value > (int64_t{1} << 40)) {
      why = "'" + t + "' is far too large";
      return false;
    }
  }
  if (negative) value = -value;
  if (value < min || value > max) {
    why = "'" + t + "' is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")";
    return false;
  }
  out = value;
  return true;
}

// Hex bytes written as groups of hex digit pairs, groups separated by blanks: "4D 5A" or "4D5A".
bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>& out, std::string& why) {
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
    const std::string group = text.substr(i, j - i);
    if (group.size() % 2 != 0) {
      why = "'" + group + "': bytes are written as pairs of hex digits";
      return false;
    }
    for (size_t k = 0; k < group.size(); k += 2) {
      const int hi = hex_digit(group[k]), lo = hex_digit(group[k + 1]);
      if (hi < 0 || lo < 0) {
        why = "'" + group + "' is not hexadecimal bytes";
        return false;
      }
      out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    i = j;
  }
  return true;
}

// Exactly one byte written as two hex digits.
bool parse_one_byte(const std::string& token, uint8_t& out, std::string& why) {
  const std::string t = trim(token);
  if (t.size() != 2 || hex_digit(t[0]) < 0 || hex_digit(t[1]) < 0) {
    why = "'" + t + "': a byte value is written as two hex digits";
    return false;
  }
  out = static_cast<uint8_t>(hex_digit(t[0]) * 16 + hex_digit(t[1]));
  return true;
}

// A quoted string with \" \\ \xHH escapes.
bool parse_quoted(const std::string& text, std::string& out, std::string& rest, std::string& why) {
  const std::string t = trim(text);
  if (t.empty() || t[0] != '"') {
    why = "a quoted name is expected";
    return false;
  }
  out.clear();
  size_t i = 1;
  for (; i < t.size() && t[i] != '"'; ++i) {
    if (t[i] != '\\') {
      out += t[i];
      continue;
    }
    if (i + 1 >= t.size()) break;
    const char e = t[++i];
    if (e == '"' || e == '\\') {
      out += e;
    } else if (e == 'x' && i + 2 < t.size() && hex_digit(t[i + 1]) >= 0 && hex_digit(t[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(t[i + 1]) * 16 + hex_digit(t[i + 2]));
      i += 2;
    } else {
      why = std::string("unknown escape \\") + e + " in a quoted string (use \\\", \\\\ or \\xHH)";
      return false;
    }
  }
  if (i >= t.size()) {
    why = "the quoted string has no closing quote";
    return false;
  }
  rest = trim(t.substr(i + 1));
  return true;
}

bool valid_date(const std::string& d) {
  if (d.size() != 6) return false;
  for (char c : d)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  const int year = 2000 + std::stoi(d.substr(0, 2));
  const int month = std::stoi(d.substr(2, 2));
  const int day = std::stoi(d.substr(4, 2));
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  int limit = kDays[month - 1];
  if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) limit = 29;
  return day <= limit;
}

// sum(hex bytes) or sum("sample file", offset, length): the bytes whose checksum is taken.
bool parse_sum(Assembler& as, const std::string& token, std::vector<uint8_t>& bytes, std::string& why) {
  const std::string t = trim(token);
  if (t.size() < 5 || t.compare(0, 4, "sum(") != 0 || t.back() != ')') {
    why = "'" + t + "' is not sum(...)";
    return false;
  }
  const std::string inner = trim(t.substr(4, t.size() - 5));
  bytes.clear();
  if (!inner.empty() && inner[0] == '"') {
    const std::vector<std::string> parts = split_operands(inner);
    std::string path, rest;
    if (parts.size() != 3 || !parse_quoted(parts[0], path, rest, why) || !rest.empty()) {
      if (why.empty() || parts.size() != 3) why = "sum(\"file\", offset, length) takes a file name, an offset and a length";
      return false;
    }
    int64_t offset = 0, length = 0;
    if (!parse_number(parts[1], 0, 0xFFFFFFFF, offset, why) || !parse_number(parts[2], 1, 255, length, why))
      return false;
    const std::string full = (!path.empty() && path[0] == '/') || as.base_dir.empty() ? path : as.base_dir + "/" + path;
    std::vector<uint8_t> file;
    if (!read_file_bytes(full, file)) {
      why = "cannot read the sample file '" + full + "'";
      return false;
    }
    if (static_cast<uint64_t>(offset) > file.size() || file.size() - static_cast<uint64_t>(offset) < static_cast<uint64_t>(length)) {
      why = "the sample file '" + full + "' has " + std::to_string(file.size()) + " bytes; bytes " +
            std::to_string(offset) + " to " + std::to_string(offset + length - 1) + " are not all in it";
      return false;
    }
    bytes.assign(file.begin() + offset, file.begin() + offset + length);
    return true;
  }
  if (!parse_hex_bytes(inner, bytes, why)) return false;
  if (bytes.empty() || bytes.size() > 255) {
    why = "sum(...) takes 1 to 255 bytes, not " + std::to_string(bytes.size());
    return false;
  }
  return true;
}

uint32_t identity_checksum(const std::vector<uint8_t>& bytes) {
  return virusdata::checksum32_of(virusdata::kIdentityKey, bytes.data(), static_cast<int32_t>(bytes.size()));
}

// A 32-bit value operand: a number or sum(...).
bool parse_u32(Assembler& as, const std::string& token, uint32_t& out, std::string& why) {
  const std::string t = trim(token);
  if (t.compare(0, 4, "sum(") == 0) {
    std::vector<uint8_t> bytes;
    if (!parse_sum(as, t, bytes, why)) return false;
    out = identity_checksum(bytes);
    return true;
  }
  int64_t v = 0;
  if (!parse_number(t, 0, 0xFFFFFFFF, v, why)) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

void put_be16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void put_be32(std::vector<uint8_t>& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}
void put_le16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

// A label reference or "@N" (the field's raw value). Raw values are written at once;
// labels are left to the second pass.
bool add_target(Item& item, FixKind kind, const std::string& token, bool none_allowed, std::string& why,
                bool generated_label = false) {
  const std::string t = trim(token);
  const size_t field = item.bytes.size();
  const bool wide = kind != FixKind::kRel8 && kind != FixKind::kLoopExit;
  if (none_allowed && t == "none") {
    item.bytes.insert(item.bytes.end(), wide ? 2 : 1, 0);
    return true;
  }
  if (!t.empty() && t[0] == '@') {
    int64_t v = 0;
    const int64_t min = kind == FixKind::kLoopExit ? 0 : (wide ? -32768 : -128);
    const int64_t max = kind == FixKind::kLoopExit ? 255 : (wide ? 32767 : 127);
    if (!parse_number(t.substr(1), min, max, v, why)) return false;
    if (wide) put_le16(item.bytes, static_cast<uint16_t>(v));
    else item.bytes.push_back(static_cast<uint8_t>(v));
    return true;
  }
  if (!generated_label && !is_identifier(t)) {
    why = t.empty() ? "a label is missing" : "'" + t + "' is not a label";
    return false;
  }
  item.bytes.insert(item.bytes.end(), wide ? 2 : 1, 0);
  item.fixups.push_back({kind, field, t});
  return true;
}

// Parses a sequence element list "high 4, byte E8, bytes CD 21, any".
bool parse_elements(const std::string& text, std::vector<uint8_t>& out, int& consumed, int& count, std::string& why) {
  consumed = 0;
  count = 0;
  for (const std::string& part : split_operands(text)) {
    if (part.empty()) {
      why = "an empty sequence element";
      return false;
    }
    size_t sp = 0;
    while (sp < part.size() && part[sp] != ' ' && part[sp] != '\t') ++sp;
    const std::string name = part.substr(0, sp);
    const std::string args = trim(part.substr(sp));
    const ElementInfo* e = element_by_mnemonic(name);
    if (!e) {
      why = "'" + name + "' is not a sequence element (high, low, range, oneof, bytes, any, pair, byte)";
      return false;
    }
    out.push_back(e->code);
    ++count;
    std::vector<uint8_t> bytes;
    switch (e->operands) {
      case Operands::kNone:
        if (!args.empty()) {
          why = "element '" + name + "' takes no operand";
          return false;
        }
        consumed += 1;
        break;
      case Operands::kNibble:
        if (args.size() != 1 || hex_digit(args[0]) < 0) {
          why = "element '" + name + "' takes one hex digit";
          return false;
        }
        out.push_back(static_cast<uint8_t>(hex_digit(args[0])));
        consumed += 1;
        break;
      case Operands::kByte:
      case Operands::kTwoBytes: {
        const size_t want = e->operands == Operands::kByte ? 1 : 2;
        if (!parse_hex_bytes(args, bytes, why)) return false;
        if (bytes.size() != want) {
          why = "element '" + name + "' takes " + std::to_string(want) + (want == 1 ? " byte" : " bytes");
          return false;
        }
        out.insert(out.end(), bytes.begin(), bytes.end());
        consumed += e->code == 0xFB ? 2 : 1;
        break;
      }
      case Operands::kByteList:
        if (!parse_hex_bytes(args, bytes, why)) return false;
        if (bytes.size() > 255) {
          why = "element '" + name + "' takes at most 255 bytes";
          return false;
        }
        out.push_back(static_cast<uint8_t>(bytes.size()));
        out.insert(out.end(), bytes.begin(), bytes.end());
        consumed += e->code == 0xF5 ? static_cast<int>(bytes.size()) : 1;
        break;
      default:
        break;
    }
  }
  return true;
}

// Encodes one instruction's operands into item.bytes (opcode already there).
bool encode_operands(Assembler& as, const OpInfo& op, const std::string& text, Item& item, std::string& why) {
  const std::vector<std::string> ops = split_operands(text);
  auto want = [&](size_t n) {
    if (ops.size() == n) return true;
    why = std::string("'") + op.mnemonic + "' takes " + (n == 0 ? "no operand" : std::to_string(n) + (n == 1 ? " operand" : " operands")) +
          ", not " + std::to_string(ops.size());
    return false;
  };
  int64_t v = 0;
  switch (op.operands) {
    case Operands::kNone:
      return want(0);
    case Operands::kByte: {
      uint8_t b = 0;
      if (!want(1) || !parse_one_byte(ops[0], b, why)) return false;
      item.bytes.push_back(b);
      return true;
    }
    case Operands::kNibble: {
      if (!want(1)) return false;
      if (ops[0].size() != 1 || hex_digit(ops[0][0]) < 0) {
        why = std::string("'") + op.mnemonic + "' takes one hex digit (a nibble)";
        return false;
      }
      item.bytes.push_back(static_cast<uint8_t>(hex_digit(ops[0][0])));
      return true;
    }
    case Operands::kTwoBytes: {
      std::vector<uint8_t> b;
      if (!want(1) || !parse_hex_bytes(ops[0], b, why)) return false;
      if (b.size() != 2) {
        why = std::string("'") + op.mnemonic + "' takes two bytes";
        return false;
      }
      item.bytes.insert(item.bytes.end(), b.begin(), b.end());
      return true;
    }
    case Operands::kByteList: {
      std::vector<uint8_t> b;
      if (ops.size() > 1) return want(1);
      if (!ops.empty() && !parse_hex_bytes(ops[0], b, why)) return false;
      if (b.size() > 255) {
        why = "at most 255 bytes in a list";
        return false;
      }
      item.bytes.push_back(static_cast<uint8_t>(b.size()));
      item.bytes.insert(item.bytes.end(), b.begin(), b.end());
      return true;
    }
    case Operands::kU8:
      if (!want(1) || !parse_number(ops[0], 0, 255, v, why)) return false;
      item.bytes.push_back(static_cast<uint8_t>(v));
      return true;
    case Operands::kU16:
      if (!want(1) || !parse_number(ops[0], 0, 65535, v, why)) return false;
      put_be16(item.bytes, static_cast<uint16_t>(v));
      return true;
    case Operands::kU32: {
      uint32_t u = 0;
      if (!want(1) || !parse_u32(as, ops[0], u, why)) return false;
      put_be32(item.bytes, u);
      return true;
    }
    case Operands::kChecksum: {
      // checksum N, VALUE | checksum sum(...)
      if (ops.size() == 1 && ops[0].compare(0, 4, "sum(") == 0) {
        std::vector<uint8_t> bytes;
        if (!parse_sum(as, ops[0], bytes, why)) return false;
        item.bytes.push_back(static_cast<uint8_t>(bytes.size()));
        put_be32(item.bytes, identity_checksum(bytes));
        return true;
      }
      if (!want(2) || !parse_number(ops[0], 0, 255, v, why)) return false;
      if (ops[1].compare(0, 4, "sum(") == 0) {
        std::vector<uint8_t> bytes;
        if (!parse_sum(as, ops[1], bytes, why)) return false;
        if (bytes.size() != static_cast<size_t>(v)) {
          why = "the count " + std::to_string(v) + " differs from the " + std::to_string(bytes.size()) +
                " bytes summed; the test could never match";
          return false;
        }
      }
      uint32_t c = 0;
      if (!parse_u32(as, ops[1], c, why)) return false;
      item.bytes.push_back(static_cast<uint8_t>(v));
      put_be32(item.bytes, c);
      return true;
    }
    case Operands::kSequence: {
      // seq N[, L']: elements
      const size_t colon = text.find(':');
      if (colon == std::string::npos) {
        why = std::string("'") + op.mnemonic + "' is written '" + op.mnemonic + " N: element, element, ...'";
        return false;
      }
      const std::vector<std::string> head = split_operands(text.substr(0, colon));
      int64_t window = 0, covered = -1;
      if (head.empty() || head.size() > 2) {
        why = std::string("'") + op.mnemonic + "' takes the window N and optionally the count before ':'";
        return false;
      }
      if (!parse_number(head[0], 0, 255, window, why)) return false;
      if (head.size() == 2 && !parse_number(head[1], 0, 255, covered, why)) return false;
      std::vector<uint8_t> elements;
      int consumed = 0, count = 0;
      if (!parse_elements(text.substr(colon + 1), elements, consumed, count, why)) return false;
      if (elements.size() > 254) {
        why = "the element list takes " + std::to_string(elements.size()) + " bytes; at most 254 fit";
        return false;
      }
      if (covered < 0) covered = op.code == 0xE9 ? consumed : count;
      if (covered > 255) {
        why = "the elements cover " + std::to_string(covered) + " bytes; at most 255 fit the count byte";
        return false;
      }
      item.bytes.push_back(static_cast<uint8_t>(elements.size() + 1));
      item.bytes.push_back(static_cast<uint8_t>(covered));
      item.bytes.push_back(static_cast<uint8_t>(window));
      item.bytes.insert(item.bytes.end(), elements.begin(), elements.end());
      return true;
    }
    case Operands::kJump16:
      return want(1) && add_target(item, FixKind::kRel16, ops[0], false, why);
    case Operands::kJump8:
      return want(1) && add_target(item, FixKind::kRel8, ops[0], false, why);
    case Operands::kJump8U16:
    case Operands::kJump8S16: {
      if (!want(2) || !add_target(item, FixKind::kRel8, ops[0], false, why)) return false;
      const bool is_signed = op.operands == Operands::kJump8S16;
      if (!parse_number(ops[1], is_signed ? -32768 : 0, is_signed ? 32767 : 65535, v, why)) return false;
      put_be16(item.bytes, static_cast<uint16_t>(v));
      return true;
    }
    case Operands::kAlternative:
      return want(2) && add_target(item, FixKind::kAltResume, ops[0], false, why) &&
             add_target(item, FixKind::kAltNext, ops[1], true, why);
    case Operands::kLoop:
      if (!want(2) || !parse_number(ops[0], 0, 255, v, why)) return false;
      item.bytes.push_back(static_cast<uint8_t>(v));
      return add_target(item, FixKind::kLoopExit, ops[1], false, why);
    case Operands::kBitmap: {
      // inset 30-39, 41-5A, 5F: byte values whose bits are set
      uint8_t bitmap[32] = {};
      for (const std::string& part : ops) {
        const size_t dash = part.find('-');
        uint8_t lo = 0, hi = 0;
        if (!parse_one_byte(dash == std::string::npos ? part : part.substr(0, dash), lo, why)) return false;
        hi = lo;
        if (dash != std::string::npos && !parse_one_byte(part.substr(dash + 1), hi, why)) return false;
        if (hi < lo) {
          why = "'" + part + "': the range runs backwards";
          return false;
        }
        for (int b = lo; b <= hi; ++b) bitmap[b >> 3] = static_cast<uint8_t>(bitmap[b >> 3] | (1u << (b & 7)));
      }
      item.bytes.insert(item.bytes.end(), bitmap, bitmap + 32);
      return true;
    }
    case Operands::kS16:
      break;
  }
  why = "internal: unhandled operand layout";
  return false;
}

void add_item(Assembler& as, Item item) {
  item.line = as.line;
  item.address = as.record.size;
  as.record.size += item.bytes.size();
  as.record.items.push_back(std::move(item));
}

void define_label(Assembler& as, const std::string& name) {
  if (as.record.labels.count(name)) {
    as.error("label '" + name + "' is already defined on line " + std::to_string(as.record.label_lines[name]));
    return;
  }
  as.record.labels[name] = as.record.size;
  as.record.label_lines[name] = as.line;
}

std::string generated(int serial, const std::string& what) { return "%" + std::to_string(serial) + what; }

// Fills the label fields of the record and hands the program to the current entry.
void finish_record(Assembler& as) {
  RecordBuild& r = as.record;
  for (const AltBlock& a : r.alts) as.error("'alt' is not closed by 'endalt' before the end of the record", a.line);
  for (const LoopBlock& l : r.loops) as.error("'loop' is not closed by 'endloop' before the end of the record", l.line);
  std::vector<uint8_t> program;
  for (Item& item : r.items) {
    for (const Fixup& f : item.fixups) {
      if (f.label.empty()) continue;  // "none"
      auto it = r.labels.find(f.label);
      if (it == r.labels.end()) {
        if (f.label[0] == '%') continue;  // a block left open, reported above
        as.error("label '" + f.label + "' is not defined in this record", item.line);
        continue;
      }
      const int64_t p = static_cast<int64_t>(item.address);
      const int64_t target = static_cast<int64_t>(it->second);
      int64_t value = 0, min = -32768, max = 32767;
      std::string what = "jump";
      switch (f.kind) {
        case FixKind::kRel8: value = target - p; min = -128; max = 127; what = "short jump"; break;
        case FixKind::kRel16: value = target - p; break;
        case FixKind::kAltResume: value = target - (p + 1); what = "alternative resume"; break;
        case FixKind::kAltNext: value = target - (p + 3); what = "next alternative"; break;
        case FixKind::kLoopExit: value = target - p; min = 0; max = 255; what = "loop exit"; break;
        case FixKind::kLink: value = target - (p + static_cast<int64_t>(f.field)); what = "alternative link"; break;
      }
      if (value < min || value > max) {
        as.error("the " + what + " to '" + f.label + "' needs the offset " + std::to_string(value) + ", outside " +
                     std::to_string(min) + ".." + std::to_string(max),
                 item.line);
        continue;
      }
      if (value == 0 && (f.kind == FixKind::kAltNext || f.kind == FixKind::kLink)) {
        as.error("the " + what + " '" + f.label + "' would be encoded as 0, which means 'no further alternative'",
                 item.line);
        continue;
      }
      if (f.kind == FixKind::kRel8 || f.kind == FixKind::kLoopExit) {
        item.bytes[f.field] = static_cast<uint8_t>(value);
      } else {
        item.bytes[f.field] = static_cast<uint8_t>(value);
        item.bytes[f.field + 1] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
      }
    }
    program.insert(program.end(), item.bytes.begin(), item.bytes.end());
  }
  const int at = r.line;
  if (r.faulty) {
    // already reported line by line
  } else if (program.empty()) {
    as.error("the record has no instructions", at);
  } else if (program.size() > kMaxRecordLength) {
    as.error("the record is " + std::to_string(program.size()) + " bytes long; at most 65535 fit", at);
  } else if ((program[0] == 0xFB || program[0] == 0x03) && program.size() < 3) {
    as.error("a record starting with byte " + hex2(program[0]) + " must be at least 3 bytes long", at);
  } else if (program[0] == 0xFC && program.size() < 2) {
    as.error("a record starting with byte FC must be at least 2 bytes long", at);
  } else if (!as.issue.entries.empty()) {
    Entry& e = as.issue.entries.back();
    if (e.records.size() >= kMaxRecordsPerEntry)
      as.error("virus \"" + e.name + "\" has more than 255 records", at);
    else
      e.records.push_back({std::move(program)});
  }
  as.record = RecordBuild{};
  as.in_record = false;
}

void record_line(Assembler& as, std::string text) {
  // label:
  for (;;) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) break;
    const std::string head = trim(text.substr(0, colon));
    // "seq 4: ..." has a number before the colon, never an identifier alone
    if (!is_identifier(head)) break;
    define_label(as, head);
    text = trim(text.substr(colon + 1));
    if (text.empty()) return;
  }
  const auto [word, rest] = split_word(text);
  std::string why;
  RecordBuild& r = as.record;

  if (word == "end") {
    if (!rest.empty()) as.error("'end' takes no operand");
    finish_record(as);
    return;
  }
  if (word == "db") {
    Item item;
    if (!parse_hex_bytes(rest, item.bytes, why)) return as.error(why);
    if (item.bytes.empty()) return as.error("'db' needs at least one byte");
    return add_item(as, std::move(item));
  }
  if (word == "link") {
    Item item;
    if (!add_target(item, FixKind::kLink, rest, true, why)) return as.error(why);
    return add_item(as, std::move(item));
  }
  if (word == "alt" && rest.empty()) {
    AltBlock a;
    a.serial = ++as.serial;
    a.resume = generated(a.serial, "resume");
    a.line = as.line;
    Item item;
    item.bytes.push_back(0xA7);
    add_target(item, FixKind::kAltResume, a.resume, false, why, true);
    item.bytes.push_back(0);
    item.bytes.push_back(0);
    a.holder_item = r.items.size();
    a.holder_fixup = item.fixups.size();
    item.fixups.push_back({FixKind::kAltNext, 3, ""});
    add_item(as, std::move(item));
    r.alts.push_back(a);
    return;
  }
  if (word == "otherwise" || word == "endalt") {
    if (!rest.empty()) return as.error("'" + word + "' takes no operand");
    if (r.alts.empty()) return as.error("'" + word + "' without 'alt'");
    AltBlock& a = r.alts.back();
    Item close;
    close.bytes.push_back(0xA6);
    add_item(as, std::move(close));
    if (word == "endalt") {
      define_label(as, a.resume);
      r.alts.pop_back();
      return;
    }
    const std::string label = generated(a.serial, "alt" + std::to_string(++a.alternatives));
    define_label(as, label);
    r.items[a.holder_item].fixups[a.holder_fixup].label = label;
    Item link;
    link.fixups.push_back({FixKind::kLink, 0, ""});
    link.bytes = {0, 0};
    a.holder_item = r.items.size();
    a.holder_fixup = 0;
    add_item(as, std::move(link));
    return;
  }
  if (word == "loop" && split_operands(rest).size() == 1) {
    int64_t n = 0;
    if (!parse_number(rest, 0, 255, n, why)) return as.error(why);
    LoopBlock l{generated(++as.serial, "exit"), as.line};
    Item item;
    item.bytes = {0xC7, static_cast<uint8_t>(n)};
    add_target(item, FixKind::kLoopExit, l.exit, false, why, true);
    add_item(as, std::move(item));
    r.loops.push_back(l);
    return;
  }
  if (word == "endloop") {
    if (!rest.empty()) return as.error("'endloop' takes no operand");
    if (r.loops.empty()) return as.error("'endloop' without 'loop'");
    define_label(as, r.loops.back().exit);
    r.loops.pop_back();
    return;
  }
  const OpInfo* op = op_by_mnemonic(word);
  if (!op) return as.error("unknown instruction '" + word + "'");
  Item item;
  item.bytes.push_back(op->code);
  if (!encode_operands(as, *op, rest, item, why)) return as.error(why);
  add_item(as, std::move(item));
}

void top_line(Assembler& as, const std::string& text) {
  const auto [word, rest] = split_word(text);
  std::string why;

  if (word == "issue" || word == "expires") {
    std::string& field = word == "issue" ? as.issue.issue_date : as.issue.expiry_date;
    if (!field.empty()) return as.error("'" + word + "' is given twice");
    if (!valid_date(rest)) return as.error("'" + rest + "' is not a date written YYMMDD");
    field = rest;
    return;
  }
  if (word == "viruscount") {
    int64_t v = 0;
    if (!parse_number(rest, 0, 0x7FFFFFFF, v, why)) return as.error(why);
    as.issue.virus_count = static_cast<int32_t>(v);
    return;
  }
  if (word == "virus") {
    std::string name, after;
    if (!parse_quoted(rest, name, after, why)) return as.error(why);
    if (!after.empty()) return as.error("unexpected '" + after + "' after the virus name");
    if (name.size() > kMaxNameLength)
      return as.error("the virus name \"" + name + "\" has " + std::to_string(name.size()) + " characters; at most 15");
    if (name.find('\0') != std::string::npos) return as.error("a virus name cannot hold a zero byte");
    as.issue.entries.push_back({name, {}});
    as.in_entry = true;
    return;
  }
  if (word == "record") {
    if (!rest.empty()) return as.error("'record' takes no operand");
    if (!as.in_entry) return as.error("'record' outside a virus entry (write 'virus \"Name\"' first)");
    as.in_record = true;
    as.record = RecordBuild{};
    as.record.line = as.line;
    return;
  }
  if (word == "pattern") {
    as.in_entry = false;
    Pattern p;
    std::string after;
    if (!parse_quoted(rest, p.name, after, why)) return as.error(why);
    if (p.name.empty() || p.name.size() > kMaxNameLength)
      return as.error("the pattern name \"" + p.name + "\" must have 1 to 15 characters");
    if (p.name.find('\0') != std::string::npos) return as.error("a pattern name cannot hold a zero byte");
    if (!parse_hex_bytes(after, p.signature, why)) return as.error(why);
    if (p.signature.size() < kMinPatternBytes || p.signature.size() > kMaxPatternBytes)
      return as.error("the pattern \"" + p.name + "\" has " + std::to_string(p.signature.size()) +
                      " bytes; a pattern has 4 to 24");
    as.issue.patterns.push_back(std::move(p));
    return;
  }
  if (word == "patrec") {
    as.in_entry = false;
    Pattern p;
    if (!parse_hex_bytes(rest, p.raw_record, why)) return as.error(why);
    if (p.raw_record.size() != kPatternRecordSize) return as.error("'patrec' takes the 35 bytes of a pattern record");
    const std::string problem = pattern_record_problem(p.raw_record);
    if (!problem.empty()) return as.error(problem);
    const uint8_t* name = p.raw_record.data() + 18;
    for (size_t i = 0; i < kPatternNameRoom && name[i] != 0; ++i) p.name += static_cast<char>(name[i]);
    as.issue.patterns.push_back(std::move(p));
    return;
  }
  if (word == "end") return as.error("'end' without 'record'");
  as.error("unknown directive '" + word + "' (outside a record: issue, expires, viruscount, virus, record, pattern, patrec)");
}

}  // namespace

bool assemble_source(const std::string& text, const std::string& file_name, const std::string& base_dir,
                     Issue& issue, std::vector<Diagnostic>& diagnostics) {
  Assembler as{file_name, base_dir, issue, diagnostics, false, false, RecordBuild{}, 0, 0, false};
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++as.line;
    const std::string line = trim(strip_comment(text.substr(start, end - start)));
    if (!line.empty()) {
      if (as.in_record) record_line(as, line);
      else top_line(as, line);
    }
    if (end == text.size()) break;
    start = end + 1;
  }
  if (as.in_record) as.error("the record begun on line " + std::to_string(as.record.line) + " has no 'end'", as.record.line);
  return !as.failed;
}

bool assemble_files(const std::vector<std::string>& paths, Issue& issue, std::vector<Diagnostic>& diagnostics) {
  bool ok = true;
  for (const std::string& path : paths) {
    std::string text;
    if (!read_file_text(path, text)) {
      diagnostics.push_back({path, 0, "cannot read the source file"});
      ok = false;
      continue;
    }
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    ok = assemble_source(text, path, dir, issue, diagnostics) && ok;
  }
  return ok;
}

bool check_issue(const Issue& issue, bool need_dates, std::vector<Diagnostic>& diagnostics) {
  bool ok = true;
  auto fail = [&](const std::string& reason) {
    diagnostics.push_back({"", 0, reason});
    ok = false;
  };
  if (need_dates) {
    if (issue.issue_date.empty()) fail("the issue date is not given (write 'issue YYMMDD')");
    if (issue.expiry_date.empty()) fail("the expiry date is not given (write 'expires YYMMDD')");
  }
  if (!issue.issue_date.empty() && !issue.expiry_date.empty() && issue.expiry_date <= issue.issue_date)
    fail("the expiry date " + issue.expiry_date + " is not after the issue date " + issue.issue_date);
  if (issue.patterns.size() > kMaxBuiltinPatterns)
    fail(std::to_string(issue.patterns.size()) + " pattern records; the pattern table holds 2048");
  for (const Entry& e : issue.entries) {
    if (e.name.size() > kMaxNameLength || e.name.find('\0') != std::string::npos)
      fail("the virus name " + quote_name(e.name) + " is not 0 to 15 non-zero bytes");
    if (e.records.size() > kMaxRecordsPerEntry) fail("virus " + quote_name(e.name) + " has more than 255 records");
    for (const Record& r : e.records) {
      const size_t n = r.program.size();
      if (n == 0 || n > kMaxRecordLength || ((r.program[0] == 0xFB || r.program[0] == 0x03) && n < 3) ||
          (r.program[0] == 0xFC && n < 2))
        fail("virus " + quote_name(e.name) + " has a record the loader would refuse");
    }
  }
  return ok;
}

}  // namespace vdc
