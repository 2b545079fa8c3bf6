// Run settings, counters and the program state every subsystem reads.
//
// One struct per owner, each with a reset function beside it: the driver calls them at
// start-up and at the start of every pass, and tests call them before touching globals.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace driver {

// Area selection flags (one bit each).
constexpr uint32_t kAreaStandard = 1;        // check the standard areas of the current drive
constexpr uint32_t kAreaReadFile = 2;        // read the areas file
constexpr uint32_t kAreaAllFiles = 4;        // all files instead of executables
constexpr uint32_t kAreaDrivesNamed = 8;     // drives were named on the command line
constexpr uint32_t kAreaNothingNamed = 16;   // nothing named: take the default drives

enum class Schedule { kNotGiven, kToday, kNotToday };

// Process-wide values set by the qualifiers; defaults from reset_settings().
struct RunSettings {
  bool silent = true;               // progress as an elapsed-time line (-S, -SS on; -NS off)
  bool super_silent = false;        // only important output reaches the console (-SS)
  bool full_check = false;          // -F on, -Q off
  bool key_wait = true;             // -NK off; -NI followed by anything off
  bool no_interrupting = false;     // -NI
  bool bell = true;                 // -NB off
  bool pause_on_discovery = false;  // -PD on, -N off
  bool no_confirmation = false;     // -NOC
  bool check_identities = true;     // -NCI off
  bool disinfect = false;           // -DI on, -NDI off
  bool display_names = false;       // -DN
  bool sixty_two_seconds = false;   // -6
  bool remove_files = false;        // -REMOVE, -REMOVEF
  bool disable_boot = false;        // -REMOVE, -REMOVEB
  bool shred = false;               // -RS
  bool check_compressed = false;    // -SC
  bool warn_compressed = false;     // -WC
  bool keep_checking = false;       // -WO
  uint32_t diagnostic_mask = 0;     // -T=
  int page_length = 20;             // -ML<n>
  bool multiple_disks = false;      // -MU
  bool report_on = false;           // -P, -P=
  std::string report_file = "PRN";  // -P= (at most 259 characters)
  bool append = false;              // -A
  bool event_logging = true;        // -NE off
  bool errors_only_events = false;  // -QE
  bool remote_events = false;       // -EV=
  std::string remote_machine;       // -EV= (at most 15 characters, upper case)
  bool mail_results = false;        // -MI
  std::string mail_account;         // -MI
  std::string mail_password;        // -MI
  bool server_mode = false;         // -WLS
  std::string server_name;          // -WLS (at most 263 characters)
  std::string settings_file;        // -WLI= (at most 259 characters)
  std::string message_file;         // -FM= (at most 263, upper case)
  std::string areas_file = "BRINT.ARE";  // -AF= (at most 263, upper case)
  bool areas_file_warning = true;   // -AF= off
  char areas_drive = 'C';           // -AD=, default the current drive letter
  std::string pattern_file = "BRINT.PAT";
  bool file_server = false;         // -FS
  bool no_boot_areas = false;       // -NAB
  bool recurse = false;             // -REC
  bool use_internal_patterns = true;  // -NAP off
  uint32_t area_flags = kAreaReadFile | kAreaNothingNamed;
  uint32_t drive_mask = 0;          // bit n = drive A: + n
  bool display_areas = false;       // -DA
  bool display_library = false;     // -DL
  Schedule schedule = Schedule::kNotGiven;  // -D=
  bool day_file_on = false;         // -DE given
  std::string day_file;             // -DE name ("BRINT.DAY" when empty)
  std::vector<std::string> pat_values;  // text after each -PAT=, in command-line order
};
extern RunSettings g_settings;
void reset_settings();

// Counters of one pass; 64-bit so that a full check of large disks cannot overflow them.
struct Counters {
  int64_t files_checked = 0;      // files handed to file scanning
  int64_t bytes_checked = 0;      // bytes searched by the pattern matcher
  int64_t infected_files = 0;     // files with at least one finding
  int64_t pattern_findings = 0;   // findings by virus pattern
  int64_t identity_findings = 0;  // findings by virus identity
  int64_t errors = 0;             // items that could not be checked
  int64_t compressed_files = 0;   // compressed files warned about
  int64_t files_removed = 0;      // infected files deleted or shredded
  int64_t files_not_removed = 0;  // infected files that could not be removed
  int64_t boot_disabled = 0;      // boot sectors and master boot sectors disabled
  int64_t boot_not_disabled = 0;  // boot sectors that could not be disabled
  int64_t disinfections = 0;      // items disinfected (zeroed once, at start-up)
};
extern Counters g_counters;
// Zeroes every counter but the disinfections counter (the start of a pass).
void reset_pass_counters();
// Zeroes every counter (start-up, tests).
void reset_counters();

// Dates of the virus data issue as YYMMDD: below the issue date the clock is wrong, past
// the expiry date the data is old. The virus data load replaces them with its own.
constexpr const char* kDefaultIssueDate = "950901";
constexpr const char* kDefaultExpiryDate = "960101";

// Program state owned by the main line.
struct ProgramState {
  std::string issue_date = kDefaultIssueDate;    // YYMMDD of the virus data issue
  std::string expiry_date = kDefaultExpiryDate;  // YYMMDD after which the data is old
  int32_t virus_count = 0;       // viruses known to this run
  std::string start_timestamp;   // 20 characters: YYMMDDhhmmss, weekday 0W, "??????"
  int64_t start_time = 0;        // calendar second at which the current pass began
  int exit_code = 0;             // only ever raised
  std::vector<std::string> tokens;  // command-line tokens, program name first
  std::string program_path;      // full path of the executable
  std::string program_dir;       // program path up to and including its last "\" or ":"
  std::string temp_dir;          // directory for expansion temporaries
  char current_drive = 'C';      // first character of the current directory
  int start_year = 0;            // full year of the start (the timestamp keeps two digits)
  uint16_t process_id = 0;       // low 16 bits of the process identifier (expansion temporaries)
  int temp_number = 0;           // number used to name the next expansion temporary
  std::vector<std::string> area_entries;  // area arguments of the command line, normalised
  int area_count = 0;            // number of area entries
  std::string result_file;       // server mode: "BRINTWL.RES" beside the program
  std::string comms_dir;         // server mode: <drive>:\BRINT\COMMS
  std::string infected_dir;      // server mode: <drive>:\BRINT\INFECTED
};
extern ProgramState g_state;
void reset_state();

// Raises the exit code to `code` when that is higher (it is never lowered).
void raise_exit_code(int code);

}  // namespace driver
