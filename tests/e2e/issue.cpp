#include "e2e/issue.h"

#include <stdexcept>
#include <regex>

#include "e2e/harness.h"

namespace e2e {

namespace {

DataIssue read_issue() {
  DataIssue d;
  const std::string src = read_file(std::string(BRINT_SOURCE_DIR) + "/data/issue.vds");
  std::smatch m;
  if (std::regex_search(src, m, std::regex(R"(\bissue\s+(\d{6}))"))) d.issue = m[1];
  if (std::regex_search(src, m, std::regex(R"(\bexpires\s+(\d{6}))"))) d.expires = m[1];
  const std::string gen = read_file(std::string(BRINT_BUILD_DIR) + "/generated/builtin_data.cpp");
  if (std::regex_search(gen, m, std::regex(R"(kBuiltinBlock\s*=\s*\{[^}]*,\s*(\d+)\s*,\s*(\d+)\s*,\s*kPatternHeads\s*\})"))) {
    d.pattern_count = std::stoi(m[1]);
    d.virus_count = std::stoi(m[2]);
  }
  if (d.issue.empty() || d.expires.empty() || d.virus_count == 0) {
    throw std::runtime_error("cannot read the data issue from data/issue.vds and generated/builtin_data.cpp");
  }
  return d;
}

}  // namespace

const DataIssue& data_issue() {
  static const DataIssue d = read_issue();
  return d;
}

std::string long_date(const std::string& yymmdd) {
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  const int yy = std::stoi(yymmdd.substr(0, 2));
  const int mm = std::stoi(yymmdd.substr(2, 2));
  return yymmdd.substr(4, 2) + " " + kMonths[mm - 1] + " " + std::to_string(yy < 80 ? 2000 + yy : 1900 + yy);
}

std::string issue_line() {
  return "This issue includes viruses known to Corvel up to " + long_date(data_issue().issue) + "\n\n";
}

}  // namespace e2e
