// The identity engine: runs the check programs of the identity records against a window of
// bytes of an object (the entry code of a file, a boot sector), and repairs what the
// programs repair after a Yes/No question.
//
// Programs come from data files beside the program and from the current directory, so they
// are hostile input: every operand fetch is checked against the program's end, every data
// access against the current window (reads) or 1024 (stores), stacks are fixed arrays with
// checked or wrapped indexes, and a step counter bounds every run.
//
// Machine state kept across programs and searches (g_identity): the value stack (a ring of
// 16), the variables, the second buffer, the save area. The cached file offset of the
// second buffer is forgotten at the start of every search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace engine {

// Program results.
constexpr int kIdentityFound = -4;   // the identity was found and reported
constexpr int kIdentityNone = 0;     // nothing found
constexpr int kIdentityFaulty = -2;  // the program is faulty

constexpr int kStackCells = 16;        // value stack ring; a 17th push overwrites the oldest
constexpr int kVariables = 16;         // variable cells; indexes are taken AND 15
constexpr int kMaxCalls = 16;          // a 17th nested call ends the program with -2
constexpr int kMaxLoops = 16;          // a 17th loop frame acts as the stop rule
constexpr int kStepLimit = 8192;       // a program running this many instructions acts as the stop rule
constexpr size_t kSecondBufferSize = 1024;  // second buffer and save area; stores end below this
constexpr uint32_t kDiagnosticRunAll = 4;   // -T= bit: every record runs, every search yields 0

struct IdentityMachine {
  std::array<uint32_t, kStackCells> stack{};  // value stack ring
  uint32_t top = 0;                           // index of the top cell, taken AND 15
  std::array<uint32_t, kVariables> variables{};  // variables 0..15
  std::array<uint8_t, kSecondBufferSize> second{};  // second buffer
  size_t second_fill = 0;                     // valid bytes of the second buffer
  int64_t cached_offset = -1;                 // object offset of the file block in `second`, -1 none
  std::array<uint8_t, kSecondBufferSize> save{};  // save area of 0xBD/0xBC
  int fault_line = 0;                         // source line of the check that made the last -2
};
extern IdentityMachine g_identity;
void reset_identity();

// What one identity search works on; shared by all programs run in it.
struct IdentityArgs {
  int handle = -1;          // buffered-file handle of the file, -1 for sectors and buffers
  int64_t window = 0;       // W: valid bytes at the start of the scan buffer
  int64_t base = 0;         // B: object offset of scan buffer index 0
  int64_t length = 0;       // L: object length (at most 0xFFFFFFFF)
  int64_t header_size = 0;  // DOS executable header size, 0 for other objects
};

// Runs one program from `start` with the position `start_pos`. Reports through the identity
// report under `name` (never when the name is empty). Returns kIdentityFound,
// kIdentityNone or kIdentityFaulty. Reads the finding location, the disinfect, confirmation
// and diagnostic settings; may write the scan buffer, the second buffer and disk sectors.
int run_program(std::span<const uint8_t> program, std::string_view name, size_t start, int64_t start_pos,
                const IdentityArgs& args);

// The identity search over the scan buffer: the pair list, first-byte list, length list and
// general list passes in that order. Returns the first non-zero program result (kIdentityFound
// or an error), else 0; always 0 under the diagnostic bit 4 (the reports made stand).
int identity_search(int handle, int64_t window, int64_t base, int64_t length, int64_t header_size);

// Length of the 16-bit x86 instruction starting with bytes b0 b1, or 0xFFFFFFFF when invalid.
uint32_t x86_instruction_length(uint8_t b0, uint8_t b1);

}  // namespace engine
