// The start timestamp and the dates shown in the date lines.
//
// The start timestamp keeps the program's two-digit year (the day file and the -D= test
// read it as it stands); the dates shown and compared are whole dates, with the year of a
// six-digit YYMMDD date read in a window: 00-79 is 20xx, 80-99 is 19xx.
#pragma once

#include <string>
#include <string_view>

#include "host/host.h"

namespace driver {

// "YYMMDDhhmmss0W??????": two-digit year, month, day, hour, minute, second, weekday
// (00 Sunday .. 06 Saturday), six question marks; 20 characters.
std::string make_timestamp(const host::LocalTime& t);

// Value of two decimal digit characters; -1 when either is not a digit (or text is short).
int two_digit(std::string_view text, size_t offset);

// Full year of a two-digit year.
int windowed_year(int two_digits);

// YYYYMMDD of a YYMMDD text (windowed year); -1 when it is not six digits.
int date_number(std::string_view yymmdd);

// "January".."December" for 1..12; "?" for anything else.
const char* month_name(int month);

}  // namespace driver
