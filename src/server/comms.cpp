// The communications directory: the server loop and its poll passes, the choice of the next
// request, the validation of request records, pending answers, stale requests, the marker
// file and the pause generator.
#include <cstdio>

#include "areas/text.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "findings/reports.h"
#include "server/server.h"
#include "virusdata/checksum.h"

namespace server {

namespace {

constexpr int64_t kAnswerLifeSeconds = 10;  // an answer and its request are deleted after this
constexpr int kRequestsPerPass = 75;        // the request counter runs 1..74
constexpr int kStatusEvery = 25;            // a status cycle before the 25th and 50th request
constexpr int kStaleDays = 2;               // requests this many calendar days old are deleted at start
constexpr size_t kMaxUserName = 259;        // user names are cut here
constexpr const char* kMarkerName = "wl.sta";
constexpr const char* kUserFile = "BRINT.USR";

int16_t get16(const std::vector<uint8_t>& b, size_t at) { return int16_t(b[at] | (b[at + 1] << 8)); }

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_of(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string pattern_of(std::string_view ext) { return comms_path("*", ext); }

// Lists the communications directory for names "*EXT"; a failure other than "no files" is
// the fatal listing error.
std::vector<host::FindData> list_comms(std::string_view ext) {
  std::vector<host::FindData> entries;
  const std::string pattern = "*" + std::string(ext);
  const int rc = host::list_directory(g_server.comms_dir, pattern, entries);
  if (rc != 0 && rc != host::kErrNoMoreFiles) fatal_error(-1017, pattern_of(ext));
  return entries;
}

std::string find_user(const std::string& req_path, host::File& req) {
  std::string user = "Unknown";
  if (!g_server.command_get_username.empty()) {
    // The previous request's answer must never be taken for this one's.
    host::delete_file(kUserFile);
    driver::erase_line(79);
    const std::string line = g_server.command_get_username + " " + host::shell_quote(req_path);
    int status = 0;
    if (host::run_command(line, status) != 0 || status != 0) {
      log_at_level(3, "\nError:\tCould not execute user command '" + g_server.command_get_username + "'\n");
    }
    areas::LineReader reader;
    if (areas::open_text(kUserFile, reader) == 0) {
      std::string first;
      if (areas::read_line(reader, first, kMaxUserName) >= 0) {
        areas::strip_leading_blanks(first);
        areas::strip_trailing_blanks(first);
        if (!first.empty()) user = clean_client_text(first);
      }
      host::close_file(reader.file);
    }
    return user;
  }
  host::FileOwner owner;
  if (host::get_owner_of(req, owner) == 0) {
    const std::string name = host::account_name(owner.user);
    if (!name.empty() && name.size() <= kMaxUserName) user = name;
  }
  return user;
}

}  // namespace

std::string comms_path(std::string_view base, std::string_view ext) {
  return g_server.comms_dir + "\\" + std::string(base) + std::string(ext);
}

std::string base_of(std::string_view name, std::string_view ext) {
  if (name.size() <= ext.size()) return std::string();
  if (areas::compare_n_nocase(name.substr(name.size() - ext.size()), ext, ext.size()) != 0) return std::string();
  const std::string_view base = name.substr(0, name.size() - ext.size());
  if (base.find_first_of(".\\/:") != std::string_view::npos) return std::string();
  return std::string(base);
}

// ---- Pending answers.

void add_pending(const std::string& base) {
  for (PendingAnswer& p : g_server.pending) {
    if (areas::compare_n_nocase(p.base, base, std::max(p.base.size(), base.size()) + 1) == 0) {
      p.expiry = host::calendar_seconds() + kAnswerLifeSeconds;
      return;
    }
  }
  g_server.pending.push_back({base, host::calendar_seconds() + kAnswerLifeSeconds});
}

bool is_pending(std::string_view base) {
  for (const PendingAnswer& p : g_server.pending) {
    if (p.base.size() == base.size() && areas::compare_n_nocase(p.base, base, base.size()) == 0) return true;
  }
  return false;
}

void expire_answers() {
  const int64_t now = host::calendar_seconds();
  std::vector<PendingAnswer> kept;
  for (const PendingAnswer& p : g_server.pending) {
    if (now >= p.expiry) {
      host::delete_file(comms_path(p.base, ".ANS"));
      host::delete_file(comms_path(p.base, ".REQ"));
    } else {
      kept.push_back(p);
    }
  }
  g_server.pending.swap(kept);
}

void discard_request(const std::string& base) {
  std::vector<PendingAnswer>& list = g_server.pending;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].base.size() == base.size() && areas::compare_n_nocase(list[i].base, base, base.size()) == 0) {
      list.erase(list.begin() + std::ptrdiff_t(i));
      break;
    }
  }
  host::delete_file(comms_path(base, ".ANS"));
  host::delete_file(comms_path(base, ".SRC"));
  host::delete_file(comms_path(base, ".REQ"));
}

