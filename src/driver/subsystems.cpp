// The calls the main line makes into the other subsystems (see subsystems.h). Bodies that
// only return success belong to subsystems not yet joined to the main line.
#include "driver/subsystems.h"

#include "driver/base/output.h"
#include "host/host.h"

namespace driver {

void complete_special_system_files() {}
void reset_buffered_files() {}
void fill_drive_types() {}
void pair_drives() {}

void reset_identity_engine() {}
int load_virus_data(bool /*use_internal_patterns*/, const std::string& /*program_path*/) { return 0; }
int load_user_patterns() { return 0; }
int build_area_list() { return 0; }
int load_identity_files() { return 0; }
int parse_command_line_pattern(const std::string& /*text*/, const std::string& /*label*/) { return 0; }
void build_pattern_index() {}

int read_server_state() { return 0; }
int open_report_file() { return 0; }
int open_mail_file() { return 0; }
int register_event_source() { return 0; }
void log_start_event() {}

int examine_areas() { return 0; }
int list_virus_library() { return 0; }
int server_loop() { return 0; }

void show_alert_window() {
  // Until the alert window is joined, the collected text at least reaches the console once.
  if (g_output.alert_text.empty()) return;
  host::console_write(g_output.alert_text);
  g_output.alert_text.clear();
}

int finish_report_file() { return 0; }
void send_mail() {}

}  // namespace driver
