// Request processing: checking a client's source file, the answer record, the virus
// alarms (event, mail, user command), copies into the infected directory and client reports.
#include <algorithm>
#include <cstdio>

#include "areas/text.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/scan.h"
#include "findings/reports.h"
#include "notify/notify.h"
#include "server/server.h"
#include "virusdata/checksum.h"

namespace server {

namespace {

constexpr size_t kMaxName = 259;            // file and user names are cut here
constexpr size_t kMaxReportText = 255;      // a laid-out client report is cut here
constexpr int kMaxCopyNumber = 999;         // NAME.000 .. NAME.999, then NAME.XXX
constexpr int kAnswerOpenAttempts = 100;    // B.TMP held by another process: tries, 60 ms apart
constexpr size_t kCopyBlock = 32768;

// A zero-terminated client text starting at `at`, within the `got` bytes read.
std::string client_string(const std::vector<uint8_t>& b, size_t at, size_t got, size_t max) {
  std::string out;
  for (size_t i = at; i < got && i < b.size() && b[i] != 0 && out.size() < max; ++i) out += char(b[i]);
  return out;
}

std::string blanks_to_underscores(std::string s) {
  std::replace(s.begin(), s.end(), ' ', '_');
  return s;
}

// Scan settings for one request, put back when the request is done: the request's own
// level and compression settings, and nothing that prompts, pauses or removes.
struct RequestScanSettings {
  driver::RunSettings saved = driver::g_settings;
  decltype(engine::g_scan_hooks.remove_file) saved_remove = engine::g_scan_hooks.remove_file;
  RequestScanSettings() {
    driver::RunSettings& s = driver::g_settings;
    s.full_check = g_server.brint_level == kFull;
    s.check_compressed = g_server.expand_compressed != 0;
    s.warn_compressed = g_server.warn_compressed != 0;
    s.pause_on_discovery = false;
    s.disinfect = false;
    s.remove_files = false;
    s.shred = false;
    engine::g_scan_hooks.remove_file = nullptr;
  }
  ~RequestScanSettings() {
    driver::RunSettings& s = driver::g_settings;
    s.pause_on_discovery = saved.pause_on_discovery;
    s.disinfect = saved.disinfect;
    s.remove_files = saved.remove_files;
    s.shred = saved.shred;
    engine::g_scan_hooks.remove_file = saved_remove;
  }
};

std::string compressed_text(int kind) {
  return std::string("compressed file (") + findings::compression_name(kind) + ") ";
}

void handle_virus(const std::string& shown, const std::string& source, const std::string& copy,
                  const std::string& user, const std::string& station, const std::string& virus) {
  ServerState& s = g_server;
  s.last_virus_action = s.removal_mode;
  s.last_virus_name = virus;
  s.last_virus_file = shown;
  s.last_virus_user = user;
  s.last_virus_nic = station;
  s.last_virus_time = time_text();
  if (driver::g_settings.event_logging) {
    const std::string where = "in an Wardenline request from station " + station + ", user " + user + ", in " +
                              (s.last_virus_file == "Boot sector" ? "" : "file ") + s.last_virus_file;
    notify::log_event(notify::kEventError, notify::kCategoryVirus, notify::kIdFound, {"virus", virus, where});
  }
  std::string action = "No action";
  if (s.removal_mode == kCopy || s.removal_mode == kDelete) {
    std::string target;
    action = copy_to_infected(source, copy, target) == 0 ? "Copied to " + target : "Error copying to file " + target;
  }
  const std::string line = "\nVirus:\t'" + virus + "' detected by Wardenline\n>>>\tIn " + s.last_file_compressed +
                           shown + "\n>>>\tOn " + s.last_virus_time + "\n>>>\tUser " + user + "\n>>>\tNode " +
                           station + "\n>>>\t" + action + "\n";
  log_at_level(2, line);
  if (driver::g_settings.mail_results) notify::mail_text(line, notify::kMailAlert);
  if (!s.command_on_virus.empty()) {
    driver::erase_line(79);
    // Every value but the configured command is quoted: client texts never reach the
    // interpreter as anything but one argument each.
    const std::string command = s.command_on_virus + " " + host::shell_quote(blanks_to_underscores(virus)) + " " +
                                host::shell_quote(blanks_to_underscores(user)) + " " +
                                host::shell_quote(blanks_to_underscores(s.last_virus_time)) + " " +
                                host::shell_quote(blanks_to_underscores(s.last_virus_file)) + " " +
                                host::shell_quote(s.last_virus_nic) + " " +
                                host::shell_quote(driver::g_settings.server_name);
    host::sleep_ms(s.command_delay_ms);
    int status = 0;
    if (host::run_command(command, status) != 0 || status != 0) {
      log_at_level(3, "\nError:\tCould not execute user command '" + s.command_on_virus + "'\n");
    }
  }
}

// Writes the answer as B.TMP and renames it to B.ANS. 0, or 1 after its message.
int write_answer(const std::string& base, int result, const std::string& virus) {
  const std::string tmp = comms_path(base, ".TMP");
  const std::string ans = comms_path(base, ".ANS");
  host::File f;
  int rc = host::kErrSharingViolation;
  for (int attempt = 0; attempt < kAnswerOpenAttempts && rc == host::kErrSharingViolation; ++attempt) {
    if (attempt > 0) host::sleep_ms(notify::kOpenRetryMs);
    rc = host::open_file(tmp, host::kAccessRead | host::kAccessWrite, host::kShareNone, host::kOpenAlways, f);
  }
  if (rc != 0) {
    log_at_level(3, "\nError:\tFailed to open answer file " + tmp + "\n");
    return 1;
  }
  const std::vector<uint8_t> answer = build_answer(result, virus);
  // Written from offset 0 of a file emptied first: an old B.TMP leaves nothing behind.
  bool ok = host::truncate_file(f, 0) == 0 && host::seek_file(f, 0, 0, nullptr) == 0 &&
            host::write_file(f, answer.data(), kAnswerHeaderSize) == 0 &&
            host::write_file(f, answer.data() + kAnswerHeaderSize, kAnswerBodySize) == 0;
  ok = host::close_file(f) == 0 && ok;
  if (ok) {
    host::delete_file(ans);  // the rename replaces an answer left from before
    ok = host::rename_file(tmp, ans) == 0;
  }
  if (!ok) {
    log_at_level(3, "\nError:\tFailed to write to answer file " + tmp + "\n");
    host::delete_file(tmp);
    return 1;
  }
  add_pending(base);
  return 0;
}

}  // namespace

std::string clean_client_text(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (uint8_t(c) < 0x20 || uint8_t(c) == 0x7F) c = ' ';
  }
  return out;
}

