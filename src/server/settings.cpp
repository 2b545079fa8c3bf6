// The settings file "BRINTWL.INI" and the result file "BRINTWL.RES": key tables, reading,
// writing, change detection, the status cycle, the informational lines and the fatal stop.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "areas/text.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "notify/notify.h"
#include "server/server.h"
#include "virusdata/checksum.h"

namespace server {

ServerState g_server;

void reset_server() {
  if (g_server.marker.is_open()) host::close_file(g_server.marker);
  g_server = ServerState{};
}

namespace {

constexpr size_t kMaxSettingsLine = 255;  // a longer line is cut, its rest read as the next line
constexpr const char* kOnOffWords[] = {"OFF", "ON"};
constexpr const char* kRemovalWords = "NOACTION|COPY|DELETE";
constexpr const char* kLevelWords = "FULL|QUICK";
constexpr const char* kOffOnWords = "OFF|ON";

KeyEntry text_key(const char* key, bool reread, std::string* v) {
  KeyEntry e;
  e.key = key, e.reread = reread, e.type = ValueType::kText, e.text = v;
  return e;
}
KeyEntry number_key(const char* key, ValueType type, int32_t* v, const char* alternatives = nullptr) {
  KeyEntry e;
  e.key = key, e.type = type, e.number = v, e.alternatives = alternatives;
  return e;
}
KeyEntry long_key(const char* key, int64_t* v) {
  KeyEntry e;
  e.key = key, e.type = ValueType::kLong, e.wide = v;
  return e;
}

std::vector<std::string_view> split_alternatives(const char* alternatives) {
  std::vector<std::string_view> out;
  std::string_view all = alternatives ? alternatives : "";
  while (!all.empty()) {
    const size_t bar = all.find('|');
    out.push_back(all.substr(0, bar));
    if (bar == std::string_view::npos) break;
    all.remove_prefix(bar + 1);
  }
  return out;
}

// "%d"-style reading: blanks, an optional sign, at least one digit. False when none.
bool parse_integer(std::string_view s, int64_t lo, int64_t hi, int64_t& out) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\v' || s[i] == '\f')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
  uint64_t v = 0;
  const uint64_t limit = negative ? uint64_t(-(lo + 1)) + 1 : uint64_t(hi);
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + uint64_t(s[i] - '0');
    if (v > limit) v = limit;  // saturate rather than wrap
  }
  out = negative ? (v == 0 ? 0 : -int64_t(v - 1) - 1) : int64_t(v);
  return true;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list ap, copy;
  va_start(ap, fmt);
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? size_t(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
  va_end(ap);
  return out;
}

}  // namespace

std::vector<KeyEntry> settings_table() {
  ServerState& s = g_server;
  return {
      number_key("WardenlineServerActive", ValueType::kOnOff, &s.active),
      text_key("InfectedDirectory", false, &s.infected_dir),
      text_key("CommsDirectory", false, &s.comms_dir),
      number_key("MinTime", ValueType::kInteger, &s.min_time),
      number_key("MaxTime", ValueType::kInteger, &s.max_time),
      number_key("ReportingLevel", ValueType::kInteger, &s.reporting_level),
      number_key("BroadcastLevel", ValueType::kInteger, &s.broadcast_level),
      number_key("RemovalMode", ValueType::kChoice, &s.removal_mode, kRemovalWords),
      number_key("BrintLevel", ValueType::kChoice, &s.brint_level, kLevelWords),
      number_key("ExpandCompressedFiles", ValueType::kChoice, &s.expand_compressed, kOffOnWords),
      number_key("WarnIfCompressed", ValueType::kChoice, &s.warn_compressed, kOffOnWords),
      text_key("LogFile", true, &driver::g_settings.report_file),
      number_key("ZeroCounters", ValueType::kOnOff, &s.zero_counters),
      text_key("PingServer", true, &s.ping),
      text_key("CommandOnVirus", true, &s.command_on_virus),
      text_key("CommandGetUsername", true, &s.command_get_username),
      number_key("QuitBRINT", ValueType::kOnOff, &s.quit),
      KeyEntry{},
  };
}

