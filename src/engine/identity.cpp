// The identity engine's interpreter and the identity search (see identity.h).
//
// run_program() is one loop around a switch on the opcode. Each instruction either goes on
// at its next address, jumps, fails, stops or ends the program with a result:
//   fail  -> the next alternative (when alternatives are open and one is left), else the
//            innermost loop frame (next start position, or its exit when the count runs out),
//            else stop;
//   stop  -> "Disinfection unsuccessful!" and -4 when the operator agreed to a repair,
//            else -4 when the identity was reported, else 0.
// Reaching exactly the end of the program stops; jumping, calling or linking outside it,
// an operand past its end, an unknown opcode, a 17th call or a return with none are faults
// (-2). Out-of-range data positions stop the program.
#include "engine/identity.h"

#include <algorithm>
#include <cstring>

#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/scan_buffer.h"
#include "engine/sector_io.h"
#include "findings/messages.h"
#include "findings/reports.h"
#include "host/host.h"
#include "virusdata/checksum.h"
#include "virusdata/library.h"

namespace engine {

IdentityMachine g_identity;

void reset_identity() { g_identity = IdentityMachine{}; }

namespace {

// Instruction length of 16-bit x86 code: per opcode a length, a class (high bit set, class
// number in the low seven bits) or 0xFF for an invalid opcode.
constexpr uint8_t kX86First[256] = {
    0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01, 0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01,  // 0_
    0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01, 0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01,  // 1_
    0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01, 0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01,  // 2_
    0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01, 0x82, 0x82, 0x82, 0x82, 0x02, 0x03, 0x01, 0x01,  // 3_
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,  // 4_
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,  // 5_
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 6_
    0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02,  // 7_
    0x83, 0x84, 0x85, 0x85, 0x82, 0x82, 0x82, 0x82, 0x82, 0x82, 0x82, 0x82, 0x86, 0x82, 0x86, 0x87,  // 8_
    0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01,  // 9_
    0x03, 0x03, 0x03, 0x03, 0x01, 0x01, 0x01, 0x01, 0x02, 0x03, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01,  // A_
    0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03,  // B_
    0x01, 0x01, 0x03, 0x01, 0x82, 0x82, 0x88, 0x89, 0xFF, 0xFF, 0x03, 0x01, 0x01, 0x02, 0x01, 0x01,  // C_
    0x8A, 0x8A, 0x8A, 0x8A, 0x02, 0x02, 0xFF, 0x01, 0x82, 0x82, 0x82, 0x82, 0x82, 0x82, 0x82, 0x82,  // D_
    0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x03, 0x03, 0x04, 0x02, 0x01, 0x01, 0x01, 0x01,  // E_
    0x01, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x8B, 0x8C, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x8D, 0x8E,  // F_
};
// Base length by the ModRM reg field (bits 3-5) per class; 0xFF invalid.
constexpr uint8_t kX86Class[15][8] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
    {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02}, {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03},
    {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}, {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03},
    {0x02, 0x02, 0x02, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}, {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02}, {0x03, 0xFF, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02},
    {0x04, 0xFF, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02}, {0x02, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0xFF},
};

enum class Flow { kNext, kFail, kStop };
enum class Elem { kMatch, kNoMatch, kError };

struct Frame {
  size_t restart = 0;     // address of the loop body
  int64_t start = 0;      // current start position
  int64_t saved = 0;      // position when the loop was opened
  int32_t remaining = 0;  // tries left
  size_t exit = 0;        // address after the loop
};

// Per-program state; reset by constructing it.
struct Run {
  std::span<const uint8_t> prog;  // the record's program bytes
  std::string_view name;          // the record's virus name (empty: blanked by a deletion)
  const IdentityArgs* args = nullptr;
  size_t pc = 0;                  // address of the current instruction
  uint8_t* buf = nullptr;         // current buffer: the scan buffer or the second buffer
  int64_t w = 0;                  // valid bytes of the current buffer
  int64_t b = 0;                  // object offset of index 0 of the current buffer
  int64_t pos = 0;                // position in the current buffer
  std::array<size_t, kMaxCalls> calls{};
  int call_depth = 0;
  std::array<Frame, kMaxLoops> frames{};
  int frame_count = 0;
  bool alt_active = false;        // alternatives are open
  size_t alt_resume = 0;          // address after the alternatives
  int64_t alt_next = -1;          // address of the next alternative's link, -1 none
  int64_t alt_saved = 0;          // position when the alternatives were opened
  int steps = 0;
  bool disinfect = false;         // the operator agreed to a repair
  bool reported = false;          // the identity was reported
};

inline uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline int16_t le16s(const uint8_t* p) { return int16_t(uint16_t(p[0] | (p[1] << 8))); }

inline uint32_t& top_cell() { return g_identity.stack[g_identity.top & 15]; }
inline uint32_t& second_cell() { return g_identity.stack[(g_identity.top - 1) & 15]; }
inline void push(uint32_t v) {
  g_identity.top = (g_identity.top + 1) & 15;
  g_identity.stack[g_identity.top] = v;
}
inline void pop() { g_identity.top = (g_identity.top - 1) & 15; }

inline bool readable(const Run& r, int64_t pos, int64_t n) { return pos >= 0 && n >= 0 && pos + n <= r.w; }
inline bool storable(int64_t pos, int64_t n) { return pos >= 0 && pos + n <= int64_t(kSecondBufferSize); }

// Size of the element at e, which must lie inside [e, end). 0: unknown element (an element
// error); -1: the element starts at or runs past the instruction's end (a faulty program).
int element_size(std::span<const uint8_t> prog, size_t e, size_t end) {
  if (e >= end) return -1;
  int size = 0;
  switch (prog[e]) {
    case 0xEE: case 0xEF: case 0xFC: size = 2; break;
    case 0xF2: case 0xFB: size = 3; break;
    case 0xFA: size = 1; break;
    case 0xF4: case 0xF5:
      if (e + 1 >= end) return -1;
      size = prog[e + 1] + 2;
      break;
    default: return 0;
  }
  return e + size_t(size) <= end ? size : -1;
}

// Matches the element at e (of known size) against data index q; `consumed` is set on a match.
Elem match_element(const Run& r, size_t e, int64_t q, int& consumed) {
  const uint8_t* el = r.prog.data() + e;
  const bool has_byte = q >= 0 && q < r.w;
  switch (el[0]) {
    case 0xEE:
      if (!has_byte) return Elem::kError;
      consumed = 1;
      return (r.buf[q] >> 4) == (el[1] & 0x0F) ? Elem::kMatch : Elem::kNoMatch;
    case 0xEF:
      if (!has_byte) return Elem::kError;
      consumed = 1;
      return (r.buf[q] & 0x0F) == (el[1] & 0x0F) ? Elem::kMatch : Elem::kNoMatch;
    case 0xF2:
      if (!has_byte) return Elem::kError;
      consumed = 1;
      return (r.buf[q] >= el[1] && r.buf[q] <= el[2]) ? Elem::kMatch : Elem::kNoMatch;
    case 0xF4:
      if (!has_byte) return Elem::kError;
      consumed = 1;
      return std::memchr(el + 2, r.buf[q], el[1]) != nullptr ? Elem::kMatch : Elem::kNoMatch;
    case 0xF5:
      if (!readable(r, q, el[1])) return Elem::kError;
      consumed = el[1];
      return std::memcmp(r.buf + q, el + 2, el[1]) == 0 ? Elem::kMatch : Elem::kNoMatch;
    case 0xFA:
      consumed = 1;
      return Elem::kMatch;
    case 0xFB:
      if (!readable(r, q, 2)) return Elem::kError;
      consumed = 2;
      return (r.buf[q] == el[1] && r.buf[q + 1] == el[2]) ? Elem::kMatch : Elem::kNoMatch;
    case 0xFC:
      if (!has_byte) return Elem::kError;
      consumed = 1;
      return r.buf[q] == el[1] ? Elem::kMatch : Elem::kNoMatch;
    default:
      return Elem::kError;
  }
}

// The drive the logical sector instructions act on, or -1.
int logical_drive_of_item() {
  const findings::FindingLocation& loc = findings::g_findings.location;
  if (loc.kind == findings::kLocLogicalSector || loc.kind == findings::kLocFloppySector) return loc.logical_drive;
  if (loc.kind == findings::kLocPhysicalSector && loc.drive_code >= 0 && loc.drive_code < 26) return loc.drive_code;
  return -1;
}

// The physical drive number the physical sector instructions act on, or -1.
int physical_drive_of_item() {
  const findings::FindingLocation& loc = findings::g_findings.location;
  if (loc.kind != findings::kLocPhysicalSector && loc.kind != findings::kLocLogicalSector &&
      loc.kind != findings::kLocFloppySector && loc.kind != findings::kLocBootManager)
    return -1;
  if (loc.drive_code < findings::kPhysicalDriveBase) return -1;
  const int n = loc.drive_code - findings::kPhysicalDriveBase;
  return host::physical_drive_present(n) ? n : -1;
}

int stop_rule(const Run& r) {
  if (r.disinfect) {
    driver::outputf(true, "%s", msg::scan::kDisinfectionUnsuccessful);
    driver::outputf(true, "\n");
    return kIdentityFound;
  }
  return r.reported ? kIdentityFound : kIdentityNone;
}

}  // namespace

