// The calls the main line makes into the other subsystems (see subsystems.h), and the hooks
// that join the subsystems to each other: the walker hands files to file scanning, file
// scanning hands infected files to removal, findings go to the event log.
#include "driver/subsystems.h"

#include "areas/areas.h"
#include "disk/disk.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "engine/bfile.h"
#include "engine/identity.h"
#include "engine/matcher.h"
#include "engine/scan.h"
#include "findings/removal.h"
#include "findings/reports.h"
#include "host/host.h"
#include "notify/notify.h"
#include "server/server.h"
#include "unpack/unpack.h"
#include "virusdata/builtin.h"
#include "virusdata/library.h"

namespace driver {

namespace {

// Dates of the built-in block's header: six digits padded with zero bytes.
std::string header_date(const uint8_t* field) {
  std::string d;
  for (int i = 0; i < 6 && field[i] != 0; ++i) d += static_cast<char>(field[i]);
  return d;
}

void connect_hooks() {
  areas::g_hooks.scan_file = [](const std::string& path, const areas::DirRecord& rec, int& kind) {
    engine::FileRecord fr;
    fr.dos_time = rec.time;
    fr.size = (uint64_t(rec.size_high) << 32) | rec.size_low;
    fr.details = rec.details;
    return engine::scan_file(path, fr, kind);
  };
  areas::g_hooks.compression_warning = [](const std::string& path, int kind, int variant) {
    findings::compression_warning(path, kind, variant);
  };
  areas::g_hooks.compression_check = [](const std::string& path) { return findings::compression_check(path); };
  areas::g_hooks.set_file_location = [] { findings::set_file_location(""); };
  engine::g_scan_hooks.show_status = [](const char* text) { areas::status_display(text ? text : ""); };
  // While a packed program is expanded the walk's spinner turns.
  unpack::g_unpack_hooks.spin = [] {
    areas::g_status.decompressing = true;
    areas::status_display("");
    areas::g_status.decompressing = false;
  };
  engine::g_scan_hooks.remove_file = [](const std::string& name, const host::FileId* checked) {
    findings::offer_removal(name, checked);
  };
  findings::g_findings_hooks.log_event = [](int type, int category, uint32_t id,
                                            const std::vector<std::string>& strings) {
    notify::log_event(type, category, id, strings);
  };
  notify::g_notify.events.area_entries = [] { return areas::g_areas.entries; };
}

}  // namespace

void complete_special_system_files() {
  areas::reset_special_files();
  areas::complete_special_files();
}

void reset_buffered_files() { engine::reset_files(); }
void fill_drive_types() {
  disk::fill_drive_types();
  disk::connect_hooks();
}

void pair_drives() { disk::pair_drives(); }

void reset_identity_engine() {
  engine::reset_identity();
  connect_hooks();
}

int load_virus_data(bool use_internal_patterns, const std::string& program_path) {
  const virusdata::BuiltinBlock& block = virusdata::kBuiltinBlock;
  virusdata::initialise_library();
  if (virusdata::load_builtin_data(block, use_internal_patterns, program_path) != 0) return kReported;
  g_state.issue_date = header_date(block.header);
  g_state.expiry_date = header_date(block.header + 8);
  return 0;
}

int load_user_patterns() { return virusdata::read_pattern_file(); }

int build_area_list() {
  // The command line's area arguments come first, in their order; the areas subsystem adds
  // the standard, drive and areas-file areas behind them.
  areas::reset_areas();
  for (const std::string& entry : g_state.area_entries) {
    if (areas::add_area(entry) != 0) return kReported;  // cannot happen: the parse checked the room
  }
  return areas::build_area_list();
}

int load_identity_files() { return virusdata::load_external_data(); }

int parse_command_line_pattern(const std::string& text, const std::string& label) {
  return virusdata::add_command_line_pattern(text, label);
}

void build_pattern_index() {
  virusdata::build_pattern_index();
  engine::reset_matcher();  // the matcher's tables follow the new index at the next search
}

int read_server_state() { return server::read_server_state(); }

int open_report_file() {
  notify::setup_report();
  return 0;
}

int open_mail_file() {
  notify::create_mail_file();
  return 0;
}

int register_event_source() { return notify::register_source(); }
void log_start_event() { notify::start_event(); }
void arm_end_event() { notify::arm_end_event(); }

int examine_areas() { return areas::examine_areas(); }
int list_virus_library() { return virusdata::show_virus_list(); }
void server_loop() { server::server_loop(); }

void show_alert_window() { notify::alert_window(); }

int finish_report_file() {
  notify::close_report_file();
  return 0;
}

void send_mail() { notify::finish_mail(); }

}  // namespace driver
