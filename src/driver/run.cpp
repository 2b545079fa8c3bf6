// The program's main line: start-up, scheduling, loading, the passes and their summary,
// the area listing and the end steps.
//
// Order of start-up matters and is kept in program_main(): the tokens are split before
// anything is printed, the pre-scan settles silence before the banner, the qualifiers are
// parsed before scheduling, and the console control handler is installed only once the
// program is known to run today (before that, Ctrl-C ends the process the default way).
// Every way out goes through stop(), except a bad drive argument, which ends the program
// with -9997 before anything has been set up.
#include "driver/run.h"

#include <cstdio>

#include "driver/base/console.h"
#include "driver/base/messages.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "driver/cmdline.h"
#include "driver/dates.h"
#include "driver/options.h"
#include "areas/areas.h"
#include "driver/subsystems.h"
#include "host/host.h"

namespace driver {

namespace {

constexpr size_t kMessageLineMax = 163;  // a longer message-file line goes on in the next line
constexpr size_t kDayFileBytes = 6;      // YYMMDD of the last run
constexpr char kCtrlZ = 0x1A;            // ends a text file

const char* plural(int64_t n, const char* one, const char* many) { return n == 1 ? one : many; }

void print_banner() { console_printf(msg::kBanner, msg::kVersion, msg::kMakerLine); }

// The warnings of the date lines: beep, the text, a key wait. A quit answer stops the
// program unless interrupting is forbidden.
void date_warning(const char* text) {
  beep();
  console_printf("%s", text);
  if (key_wait() == kQuit && !g_settings.no_interrupting) {
    console_printf("%s", msg::kQuitLine);
    stop(kExitQuit);
  }
  console_printf("\n");
}

void print_date_lines() {
  const std::string& ts = g_state.start_timestamp;
  const char* t = ts.c_str();
  console_printf(msg::kSystemDate, t + 6, t + 8, t + 10, t + 4, month_name(two_digit(ts, 2)), g_state.start_year);
  // Whole dates are compared: the clock is wrong before the issue, the data old after expiry.
  const int today = g_state.start_year * 10000 + two_digit(ts, 2) * 100 + two_digit(ts, 4);
  const int issue = date_number(g_state.issue_date);
  const int expiry = date_number(g_state.expiry_date);
  if (issue > 0 && today < issue) date_warning(msg::kClockWarning);
  if (expiry > 0 && today > expiry) date_warning(msg::kDataAgeWarning);
  const std::string& d = g_state.issue_date;
  const int year = two_digit(d, 0);
  console_printf(msg::kIssueLine, d.size() >= 6 ? d.c_str() + 4 : "??", month_name(two_digit(d, 2)),
                 year < 0 ? 0 : windowed_year(year));
}

// The directory of the program: its path up to and including the last separator.
std::string directory_of(const std::string& path) {
  const size_t at = path.find_last_of("\\:/");
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

std::string choose_temp_dir() {
  if (auto tmp = host::get_env("TMP")) return *tmp;
  if (auto temp = host::get_env("TEMP")) return *temp;
  for (char d = 'A'; d <= 'Z'; ++d) {
    if (host::drive_type(d) == host::kDriveFixed) return std::string(1, d) + ":\\";
  }
  return std::string();  // no fixed disk: expansion reports it when it needs the directory
}

// The schedule: false when the program is not to run today (-D=, -DE).
bool scheduled_today() {
  if (g_settings.schedule == Schedule::kNotToday) return false;
  if (g_settings.day_file_on && day_file_says_done(g_settings.day_file)) return false;
  return true;
}

void server_defaults() {
  if (g_settings.settings_file.empty()) g_settings.settings_file = g_state.program_dir + "BRINTWL.INI";
  g_state.result_file = g_state.program_dir + "BRINTWL.RES";
  char drive = 0;
  for (char d = 'A'; d <= 'Z' && drive == 0; ++d) {
    if (host::drive_type(d) == host::kDriveNetwork) drive = d;
  }
  for (char d = 'A'; d <= 'Z' && drive == 0; ++d) {
    if (host::drive_type(d) == host::kDriveFixed) drive = d;
  }
  if (drive == 0) drive = 'A';
  g_state.comms_dir = std::string(1, drive) + ":\\BRINT\\COMMS";
  g_state.infected_dir = std::string(1, drive) + ":\\BRINT\\INFECTED";
  g_settings.report_file.clear();
  g_settings.report_on = false;
  g_settings.append = true;
  if (read_server_state() == kReported) stop(kExitError);
  if (!g_settings.report_file.empty()) g_settings.report_on = true;
}

void list_areas() {
  if (g_state.area_count == 1) {
    outputf(true, "%s", msg::kOneAreaListed);
  } else {
    outputf(true, msg::kAreasListed, g_state.area_count);
  }
  for (const std::string& entry : areas::g_areas.entries) outputf(true, "%s\n", entry.c_str());
  outputf(true, "\n");
}

// The pass loop: one pass, or under -MU one per disk until the operator quits.
void run_passes() {
  build_pattern_index();
  if (g_settings.server_mode) {
    reset_pass_counters();
    server_loop();
  }
  int pass = 0;
  for (;;) {
    reset_pass_counters();
    if (g_settings.multiple_disks) {
      beep();
      const int breaks_before = host::break_count();
      console_printf("%s%s", pass == 0 ? msg::kPlaceFirst : msg::kPlaceNext, msg::kPlaceDiskRest);
      const int key = read_key_nonzero();
      console_printf("\n\n");
      // Esc, Ctrl-C (typed or as a break), or no console input left: no further disk.
      if (key == 27 || key == 3 || key < 0 || host::break_count() > breaks_before) {
        // The system closing the console ends the program as a quit, not as a normal end.
        if (host::terminate_requested()) poll_quit();
        break;
      }
    }
    out_set(g_settings.full_check ? msg::kFullHeadline : msg::kQuickHeadline, g_state.area_count,
            plural(g_state.area_count, "area", "areas"), g_state.virus_count,
            plural(g_state.virus_count, "virus", "viruses"));
    output(false);
    if (g_settings.multiple_disks) {
      outputf(false, msg::kOnDisk, pass + 1);
    } else {
      outputf(false, ".\n");
    }
    if (!g_settings.no_interrupting && !g_settings.super_silent) console_printf("%s", msg::kPressEsc);
    outputf(false, "\n");
    if (g_settings.multiple_disks && pass > 0) {
      // The master boot sectors are checked on the first disk only.
      for (std::string& entry : areas::g_areas.entries) {
        if (entry == "[*]") entry.clear();
      }
    }
    g_state.start_time = host::calendar_seconds();
    if (examine_areas() == kReported) stop(kExitError);
    print_summary(host::calendar_seconds() - g_state.start_time);
    ++pass;
    if (!g_settings.multiple_disks) break;
  }
  if (g_settings.multiple_disks) {
    outputf(true, msg::kDisksInTotal, pass, plural(pass, "disk was", "disks were"));
  }
}

// Ends the program after any of the three branches.
[[noreturn]] void end_program() {
  if (g_settings.report_on && finish_report_file() != 0) {
    console_printf(msg::kCouldNotWrite, g_settings.report_file.c_str());
    stop(kExitError);
  }
  if (g_settings.mail_results) send_mail();
  if (g_settings.day_file_on) write_day_file(g_settings.day_file);
  stop(g_state.exit_code);
}

}  // namespace

bool day_file_says_done(const std::string& path) {
  host::File f;
  if (host::open_file(path, host::kAccessRead, host::kShareRead | host::kShareWrite, host::kOpenExisting, f) != 0) {
    return false;
  }
  char bytes[kDayFileBytes];
  size_t got = 0;
  if (host::read_file(f, bytes, sizeof bytes, got) != 0 || got != sizeof bytes) return false;
  return g_state.start_timestamp.compare(0, kDayFileBytes, bytes, kDayFileBytes) == 0;
}

void write_day_file(const std::string& path) {
  host::File f;
  if (host::open_file(path, host::kAccessWrite, host::kShareNone, host::kCreateAlways, f) != 0) return;
  host::write_file(f, g_state.start_timestamp.data(), kDayFileBytes);
  host::close_file(f);
}

bool read_message_file(const std::string& path, std::vector<std::string>& lines) {
  lines.clear();
  host::File f;
  if (host::open_file(path, host::kAccessRead, host::kShareRead | host::kShareWrite, host::kOpenExisting, f) != 0) {
    return false;
  }
  std::string line;
  char buf[4096];
  bool at_end = false;
  while (!at_end) {
    size_t got = 0;
    if (host::read_file(f, buf, sizeof buf, got) != 0 || got == 0) break;
    for (size_t i = 0; i < got; ++i) {
      const char c = buf[i];
      if (c == kCtrlZ) {
        at_end = true;
        break;
      }
      if (c == '\r' || c == '\n') {
        if (!line.empty()) lines.push_back(line);
        line.clear();
        continue;
      }
      line += c;
      if (line.size() == kMessageLineMax) {
        lines.push_back(line);
        line.clear();
      }
    }
  }
  if (!line.empty()) lines.push_back(line);
  return true;
}

void print_summary(int64_t elapsed_seconds) {
  const Counters& c = g_counters;
  const int64_t elapsed = elapsed_seconds <= 0 ? 1 : elapsed_seconds;
  char files[96];
  std::snprintf(files, sizeof files, msg::kFilesAndKbytes, static_cast<long long>(c.files_checked),
                plural(c.files_checked, "file", "files"), static_cast<long long>(c.bytes_checked / 1024),
                static_cast<long long>((c.bytes_checked % 1024) * 10 / 1024));
  const int64_t minutes = elapsed / 60;
  const int64_t seconds = elapsed % 60;
  outputf(false, msg::kBrintedIn, files, static_cast<long long>(minutes), plural(minutes, "minute", "minutes"),
          static_cast<long long>(seconds), plural(seconds, "second", "seconds"));
  outputf(false, msg::kBytesPerSecond, static_cast<long long>(c.bytes_checked / elapsed));
  if (c.errors > 0) {
    outputf(false, msg::kErrorsEncountered, static_cast<long long>(c.errors),
            plural(c.errors, "error was", "errors were"));
    raise_exit_code(kExitError);
  }
  if (c.pattern_findings == 0 && c.identity_findings == 0) {
    outputf(false, "%s", msg::kNoViruses);
  } else {
    if (bring_to_front() != 0) beep();
    const int64_t found = c.pattern_findings + c.identity_findings;
    out_set(msg::kVirusesDiscovered, static_cast<long long>(found),
            plural(found, "virus pattern/identity was", "virus patterns/identities were"));
    out_append(msg::kFilesInfected, static_cast<long long>(c.infected_files), plural(c.infected_files, "file", "files"),
               static_cast<long long>(c.files_checked), plural(c.infected_files, "was infected", "were infected"));
    output(true);
    if (g_settings.remove_files) {
      outputf(true, msg::kRemovedDisabled, static_cast<long long>(c.files_removed),
              plural(c.files_removed, "file has", "files have"), static_cast<long long>(c.boot_disabled),
              plural(c.boot_disabled, "boot sector has", "boot sectors have"));
      if (c.files_not_removed > 0) {
        outputf(true, msg::kNotRemoved, static_cast<long long>(c.files_not_removed),
                plural(c.files_not_removed, "file", "files"));
      }
      if (c.boot_not_disabled > 0) {
        outputf(true, msg::kNotDisabled, static_cast<long long>(c.boot_not_disabled),
                plural(c.boot_not_disabled, "boot sector", "boot sectors"));
      }
      if ((c.files_removed > 0 || c.boot_disabled > 0) && c.files_not_removed == 0 && c.boot_not_disabled == 0) {
        outputf(true, "%s", msg::kAllRemoved);
      }
    }
    if (c.disinfections > 0) {
      console_printf("%s", msg::kRunAgain);
    } else if (g_settings.disinfect) {
      outputf(true, "%s", msg::kNotDisinfected);
    }
    std::vector<std::string> lines;
    if (read_message_file(g_settings.message_file, lines)) {
      for (const std::string& line : lines) outputf(true, "%s\n", line.c_str());
    } else {
      if (c.pattern_findings > 0) {
        outputf(true, "%s", msg::kSendSample);
        outputf(true, "%s", msg::kPostalAddress);
      }
      if (c.disinfections == 0) outputf(true, "%s", msg::kSupportContact);
    }
    show_alert_window();
    end_alert_collection();
    raise_exit_code(kExitVirus);
  }
  if (c.compressed_files > 0) {
    beep();
    outputf(true, msg::kCompressedWarning, static_cast<long long>(c.compressed_files),
            plural(c.compressed_files, "file", "files"));
    key_wait();
    raise_exit_code(kExitError);
  }
}

[[noreturn]] void program_main(const std::vector<std::string>& args) {
  // Start-up: the console window is found again when it is needed (bring to front).
  complete_special_system_files();
  reset_buffered_files();
  const int privilege = host::enable_backup_privilege();
  if (privilege != 0) console_printf(msg::kNoBackupPrivilege, privilege);

  const SplitResult split = split_command_line(build_command_line(args), g_state.tokens);
  if (split != SplitResult::kOk) {
    print_banner();
    console_printf("%s", split == SplitResult::kMismatchedQuote ? msg::kMismatchedQuote
                         : split == SplitResult::kTokenTooLong  ? msg::kCommandLineTooLong
                                                                : msg::kTooManyArguments);
    stop(kExitError);
  }

  g_counters.disinfections = 0;
  g_state.area_entries.clear();
  g_state.area_count = 0;
  std::string drive_message;
  if (host::init_drive_map(&drive_message) != 0) {
    console_printf("%s\n", drive_message.c_str());
    stop(kExitError);
  }
  g_state.current_drive = host::current_drive();
  g_settings.areas_drive = g_state.current_drive;
  const host::LocalTime now = host::local_time();
  g_state.start_timestamp = make_timestamp(now);
  g_state.start_year = now.year;
  prescan(g_state.tokens);
  if (!g_settings.super_silent) {
    print_banner();
    console_printf("%s", msg::kExamining);
  }
  fill_drive_types();
  g_state.temp_dir = choose_temp_dir();
  g_state.process_id = static_cast<uint16_t>(host::process_id() & 0xFFFF);
  g_state.temp_number = 0;
  if (!g_settings.no_boot_areas) pair_drives();

  const ParseResult parsed = parse(g_state.tokens);
  switch (parsed.status) {
    case ParseStatus::kOk:
      break;
    case ParseStatus::kBadQualifier:
      show_qualifier_list(kExitError);
    case ParseStatus::kBadDrive:
      outputf(true, msg::kBadDrive, g_state.tokens[parsed.token].c_str());
      end_process(kBadDrive);
    case ParseStatus::kTooManyAreas:
      console_printf("%s", msg::kTooManyAreas);
      stop(kExitError);
  }

  g_state.program_path = host::executable_path();
  if (g_state.program_path.empty()) {
    console_printf(msg::kCouldNotOpen, "ntbrint.exe");
    stop(kExitError);
  }
  g_state.program_dir = directory_of(g_state.program_path);

  if (!scheduled_today()) {
    if (!g_settings.super_silent) console_printf("%s", msg::kNotScheduled);
    stop(kExitClean);
  }

  arm_end_event();
  install_console_handler();
  if (!g_settings.super_silent) console_printf("%s", msg::kReadingData);
  poll_quit();
  reset_identity_engine();
  if (load_virus_data(g_settings.use_internal_patterns, g_state.program_path) != 0) stop(kExitError);
  if (g_settings.message_file.empty()) g_settings.message_file = g_state.program_dir + "BRINT.MSG";
  if (g_settings.server_mode) server_defaults();
  if (!g_settings.super_silent) print_date_lines();

  if (load_user_patterns() == kReported || build_area_list() == kReported || load_identity_files() == kReported) {
    stop(kExitError);
  }
  for (size_t i = 0; i < g_settings.pat_values.size(); ++i) {
    char label[48];
    std::snprintf(label, sizeof label, "Command line %zu", i);
    if (parse_command_line_pattern(g_settings.pat_values[i], label) == kReported) stop(kExitError);
    ++g_state.virus_count;
  }

  // The report sinks are set up also when reporting is off: server mode may name a log file later.
  if (open_report_file() == kReported) stop(kExitError);
  if (g_settings.mail_results && !g_settings.server_mode && open_mail_file() == kReported) stop(kExitError);
  if (g_settings.event_logging) {
    const int registered = register_event_source();
    if (registered == kReported) {
      outputf(true, "%s", msg::kRegistryWarning);
      g_settings.event_logging = false;
    } else if (registered == 27) {
      g_settings.event_logging = false;
    }
    if (g_settings.event_logging && !g_settings.errors_only_events) log_start_event();
  }

  if (g_settings.display_library) {
    const int listed = list_virus_library();
    if (listed == kQuit) raise_exit_code(kExitQuit);
    if (listed == kReported) raise_exit_code(kExitError);
  } else if (g_settings.display_areas) {
    list_areas();
  } else {
    run_passes();
  }
  end_program();
}

}  // namespace driver