uint32_t x86_instruction_length(uint8_t b0, uint8_t b1) {
  const uint8_t first = kX86First[b0];
  if (first == 0xFF) return 0xFFFFFFFFu;
  if (!(first & 0x80)) return first;
  const uint8_t cls = first & 0x7F;
  if (cls >= std::size(kX86Class)) return 0xFFFFFFFFu;
  const uint8_t base = kX86Class[cls][(b1 >> 3) & 7];
  if (base == 0xFF) return 0xFFFFFFFFu;
  uint32_t extra = 0;
  switch (b1 >> 6) {
    case 0: extra = (b1 & 7) == 6 ? 2 : 0; break;
    case 1: extra = 1; break;
    case 2: extra = 2; break;
    default: extra = 0; break;
  }
  return base + extra;
}

// A faulty program: remember where the check sits, end with -2.
#define IDENTITY_FAULT()                 \
  do {                                   \
    g_identity.fault_line = __LINE__;    \
    return kIdentityFaulty;              \
  } while (0)
// The instruction's operands must lie inside the program.
#define NEED(len) \
  if (p + size_t(len) > size) IDENTITY_FAULT()
// Continue at p + d, which must lie inside the program (its end included: that stops).
#define JUMP_TO(target)                                           \
  do {                                                            \
    const int64_t t_ = (target);                                  \
    if (t_ < 0 || t_ > int64_t(size)) IDENTITY_FAULT();           \
    r.pc = size_t(t_);                                            \
  } while (0)