// ---- Marker file.

void create_marker() {
  if (g_server.marker_open) return;
  const std::string path = g_server.comms_dir + "\\" + kMarkerName;
  if (host::open_file(path, host::kAccessRead | host::kAccessWrite, host::kShareRead | host::kShareWrite,
                      host::kOpenAlways, g_server.marker) != 0) {
    fatal_error(-1200, path);
  }
  g_server.marker_open = true;
}

void remove_marker() {
  if (!g_server.marker_open) return;
  host::close_file(g_server.marker);
  g_server.marker_open = false;
  host::delete_file(g_server.comms_dir + "\\" + kMarkerName);
}

// ---- Start of the loop.

void delete_stale_requests() {
  const host::LocalTime t = host::local_time();
  const int64_t today = days_of(t.year, t.month, t.day);
  for (const host::FindData& e : list_comms(".REQ")) {
    const std::string base = base_of(e.name, ".REQ");
    if (base.empty() || (e.attributes & host::kAttrDirectory)) continue;
    const int64_t day = days_of(1980 + (e.dos_date >> 9), (e.dos_date >> 5) & 15, e.dos_date & 31);
    if (today - day >= kStaleDays) {
      host::delete_file(comms_path(base, ".SRC"));
      host::delete_file(comms_path(base, ".REQ"));
    }
  }
}

void clamp_pause_bounds() {
  int32_t& lo = g_server.min_time;
  int32_t& hi = g_server.max_time;
  if (lo < 0) lo = 0;
  if (lo > 4950) lo = 4950;
  if (hi < 50) hi = 50;
  if (lo > hi - 50) lo = hi - 50;
  if (hi > 5000) hi = 5000;
  if (hi < lo + 50) hi = lo + 50;
}

int poll_count() {
  const int mean = (g_server.min_time + g_server.max_time) / 2;
  return mean > 0 ? 5000 / mean : 5000;
}

int pause_length() {
  virusdata::key_setup(g_server.generator);
  virusdata::encipher_block(g_server.generator);
  const uint64_t r = uint64_t(g_server.generator[0]) | (uint64_t(g_server.generator[1]) << 8);
  const int64_t span = int64_t(g_server.max_time) - g_server.min_time;
  return int(g_server.min_time + int64_t((r * uint64_t(span < 0 ? 0 : span)) >> 16));
}

void pause() { host::sleep_ms(unsigned(pause_length())); }

void server_start() {
  ServerState& s = g_server;
  log_info(Info::kLoaded);
  s.remembered_active = s.active;
  s.counters_zeroed = s.zero_counters;
  s.node_server_with_comms = s.comms_dir;
  create_marker();
  findings::g_findings.location.kind = findings::kLocServerRequest;
  s.pending.clear();
  delete_stale_requests();
  for (const host::FindData& e : list_comms(".ANS")) {
    const std::string base = base_of(e.name, ".ANS");
    if (!base.empty() && !(e.attributes & host::kAttrDirectory)) add_pending(base);
  }
  clamp_pause_bounds();
  s.polls = poll_count();
  s.pass_counter = 0;
  status_cycle();
}

// ---- One poll pass.

std::string select_request() {
  uint16_t best_date = 0xFFFF, best_time = 0xFFFF;
  std::string best;
  for (const host::FindData& e : list_comms(".REQ")) {
    const std::string base = base_of(e.name, ".REQ");
    if (base.empty() || (e.attributes & host::kAttrDirectory) || is_pending(base)) continue;
    if (!(e.dos_date < best_date || (e.dos_date == best_date && e.dos_time < best_time))) continue;
    if (e.size == 0) continue;
    host::File req;
    if (host::open_file(comms_path(base, ".REQ"), host::kAccessRead, host::kShareNone, host::kOpenExisting, req) != 0)
      continue;
    std::vector<uint8_t> head(kRequestMinTaken, 0);
    size_t got = 0;
    if (host::read_file(req, head.data(), head.size(), got) != 0 || got < kRequestMinTaken) continue;
    if (get16(head, kRequestCodeOffset) != kCodeClientReport) {
      host::File src;
      if (host::open_file(comms_path(base, ".SRC"), host::kAccessRead, host::kShareNone, host::kOpenExisting, src) != 0)
        continue;
    }
    best_date = e.dos_date, best_time = e.dos_time;
    best = base;
  }
  return best;
}

