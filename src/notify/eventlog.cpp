// The system event log: registration of the event source "NTBrint", the start, end and
// finding events with their ids, types, categories and insertion strings, and remote
// logging (-EV=).
//
// Every event is written to the local log; with -EV= it is also sent to the remote machine
// (all but the scan start). A remote name that does not resolve is reported once and ends
// remote logging for the rest of the process. The insertion strings are made afresh for
// each event.
//
// State: g_notify.events (program start time, the area list provider); the settings
// event_logging and remote_events are switched off here on failure.
#include <cstdio>

#include "driver/base/messages.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "notify/messages.h"
#include "notify/notify.h"

namespace notify {
namespace {

constexpr int kRegistryFailed = -2;      // register_source: the registry cannot be used
constexpr int kRunsFromFloppy = 27;      // register_source: the program runs from a floppy drive
constexpr int kTypesSupported = 7;       // error, warning and information
constexpr int kCategoryCount = 3;

std::string version_text() { return msg::kVersion; }

std::string release_text() {
  char buf[64];
  std::snprintf(buf, sizeof buf, msg::notify::kReleaseDate, "01", "September", "95");
  return buf;
}

std::vector<std::string> current_areas() {
  const auto& provider = g_notify.events.area_entries;
  return provider ? provider() : std::vector<std::string>{};
}

// Seconds since the current pass began, or since the program started before the first pass.
int64_t elapsed_seconds() {
  int64_t now = host::calendar_seconds();
  int64_t base = driver::g_state.start_time;
  if (base <= 0) base = g_notify.events.program_start;
  if (base <= 0) base = now;
  return now > base ? now - base : 0;
}

}  // namespace

std::string area_text(const std::vector<std::string>& areas) {
  std::string text = "\r\n";
  for (const auto& a : areas) {
    text += a;
    text += "\r\n";
  }
  return text;  // OEM and ANSI character sets are the same on this host
}

std::string elapsed_text(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  int64_t minutes = seconds / 60;
  int secs = int(seconds % 60);
  if (minutes > 0x7FFFFFFF) minutes = 0x7FFFFFFF;
  char buf[96];
  std::snprintf(buf, sizeof buf, msg::notify::kElapsed, int(minutes), minutes == 1 ? "minute" : "minutes", secs,
                secs == 1 ? "second" : "seconds");
  return buf;
}

std::string event_message(uint32_t id, const std::vector<std::string>& strings) {
  const char* text = nullptr;
  switch (id) {
    case kIdFound: text = msg::notify::kEventFound; break;
    case kIdStarted: text = msg::notify::kEventStarted; break;
    case kIdServerStarted: text = msg::notify::kEventServerStarted; break;
    case kIdClean: text = msg::notify::kEventClean; break;
    case kIdInterrupted: text = msg::notify::kEventInterrupted; break;
    case kIdViruses: text = msg::notify::kEventViruses; break;
    case kIdServerStopped: text = msg::notify::kEventServerStopped; break;
    case kIdErrors: text = msg::notify::kEventErrors; break;
    default: return std::string();
  }
  // %1..%9 take the insertion strings (a missing one stays as written); the strings themselves
  // are not scanned again, so a "%2" inside a virus name stays as it is.
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
      size_t index = size_t(p[1] - '1');
      if (index < strings.size()) {
        out += strings[index];
        ++p;
        continue;
      }
    }
    out += *p;
  }
  return out;
}

int register_source() {
  const auto& s = driver::g_settings;
  if (s.remote_events) return 0;
  std::string path = driver::g_state.program_path;
  if (path.empty()) path = host::executable_path();
  if (path.size() >= 2 && path[1] == ':' && host::drive_type(path[0]) == host::kDriveFloppy) return kRunsFromFloppy;
  const char* key = msg::notify::kSourceKey;
  int rc = host::registry_create_key(key);
  if (rc == host::kErrAccessDenied) return host::registry_open_key(key) == 0 ? 0 : kRegistryFailed;
  if (rc != 0) return kRegistryFailed;
  // As with the system's registry calls, the results of setting the values are not checked.
  host::registry_set_value(key, "EventMessageFile", "REG_EXPAND_SZ", path);
  host::registry_set_value(key, "CategoryMessageFile", "REG_EXPAND_SZ", path);
  host::registry_set_value(key, "TypesSupported", "REG_DWORD", std::to_string(kTypesSupported));
  host::registry_set_value(key, "CategoryCount", "REG_DWORD", std::to_string(kCategoryCount));
  return 0;
}

int log_event(int type, int category, uint32_t id, const std::vector<std::string>& strings) {
  host::EventRecord record;
  record.source = msg::notify::kSourceName;
  record.type = type;
  record.category = category;
  record.id = id;
  record.strings = strings;
  record.message = event_message(id, strings);

  auto& s = driver::g_settings;
  if (s.remote_events && id != kIdStarted) {
    std::string machine = host::upper(s.remote_machine);
    host::RemoteEventLog remote;
    int rc = host::open_remote_event_log(machine, remote);
    if (rc == host::kErrRpcServerUnavailable) {
      driver::outputf(true, msg::notify::kRemoteMachineMissing, machine.c_str());
      s.remote_events = false;
    } else if (rc == 0) {
      host::report_event_remote(remote, record);  // a lost datagram loses only the remote copy
    }
  }
  return host::report_event(record) == 0 ? 1 : 0;
}

void finding_event(std::string_view word, std::string_view virus, std::string_view location) {
  if (!driver::g_settings.event_logging) return;
  log_event(kEventError, kCategoryVirus, kIdFound, {std::string(word), std::string(virus), std::string(location)});
}

void start_event() {
  const auto& s = driver::g_settings;
  if (s.server_mode) {
    log_event(kEventInformation, kCategoryInfo, kIdServerStarted, {version_text(), release_text(), s.server_name});
  } else {
    log_event(kEventInformation, kCategoryInfo, kIdStarted,
              {version_text(), release_text(), area_text(current_areas())});
  }
}

void end_event(int exit_code) {
  const auto& s = driver::g_settings;
  if (s.server_mode) {
    log_event(kEventInformation, kCategoryInfo, kIdServerStopped, {s.server_name});
    return;
  }
  uint32_t id = 0;
  switch (exit_code) {
    case 0: id = kIdClean; break;
    case 1: id = kIdInterrupted; break;
    case 2: id = kIdErrors; break;
    case 3: id = kIdViruses; break;
    default: return;
  }
  log_event(kEventInformation, kCategoryInfo, id,
            {version_text(), release_text(), elapsed_text(elapsed_seconds()), area_text(current_areas())});
}

void setup_event_log() {
  auto& s = driver::g_settings;
  if (!s.event_logging) return;
  int rc = register_source();
  if (rc == kRegistryFailed) {
    driver::outputf(true, "%s", msg::kRegistryWarning);
    s.event_logging = false;
  } else if (rc == kRunsFromFloppy) {
    s.event_logging = false;
  }
  if (s.event_logging && !s.errors_only_events) start_event();
}

void arm_end_event() {
  if (g_notify.events.program_start == 0) g_notify.events.program_start = host::calendar_seconds();
  driver::g_stop_hooks.end_event = [](int exit_code) {
    const auto& s = driver::g_settings;
    if (s.event_logging && !s.errors_only_events) end_event(exit_code);
  };
}

}  // namespace notify