int run_program(std::span<const uint8_t> program, std::string_view name, size_t start, int64_t start_pos,
                const IdentityArgs& args) {
  Run r;
  r.prog = program;
  r.name = name;
  r.args = &args;
  r.pc = start;
  r.buf = g_scan.bytes.data();
  r.w = std::clamp<int64_t>(args.window, 0, int64_t(kScanBufferSize));
  r.b = args.base;
  r.pos = start_pos;
  const size_t size = program.size();
  const uint8_t* code = program.data();
  const int32_t kind = findings::g_findings.location.kind;

  for (;;) {
    if (r.pc > size) IDENTITY_FAULT();
    Flow flow = Flow::kNext;
    const size_t p = r.pc;
    if (p == size) {
      // Running off the end of the program acts as a stop.
      flow = Flow::kStop;
    } else {
      const uint8_t op = code[p];
      switch (op) {
        // ---------------------------------------------------------------- byte tests
        // 0x03 v(BE16): fail unless v + B - pos equals the object length.
        case 0x03:
          NEED(3);
          r.pc = p + 3;
          if (int64_t(be16(code + p + 1)) + r.b - r.pos != args.length) flow = Flow::kFail;
          break;
        // 0xFC b: the byte at pos equals b; pos + 1 either way.
        case 0xFC:
          NEED(2);
          r.pc = p + 2;
          if (!readable(r, r.pos, 1)) { flow = Flow::kStop; break; }
          if (r.buf[r.pos++] != code[p + 1]) flow = Flow::kFail;
          break;
        // 0xFB b1 b2: two bytes, only where the object still has two bytes at pos.
        case 0xFB:
          NEED(3);
          r.pc = p + 3;
          if (!(r.pos + r.b + 1 < args.length)) { flow = Flow::kFail; break; }
          if (!readable(r, r.pos, 2)) { flow = Flow::kStop; break; }
          if (r.buf[r.pos++] != code[p + 1] || r.buf[r.pos++] != code[p + 2]) flow = Flow::kFail;
          break;
        // 0xEE n / 0xEF n: high / low nibble of the byte at pos; pos + 1 either way.
        case 0xEE:
        case 0xEF: {
          NEED(2);
          r.pc = p + 2;
          if (!readable(r, r.pos, 1)) { flow = Flow::kStop; break; }
          const uint8_t v = r.buf[r.pos++];
          const uint8_t nib = op == 0xEE ? uint8_t(v >> 4) : uint8_t(v & 0x0F);
          if (nib != (code[p + 1] & 0x0F)) flow = Flow::kFail;
          break;
        }
        // 0xF2 lo hi: byte in lo..hi, then pos + 1.
        case 0xF2:
          NEED(3);
          r.pc = p + 3;
          if (!readable(r, r.pos, 1)) { flow = Flow::kStop; break; }
          if (r.buf[r.pos] < code[p + 1] || r.buf[r.pos] > code[p + 2]) flow = Flow::kFail;
          else ++r.pos;
          break;
        // 0xF4 n list[n]: byte in the list, then pos + 1.
        case 0xF4: {
          NEED(2);
          const size_t n = code[p + 1];
          NEED(n + 2);
          r.pc = p + n + 2;
          if (!readable(r, r.pos, 1)) { flow = Flow::kStop; break; }
          if (n != 0 && std::memchr(code + p + 2, r.buf[r.pos], n) != nullptr) ++r.pos;
          else flow = Flow::kFail;
          break;
        }
        // 0xFF n c(BE32): keyed checksum of n bytes at pos, which must lie inside the object.
        case 0xFF: {
          NEED(6);
          r.pc = p + 6;
          const int64_t n = code[p + 1];
          if (!readable(r, r.pos, n)) { flow = Flow::kStop; break; }
          if (r.pos + r.b + n > args.length ||
              virusdata::checksum32_of(virusdata::kIdentityKey, r.buf + r.pos, int32_t(n)) != be32(code + p + 2))
            flow = Flow::kFail;
          else
            r.pos += n;
          break;
        }
        // 0xC6: fail.
        case 0xC6:
          r.pc = p + 1;
          flow = Flow::kFail;
          break;
        // 0xC4 v(BE16): fail unless the low 16 bits of top equal v.
        case 0xC4:
          NEED(3);
          r.pc = p + 3;
          if ((top_cell() & 0xFFFF) != be16(code + p + 1)) flow = Flow::kFail;
          break;
        // 0xBA: floppy boot sector, or a physical-drive sector of a BIOS floppy number.
        case 0xBA: {
          r.pc = p + 1;
          const findings::FindingLocation& loc = findings::g_findings.location;
          if (!(loc.kind == findings::kLocFloppySector ||
                (loc.kind == findings::kLocPhysicalSector && loc.drive_code < findings::kPhysicalDriveBase)))
            flow = Flow::kFail;
          break;
        }
        // 0xC2: boot sector of a logical drive or the boot manager.
        case 0xC2:
          r.pc = p + 1;
          if (kind != findings::kLocLogicalSector && kind != findings::kLocBootManager) flow = Flow::kFail;
          break;
        // 0xC3: a sector of a physical drive.
        case 0xC3:
          r.pc = p + 1;
          if (!(kind == findings::kLocPhysicalSector &&
                findings::g_findings.location.drive_code >= findings::kPhysicalDriveBase))
            flow = Flow::kFail;
          break;
        // 0xE9 / 0xFD / 0xFE S L' N elements[S-1], searched within N bytes from pos:
        //   0xE9: the elements, covering L' bytes, at one of pos..pos+N;
        //   0xFD: each of the first L' elements matches somewhere in N bytes;
        //   0xFE: the first L' elements in order within N bytes, gaps allowed.
        case 0xE9:
        case 0xFD:
        case 0xFE: {
          NEED(2);
          const size_t s = code[p + 1];
          if (s == 0) IDENTITY_FAULT();
          NEED(s + 3);
          r.pc = p + s + 3;
          const int lcount = code[p + 2], n = code[p + 3];
          const size_t first = p + 4, end = p + s + 3;
          if (op == 0xE9) {
            if (r.pos < 0) { flow = Flow::kStop; break; }
            bool found = false;
            for (int k = 0; k <= n && !found && flow == Flow::kNext; ++k) {
              int consumed = 0;
              size_t e = first;
              bool ok = true;
              while (consumed < lcount) {
                const int esz = element_size(program, e, end);
                if (esz < 0) IDENTITY_FAULT();
                if (esz == 0) { flow = Flow::kStop; break; }
                int c = 0;
                const Elem m = match_element(r, e, r.pos + k + consumed, c);
                if (m == Elem::kError) { flow = Flow::kStop; break; }
                if (m == Elem::kNoMatch) { ok = false; break; }
                consumed += c;
                e += size_t(esz);
              }
              if (flow != Flow::kNext) break;
              if (ok) {
                found = true;
                r.pos += k + lcount;
              }
            }
            if (flow == Flow::kNext && !found) flow = Flow::kFail;
            break;
          }
          const bool in_order = op == 0xFE;
          size_t e = first;
          int j = 0;  // in order: where the next element's search begins
          for (int i = 0; i < lcount && flow == Flow::kNext; ++i) {
            const int esz = element_size(program, e, end);
            if (esz < 0) IDENTITY_FAULT();
            if (esz == 0) { flow = Flow::kStop; break; }
            bool found = false;
            for (j = in_order ? j : 0; j < n && !found; ++j) {
              int c = 0;
              const Elem m = match_element(r, e, r.pos + j, c);
              if (m == Elem::kError) { flow = Flow::kStop; break; }
              if (m == Elem::kMatch) {
                found = true;
                if (in_order) j += c - 1;  // the loop's ++j moves just past the bytes consumed
              }
            }
            if (flow == Flow::kNext && !found) flow = Flow::kFail;
            e += size_t(esz);
          }
          if (flow == Flow::kNext) r.pos += in_order ? j : lcount;
          break;
        }

        // ---------------------------------------------------------------- position
        // 0xEA n / 0xEB n: pos - n / pos + n.
        case 0xEA:
        case 0xEB:
          NEED(2);
          r.pc = p + 2;
          r.pos += op == 0xEA ? -int64_t(code[p + 1]) : int64_t(code[p + 1]);
          break;
        // 0xF8 v(BE16): pos = v.
        case 0xF8:
          NEED(3);
          r.pc = p + 3;
          r.pos = be16(code + p + 1);
          break;
        // 0xF9 / 0xFA: pos - 1 / pos + 1.
        case 0xF9:
          r.pc = p + 1;
          --r.pos;
          break;
        case 0xFA:
          r.pc = p + 1;
          ++r.pos;
          break;
        // 0xF7: pos + low 16 bits of top as a signed value; pop.
        case 0xF7:
          r.pc = p + 1;
          r.pos += int16_t(uint16_t(top_cell() & 0xFFFF));
          pop();
          break;

        // ---------------------------------------------------------------- control
        // 0xA8 d(LE s16): jump by d.
        case 0xA8:
          NEED(3);
          JUMP_TO(int64_t(p) + le16s(code + p + 1));
          break;
        // 0xE4 d(s8): jump by d.
        case 0xE4:
          NEED(2);
          JUMP_TO(int64_t(p) + int8_t(code[p + 1]));
          break;
        // 0xE5/0xF6/0xE6/0xE7 d(s8) v(BE16): jump by d when the low 16 bits of top are
        // equal to / differ from / above / below v (unsigned).
        case 0xE5:
        case 0xF6:
        case 0xE6:
        case 0xE7: {
          NEED(4);
          const uint32_t v = be16(code + p + 2), t = top_cell() & 0xFFFF;
          const bool take = op == 0xE5 ? v == t : op == 0xF6 ? v != t : op == 0xE6 ? v < t : t < v;
          if (take) JUMP_TO(int64_t(p) + int8_t(code[p + 1]));
          else r.pc = p + 4;
          break;
        }
        // 0xAD/0xAE d(s8) v(BE s16): jump by d when the low 16 bits of top, signed, are
        // greater / less than v.
        case 0xAD:
        case 0xAE: {
          NEED(4);
          const int16_t v = int16_t(be16(code + p + 2)), t = int16_t(uint16_t(top_cell() & 0xFFFF));
          if (op == 0xAD ? t > v : t < v) JUMP_TO(int64_t(p) + int8_t(code[p + 1]));
          else r.pc = p + 4;
          break;
        }
        // 0xAB d(LE s16): call; the return address is p + 3.
        case 0xAB:
          NEED(3);
          if (r.call_depth >= kMaxCalls) IDENTITY_FAULT();
          r.calls[size_t(r.call_depth++)] = p + 3;
          JUMP_TO(int64_t(p) + le16s(code + p + 1));
          break;
        // 0xAA: return.
        case 0xAA:
          if (r.call_depth == 0) IDENTITY_FAULT();
          r.pc = r.calls[size_t(--r.call_depth)];
          break;
        // 0xA7 a(LE s16) b(LE s16): open alternatives; resume at p + 1 + a, the next
        // alternative's link at p + 3 + b (none when b is 0).
        case 0xA7: {
          NEED(5);
          const int64_t resume = int64_t(p) + 1 + le16s(code + p + 1);
          const int16_t b = le16s(code + p + 3);
          const int64_t next = b == 0 ? -1 : int64_t(p) + 3 + b;
          if (resume < 0 || resume > int64_t(size)) IDENTITY_FAULT();
          if (next != -1 && (next < 0 || next > int64_t(size))) IDENTITY_FAULT();
          r.alt_active = true;
          r.alt_resume = size_t(resume);
          r.alt_next = next;
          r.alt_saved = r.pos;
          r.pc = p + 5;
          break;
        }
        // 0xA6: close alternatives, continue at the resume address.
        case 0xA6:
          r.alt_active = false;
          r.pc = r.alt_resume;
          break;
        // 0xC7 n d: open a loop of n tries; its exit is p + d.
        case 0xC7: {
          NEED(3);
          if (r.frame_count >= kMaxLoops) return stop_rule(r);
          const size_t exit = p + code[p + 2];
          if (exit > size) IDENTITY_FAULT();
          r.frames[size_t(r.frame_count++)] = Frame{p + 3, r.pos, r.pos, code[p + 1], exit};
          r.pc = p + 3;
          break;
        }
        // 0xB2: leave the innermost loop with its saved position; no loop fails.
        case 0xB2:
          if (r.frame_count == 0) {
            r.pc = p + 1;
            flow = Flow::kFail;
            break;
          }
          --r.frame_count;
          r.pc = r.frames[size_t(r.frame_count)].exit;
          r.pos = r.frames[size_t(r.frame_count)].saved;
          break;
        // 0xEC: stop.
        case 0xEC:
          flow = Flow::kStop;
          break;
        // 0xB3: report the identity (a blanked name ends the program with 0).
        case 0xB3:
          r.pc = p + 1;
          if (name.empty()) return kIdentityNone;
          findings::identity_report(name);
          r.reported = true;
          break;
        // 0xED: finish: a confirmed repair succeeded, or report and end with -4.
        case 0xED:
          if (r.disinfect) {
            driver::outputf(true, "%s", msg::scan::kDisinfectionSuccessful);
            driver::outputf(true, "\n");
            ++driver::g_counters.disinfections;
            return kIdentityNone;
          }
          if (name.empty()) return kIdentityNone;
          findings::identity_report(name);
          return kIdentityFound;
        // 0xB9: ask whether to repair. Files and server requests are never repaired (no
        // instruction can write a file), so they end with -4 without a question.
        case 0xB9:
          r.pc = p + 1;
          if (kind == findings::kLocFile || kind == findings::kLocServerRequest) return kIdentityFound;
          if (!driver::g_settings.disinfect || driver::yes_no(msg::scan::kDisinfectQuestion) != 1)
            return kIdentityFound;
          r.disinfect = true;
          break;

        // ---------------------------------------------------------------- buffers and disk
        // 0xE8: follow into the file: read 1024 bytes at offset top into the second buffer.
        case 0xE8: {
          r.pc = p + 1;
          if (kind != findings::kLocFile && kind != findings::kLocServerRequest) return kIdentityNone;
          const int64_t x = top_cell();
          if (x >= args.length) { flow = Flow::kFail; break; }
          if (x != g_identity.cached_offset) {
            if (seek_file(args.handle, x, 0) != x) { flow = Flow::kFail; break; }
            const int64_t got = read_file(args.handle, g_identity.second.data(), kSecondBufferSize);
            if (got <= 0) {
              g_identity.cached_offset = -1;
              flow = Flow::kFail;
              break;
            }
            g_identity.second_fill = size_t(got);
            g_identity.cached_offset = x;
          }
          r.buf = g_identity.second.data();
          r.w = int64_t(g_identity.second_fill);
          r.b = x;
          r.pos = 0;
          break;
        }
        // 0xBD: save n = top AND 0x3FF bytes at pos; work on the second buffer from now on.
        case 0xBD: {
          r.pc = p + 1;
          const int64_t n = top_cell() & 0x3FF;
          if (!readable(r, r.pos, n)) { flow = Flow::kStop; break; }
          if (r.buf == g_scan.bytes.data()) {
            std::memcpy(g_identity.second.data(), g_scan.bytes.data(), kSecondBufferSize);
            r.w = std::min<int64_t>(r.w, int64_t(kSecondBufferSize));
            g_identity.second_fill = size_t(r.w);
            g_identity.cached_offset = -1;
            r.buf = g_identity.second.data();
          }
          const int64_t copy = std::clamp<int64_t>(r.w - r.pos, 0, n);
          std::memcpy(g_identity.save.data(), r.buf + r.pos, size_t(copy));
          break;
        }
        // 0xBC: restore n = top AND 0x3FF bytes of the save area into the buffer at pos.
        case 0xBC: {
          r.pc = p + 1;
          const int64_t n = top_cell() & 0x3FF;
          if (!storable(r.pos, n)) { flow = Flow::kStop; break; }
          std::memcpy(r.buf + r.pos, g_identity.save.data(), size_t(n));
          g_identity.cached_offset = -1;
          break;
        }
        // 0xBB: push the partition-table address at pos: head << 24 | cylinder << 8 | sector.
        case 0xBB: {
          r.pc = p + 1;
          if (!(r.pos >= 0 && r.pos + 2 < r.w)) { flow = Flow::kStop; break; }
          const uint8_t* a = r.buf + r.pos;
          const uint32_t sector = a[1] & 0x3F, cylinder = (uint32_t(a[1] & 0xC0) << 2) | a[2];
          push((uint32_t(a[0]) << 24) | (cylinder << 8) | sector);
          break;
        }
        // 0xB5: push 447 + 16 i for the first active partition entry i, or 0.
        case 0xB5: {
          r.pc = p + 1;
          if (r.w < 498) { flow = Flow::kFail; break; }
          uint32_t v = 0;
          for (uint32_t i = 0; i < 4; ++i) {
            if (r.buf[446 + 16 * i] == 0x80) {
              v = 447 + 16 * i;
              break;
            }
          }
          push(v);
          break;
        }
        // 0xB1: push the address of the last sector of the physical drive.
        case 0xB1: {
          r.pc = p + 1;
          const int n = physical_drive_of_item();
          uint32_t cylinders = 0, heads = 0, sectors = 0;
          if (n < 0 || g_sector_io.geometry(n, cylinders, heads, sectors) != 0 || cylinders == 0 || heads == 0) {
            flow = Flow::kFail;
            break;
          }
          push(((heads - 1) << 24) | ((cylinders - 1) << 8) | (sectors & 0xFF));
          break;
        }
        // 0xBF / 0xC1: read sector top of the logical drive / the packed address of the
        // physical drive into the scan buffer; W = 512, pos = 0.
        case 0xBF:
        case 0xC1: {
          r.pc = p + 1;
          const uint32_t t = top_cell();
          int rc = kSectorUnavailable;
          std::memset(g_scan.bytes.data(), 0, kSectorBytes);
          if (op == 0xBF) {
            const int drive = logical_drive_of_item();
            if (drive >= 0) rc = g_sector_io.read_logical(drive, t, g_scan.bytes.data());
          } else {
            const int n = physical_drive_of_item();
            if (n >= 0) rc = g_sector_io.read_physical(n, (t >> 8) & 0xFFFF, t >> 24, t & 0xFF, g_scan.bytes.data());
          }
          if (rc != 0) { flow = Flow::kFail; break; }
          r.buf = g_scan.bytes.data();
          r.w = kSectorBytes;
          r.pos = 0;
          break;
        }
        // 0xBE / 0xC0: write the scan buffer's first 512 bytes back to sector top; only
        // after the operator agreed to the repair.
        case 0xBE:
        case 0xC0: {
          r.pc = p + 1;
          if (!r.disinfect) { flow = Flow::kFail; break; }
          const uint32_t t = top_cell();
          int rc = kSectorUnavailable;
          if (op == 0xBE) {
            const int drive = logical_drive_of_item();
            if (drive >= 0) rc = g_sector_io.write_logical(drive, t, g_scan.bytes.data());
          } else {
            const int n = physical_drive_of_item();
            if (n >= 0) rc = g_sector_io.write_physical(n, (t >> 8) & 0xFFFF, t >> 24, t & 0xFF, g_scan.bytes.data());
          }
          if (rc != 0) {
            if (rc == host::kErrWriteProtect) driver::outputf(true, "%s", msg::scan::kWriteProtected);
            flow = Flow::kFail;
          }
          break;
        }
        // 0xB6 / 0xB7 / 0xB8: store top as u32 / u16 / byte, little-endian, at pos.
        case 0xB6:
        case 0xB7:
        case 0xB8: {
          r.pc = p + 1;
          const int64_t n = op == 0xB6 ? 4 : op == 0xB7 ? 2 : 1;
          if (!storable(r.pos, n)) { flow = Flow::kStop; break; }
          const uint32_t v = top_cell();
          for (int64_t i = 0; i < n; ++i) r.buf[r.pos + i] = uint8_t(v >> (8 * i));
          break;
        }

        // ---------------------------------------------------------------- value stack
        // 0xDF b / 0xDE v(BE16) / 0xDD v(BE32): push a constant.
        case 0xDF:
          NEED(2);
          r.pc = p + 2;
          push(code[p + 1]);
          break;
        case 0xDE:
          NEED(3);
          r.pc = p + 3;
          push(be16(code + p + 1));
          break;
        case 0xDD:
          NEED(5);
          r.pc = p + 5;
          push(be32(code + p + 1));
          break;
        // 0xE2 / 0xE1 / 0xE0: push the byte / u16 LE / u32 LE at pos.
        case 0xE2:
        case 0xE1:
        case 0xE0: {
          r.pc = p + 1;
          const int64_t n = op == 0xE2 ? 1 : op == 0xE1 ? 2 : 4;
          if (!readable(r, r.pos, n)) { flow = Flow::kStop; break; }
          uint32_t v = 0;
          for (int64_t i = n - 1; i >= 0; --i) v = (v << 8) | r.buf[r.pos + i];
          push(v);
          break;
        }
        // 0xAF: push the length of the x86 instruction at pos.
        case 0xAF:
          r.pc = p + 1;
          if (!readable(r, r.pos, 2)) { flow = Flow::kStop; break; }
          push(x86_instruction_length(r.buf[r.pos], r.buf[r.pos + 1]));
          break;
        // 0xB0 bitmap[32]: push whether the byte at pos is in the set.
        case 0xB0: {
          NEED(33);
          r.pc = p + 33;
          if (!readable(r, r.pos, 1)) { flow = Flow::kStop; break; }
          const uint8_t v = r.buf[r.pos];
          push((code[p + 1 + (v >> 3)] >> (v & 7)) & 1);
          break;
        }
        // 0xAC n c(BE32): push whether the keyed checksum of n bytes at pos is c.
        case 0xAC: {
          NEED(6);
          r.pc = p + 6;
          const int64_t n = code[p + 1];
          if (!readable(r, r.pos, n)) { flow = Flow::kStop; break; }
          const bool same = r.pos + r.b + n <= args.length &&
                            virusdata::checksum32_of(virusdata::kIdentityKey, r.buf + r.pos, int32_t(n)) ==
                                be32(code + p + 2);
          push(same ? 1 : 0);
          break;
        }
        // 0xC5 / 0xC8 / 0xC9: push B / L - B + pos / pos.
        case 0xC5:
          r.pc = p + 1;
          push(uint32_t(r.b));
          break;
        case 0xC8:
          r.pc = p + 1;
          push(uint32_t(args.length - r.b + r.pos));
          break;
        case 0xC9:
          r.pc = p + 1;
          push(uint32_t(r.pos));
          break;
        // 0xCD k / 0xCE k: push variable k / set it to top (index AND 15).
        case 0xCD:
          NEED(2);
          r.pc = p + 2;
          push(g_identity.variables[code[p + 1] & 15]);
          break;
        case 0xCE:
          NEED(2);
          r.pc = p + 2;
          g_identity.variables[code[p + 1] & 15] = top_cell();
          break;
        // 0xE3 dup, 0xDC pop, 0xCF swap.
        case 0xE3:
          r.pc = p + 1;
          push(top_cell());
          break;
        case 0xDC:
          r.pc = p + 1;
          pop();
          break;
        case 0xCF:
          r.pc = p + 1;
          std::swap(top_cell(), second_cell());
          break;
        // 0xA9: sign-extend the low byte of top.
        case 0xA9:
          r.pc = p + 1;
          top_cell() = uint32_t(int32_t(int8_t(top_cell() & 0xFF)));
          break;
        // 0xCB: object offset of a 16-bit relative jump's target whose displacement is at pos.
        case 0xCB:
          r.pc = p + 1;
          top_cell() = uint32_t(r.b + (top_cell() & 0xFFFF) + r.pos + 2);
          break;
        // 0xCC: file offset of the segment:offset in top inside a DOS executable.
        case 0xCC:
          r.pc = p + 1;
          top_cell() = uint32_t((top_cell() & 0xFFFF) + (top_cell() >> 16) * 16 + uint32_t(args.header_size));
          break;
        // 0xD0 n / 0xD1 n: rotate top right / left by n bits.
        case 0xD0:
        case 0xD1: {
          NEED(2);
          r.pc = p + 2;
          const unsigned n = code[p + 1] & 31;
          const uint32_t v = top_cell();
          if (n != 0) top_cell() = op == 0xD0 ? (v >> n) | (v << (32 - n)) : (v << n) | (v >> (32 - n));
          break;
        }
        // 0xD2 n / 0xD3 n: shift top right / left by n AND 31.
        case 0xD2:
          NEED(2);
          r.pc = p + 2;
          top_cell() >>= (code[p + 1] & 31);
          break;
        case 0xD3:
          NEED(2);
          r.pc = p + 2;
          top_cell() <<= (code[p + 1] & 31);
          break;
        // 0xD4: divide second by top (a zero top changes nothing).
        case 0xD4: {
          r.pc = p + 1;
          const uint32_t d = top_cell();
          if (d == 0) break;
          pop();
          top_cell() /= d;
          break;
        }
        // 0xD5 multiply, 0xD6 subtract, 0xD7 add, 0xD9 xor, 0xDA or, 0xDB and: second op top, pop.
        case 0xD5:
        case 0xD6:
        case 0xD7:
        case 0xD9:
        case 0xDA:
        case 0xDB: {
          r.pc = p + 1;
          const uint32_t t = top_cell();
          pop();
          uint32_t& s = top_cell();
          switch (op) {
            case 0xD5: s *= t; break;
            case 0xD6: s -= t; break;
            case 0xD7: s += t; break;
            case 0xD9: s ^= t; break;
            case 0xDA: s |= t; break;
            default: s &= t; break;
          }
          break;
        }
        // 0xD8: NOT top.
        case 0xD8:
          r.pc = p + 1;
          top_cell() = ~top_cell();
          break;

        default:
          IDENTITY_FAULT();
      }
    }

    // Fail: the next alternative, else the innermost loop frame, else stop.
    if (flow == Flow::kFail) {
      if (r.alt_active && r.alt_next >= 0) {
        const int64_t link = r.alt_next;
        if (link + 2 > int64_t(size)) IDENTITY_FAULT();
        const int16_t d = le16s(code + link);
        const int64_t next = d == 0 ? -1 : link + d;
        if (next != -1 && (next < 0 || next > int64_t(size))) IDENTITY_FAULT();
        r.alt_next = next;
        r.pc = size_t(link + 2);
        r.pos = r.alt_saved;
        flow = Flow::kNext;
      } else if (r.frame_count > 0) {
        Frame& f = r.frames[size_t(r.frame_count - 1)];
        if (--f.remaining == 0) {
          r.pc = f.exit;
          r.pos = f.saved;
          --r.frame_count;
        } else {
          r.pos = ++f.start;
          r.pc = f.restart;
        }
        flow = Flow::kNext;
      } else {
        flow = Flow::kStop;
      }
    }
    if (flow == Flow::kStop) return stop_rule(r);
    if (++r.steps >= kStepLimit) return stop_rule(r);
  }
}

