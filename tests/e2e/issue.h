// Facts of the data issue built into the binary under test, read from the data sources and
// the generated built-in block, so that end-to-end expectations follow the data issue
// instead of repeating its dates and counts.
#pragma once

#include <string>

namespace e2e {

struct DataIssue {
  std::string issue;    // YYMMDD, e.g. "261210"
  std::string expires;  // YYMMDD
  int virus_count = 0;  // viruses known after the built-in load
  int pattern_count = 0;
};

// Read once; a missing source makes the calling test fail with a clear message.
const DataIssue& data_issue();

// "DD Month YYYY" of a YYMMDD date (00-79 are 20xx, 80-99 are 19xx).
std::string long_date(const std::string& yymmdd);

// "This issue includes viruses known to Corvel up to DD Month YYYY\n\n"
std::string issue_line();

}  // namespace e2e
