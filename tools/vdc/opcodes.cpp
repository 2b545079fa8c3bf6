// The instruction and element tables of the identity engine's byte code.
#include "opcodes.h"

#include <cctype>

namespace vdc {
namespace {

const OpInfo kOps[] = {
    // byte tests
    {0x03, "size", Operands::kU16},           // fail unless v + B - pos equals the object length
    {0xFC, "byte", Operands::kByte},          // byte at pos equals b; pos + 1
    {0xFB, "pair", Operands::kTwoBytes},      // two bytes at pos equal b1 b2; pos + 2
    {0xEE, "high", Operands::kNibble},        // high nibble equals n; pos + 1
    {0xEF, "low", Operands::kNibble},         // low nibble equals n; pos + 1
    {0xF2, "range", Operands::kTwoBytes},     // byte in lo..hi; pos + 1
    {0xF4, "oneof", Operands::kByteList},     // byte in the list; pos + 1
    {0xFF, "checksum", Operands::kChecksum},  // keyed checksum of n bytes at pos equals c; pos + n
    {0xC6, "fail", Operands::kNone},
    {0xC4, "topis", Operands::kU16},          // fail unless low 16 bits of top equal v
    {0xBA, "onfloppy", Operands::kNone},      // floppy boot sector (or MBR of a logical drive)
    {0xC2, "onboot", Operands::kNone},        // boot sector of a logical drive or boot manager
    {0xC3, "onmbr", Operands::kNone},         // master boot sector of a physical drive
    {0xE9, "seq", Operands::kSequence},       // element sequence at pos..pos+N
    {0xFD, "anyorder", Operands::kSequence},  // elements in any order within N bytes
    {0xFE, "inorder", Operands::kSequence},   // elements in order within N bytes, gaps allowed
    // position
    {0xEA, "back", Operands::kU8},
    {0xEB, "skip", Operands::kU8},
    {0xF8, "at", Operands::kU16},
    {0xF9, "dec", Operands::kNone},
    {0xFA, "inc", Operands::kNone},
    {0xF7, "skiptop", Operands::kNone},       // pos + top as s16; pop
    // control
    {0xA8, "jmp", Operands::kJump16},
    {0xE4, "jmps", Operands::kJump8},
    {0xE5, "jeq", Operands::kJump8U16},
    {0xF6, "jne", Operands::kJump8U16},
    {0xE6, "ja", Operands::kJump8U16},        // jump if top above v (unsigned)
    {0xE7, "jb", Operands::kJump8U16},        // jump if top below v (unsigned)
    {0xAD, "jg", Operands::kJump8S16},        // jump if top greater than v (signed 16)
    {0xAE, "jl", Operands::kJump8S16},        // jump if top less than v (signed 16)
    {0xAB, "call", Operands::kJump16},
    {0xAA, "ret", Operands::kNone},
    {0xA7, "alt", Operands::kAlternative},
    {0xA6, "close", Operands::kNone},
    {0xC7, "loop", Operands::kLoop},
    {0xB2, "break", Operands::kNone},
    {0xEC, "stop", Operands::kNone},
    {0xB3, "report", Operands::kNone},
    {0xED, "finish", Operands::kNone},
    {0xB9, "ask", Operands::kNone},
    // buffers and disk
    {0xE8, "readblock", Operands::kNone},
    {0xBD, "save", Operands::kNone},
    {0xBC, "restore", Operands::kNone},
    {0xBB, "pushchs", Operands::kNone},
    {0xB5, "pushactive", Operands::kNone},
    {0xB1, "pushlastsector", Operands::kNone},
    {0xBF, "readsector", Operands::kNone},
    {0xC1, "readphys", Operands::kNone},
    {0xBE, "writesector", Operands::kNone},
    {0xC0, "writephys", Operands::kNone},
    {0xB6, "store32", Operands::kNone},
    {0xB7, "store16", Operands::kNone},
    {0xB8, "store8", Operands::kNone},
    // value stack
    {0xDF, "push8", Operands::kU8},
    {0xDE, "push16", Operands::kU16},
    {0xDD, "push32", Operands::kU32},
    {0xE2, "load8", Operands::kNone},
    {0xE1, "load16", Operands::kNone},
    {0xE0, "load32", Operands::kNone},
    {0xAF, "inslen", Operands::kNone},
    {0xB0, "inset", Operands::kBitmap},
    {0xAC, "pushsum", Operands::kChecksum},   // push 1 if the checksum of n bytes at pos equals c
    {0xC5, "pushbase", Operands::kNone},
    {0xC8, "pushrest", Operands::kNone},      // push L - B + pos
    {0xC9, "pushpos", Operands::kNone},
    {0xCD, "getvar", Operands::kU8},
    {0xCE, "setvar", Operands::kU8},
    {0xE3, "dup", Operands::kNone},
    {0xDC, "pop", Operands::kNone},
    {0xCF, "swap", Operands::kNone},
    {0xA9, "sext8", Operands::kNone},
    {0xCB, "neartarget", Operands::kNone},
    {0xCC, "segoff", Operands::kNone},
    {0xD0, "ror", Operands::kU8},
    {0xD1, "rol", Operands::kU8},
    {0xD2, "shr", Operands::kU8},
    {0xD3, "shl", Operands::kU8},
    {0xD4, "div", Operands::kNone},
    {0xD5, "mul", Operands::kNone},
    {0xD6, "sub", Operands::kNone},
    {0xD7, "add", Operands::kNone},
    {0xD8, "not", Operands::kNone},
    {0xD9, "xor", Operands::kNone},
    {0xDA, "or", Operands::kNone},
    {0xDB, "and", Operands::kNone},
    // deletion record marker: never run, the loader takes it as "delete this name"
    {0xB4, "delete", Operands::kNone},
};

const ElementInfo kElements[] = {
    {0xEE, "high", Operands::kNibble}, {0xEF, "low", Operands::kNibble},  {0xF2, "range", Operands::kTwoBytes},
    {0xF4, "oneof", Operands::kByteList}, {0xF5, "bytes", Operands::kByteList}, {0xFA, "any", Operands::kNone},
    {0xFB, "pair", Operands::kTwoBytes}, {0xFC, "byte", Operands::kByte},
};

bool same_name(const char* a, const std::string& b) {
  size_t i = 0;
  for (; a[i] != 0; ++i) {
    if (i >= b.size() || std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return i == b.size();
}

}  // namespace

const OpInfo* op_by_code(uint8_t code) {
  for (const OpInfo& op : kOps)
    if (op.code == code) return &op;
  return nullptr;
}

const OpInfo* op_by_mnemonic(const std::string& mnemonic) {
  for (const OpInfo& op : kOps)
    if (same_name(op.mnemonic, mnemonic)) return &op;
  return nullptr;
}

int fixed_length(Operands operands) {
  switch (operands) {
    case Operands::kNone: return 1;
    case Operands::kByte: case Operands::kNibble: case Operands::kU8: case Operands::kJump8: return 2;
    case Operands::kTwoBytes: case Operands::kU16: case Operands::kS16: case Operands::kJump16:
    case Operands::kLoop: return 3;
    case Operands::kU32: case Operands::kAlternative: return 5;
    case Operands::kChecksum: return 6;
    case Operands::kJump8U16: case Operands::kJump8S16: return 4;
    case Operands::kBitmap: return 33;
    case Operands::kByteList: case Operands::kSequence: return 0;
  }
  return 0;
}

const ElementInfo* element_by_code(uint8_t code) {
  for (const ElementInfo& e : kElements)
    if (e.code == code) return &e;
  return nullptr;
}

const ElementInfo* element_by_mnemonic(const std::string& mnemonic) {
  for (const ElementInfo& e : kElements)
    if (same_name(e.mnemonic, mnemonic)) return &e;
  return nullptr;
}

}  // namespace vdc
