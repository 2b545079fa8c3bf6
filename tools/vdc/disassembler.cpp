// The disassembler: identity programs and whole issues back to source text.
//
// A program is swept once from its first byte. Each instruction whose operands decode
// cleanly becomes its mnemonic; an unknown opcode, an instruction cut short by the end of
// the record, or an operand the source language cannot state (a nibble above F, a broken
// element list) becomes "db" bytes. Alternative links are recognised where an "alt" or an
// earlier link points forward to them. Jump, call, alternative and loop targets that fall
// on the start of a decoded piece (or on the end of the program) get labels L1, L2, ... in
// address order; any other target is written as the raw field value "@n". Every piece of
// the output assembles to exactly the bytes it came from, so assembling the text gives
// the program back byte for byte.
#include <map>
#include <set>

#include "opcodes.h"
#include "text.h"
#include "vdc.h"

namespace vdc {
namespace {

// A target operand to be written as a label or a raw value.
struct Target {
  int64_t address;  // where it points
  int64_t raw;      // the field value as stored
  bool none;        // field 0 meaning "no further alternative"
};

struct Piece {
  size_t address = 0;
  size_t size = 0;
  std::string mnemonic;       // empty: db
  std::string before;         // operand text before the targets
  std::vector<Target> targets;
  std::string after;          // operand text after the targets
};

int16_t le16(const std::vector<uint8_t>& p, size_t at) { return static_cast<int16_t>(p[at] | (p[at + 1] << 8)); }
uint16_t be16(const std::vector<uint8_t>& p, size_t at) { return static_cast<uint16_t>((p[at] << 8) | p[at + 1]); }
uint32_t be32(const std::vector<uint8_t>& p, size_t at) {
  return uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | p[at + 3];
}

std::string hex_number(uint32_t v, int digits) {
  std::string s;
  for (int i = digits - 1; i >= 0; --i) s += "0123456789ABCDEF"[(v >> (4 * i)) & 15];
  return "0x" + s;
}

// Element list text of bytes [from, to), or false when it is not a clean list.
bool elements_text(const std::vector<uint8_t>& p, size_t from, size_t to, std::string& out, int& consumed,
                   int& count) {
  out.clear();
  consumed = 0;
  count = 0;
  size_t at = from;
  while (at < to) {
    const ElementInfo* e = element_by_code(p[at]);
    if (!e) return false;
    std::string text = e->mnemonic;
    size_t size = 1;
    switch (e->operands) {
      case Operands::kNone: consumed += 1; break;
      case Operands::kNibble:
        if (at + 2 > to || p[at + 1] > 15) return false;
        text += std::string(" ") + "0123456789ABCDEF"[p[at + 1]];
        size = 2;
        consumed += 1;
        break;
      case Operands::kByte:
        if (at + 2 > to) return false;
        text += " " + hex2(p[at + 1]);
        size = 2;
        consumed += 1;
        break;
      case Operands::kTwoBytes:
        if (at + 3 > to) return false;
        text += " " + hex2(p[at + 1]) + " " + hex2(p[at + 2]);
        size = 3;
        consumed += e->code == 0xFB ? 2 : 1;
        break;
      case Operands::kByteList: {
        if (at + 2 > to || at + 2 + p[at + 1] > to) return false;
        const size_t n = p[at + 1];
        if (n) text += " " + hex_list(p, at + 2, n);
        size = 2 + n;
        consumed += e->code == 0xF5 ? static_cast<int>(n) : 1;
        break;
      }
      default: return false;
    }
    out += (count ? ", " : "") + text;
    ++count;
    at += size;
  }
  return true;
}

// Decodes the instruction at `at`; false when it must be written as db.
bool decode_instruction(const std::vector<uint8_t>& p, size_t at, Piece& piece) {
  const OpInfo* op = op_by_code(p[at]);
  if (!op) return false;
  const size_t left = p.size() - at;
  size_t len = static_cast<size_t>(fixed_length(op->operands));
  if (op->operands == Operands::kByteList) len = left >= 2 ? 2 + p[at + 1] : 2;
  if (op->operands == Operands::kSequence) len = left >= 2 ? 3 + p[at + 1] : 4;
  if (len > left) return false;
  piece.size = len;
  piece.mnemonic = op->mnemonic;
  const int64_t a = static_cast<int64_t>(at);
  switch (op->operands) {
    case Operands::kNone: break;
    case Operands::kByte: piece.before = hex2(p[at + 1]); break;
    case Operands::kNibble:
      if (p[at + 1] > 15) return false;
      piece.before = std::string(1, "0123456789ABCDEF"[p[at + 1]]);
      break;
    case Operands::kTwoBytes: piece.before = hex2(p[at + 1]) + " " + hex2(p[at + 2]); break;
    case Operands::kByteList: piece.before = hex_list(p, at + 2, p[at + 1]); break;
    case Operands::kU8: piece.before = std::to_string(p[at + 1]); break;
    case Operands::kU16:
      piece.before = (op->code == 0x03 || op->code == 0xF8) ? std::to_string(be16(p, at + 1)) : hex_number(be16(p, at + 1), 4);
      break;
    case Operands::kU32: piece.before = hex_number(be32(p, at + 1), 8); break;
    case Operands::kChecksum: piece.before = std::to_string(p[at + 1]) + ", " + hex_number(be32(p, at + 2), 8); break;
    case Operands::kSequence: {
      const size_t s = p[at + 1];
      if (s == 0) return false;
      std::string elems;
      int consumed = 0, count = 0;
      if (!elements_text(p, at + 4, at + 3 + s, elems, consumed, count)) return false;
      const int covered = p[at + 2];
      const int natural = op->code == 0xE9 ? consumed : count;
      piece.before = std::to_string(p[at + 3]) + (covered != natural ? ", " + std::to_string(covered) : "") + ":" +
                     (elems.empty() ? "" : " " + elems);
      break;
    }
    case Operands::kJump16: piece.targets.push_back({a + le16(p, at + 1), le16(p, at + 1), false}); break;
    case Operands::kJump8: {
      const int8_t d = static_cast<int8_t>(p[at + 1]);
      piece.targets.push_back({a + d, d, false});
      break;
    }
    case Operands::kJump8U16:
    case Operands::kJump8S16: {
      const int8_t d = static_cast<int8_t>(p[at + 1]);
      piece.targets.push_back({a + d, d, false});
      piece.after = op->operands == Operands::kJump8U16 ? hex_number(be16(p, at + 2), 4)
                                                        : std::to_string(static_cast<int16_t>(be16(p, at + 2)));
      break;
    }
    case Operands::kAlternative: {
      const int16_t ra = le16(p, at + 1), rb = le16(p, at + 3);
      piece.targets.push_back({a + 1 + ra, ra, false});
      piece.targets.push_back({a + 3 + rb, rb, rb == 0});
      break;
    }
    case Operands::kLoop:
      piece.before = std::to_string(p[at + 1]);
      piece.targets.push_back({a + p[at + 2], p[at + 2], false});
      break;
    case Operands::kBitmap: {
      std::string list;
      for (int b = 0; b < 256;) {
        if (!(p[at + 1 + (b >> 3)] & (1u << (b & 7)))) {
          ++b;
          continue;
        }
        int e = b;
        while (e + 1 < 256 && (p[at + 1 + ((e + 1) >> 3)] & (1u << ((e + 1) & 7)))) ++e;
        list += (list.empty() ? "" : ", ") + hex2(static_cast<uint8_t>(b)) + (e > b ? "-" + hex2(static_cast<uint8_t>(e)) : "");
        b = e + 1;
      }
      piece.before = list;
      break;
    }
    case Operands::kS16: return false;
  }
  return true;
}

}  // namespace

std::string disassemble_program(const std::vector<uint8_t>& p) {
  std::vector<Piece> pieces;
  std::set<size_t> links;  // addresses an alternative or link points forward to
  size_t at = 0;
  size_t db_start = SIZE_MAX;
  auto flush_db = [&](size_t end) {
    for (size_t s = db_start; s < end; s += 16) {
      Piece d;
      d.address = s;
      d.size = std::min<size_t>(16, end - s);
      pieces.push_back(d);
    }
    db_start = SIZE_MAX;
  };
  while (at < p.size()) {
    Piece piece;
    piece.address = at;
    bool ok = false;
    if (links.count(at) && p.size() - at >= 2) {
      const int16_t v = le16(p, at);
      piece.mnemonic = "link";
      piece.size = 2;
      piece.targets.push_back({static_cast<int64_t>(at) + v, v, v == 0});
      if (v > 1) links.insert(at + static_cast<size_t>(v));
      ok = true;
    } else if (decode_instruction(p, at, piece)) {
      if (p[at] == 0xA7) {
        const int16_t b = le16(p, at + 3);
        if (b != 0 && static_cast<int64_t>(at) + 3 + b >= static_cast<int64_t>(at + 5)) links.insert(at + 3 + static_cast<size_t>(b));
      }
      ok = true;
    }
    if (!ok) {
      if (db_start == SIZE_MAX) db_start = at;
      ++at;
      continue;
    }
    if (db_start != SIZE_MAX) flush_db(at);
    pieces.push_back(piece);
    at += piece.size;
  }
  if (db_start != SIZE_MAX) flush_db(p.size());

  // Labels at piece starts (and the end) that some target names.
  std::set<int64_t> starts;
  for (const Piece& piece : pieces) starts.insert(static_cast<int64_t>(piece.address));
  starts.insert(static_cast<int64_t>(p.size()));
  std::map<int64_t, std::string> labels;
  for (const Piece& piece : pieces)
    for (const Target& t : piece.targets)
      if (!t.none && starts.count(t.address)) labels[t.address] = "";
  int n = 0;
  for (auto& [address, name] : labels) name = "L" + std::to_string(++n);

  std::string out;
  for (const Piece& piece : pieces) {
    auto label = labels.find(static_cast<int64_t>(piece.address));
    if (label != labels.end()) out += label->second + ":\n";
    if (piece.mnemonic.empty()) {
      out += "    db " + hex_list(p, piece.address, piece.size) + "\n";
      continue;
    }
    std::string operands = piece.before;
    for (const Target& t : piece.targets) {
      std::string text;
      if (t.none) text = "none";
      else if (labels.count(t.address)) text = labels[t.address];
      else text = "@" + std::to_string(t.raw);
      operands += (operands.empty() ? "" : ", ") + text;
    }
    if (!piece.after.empty()) operands += ", " + piece.after;
    out += "    " + piece.mnemonic + (operands.empty() ? "" : " " + operands) + "\n";
  }
  auto end_label = labels.find(static_cast<int64_t>(p.size()));
  if (end_label != labels.end()) out += end_label->second + ":\n";
  return out;
}

std::string disassemble_issue(const Issue& issue) {
  std::string out = "; virus data source, written by the brint-vdc disassembler\n";
  if (!issue.issue_date.empty()) out += "issue " + issue.issue_date + "\n";
  if (!issue.expiry_date.empty()) out += "expires " + issue.expiry_date + "\n";
  if (issue.virus_count >= 0) out += "viruscount " + std::to_string(issue.virus_count) + "\n";
  for (const Entry& e : issue.entries) {
    out += "\nvirus " + quote_name(e.name) + "\n";
    for (const Record& r : e.records) out += "record\n" + disassemble_program(r.program) + "end\n";
  }
  if (!issue.patterns.empty()) out += "\n";
  for (const Pattern& p : issue.patterns) {
    if (p.raw_record.empty()) out += "pattern " + quote_name(p.name) + " " + hex_list(p.signature) + "\n";
    else out += "patrec " + hex_list(p.raw_record) + "  ; " + quote_name(p.name) + "\n";
  }
  return out;
}

}  // namespace vdc