std::vector<KeyEntry> result_table() {
  ServerState& s = g_server;
  driver::Counters& c = driver::g_counters;
  KeyEntry ini = number_key("TimeDateOfIniFile", ValueType::kLong, nullptr);
  ini.type = ValueType::kInteger;  // a signed 32-bit value, written as "%d"
  ini.number = &s.time_date_of_ini;
  return {
      text_key("ServerName", true, &driver::g_settings.server_name),
      text_key("OperatingSystem", true, &s.os_name),
      text_key("BrintVersion", true, &s.version),
      number_key("BrintLevel", ValueType::kChoice, &s.brint_level, kLevelWords),
      text_key("BrintDateProduced", true, &s.date_produced),
      ini,
      number_key("WardenlineServerActive", ValueType::kOnOff, &s.active),
      text_key("LastFileChecked", true, &s.last_file_checked),
      text_key("LastFileCheckedUser", true, &s.last_file_checked_user),
      text_key("LastFileCheckedTimeDate", true, &s.last_file_checked_time),
      text_key("LastFileCheckedNIC", true, &s.last_file_checked_nic),
      text_key("LastFileCompressed", true, &s.last_file_compressed),
      long_key("NumberFilesBrinted", &c.files_checked),
      long_key("NumberFilesInfected", &c.infected_files),
      long_key("NumberFilesCompressed", &c.compressed_files),
      long_key("NumberErrorsFound", &c.errors),
      text_key("LastVirusName", true, &s.last_virus_name),
      number_key("LastVirusAction", ValueType::kChoice, &s.last_virus_action, kRemovalWords),
      text_key("LastVirusFile", true, &s.last_virus_file),
      text_key("LastVirusUser", true, &s.last_virus_user),
      text_key("LastVirusTimeDate", true, &s.last_virus_time),
      text_key("LastVirusNIC", true, &s.last_virus_nic),
      text_key("NodeServerWithCommsDirectory", true, &s.node_server_with_comms),
      number_key("ExpandCompressedFiles", ValueType::kChoice, &s.expand_compressed, kOffOnWords),
      text_key("LogFileName", true, &driver::g_settings.report_file),
      number_key("CountersZeroed", ValueType::kOnOff, &s.counters_zeroed),
      text_key("Pong", true, &s.ping),
      KeyEntry{},
  };
}

void apply_value(const KeyEntry& e, std::string_view value) {
  switch (e.type) {
    case ValueType::kOnOff:
      if (areas::compare_n_nocase(value, "ON", 2) == 0) {
        *e.number = 1;
      } else if (areas::compare_n_nocase(value, "OFF", 3) == 0) {
        *e.number = 0;
      }
      break;
    case ValueType::kInteger: {
      int64_t v = 0;
      if (parse_integer(value, INT32_MIN, INT32_MAX, v)) *e.number = int32_t(v);
      break;
    }
    case ValueType::kLong: {
      int64_t v = 0;
      if (parse_integer(value, INT64_MIN, INT64_MAX, v)) *e.wide = v;
      break;
    }
    case ValueType::kText:
      *e.text = std::string(value);
      break;
    case ValueType::kChoice: {
      // A value selects an alternative when it begins with all of the alternative's
      // characters but its last: "QUIC" is QUICK, "ONWARDS" is ON, "Q" is nothing.
      int32_t index = 0;
      for (std::string_view alt : split_alternatives(e.alternatives)) {
        const size_t n = alt.empty() ? 0 : alt.size() - 1;
        if (areas::compare_n_nocase(value, alt, n) == 0) {
          *e.number = index;
          return;
        }
        ++index;
      }
      break;
    }
  }
}

std::string value_text(const KeyEntry& e) {
  switch (e.type) {
    case ValueType::kOnOff: return kOnOffWords[*e.number != 0 ? 1 : 0];
    case ValueType::kInteger: return std::to_string(*e.number);
    case ValueType::kLong: return std::to_string(*e.wide);
    case ValueType::kText: return *e.text;
    case ValueType::kChoice: {
      const auto alts = split_alternatives(e.alternatives);
      if (*e.number < 0 || size_t(*e.number) >= alts.size()) return std::string();
      return std::string(alts[size_t(*e.number)]);
    }
  }
  return std::string();
}

