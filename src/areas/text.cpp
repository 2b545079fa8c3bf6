// Text helpers and the plain-text line reader.
#include "areas/text.h"

namespace areas {

namespace {

constexpr size_t kReadBlock = 4096;  // bytes read from the file at a time
constexpr char kCtrlZ = 26;          // ends a text file

bool blank(char c) { return c == ' ' || c == '\t'; }


}  // namespace

int read_char(LineReader& r) {
  if (r.pos >= r.buffer.size()) {
    if (r.at_end || !r.file.is_open()) return -1;
    r.buffer.resize(kReadBlock);
    size_t got = 0;
    if (host::read_file(r.file, r.buffer.data(), r.buffer.size(), got) != 0 || got == 0) {
      r.buffer.clear();
      r.at_end = true;
      return -1;
    }
    r.buffer.resize(got);
    r.pos = 0;
  }
  return static_cast<unsigned char>(r.buffer[r.pos++]);
}

void strip_trailing_blanks(std::string& s) {
  size_t n = s.size();
  while (n > 0 && blank(s[n - 1])) --n;
  s.resize(n);
}

void strip_leading_blanks(std::string& s) {
  size_t i = 0;
  while (i < s.size() && blank(s[i])) ++i;
  s.erase(0, i);
}

bool is_blank(std::string_view s) {
  for (char c : s)
    if (!blank(c)) return false;
  return true;
}

bool has_char(std::string_view s, char c) { return s.find(c) != std::string_view::npos; }

int compare_n_nocase(std::string_view a, std::string_view b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = i < a.size() ? static_cast<unsigned char>(host::upper_char(a[i])) : 0;
    const unsigned char cb = i < b.size() ? static_cast<unsigned char>(host::upper_char(b[i])) : 0;
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

int open_text(std::string_view path, LineReader& reader) {
  reader = LineReader{};
  return host::open_file(path, host::kAccessRead, host::kShareRead, host::kOpenExisting, reader.file);
}

int read_line(LineReader& reader, std::string& line, size_t max) {
  line.clear();
  for (;;) {
    const int c = read_char(reader);
    if (c < 0 || c == kCtrlZ) {
      reader.at_end = true;
      reader.buffer.clear();
      reader.pos = 0;
      return line.empty() ? -1 : 1;
    }
    if (c == 0) return 0;
    if (c == '\r' || c == '\n') {
      if (line.empty()) continue;  // empty lines, and the LF of a CR LF pair
      return 1;
    }
    line.push_back(static_cast<char>(c));
    if (max > 0 && line.size() >= max) return 1;
  }
}

}  // namespace areas
