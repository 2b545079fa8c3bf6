// User patterns: the pattern file "BRINT.PAT" and -PAT= patterns made into pattern records.
//
// A pattern line is "name pattern-text" or, starting with a blank, "pattern-text" alone
// ("Noname %d"); names are at most 15 characters, underscores standing for spaces; the text
// is 4..24 bytes of hexadecimal pairs with blanks anywhere; ";" starts a comment.
#include <algorithm>
#include <cstdio>
#include <new>
#include <string_view>

#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "host/host.h"
#include "virusdata/checksum.h"
#include "virusdata/library.h"
#include "virusdata/messages.h"

namespace virusdata {

PatternFileState g_pattern_file;

void reset_pattern_state() {
  g_pattern_file = PatternFileState{};
}

namespace {

constexpr size_t kLineRoom = 256;  // a line of 256 characters before its comment is refused
constexpr size_t kReadChunk = 4096;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string format_number(const char* fmt, int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, fmt, n);
  return buf;
}

// The bytes of one pattern.
struct PatternBytes {
  uint8_t at[kMaxPatternBytes] = {};
  size_t size = 0;
};

// Parses pattern text into bytes; prints the reason and returns false when it is not a
// pattern of 4..24 bytes.
bool parse_pattern_text(std::string_view text, PatternBytes& bytes) {
  bytes.size = 0;
  int pending = -1;  // a first digit waiting for its second
  for (char c : text) {
    if (c == ';') break;
    if (is_blank(c)) continue;
    const int v = hex_value(c);
    if (v < 0) {
      driver::outputf(true, msg::kSpurious, c, std::string(text).c_str());
      return false;
    }
    if (bytes.size == size_t(kMaxPatternBytes)) {
      driver::outputf(true, msg::kPatternLonger, kMaxPatternBytes, std::string(text).c_str());
      return false;
    }
    if (pending < 0) {
      pending = v;
    } else {
      bytes.at[bytes.size++] = uint8_t(pending << 4 | v);
      pending = -1;
    }
  }
  if (pending >= 0) bytes.at[bytes.size++] = uint8_t(pending);  // a lone last digit is a byte of its own
  if (bytes.size < size_t(kMinPatternBytes)) {
    driver::outputf(true, msg::kTooShort, g_pattern_file.line_number, std::string(text).c_str());
    return false;
  }
  return true;
}

// The pattern file read line by line with a bounded line buffer.
struct LineReader {
  host::File file;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kReadChunk);
  size_t pos = 0;
  size_t size = 0;
  bool at_end = false;
};

// Makes sure the buffer holds a character; false at the end of the file.
bool fill(LineReader& r) {
  if (r.pos < r.size) return true;
  if (r.at_end) return false;
  size_t got = 0;
  // A read error ends the file as its end would.
  if (host::read_file(r.file, r.buffer.data(), r.buffer.size(), got) != 0 || got == 0) {
    r.at_end = true;
    return false;
  }
  r.pos = 0;
  r.size = got;
  return true;
}

int next_char(LineReader& r) { return fill(r) ? r.buffer[r.pos++] : -1; }

// Reads one line without its comment and line end. Returns 1 with a line, 0 at the end of
// the file with nothing read, -2 after "Pattern string too long" (256 characters or more).
int read_line(LineReader& r, std::string& line) {
  line.clear();
  bool any = false;
  bool comment = false;
  bool pending_cr = false;  // a carriage return that ends the line when a line feed follows
  for (;;) {
    // Plain characters up to the line end, a comment or a carriage return go in at once.
    if (!comment && !pending_cr && fill(r)) {
      const uint8_t* const from = r.buffer.data() + r.pos;
      const uint8_t* const end = r.buffer.data() + r.size;
      const uint8_t* p = from;
      while (p < end && *p != '\n' && *p != ';' && *p != '\r') ++p;
      if (p > from) {
        any = true;
        const size_t n = size_t(p - from), room = kLineRoom - 1 - line.size();
        line.append(reinterpret_cast<const char*>(from), std::min(n, room));
        r.pos += std::min(n, room);
        if (n > room) {
          driver::outputf(true, msg::kPatternTooLong, line.c_str());
          return -2;
        }
        continue;
      }
    }
    const int c = next_char(r);
    if (c < 0) return any ? 1 : 0;
    any = true;
    if (c == '\n') return 1;
    if (comment) continue;
    if (pending_cr) {
      pending_cr = false;
      if (line.size() + 1 == kLineRoom) {
        driver::outputf(true, msg::kPatternTooLong, line.c_str());
        return -2;
      }
      line.push_back('\r');
    }
    if (c == ';') {
      comment = true;
      continue;
    }
    if (c == '\r') {
      pending_cr = true;
      continue;
    }
    if (line.size() + 1 == kLineRoom) {
      driver::outputf(true, msg::kPatternTooLong, line.c_str());
      return -2;
    }
    line.push_back(char(c));
  }
}