void handle_request(const std::string& base) {
  const std::string path = comms_path(base, ".REQ");
  host::File req;
  if (host::open_file(path, host::kAccessRead, host::kShareNone, host::kOpenExisting, req) != 0) return;
  // One byte more than is read, always zero: every text in the record ends within it.
  std::vector<uint8_t> buf(kRequestReadMax + 1, 0);
  size_t got = 0;
  if (host::read_file(req, buf.data(), kRequestReadMax, got) != 0) {
    log_at_level(3, "\nError:\tRead failed on request file " + path + "\n");
    host::close_file(req);
    discard_request(base);
    return;
  }
  if (got < kRequestMinValid) {
    log_at_level(3, "\nError:\tCorrupted request received in file " + path + " from user Unknown\n");
    host::close_file(req);
    discard_request(base);
    return;
  }
  const std::string user = find_user(path, req);
  bool discard = true;
  if (buf[0] != 'W' || buf[1] != 'L') {
    log_at_level(3, "\nError:\tInvalid request received in file " + path + " from user " + user + "\n");
  } else {
    const uint32_t stored = uint32_t(buf[4]) | (uint32_t(buf[5]) << 8) | (uint32_t(buf[6]) << 16) | (uint32_t(buf[7]) << 24);
    buf[4] = buf[5] = buf[6] = buf[7] = 0;
    const uint32_t sum = virusdata::checksum32_of(virusdata::kRequestKey, buf.data(), int32_t(got));
    const int major = buf[2], minor = buf[3];
    if (sum != stored) {
      log_at_level(3, "\nError:\tCorrupted request received in file " + path + " from user " + user + "\n");
    } else if (major > kMaxClientMajor || (major == kMaxClientMajor && minor > kMaxClientMinor)) {
      log_at_level(3, "\nWarning:\tWardenline version is newer than this version of BRINT\n"
                      "\tPlease upgrade this copy of BRINT\n");
    } else {
      buf[kStationEnd] = 0;
      const int code = get16(buf, kRequestCodeOffset);
      if (code == kCodeCheckFile || code == kCodeCheckBoot) {
        discard = check_source(base, buf, got, user) != 0;
      } else if (code == kCodeClientReport) {
        log_client_report(buf, got, user);
      } else {
        char text[96];
        std::snprintf(text, sizeof text, "\nError:\tUnknown request received (0x%X) from user ", unsigned(code));
        log_at_level(3, text + user + "\n");
      }
    }
  }
  host::close_file(req);
  if (discard) discard_request(base);
}

void poll_pass() {
  ServerState& s = g_server;
  if (s.active != s.remembered_active) {
    log_info(s.active ? Info::kStarted : Info::kStopped);
    s.remembered_active = s.active;
    if (s.active) {
      create_marker();
    } else {
      remove_marker();
    }
  }
  if (s.zero_counters != s.counters_zeroed) {
    if (!s.counters_zeroed) {
      driver::Counters& c = driver::g_counters;
      c.files_checked = c.infected_files = c.compressed_files = c.errors = 0;
      c.pattern_findings = c.identity_findings = 0;
      s.last_file_checked.clear(), s.last_file_checked_user.clear(), s.last_file_checked_time.clear();
      s.last_file_checked_nic.clear(), s.last_file_compressed.clear(), s.last_virus_name.clear();
      s.last_virus_file.clear(), s.last_virus_user.clear(), s.last_virus_time.clear(), s.last_virus_nic.clear();
      s.last_virus_action = kNoAction;
      log_info(Info::kZeroed);
    }
    s.counters_zeroed = s.zero_counters;
  }
  if (s.pass_counter >= s.polls) {
    s.pass_counter = -1;
    clamp_pause_bounds();
    s.polls = poll_count();
    expire_answers();
  }
  int counter = 1;
  for (; counter < kRequestsPerPass; ++counter) {
    if (counter % kStatusEvery == 0) {
      status_cycle();
      clamp_pause_bounds();
      s.polls = poll_count();
    }
    const std::string base = select_request();
    if (base.empty() || !s.active) break;
    handle_request(base);
  }
  if (counter > kStatusEvery) expire_answers();
}

void server_loop() {
  server_start();
  for (;;) {
    poll_pass();
    pause();
    ++g_server.pass_counter;
    status_cycle();
  }
}

}  // namespace server
