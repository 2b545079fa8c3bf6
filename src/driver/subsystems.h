// The calls the main line makes into the other subsystems, one function each.
//
// Each is the single place where the main line hands over to a subsystem. Those marked
// "not connected" do nothing yet and return success: their subsystem has not been joined
// to the main line, and joining it means filling in that function's body only.
#pragma once

#include <string>

namespace driver {

// Start-up.
void complete_special_system_files();  // system root and user name (areas). Not connected.
void reset_buffered_files();           // marks every buffered file slot free (engine). Not connected.
void fill_drive_types();               // drive type list A:..Z: (disks). Not connected.
void pair_drives();                    // physical with logical drives (disks). Not connected.

// Loading. Each returns 0, or -2 after its own message (the program then ends with 2).
void reset_identity_engine();  // clears the identity tables. Not connected.
// Loads the built-in virus data; any non-zero result ends the program with 2. Sets the
// virus count and, when the data carries them, the issue and expiry dates. Not connected.
int load_virus_data(bool use_internal_patterns, const std::string& program_path);
int load_user_patterns();   // BRINT.PAT. Not connected.
int build_area_list();      // standard, drive and areas-file areas. Not connected.
int load_identity_files();  // the virus data library and identity files. Not connected.
// One -PAT= value under the label "Command line %d". Not connected (accepts every value).
int parse_command_line_pattern(const std::string& text, const std::string& label);
void build_pattern_index();  // sorts the pattern records, builds the index. Not connected.

// Report file, mail file, event log.
int read_server_state();       // server mode: the settings file. Not connected.
int open_report_file();        // opens it and writes its header. Not connected.
int open_mail_file();          // the temporary mail file and its header. Not connected.
int register_event_source();   // 0, -2 (warn, logging off) or 27 (logging off). Not connected.
void log_start_event();
void arm_end_event();          // once scheduled: a later stop logs the end event

// The run. Each returns 0, or -2 after its own message; -31 from the virus list is a quit.
int examine_areas();        // one pass over the area list. Not connected: examines nothing.
int list_virus_library();   // -DL. Not connected: lists nothing.
int server_loop();          // server mode. Not connected: returns at once.
void show_alert_window();   // shows and empties the alert text (console part only so far).

// End.
int finish_report_file();  // "End of BRINT." and a form feed, then close; 0 or non-zero. Not connected.
void send_mail();          // closes and sends the mail file. Not connected.

}  // namespace driver
