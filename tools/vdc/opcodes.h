// The identity engine's instruction set as the compiler sees it: one mnemonic per opcode,
// the operand layout that decides how the operands are written and encoded, and the
// sequence elements used inside seq/anyorder/inorder. One table serves both the assembler
// and the disassembler, so a mnemonic always stands for exactly one opcode.
#pragma once

#include <cstdint>
#include <string>

namespace vdc {

// Operand layouts. Offsets of jumps are relative to the opcode's address p unless noted.
enum class Operands : uint8_t {
  kNone,        // op
  kByte,        // op b                      (two hex digits)
  kNibble,      // op n                      (one hex digit)
  kTwoBytes,    // op b1 b2                  (pair, range)
  kByteList,    // op n b1..bn               (oneof)
  kU8,          // op n                      (number 0..255)
  kU16,         // op v (BE)                 (number 0..65535)
  kS16,         // (not an instruction form; used by kJump8S16)
  kU32,         // op v (BE)                 (number, or sum(...))
  kChecksum,    // op n c(BE u32)            (count, value / sum(...))
  kSequence,    // op S L' N elements[S-1]
  kJump16,      // op d(LE s16), target p + d
  kJump8,       // op d(s8), target p + d
  kJump8U16,    // op d(s8) v(BE u16)
  kJump8S16,    // op d(s8) v(BE s16)
  kAlternative, // op a(LE s16) b(LE s16): resume p + 1 + a, next alternative p + 3 + b (b = 0: none)
  kLoop,        // op n d: count, exit address p + d (d unsigned)
  kBitmap,      // op bitmap[32]
};

struct OpInfo {
  uint8_t code;          // opcode byte
  const char* mnemonic;  // source name
  Operands operands;     // operand layout
};

// The instruction with this opcode, or null when the engine has none.
const OpInfo* op_by_code(uint8_t code);
// The instruction with this mnemonic (case-insensitive), or null.
const OpInfo* op_by_mnemonic(const std::string& mnemonic);
// Fixed length of an instruction, or 0 when it depends on its operands (kByteList, kSequence).
int fixed_length(Operands operands);

// Sequence elements (inside 0xE9, 0xFD, 0xFE).
struct ElementInfo {
  uint8_t code;          // element byte
  const char* mnemonic;  // source name
  Operands operands;     // kNone, kByte, kNibble, kTwoBytes, kByteList
};
const ElementInfo* element_by_code(uint8_t code);
const ElementInfo* element_by_mnemonic(const std::string& mnemonic);

}  // namespace vdc
