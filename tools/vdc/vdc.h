// brint-vdc, the virus data compiler: turns the readable data sources under data/ into the
// issued forms of the virus data, and any issued stream back into source.
//
// Source language (documented in full in data/README.md): an issue is a list of virus
// entries, each a name and identity records written in an assembly language with one
// mnemonic per identity-engine instruction, plus pattern records (name + 4..24 signature
// bytes) and the issue and expiry dates.
//
// Outputs: the virus data stream (header 00 01, entries), the built-in data block as
// generated C++ source (24-byte header, stream scrambled and cut into 16384-byte chunks,
// 35-byte pattern records, pattern count, virus count), a VDL file (the plain stream), an
// identity file (".ide" text: blocks of count, scrambled bytes, check byte) and a pattern
// file in the user pattern file format.
//
// Every function here is pure: no globals beyond the keyed checksum's state (which each
// checksum sets up afresh), no output to the console; errors come back as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vdc {

constexpr size_t kMaxNameLength = 15;        // bytes of a virus name; a 16th makes the loader refuse the stream
constexpr size_t kMaxRecordsPerEntry = 255;  // the record count of an entry is one byte
constexpr size_t kMaxRecordLength = 65535;   // the record length is a 16-bit field; 0 is refused
constexpr size_t kMinPatternBytes = 4;       // shorter signatures are refused
constexpr size_t kMaxPatternBytes = 24;      // longer signatures do not fit a pattern record
constexpr size_t kMaxBuiltinPatterns = 2048; // the pattern table's room, built-in records included
constexpr size_t kPatternRecordSize = 35;    // length, tail[4], digest[8], hash u32, reserved, name[17]
constexpr size_t kPatternNameRoom = 17;      // name field of a built-in pattern record
constexpr size_t kIdeBlockBytes = 32;        // data bytes per ".ide" block written (any 0..255 is readable)

// One problem found in a source or an input, with where it was found.
struct Diagnostic {
  std::string file;    // source file name as given (empty: not tied to a file)
  int line = 0;        // 1-based line number (0: the whole file)
  std::string reason;  // what is wrong, in the data maintainer's terms
};
std::string format_diagnostic(const Diagnostic& d);  // "file:line: reason"

// One identity record: its program bytes exactly as they go into the stream.
struct Record {
  std::vector<uint8_t> program;  // 1..65535 bytes; first byte decides the identity list
};

// One entry of the stream: a virus name and its identity records.
struct Entry {
  std::string name;             // 0..15 non-zero bytes
  std::vector<Record> records;  // 0..255 records
};

// One pattern record in its source form or as found in a built-in block.
struct Pattern {
  std::string name;                 // 1..15 characters
  std::vector<uint8_t> signature;   // 4..24 bytes; empty when only the record is known
  std::vector<uint8_t> raw_record;  // the 35 record bytes when taken from a built-in block
};

// A whole data issue.
struct Issue {
  std::string issue_date;      // "YYMMDD" (empty: not given)
  std::string expiry_date;     // "YYMMDD" (empty: not given)
  std::vector<Entry> entries;  // in stream order
  std::vector<Pattern> patterns;  // in table order
  int32_t virus_count = -1;    // -1: computed (distinct names); otherwise as given
};

// ---- assembler (assembler.cpp) ----

// Assembles one source text into `issue` (appending entries and patterns; dates set once).
// `file_name` is used in diagnostics; relative sample paths in sum(...) are taken from
// `base_dir`. Returns true when no diagnostic was added.
bool assemble_source(const std::string& text, const std::string& file_name, const std::string& base_dir,
                     Issue& issue, std::vector<Diagnostic>& diagnostics);

// Reads and assembles the files in order (base directory of each: its own directory).
bool assemble_files(const std::vector<std::string>& paths, Issue& issue, std::vector<Diagnostic>& diagnostics);

// Checks the issue as a whole (dates, counts, lengths, names): what the loaders would
// refuse. `need_dates`: the dates must be given (built-in block output).
bool check_issue(const Issue& issue, bool need_dates, std::vector<Diagnostic>& diagnostics);

// ---- encoders (outputs.cpp) ----

// The virus data stream of the entries: 00 01, then each entry.
std::vector<uint8_t> encode_stream(const std::vector<Entry>& entries);

// The 35-byte pattern record of a signature (length, tail last-first, 64-bit digest under
// the pattern key of the first length-4 bytes, hash 0, reserved 0, name NUL-padded).
std::vector<uint8_t> make_pattern_record(const std::string& name, const std::vector<uint8_t>& signature);
// What makes the loader refuse a 35-byte pattern record (length outside 4..24, no zero byte
// within the first 16 name bytes), or empty when it is sound.
std::string pattern_record_problem(const std::vector<uint8_t>& record);
// The record of a pattern: raw_record when given, else made from name and signature.
std::vector<uint8_t> pattern_record_of(const Pattern& p);

// Number of distinct non-empty virus names (ignoring case) of the issue's entries and
// patterns, leaving out entries that carry a deletion record; or issue.virus_count when set.
int32_t virus_count_of(const Issue& issue);

// The built-in data block in its parts.
struct BuiltinImage {
  std::vector<uint8_t> header;     // 24 bytes
  std::vector<uint8_t> scrambled;  // the scrambled stream, all chunks one after another
  std::vector<uint8_t> patterns;   // pattern records, 35 bytes each
  std::vector<uint8_t> heads;      // per record: 1 and the first length-4 signature bytes, or 0 (21 bytes)
  int32_t virus_count = 0;
};
BuiltinImage make_builtin_image(const Issue& issue);
std::vector<uint8_t> scramble_builtin(const std::vector<uint8_t>& stream);  // also descrambles

// Generated C++ source defining virusdata::kBuiltinBlock.
std::string write_builtin_cpp(const BuiltinImage& image);
// The ".ide" text of a stream.
std::string write_ide(const std::vector<uint8_t>& stream);
// The user pattern file text of the patterns; false (with a diagnostic) when a name cannot
// be written in that format (underscore, semicolon, tab, leading space, raw-only record).
bool write_pattern_file(const std::vector<Pattern>& patterns, std::string& out,
                        std::vector<Diagnostic>& diagnostics);

// ---- readers of issued forms (outputs.cpp) ----

// Splits a stream into entries; false with a reason when the loader would refuse it.
bool decode_stream(const std::vector<uint8_t>& stream, std::vector<Entry>& entries, std::string& reason);
// The stream held by ".ide" text; false with a reason when the loader would refuse it.
bool decode_ide(const std::string& text, std::vector<uint8_t>& stream, std::string& reason);
// The parts of a built-in block from the generated C++ source.
bool read_builtin_cpp(const std::string& text, BuiltinImage& image, std::string& reason);
// The issue held by a built-in image (dates, entries, raw pattern records, virus count).
bool decode_builtin_image(const BuiltinImage& image, Issue& issue, std::string& reason);

// ---- disassembler (disassembler.cpp) ----

// Source text of one identity program (the lines between "record" and "end").
std::string disassemble_program(const std::vector<uint8_t>& program);
// Source text of a whole issue; assembling it gives the same stream, patterns and dates.
std::string disassemble_issue(const Issue& issue);

}  // namespace vdc
