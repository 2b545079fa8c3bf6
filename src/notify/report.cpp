// The report file and the shared open with retry.
//
// The report file is a text copy of every output of the output routine, framed by a header
// and "End of BRINT." with a form feed. Outside server mode it is opened once and held with
// no sharing until the end; in server mode it is opened (append) for each output and closed
// right after, so other processes can use it in between. The printer "PRN" is a private
// spool file handed to `lp` when the report is closed.
//
// State: g_notify.report. Invariant: report.file is open only while a report (or spool) is
// being written; report.printer tells that the open file is the spool.
#include <cstdarg>
#include <cstdio>

#include "driver/base/messages.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "notify/messages.h"
#include "notify/notify.h"

namespace notify {

NotifyState g_notify;

namespace {

constexpr unsigned kPrintTimeoutMs = 60000;  // an `lp` still running then is killed: not printed
constexpr const char* kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                       "July",    "August",   "September", "October", "November", "December"};

const char* month_name(int month) { return month >= 1 && month <= 12 ? kMonthNames[month - 1] : "?"; }

int two_digits(std::string_view s, size_t off) {
  if (off > s.size() || s.size() - off < 2) return -1;
  char a = s[off], b = s[off + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string s;
  if (n > 0) {
    s.resize(size_t(n) + 1);
    std::vsnprintf(s.data(), s.size(), fmt, ap);
    s.resize(size_t(n));
  }
  va_end(ap);
  return s;
}

bool is_printer(std::string_view name) {
  std::string u = host::upper(name);
  return u == "PRN" || u == "PRN:";
}

// Opens the report file (or the printer spool) in `mode`. 0 or the NT error.
int open_report(StreamMode mode) {
  ReportState& r = g_notify.report;
  const std::string& name = driver::g_settings.report_file;
  if (is_printer(name)) {
    if (r.spool_name.empty()) {
      // The printer exists only where a print program does.
      if (!host::find_program("lp", r.lp_program)) return host::kErrFileNotFound;
      host::File f;
      if (int rc = host::create_temp_file("brprn", r.spool_name, f)) return rc;
      r.file = std::move(f);
    } else {
      // Server mode reopens the spool between outputs: the spool is private, append to it.
      if (int rc = host::open_file(r.spool_name, host::kAccessWrite, host::kShareNone, host::kOpenExisting, r.file))
        return rc;
      if (int rc = host::seek_file(r.file, 0, 2, nullptr)) return rc;
    }
    r.printer = true;
    return 0;
  }
  r.printer = false;
  return shared_open(name, mode, host::kShareNone, r.file);
}

[[noreturn]] void open_failure() {
  driver::console_printf(msg::kCouldNotOpen, driver::g_settings.report_file.c_str());
  driver::g_settings.report_file.clear();
  driver::stop(driver::kExitError);
}

[[noreturn]] void write_failure() {
  // Nothing more is written to the file: the stop routine only drops it.
  driver::g_sinks.report_write = nullptr;
  driver::console_printf(msg::kCouldNotWrite, driver::g_settings.report_file.c_str());
  driver::stop(driver::kExitError);
}

// Closes the report file; a printer spool is handed to the print queue when `print` (and
// deleted). 0, or non-zero when the close or the printing failed.
int close_report(bool print) {
  ReportState& r = g_notify.report;
  if (!r.file.is_open()) return 0;
  int rc = host::close_file(r.file);
  if (r.printer && print) {
    int status = -1;
    if (host::run_program({r.lp_program, "--", r.spool_name}, "", kPrintTimeoutMs, status) != 0 || status != 0) {
      rc = rc ? rc : host::kErrGenFailure;
    }
    host::delete_file(r.spool_name);
    r.spool_name.clear();
    r.printer = false;
  }
  return rc;
}

}  // namespace

int write_text(host::File& f, std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return host::write_file(f, out.data(), out.size());
}

int shared_open(std::string_view name, StreamMode mode, unsigned share, host::File& out) {
  unsigned access = mode == StreamMode::kRead ? host::kAccessRead : host::kAccessWrite;
  host::Disposition disposition = mode == StreamMode::kRead    ? host::kOpenExisting
                                  : mode == StreamMode::kWrite ? host::kCreateAlways
                                                               : host::kOpenAlways;
  int rc = 0;
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    if (attempt > 1) host::sleep_ms(kOpenRetryMs);
    rc = host::open_file(name, access, share, disposition, out);
    if (rc == 0) break;
    if (rc != host::kErrSharingViolation) return rc;
  }
  if (rc != 0) return rc;
  // Append: write from the end. A device (a terminal, /dev/null) has no end to seek to and
  // is written as it is.
  if (mode == StreamMode::kAppend) host::seek_file(out, 0, 2, nullptr);
  return 0;
}