std::string copy_name_of(std::string_view shown) {
  const size_t sep = shown.find_last_of("\\/:");
  std::string_view base = sep == std::string_view::npos ? shown : shown.substr(sep + 1);
  base = base.substr(0, base.find('.'));
  std::string out;
  for (char c : base) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                      c == '-' || c == '$' || c == '~';
    out += keep ? c : '_';
  }
  return out.empty() ? "FILE" : out;
}

int copy_to_infected(const std::string& source, const std::string& name_in, std::string& target) {
  const std::string& dir = g_server.infected_dir;
  std::string name = name_in;
  // "dir\NAME.nnn" stays within the longest path.
  const size_t fixed = dir.size() + 1 + 4;
  if (fixed + name.size() > kMaxName) name.resize(fixed < kMaxName ? kMaxName - fixed : 1);
  std::vector<host::FindData> entries;
  host::list_directory(dir, name + ".*", entries);
  int largest = -1;
  for (const host::FindData& e : entries) {
    const size_t dot = e.name.rfind('.');
    if (dot == std::string::npos || e.name.size() - dot - 1 == 0 || e.name.size() - dot - 1 > 9) continue;
    const std::string ext = e.name.substr(dot + 1);
    if (!std::all_of(ext.begin(), ext.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    largest = std::max(largest, std::stoi(ext));
  }
  if (largest >= kMaxCopyNumber) {
    target = dir + "\\" + name + ".XXX";
    return -2;
  }
  if (!host::file_exists(dir)) host::create_directory(dir);
  host::File in;
  host::File out;
  int rc = host::kErrFileExists;
  for (int n = largest + 1; n <= kMaxCopyNumber && rc == host::kErrFileExists; ++n) {
    char ext[16];
    std::snprintf(ext, sizeof ext, ".%03d", n);
    target = dir + "\\" + name + ext;
    rc = host::open_file(target, host::kAccessWrite, host::kShareNone, host::kCreateNew, out);
  }
  if (rc != 0) {
    if (rc == host::kErrFileExists) target = dir + "\\" + name + ".XXX";
    return -2;
  }
  bool ok = host::open_file(source, host::kAccessRead, host::kShareRead, host::kOpenExisting, in) == 0;
  std::vector<uint8_t> block(kCopyBlock);
  while (ok) {
    size_t got = 0;
    if (host::read_file(in, block.data(), block.size(), got) != 0) ok = false;
    if (!ok || got == 0) break;
    if (host::write_file(out, block.data(), got) != 0) ok = false;
  }
  if (host::close_file(out) != 0) ok = false;
  if (!ok) {
    host::delete_file(target);  // no half copy under a name that looks complete
    return -2;
  }
  return 0;
}

std::string compression_note(const std::string& source) {
  const int handle = engine::open_file(source, engine::kOpenRead, 0);
  if (handle < 0) {
    log_at_level(3, "\nError:\tCould not open file " + source + "\n");
    return std::string();
  }
  const auto& detect = findings::g_findings_hooks.detect_compression;
  const int kind = detect ? detect(handle) : engine::detect_compression(handle, {});
  engine::close_file(handle);
  if (kind > 0) {
    ++driver::g_counters.compressed_files;
    return compressed_text(kind);
  }
  if (kind < 0) log_at_level(3, "\nError:\tCould not read file " + source + "\n");
  return std::string();
}

int check_source(const std::string& base, const std::vector<uint8_t>& request, size_t got, const std::string& user) {
  ServerState& s = g_server;
  const int code = int16_t(request[kRequestCodeOffset] | (request[kRequestCodeOffset + 1] << 8));
  const std::string source = comms_path(base, ".SRC");
  const std::string station = clean_client_text(client_string(request, kStationOffset, got, kStationSize));
  std::string shown = "Boot sector";
  std::string copy = "BOOT";
  if (code == kCodeCheckFile) {
    const bool old_client = request[2] == 1 && request[3] <= 1;
    shown = host::upper(clean_client_text(client_string(request, old_client ? kOldNameOffset : kNameOffset, got, kMaxName)));
    copy = copy_name_of(shown);
  }
  findings::g_findings.last_virus_name.clear();
  host::FindData info;
  if (host::file_info(source, info) != 0) return 1;

  const int64_t compressed_before = driver::g_counters.compressed_files;
  s.last_file_compressed.clear();
  int rc = 0;
  {
    RequestScanSettings scan_settings;
    if (s.warn_compressed) s.last_file_compressed = compression_note(source);
    engine::FileRecord record;
    record.dos_time = info.dos_time;
    record.size = info.size;
    int kind = 0;
    rc = engine::scan_file(source, record, kind);
    findings::g_findings.location.kind = findings::kLocServerRequest;
    if (kind >= 1) {
      s.last_file_compressed = compressed_text(kind);
      ++driver::g_counters.compressed_files;
    }
    // One compressed file per request, however many steps noticed it.
    if (driver::g_counters.compressed_files > compressed_before + 1) driver::g_counters.compressed_files = compressed_before + 1;
  }
  const std::string now = time_text();
  s.last_file_checked = shown;
  s.last_file_checked_user = user;
  s.last_file_checked_time = now;
  s.last_file_checked_nic = station;
  if (rc != 0) {
    ++driver::g_counters.errors;
    return 1;
  }
  int result = 0;
  const std::string virus = findings::g_findings.last_virus_name;
  if (!virus.empty()) {
    result = 1;
    handle_virus(shown, source, copy, user, station, virus);
  } else if (s.reporting_level >= 5) {
    log_at_level(5, "\nInfo:\tNo viruses found by Wardenline in " + std::string(s.brint_level == kQuick ? "Quick" : "Full") +
                        " mode\n\tIn " + s.last_file_compressed + shown + "\n\tOn " + now + "\n\tUser " + user +
                        "\n\tNode " + station + "\n");
  }
  host::delete_file(source);
  if (write_answer(base, result, virus) != 0) {
    ++driver::g_counters.errors;
    return 1;
  }
  return 0;
}

std::string lay_out_report(std::string_view text, std::string_view prefix) {
  auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  std::string out = "\t";
  while (i < text.size() && out.size() < kMaxReportText) {
    const char c = text[i++];
    if (c == '\r') continue;
    if (c == '\n') {
      if (i >= text.size()) break;  // a final line feed is dropped
      out += '\n';
      out += prefix;
      out += '\t';
      while (i < text.size() && is_space(text[i])) ++i;
      continue;
    }
    out += (uint8_t(c) < 0x20 || uint8_t(c) == 0x7F) ? ' ' : c;
  }
  if (out.size() > kMaxReportText) out.resize(kMaxReportText);
  return out;
}

void log_client_report(const std::vector<uint8_t>& request, size_t got, const std::string& user) {
  const int kind = int16_t(request[kClientKindOffset] | (request[kClientKindOffset + 1] << 8));
  const int type = int16_t(request[kReportTypeOffset] | (request[kReportTypeOffset + 1] << 8));
  const char* product = kind == 1 ? "BRINT for DOS" : "Wardenline";
  const char* label = nullptr;
  const char* prefix = "";
  int level = 0;
  switch (type) {
    case 1: label = "Warning:", level = 4; break;
    case 3: label = "Error:", level = 3; break;
    case 10: label = "Virus:", prefix = ">>>", level = 2; break;
    default: return;
  }
  const std::string station = clean_client_text(client_string(request, kStationOffset, got, kStationSize));
  // The text is read up to its zero or the end of what was read, never further.
  const std::string raw = client_string(request, kReportTextOffset, got, kRequestReadMax);
  const std::string text = lay_out_report(raw, prefix);
  const std::string p = prefix;
  log_at_level(level, "\n" + std::string(label) + "\t" + product + " report:\n" + p + text + "\n" + p + "\tOn " +
                          time_text() + "\n" + p + "\tUser " + user + "\n" + p + "\tNode " + station + "\n");
}

}  // namespace server
