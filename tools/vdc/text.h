// Small text helpers shared by the assembler, the disassembler and the output writers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vdc {

std::string trim(const std::string& s);
// Two upper-case hex digits.
std::string hex2(uint8_t b);
// Bytes as "4D 5A 90" (upper case, one space between).
std::string hex_list(const std::vector<uint8_t>& bytes, size_t from = 0, size_t count = SIZE_MAX);
// A name as a quoted source string: printable ASCII stands as it is, '"' and '\' escaped,
// anything else as \xHH.
std::string quote_name(const std::string& name);
// Value of one hex digit, or -1.
int hex_digit(char c);
// Reads a whole file as bytes; false when it cannot be read.
bool read_file_bytes(const std::string& path, std::vector<uint8_t>& out);
bool read_file_text(const std::string& path, std::string& out);
bool write_file_bytes(const std::string& path, const std::string& bytes);

}  // namespace vdc