bool is_blank_line(const std::string& line) {
  for (char c : line)
    if (!is_blank(c)) return false;
  return true;
}

}  // namespace

int add_pattern(int32_t position, const std::string& text, const std::string& given_name) {
  if (text.empty()) {
    driver::outputf(true, msg::kZeroPattern, g_pattern_file.line_number);
    return -2;
  }
  if (position < 0 || position >= kPatternTableSize) {
    driver::outputf(true, msg::kTooManyPatterns, driver::g_settings.pattern_file.c_str());
    return -2;
  }
  std::string name;
  std::string_view pattern_text = text;
  std::string_view shown_name = text;  // what "Bad pattern" names
  if (!given_name.empty()) {
    name = given_name;
  } else if (is_blank(text[0])) {
    name = format_number(msg::kNoname, g_pattern_file.noname_count++);
  } else {
    size_t i = 0;
    while (i < text.size() && !is_blank(text[i])) {
      if (name.size() == size_t(kMaxNameLength) + 1) break;
      name.push_back(text[i] == '_' ? ' ' : text[i]);
      ++i;
    }
    if (name.size() > size_t(kMaxNameLength)) {
      driver::outputf(true, msg::kNameTooLong, name.c_str());
      return -2;
    }
    pattern_text = i < text.size() ? std::string_view(text).substr(i + 1) : std::string_view();
    shown_name = name;
  }
  try {
    PatternBytes bytes;
    if (!parse_pattern_text(pattern_text, bytes)) {
      driver::outputf(true, msg::kBadPattern, std::string(shown_name).c_str());
      return -2;
    }
    PatternRecord& rec = g_library.pattern_table[size_t(position)];
    rec = PatternRecord{};
    rec.length = uint8_t(bytes.size);
    for (size_t k = 0; k < 4; ++k) rec.tail[k] = bytes.at[bytes.size - 1 - k];
    pattern_digest(bytes.at, int32_t(bytes.size) - 4, rec.digest);
    rec.head_known = true;
    std::copy(bytes.at, bytes.at + bytes.size - 4, rec.head);
    rec.name = std::move(name);
  } catch (const std::bad_alloc&) {
    driver::outputf(true, msg::kInsufficientMemory);
    return -2;
  }
  return 0;
}

int read_pattern_file() {
  const std::string& file_name = driver::g_settings.pattern_file;
  LineReader reader;
  if (host::open_file(file_name, host::kAccessRead, host::kShareRead | host::kShareWrite, host::kOpenExisting,
                      reader.file) != 0)
    return 0;  // optional
  if (g_library.pattern_count >= kPatternTableSize) {
    driver::outputf(true, msg::kTooManyPatterns, file_name.c_str());
    return -2;
  }
  std::string line;
  for (;;) {
    const int r = read_line(reader, line);
    if (r < 0) return -2;
    if (r == 0) break;
    ++g_pattern_file.line_number;
    if (is_blank_line(line)) continue;
    if (add_pattern(g_library.pattern_count, line, std::string()) != 0) return -2;
    ++g_library.pattern_count;
    ++driver::g_state.virus_count;
    // A full table ends the file here, whether or not more lines follow.
    if (g_library.pattern_count >= kPatternTableSize) {
      driver::outputf(true, msg::kTooManyPatterns, file_name.c_str());
      return -2;
    }
  }
  host::close_file(reader.file);
  return 0;
}

int add_command_line_pattern(const std::string& text, const std::string& label) {
  if (g_library.pattern_count >= kPatternTableSize) {
    driver::outputf(true, msg::kTooManyPatterns, msg::kCommandLine);
    return -2;
  }
  if (add_pattern(g_library.pattern_count, text, label) != 0) return -2;
  ++g_library.pattern_count;
  return 0;
}

}  // namespace virusdata
