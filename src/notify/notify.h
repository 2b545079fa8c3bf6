// Logging and notification: the report file, the system event log, mail and the alert window.
//
// What the main line calls, in its order:
//   start-up, once the schedule check has passed:  arm_end_event()
//   step 28 (report file):                          setup_report()
//   step 29 (mail file):                            create_mail_file()
//   step 30 (event log):                            setup_event_log()
//   summary of a pass with findings:                alert_window(), then end alert collection
//   end step 1:                                     close_report_file()
//   end step 2:                                     finish_mail()
// The findings reports call log_event() (or finding_event()); server request processing
// calls log_event() and mail_text(); the server's own files use shared_open().
//
// setup_report() and create_mail_file() set the output sinks of driver/base/output.h, so
// that every output of the output routine also reaches the report file and the mail file;
// they and arm_end_event() set the stop hooks (report_close, mail_cleanup, end_event) of
// driver/base/stop.h. The report file and the mail file are text files: each line feed is
// written as a carriage return and a line feed.
//
// The printer "PRN" (the default report file name, -P alone): the report is collected in a
// private temporary file and handed to the default print queue with `lp` when the report
// file is closed (also by the stop routine). Without an `lp` program on PATH the report file
// cannot be opened: "Could not open file PRN" and exit code 2.
//
// State: g_notify below; reset_notify() closes and forgets everything (tests).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace notify {

// ---- Shared open with retry.
constexpr int kOpenAttempts = 100;      // a file still held by another process after this many
                                        // attempts is not opened (the caller reports it)
constexpr unsigned kOpenRetryMs = 60;   // pause between two attempts (about 6 seconds in all)

enum class StreamMode {
  kRead,    // "r": existing file, read
  kWrite,   // "w": create or truncate (truncated only once the lock is held), write
  kAppend,  // "a": open or create, write at the end
};
// Opens `name` with the mode and the sharing mode (host::kShareNone denies reading and
// writing to others). A sharing conflict is retried every kOpenRetryMs, at most
// kOpenAttempts attempts in all; any other failure returns at once. Result 0 with `out`
// open, or the NT error of the last attempt (32 after the attempts ran out). A plain
// access-denied (permissions) is not retried: only a conflict with another holder is.
int shared_open(std::string_view name, StreamMode mode, unsigned share, host::File& out);

// Writes `text` to a text file: each "\n" becomes "\r\n". 0 or the NT error.
int write_text(host::File& f, std::string_view text);

// ---- Report file.

// Step 28: sets the report sinks (the output routine then calls them for every output) and,
// when reporting is on, opens the report file (mode "a" with -A, else "w"), writes the
// header and, in server mode, closes it again. A file that cannot be opened prints "Could
// not open file %s" on the console, empties the name and stops with code 2; a failed header
// write prints "Could not write to file %s" and stops with code 2.
void setup_report();
// Ensure open: opens the report file in append mode when it is not open, reporting or
// server mode is on and the name is not empty; a failure stops as above. (The
// report_prepare sink.)
void ensure_report_open();
// End step 1: ensure open, "End of BRINT." and a form feed, close (a printer report goes to
// the print queue). When reporting is off and no report file is open, nothing happens. A
// failure prints "Could not write to file %s" and stops with code 2.
void close_report_file();
// The stop routine's step: closes the report file if still open, writing nothing more.
void drop_report_file();
// The header lines: banner, issue line, system time line and (when the command line has
// arguments) the qualifiers line, with a -MI= password shown as "*".
std::string report_header();
// The qualifiers line for the arguments (tokens after the program name), or "" for none.
std::string qualifiers_line(const std::vector<std::string>& tokens);

// ---- Event log.
constexpr int kEventError = 1;
constexpr int kEventInformation = 4;
constexpr int kCategoryVirus = 1;
constexpr int kCategoryInfo = 3;
constexpr uint32_t kIdFound = 0xC0000004;
constexpr uint32_t kIdStarted = 0xC0000005;
constexpr uint32_t kIdServerStarted = 0xC0000006;
constexpr uint32_t kIdClean = 0xC0000007;
constexpr uint32_t kIdInterrupted = 0xC0000008;
constexpr uint32_t kIdViruses = 0xC0000009;
constexpr uint32_t kIdServerStopped = 0xC000000A;
constexpr uint32_t kIdErrors = 0xC000000B;

