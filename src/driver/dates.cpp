// The start timestamp and the dates shown in the date lines.
#include "driver/dates.h"

#include <cstdio>

namespace driver {

std::string make_timestamp(const host::LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d%02d%02d??????", ((t.year % 100) + 100) % 100, t.month % 100,
                t.day % 100, t.hour % 100, t.minute % 100, t.second % 100, t.weekday % 100);
  return std::string(buf);
}

int two_digit(std::string_view text, size_t offset) {
  if (offset > text.size() || text.size() - offset < 2) return -1;
  const char a = text[offset];
  const char b = text[offset + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

int windowed_year(int two_digits) { return two_digits < 80 ? 2000 + two_digits : 1900 + two_digits; }

int date_number(std::string_view yymmdd) {
  const int yy = two_digit(yymmdd, 0);
  const int mm = two_digit(yymmdd, 2);
  const int dd = two_digit(yymmdd, 4);
  if (yy < 0 || mm < 0 || dd < 0) return -1;
  return windowed_year(yy) * 10000 + mm * 100 + dd;
}

const char* month_name(int month) {
  static const char* const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                          "July",    "August",   "September", "October", "November", "December"};
  return month >= 1 && month <= 12 ? kMonths[month - 1] : "?";
}

}  // namespace driver