std::string qualifiers_line(const std::vector<std::string>& tokens) {
  if (tokens.size() < 2) return std::string();
  std::string line = msg::notify::kQualifiersLead;
  for (size_t i = 1; i < tokens.size(); ++i) {
    std::string arg = tokens[i];
    // A mail password never reaches the report: "-MI=account,password" shows "-MI=account,*".
    if (arg.size() >= 4 && host::upper(arg.substr(0, 4)) == "-MI=") {
      std::string_view rest = std::string_view(arg).substr(4);
      size_t a = rest.find_first_not_of(',');
      if (a != rest.npos) {
        size_t a_end = rest.find(',', a);
        std::string_view account = rest.substr(a, a_end == rest.npos ? rest.npos : a_end - a);
        bool has_password = a_end != rest.npos && rest.find_first_not_of(',', a_end) != rest.npos;
        if (has_password) arg = arg.substr(0, 4) + std::string(account) + ",*";
      }
    }
    line += format(msg::notify::kQualifier, arg.c_str());
  }
  line += msg::notify::kQualifiersEnd;
  return line;
}

std::string report_header() {
  const std::string& ts = driver::g_state.start_timestamp;
  std::string h = format(msg::kBanner, msg::kVersion, msg::kMakerLine);
  // The same issue line as the console's date lines: the date of the loaded data issue.
  const std::string& issue = driver::g_state.issue_date;
  const int issue_yy = two_digits(issue, 0);
  h += format(msg::kIssueLine, issue.size() >= 6 ? issue.c_str() + 4 : "??", month_name(two_digits(issue, 2)),
              issue_yy < 0 ? 0 : (issue_yy < 80 ? 2000 + issue_yy : 1900 + issue_yy));
  int year = driver::g_state.start_year;
  if (year == 0) {
    int yy = two_digits(ts, 0);
    year = yy < 0 ? 0 : (yy < 80 ? 2000 + yy : 1900 + yy);
  }
  std::string padded = ts;
  if (padded.size() < 12) padded.resize(12, '?');
  const char* t = padded.c_str();
  h += format(msg::kSystemDate, t + 6, t + 8, t + 10, t + 4, month_name(two_digits(padded, 2)), year);
  h += qualifiers_line(driver::g_state.tokens);
  return h;
}

void ensure_report_open() {
  const auto& s = driver::g_settings;
  if (g_notify.report.file.is_open()) return;
  if (!(s.report_on || s.server_mode) || s.report_file.empty()) return;
  if (open_report(StreamMode::kAppend) != 0) open_failure();
}

void setup_report() {
  driver::g_sinks.report_prepare = [] { ensure_report_open(); };
  driver::g_sinks.report_write = [](std::string_view text) {
    if (!g_notify.report.file.is_open()) return 0;
    return write_text(g_notify.report.file, text);
  };
  driver::g_sinks.report_finish = [] {
    // Server mode frees the file after each output; a printer spool is private and stays.
    if (driver::g_settings.server_mode && !g_notify.report.printer && g_notify.report.file.is_open()) {
      if (close_report(false) != 0) write_failure();
    }
  };
  driver::g_sinks.report_name = [] { return driver::g_settings.report_file; };
  driver::g_stop_hooks.report_close = [] { drop_report_file(); };

  const auto& s = driver::g_settings;
  if (!s.report_on || s.report_file.empty()) return;
  if (open_report(s.append ? StreamMode::kAppend : StreamMode::kWrite) != 0) open_failure();
  if (write_text(g_notify.report.file, report_header()) != 0) write_failure();
  if (s.server_mode && !g_notify.report.printer && close_report(false) != 0) write_failure();
}

void close_report_file() {
  ensure_report_open();
  if (!g_notify.report.file.is_open()) return;
  if (write_text(g_notify.report.file, msg::kEndOfReport) != 0) write_failure();
  if (close_report(true) != 0) write_failure();
}

void drop_report_file() { close_report(true); }

void reset_notify() {
  ReportState& r = g_notify.report;
  host::close_file(r.file);
  if (!r.spool_name.empty()) host::delete_file(r.spool_name);
  MailState& m = g_notify.mail;
  host::close_file(m.file);
  if (!m.name.empty()) host::delete_file(m.name);
  g_notify.report = ReportState{};
  g_notify.mail = MailState{};
  g_notify.events = EventState{};
}

}  // namespace notify