int read_settings(std::string_view path, std::string_view section, const std::vector<KeyEntry>& table,
                  bool reread_only) {
  host::File f;
  if (notify::shared_open(path, notify::StreamMode::kRead, host::kShareRead, f) != 0) return -1010;
  areas::LineReader reader;
  reader.file = std::move(f);
  enum class Where { kBefore, kOwn, kOther } where = Where::kBefore;
  std::string line;
  for (;;) {
    const int got = areas::read_line(reader, line, kMaxSettingsLine);
    if (got < 0) break;
    if (areas::is_blank(line)) continue;
    const size_t semi = line.find(';');
    if (semi != std::string::npos) line.resize(semi);
    areas::strip_trailing_blanks(line);  // blanks and tabs before a comment belong to neither
    if (!line.empty() && line[0] == '[') {
      const std::string_view rest = std::string_view(line).substr(1);
      const bool own = rest.size() > section.size() && rest[section.size()] == ']' &&
                       areas::compare_n_nocase(rest, section, section.size()) == 0;
      where = own ? Where::kOwn : Where::kOther;
      continue;
    }
    if (where == Where::kOther) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string_view key = std::string_view(line).substr(0, eq);
    const std::string_view value = std::string_view(line).substr(eq + 1);
    for (const KeyEntry& e : table) {
      if (e.key == nullptr) break;
      const std::string_view k = e.key;
      if (k.size() != key.size() || areas::compare_n_nocase(k, key, k.size()) != 0) continue;
      if (where == Where::kBefore && !e.before_sections) break;
      if (reread_only && !e.reread) break;
      apply_value(e, value);
      break;
    }
  }
  host::close_file(reader.file);
  return 0;
}

int write_values(host::File& f, std::string_view section, const std::vector<KeyEntry>& table) {
  std::string text;
  if (!section.empty()) text += "[" + std::string(section) + "]\r\n\r\n";
  for (const KeyEntry& e : table) {
    if (e.key == nullptr) break;
    text += e.key;
    text += '=';
    text += value_text(e);
    text += "\r\n";
  }
  return host::write_file(f, text.data(), text.size()) == 0 ? 0 : driver::kReported;
}

uint32_t value_checksum(const std::vector<KeyEntry>& table) {
  virusdata::checksum_start(virusdata::kStateFileKey);
  for (const KeyEntry& e : table) {
    if (e.key == nullptr) break;
    uint8_t bytes[8];
    switch (e.type) {
      case ValueType::kText:
        virusdata::checksum_add(reinterpret_cast<const uint8_t*>(e.text->data()), int32_t(e.text->size()));
        break;
      case ValueType::kLong:
        for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(uint64_t(*e.wide) >> (8 * i));
        virusdata::checksum_add(bytes, 8);
        break;
      default:
        for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(uint32_t(*e.number) >> (8 * i));
        virusdata::checksum_add(bytes, 4);
        break;
    }
  }
  return virusdata::checksum_value32();
}

void reload_settings_if_changed(bool reread_only) {
  const std::string& path = driver::g_settings.settings_file;
  host::FindData info;
  if (host::file_info(path, info) != 0) {
    g_server.time_date_of_ini = 0;
    return;
  }
  uint8_t bytes[13];
  bytes[0] = uint8_t(info.attributes);
  bytes[1] = uint8_t(info.dos_time), bytes[2] = uint8_t(info.dos_time >> 8);
  bytes[3] = uint8_t(info.dos_date), bytes[4] = uint8_t(info.dos_date >> 8);
  for (int i = 0; i < 8; ++i) bytes[5 + i] = uint8_t(info.size >> (8 * i));
  const uint32_t fingerprint = virusdata::checksum32_of(virusdata::kStateFileKey, bytes, sizeof bytes);
  if (fingerprint == g_server.ini_fingerprint) return;
  g_server.time_date_of_ini = int32_t((uint32_t(info.dos_time) << 16) | info.dos_date);
  if (read_settings(path, driver::g_settings.server_name, settings_table(), reread_only) == 0) {
    g_server.ini_fingerprint = fingerprint;
  }
}

std::string time_text() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const host::LocalTime t = host::local_time();
  return format("%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[(t.weekday % 7 + 7) % 7],
                kMonths[((t.month - 1) % 12 + 12) % 12], t.day, t.hour, t.minute, t.second, t.year);
}

