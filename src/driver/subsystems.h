// The calls the main line makes into the other subsystems, one function each.
//
// Each is the single place where the main line hands over to a subsystem.
#pragma once

#include <string>

namespace driver {

// Start-up.
void complete_special_system_files();  // system root and user name (areas).
void reset_buffered_files();           // marks every buffered file slot free (engine).
void fill_drive_types();               // drive type list A:..Z: (disks).
void pair_drives();                    // physical with logical drives (disks).

// Loading. Each returns 0, or -2 after its own message (the program then ends with 2).
void reset_identity_engine();  // clears the identity tables.
// Loads the built-in virus data; any non-zero result ends the program with 2. Sets the
// virus count and, when the data carries them, the issue and expiry dates.
int load_virus_data(bool use_internal_patterns, const std::string& program_path);
int load_user_patterns();   // BRINT.PAT.
int build_area_list();      // standard, drive and areas-file areas.
int load_identity_files();  // the virus data library and identity files.
// One -PAT= value under the label "Command line %d".
int parse_command_line_pattern(const std::string& text, const std::string& label);
void build_pattern_index();  // sorts the pattern records, builds the index.

// Report file, mail file, event log.
int read_server_state();       // server mode: the settings file.
int open_report_file();        // opens it and writes its header.
int open_mail_file();          // the temporary mail file and its header.
int register_event_source();   // 0, -2 (warn, logging off) or 27 (logging off).
void log_start_event();
void arm_end_event();          // once scheduled: a later stop logs the end event

// The run. Each returns 0, or -2 after its own message; -31 from the virus list is a quit.
int examine_areas();        // one pass over the area list.
int list_virus_library();   // -DL.
[[noreturn]] void server_loop();  // server mode: ends the process through the stop routine
void show_alert_window();   // shows and empties the alert text.

// End.
int finish_report_file();  // "End of BRINT." and a form feed, then close; 0 or non-zero.
void send_mail();          // closes and sends the mail file.

}  // namespace driver