#undef JUMP_TO
#undef NEED
#undef IDENTITY_FAULT

int identity_search(int handle, int64_t window, int64_t base, int64_t length, int64_t header_size) {
  g_identity.cached_offset = -1;
  IdentityArgs args;
  args.handle = handle;
  args.window = std::clamp<int64_t>(window, 0, int64_t(kScanBufferSize));
  args.base = base;
  args.length = length;
  args.header_size = header_size;
  const bool run_all = (driver::g_settings.diagnostic_mask & kDiagnosticRunAll) != 0;
  const uint8_t* buf = g_scan.bytes.data();
  // The first bytes decide the lists; programs may change the buffer, so take them now.
  const uint8_t b0 = buf[0], b1 = buf[1];
  const int64_t rest = length - base;

  const virusdata::Library& lib = virusdata::g_library;
  // Walks one list from its head; a damaged link (outside the records) ends the walk.
  auto run_list = [&](int32_t head, size_t start, int64_t start_pos) {
    int guard = 0;
    for (int32_t i = head; i >= 0 && size_t(i) < lib.records.size(); i = lib.records[size_t(i)].next) {
      if (++guard > int(lib.records.size())) break;  // a cycle in the links
      const virusdata::IdentityRecord& rec = lib.records[size_t(i)];
      const int rc = run_program(rec.program, virusdata::record_name(rec), start, start_pos, args);
      if (rc != 0 && !run_all) return rc;
    }
    return 0;
  };

  int rc = 0;
  if (args.window >= 2 && virusdata::pair_bit(b0, b1)) {
    rc = run_list(lib.pair_lists[virusdata::pair_list_index(b0, b1)], 3, 2);
    if (rc != 0) return rc;
  }
  if (args.window >= 1) {
    rc = run_list(lib.first_byte_lists[b0], 2, 1);
    if (rc != 0) return rc;
  }
  if (rest >= 0 && rest < 65536) {
    rc = run_list(lib.length_lists[size_t(rest & 0xFF)], 0, 0);
    if (rc != 0) return rc;
  }
  return run_list(lib.general_list, 0, 0);
}

}  // namespace engine