void log_at_level(int level, const std::string& text) {
  if (g_server.reporting_level < level) return;
  // The output buffer would cut a long line; server lines carry client names of up to
  // 259 characters, so the whole text is handed over.
  driver::g_output.buffer = text;
  driver::output(level <= 3);
}

void log_info(Info event) {
  if (g_server.reporting_level < 5) return;
  driver::erase_line(79);
  const std::string now = time_text();
  std::string line;
  switch (event) {
    case Info::kLoaded: line = format("\nInfo:\tBRINT Version %s loaded on %s\n", "2.77", now.c_str()); break;
    case Info::kUnloaded: line = format("\nInfo:\tBRINT Version %s unloaded on %s\n", "2.77", now.c_str()); break;
    case Info::kStarted: line = format("\nInfo:\tWardenline started on %s\n", now.c_str()); break;
    case Info::kStopped: line = format("\nInfo:\tWardenline stopped on %s\n", now.c_str()); break;
    case Info::kZeroed: line = format("\nInfo:\tResult file zeroed on %s\n", now.c_str()); break;
  }
  log_at_level(5, line);
}

void fatal_error(int code, std::string_view text) {
  if (code != 0) {
    const std::string t(text);
    std::string line;
    switch (code) {
      case -1000: line = "\nError:\tMalloc error"; break;
      case -1002: line = "\nError:\tLock error"; break;
      case -1004: line = "\nError:\tCould not initialise heap"; break;
      case -1013: line = format("\nError:\tCould not write to file %s", t.c_str()); break;
      case -1017: line = format("\nError:\tCollecting files %s", t.c_str()); break;
      case -1200: line = format("\nError:\tWardenline could not open marker file %s", t.c_str()); break;
      default: line = "\nError:\tGeneral error"; break;
    }
    log_at_level(3, line + "\n");
  }
  remove_marker();
  driver::stop(driver::kExitError);
}

void status_cycle() {
  const driver::Counters& c = driver::g_counters;
  const host::LocalTime t = host::local_time();
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", t.hour % 100, t.minute % 100, t.second % 100);
  driver::console_printf("Status:\t%s @ %.8s  %" PRId64 " items chkd, %" PRId64 " infectd, %" PRId64
                         " comprssd, %" PRId64 " errs \r",
                         g_server.active ? "ON" : "OFF", clock, c.files_checked, c.infected_files,
                         c.compressed_files, c.errors);
  host::console_flush();
  driver::poll_quit();
  // The administrator's stop: an operator-style quit, so code 1.
  if (g_server.quit && !driver::g_settings.no_interrupting) driver::stop(driver::kExitQuit);

  const std::vector<KeyEntry> table = result_table();
  const uint32_t sum = value_checksum(table);
  if (sum != g_server.result_checksum) {
    host::File f;
    const std::string& name = driver::g_state.result_file;
    if (notify::shared_open(name, notify::StreamMode::kWrite, host::kShareNone, f) == 0) {
      if (write_values(f, "", table) != 0 || host::close_file(f) != 0) fatal_error(-1013, name);
      g_server.result_checksum = sum;
    }
  }
  reload_settings_if_changed(true);
}

int read_server_state() {
  ServerState& s = g_server;
  s.active = 1;
  s.infected_dir = driver::g_state.infected_dir;
  s.comms_dir = driver::g_state.comms_dir;
  s.min_time = 1000, s.max_time = 3000;
  s.reporting_level = 6, s.broadcast_level = 6;
  s.removal_mode = kNoAction;
  s.brint_level = driver::g_settings.full_check ? kFull : kQuick;
  s.expand_compressed = driver::g_settings.check_compressed ? 1 : 0;
  s.warn_compressed = driver::g_settings.warn_compressed ? 1 : 0;
  s.zero_counters = 0;
  s.ping.clear(), s.command_on_virus.clear(), s.command_get_username.clear();
  s.quit = 0;
  s.ini_fingerprint = 0xFFFFFFFFu;
  s.result_checksum = 0xFFFFFFFFu;
  reload_settings_if_changed(false);
  driver::g_stop_hooks.server_cleanup = server_cleanup;
  return 0;
}

void server_cleanup() {
  log_info(Info::kUnloaded);
  if (!driver::g_state.result_file.empty()) host::delete_file(driver::g_state.result_file);
  remove_marker();
}

}  // namespace server
