// Text helpers shared by the areas file, the message file and the server's files: blank
// stripping, case-insensitive prefix comparison and a line reader for plain text files.
//
// The line reader ends a line at CR or LF, skips empty lines, and ends the file at Ctrl-Z
// (26) or at the end of the file. It reads the file in blocks through the host layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace areas {

// Removes trailing / leading blanks (spaces and tabs).
void strip_trailing_blanks(std::string& s);
void strip_leading_blanks(std::string& s);
// True when `s` holds only blanks and tabs (also when it is empty).
bool is_blank(std::string_view s);
// True when `c` occurs in `s`.
bool has_char(std::string_view s, char c);
// Compares the first `n` characters of `a` and `b` after upper-casing letters; a text
// shorter than `n` compares with its end as a 0 character. 0 when equal, else the sign
// of the first difference.
int compare_n_nocase(std::string_view a, std::string_view b, size_t n);

struct LineReader {
  host::File file;             // the open text file
  std::vector<char> buffer;    // block read ahead
  size_t pos = 0;              // next character in `buffer`
  bool at_end = false;         // end of the file or Ctrl-Z seen
};

// Opens `path` for reading (shared read). Result 0 or the NT error.
int open_text(std::string_view path, LineReader& reader);

// The next byte of the file (0-255), or -1 at the end of the file (a read failure counts
// as the end). Ctrl-Z is returned like any other byte.
int read_char(LineReader& reader);

// Reads the next non-empty line into `line` (without its end). Results: 1 a line was
// read; 0 a NUL byte ended the line (`line` holds what came before it; reading goes on
// after the NUL); -1 the end of the file with nothing read. With `max` above 0 the line
// stops after `max` characters and the rest of it is left for the next call.
int read_line(LineReader& reader, std::string& line, size_t max = 0);

}  // namespace areas