// Registers the event source: 0 registered (or need not be: remote logging is on, or the
// key exists but cannot be written), -2 when the registry cannot be used, 27 when the
// program runs from a floppy drive. Writes EventMessageFile, CategoryMessageFile,
// TypesSupported (7) and CategoryCount (3) under the source key.
int register_source();
// Logs one event locally (always) and, when remote logging is on and the event is not the
// scan start, also on the remote machine. A remote name that does not resolve writes
// "Machine '%s' does not exist; ..." (important) once and switches remote logging off.
// Result 1 when the local event was written, 0 otherwise (callers may ignore it).
int log_event(int type, int category, uint32_t id, const std::vector<std::string>& strings);
// A finding: error event 0xC0000004, category 1, with the word, the virus name and the
// location text. Does nothing when event logging is off.
void finding_event(std::string_view word, std::string_view virus, std::string_view location);
// The message text of an event id with its insertion strings filled in ("" for unknown ids).
std::string event_message(uint32_t id, const std::vector<std::string>& strings);
// Start event (normal run: 0xC0000005 with the area text; server: 0xC0000006 with the name).
void start_event();
// End event by exit code (0 -> 0xC0000007, 1 -> ...08, 2 -> ...0B, 3 -> ...09, other:
// nothing); server mode 0xC000000A with the server name whatever the code.
void end_event(int exit_code);
// Step 30: when event logging is on, registers the source (-2: the registry warning as an
// important output, event logging off; 27: off without a message), then logs the start
// event unless -QE.
void setup_event_log();
// Sets the stop routine's end-event hook (logs the end event when event logging is on and
// -QE is not given) and notes the program's start time, the base of the elapsed text of an
// end event before the first pass. Called once the qualifiers are parsed and the program is
// scheduled to run: a stop before that logs no end event.
void arm_end_event();
// "\r\n" then each area entry followed by "\r\n".
std::string area_text(const std::vector<std::string>& areas);
// "%d %s and %d %s" of minutes and seconds.
std::string elapsed_text(int64_t seconds);

// ---- Mail.
constexpr int kMailLog = 1;    // the run's log (end of the program)
constexpr int kMailAlert = 2;  // a server-mode alert
// Step 29: when mail results is on and server mode is off, creates the private temporary mail
// file, writes the mail header and sets the mail sink and the stop routine's mail clean-up.
// Failure: "Could not open temporary mail file." on the console, stop with code 2.
void create_mail_file();
// End step 2: closes the mail file and sends it (kind 1) with the -MI account and password.
void finish_mail();
// Sends a mail with the file `path` attached as "br_log.txt". 0 sent, -2 after a failure
// it has reported ("Could not initialise MAPI.", "Could not logon to mail.", "Could not
// send mail.", not important outputs).
int send_mail(std::string_view path, std::string_view account, std::string_view password, int kind);
// Writes `text` into a new private temporary file, sends it (`kind`) with the -MI account and
// password, deletes the file. 0 or -2 (reported).
int mail_text(std::string_view text, int kind);
// The note text of a mail of `kind` at the given local time.
std::string mail_note(int kind, const host::LocalTime& t);
// The stop routine's step: closes and deletes the mail file if it exists.
void mail_cleanup();

// ---- Alert window.
// Beeps (bell on), shows the alert text in a message box titled "BRINT Alert!" (key wait
// on), prints it with "\n" on the console and empties it. Nothing at all when it is empty.
void alert_window();

// ---- State.
struct ReportState {
  host::File file;             // the open report file (or printer spool file)
  bool printer = false;        // the open file is the spool of the printer "PRN"
  std::string spool_name;      // host path of the printer spool file
  std::string lp_program;      // the print program found on PATH
};
struct MailState {
  host::File file;             // the open mail file
  std::string name;            // host path of the mail file; empty when none exists
};
struct EventState {
  int64_t program_start = 0;   // calendar second noted by arm_end_event()
  // The area list entries for the area text; set by the main line (empty: no entries).
  std::function<std::vector<std::string>()> area_entries;
};
struct NotifyState {
  ReportState report;
  MailState mail;
  EventState events;
};
extern NotifyState g_notify;
// Closes the report and mail files without writing, deletes the mail file, forgets all.
void reset_notify();

}  // namespace notify
