// Upper-casing as the system's ANSI upper-casing does it on this host, whose code page is
// UTF-8: only the ASCII letters a-z change, and every byte of 0x80 and above stays as it
// is, so that a multibyte name is never corrupted.
#include "host/host.h"

namespace host {

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = upper_char(c);
  return out;
}

}  // namespace host
