// Wardenline server mode: the communications directory and its request files, request
// processing, the settings file "BRINTWL.INI" and the result file "BRINTWL.RES".
//
// What the main line calls:
//   start-up, server mode only:   read_server_state()   defaults, then the settings file
//   the run, server mode only:    server_loop()         never returns
// read_server_state() also sets the stop routine's server clean-up (server_cleanup()): the
// "unloaded" line, deleting the result file and removing the marker file "wl.sta".
//
// The loop is split so that tests drive it step by step: server_start() once, then
// poll_pass() / pause() / status_cycle() as the loop does. Everything a client writes
// (request records, names, report texts) is hostile input: every field is read within the
// bytes actually read, client texts have their control characters turned into blanks, and
// client values reach the command interpreter only quoted for the shell.
//
// State: g_server below; reset_server() puts every value back to its start (tests).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace server {

// ---- Request and answer records.
constexpr size_t kRequestReadMax = 400;     // bytes of a request file that are read
constexpr size_t kRequestMinTaken = 109;    // a shorter request file is not taken up
constexpr size_t kRequestMinValid = 38;     // a shorter one is rejected as corrupted
constexpr size_t kStationOffset = 8;        // station (node) name, 64 bytes
constexpr size_t kStationSize = 64;
constexpr size_t kStationEnd = 72;          // forced to zero
constexpr size_t kClientKindOffset = 73;    // signed 16-bit: 1 = the DOS edition
constexpr size_t kRequestCodeOffset = 75;   // signed 16-bit request code
constexpr size_t kOldNameOffset = 109;      // file name of a check from client 1.0 / 1.1
constexpr size_t kNameOffset = 117;         // file name of a check from any other client
constexpr size_t kReportTypeOffset = 109;   // client report: signed 16-bit type
constexpr size_t kReportTextOffset = 111;   // client report: the text
constexpr size_t kAnswerHeaderSize = 38;
constexpr size_t kAnswerBodySize = 19;
constexpr size_t kAnswerSize = kAnswerHeaderSize + kAnswerBodySize;  // 57
constexpr size_t kAnswerNameSize = 17;      // virus name field, at most 16 characters + zero

constexpr int kCodeCheckFile = 1;
constexpr int kCodeCheckBoot = 2;
constexpr int kCodeClientReport = 3;

constexpr int kMaxClientMajor = 1;  // versions above 1.2 are refused
constexpr int kMaxClientMinor = 2;

// The 57-byte answer record for a result (0 clean, 1 virus) and a virus name (cut at 16).
std::vector<uint8_t> build_answer(int result, std::string_view virus_name);
// Fills the checksum field (bytes 4..7) of a request record: the keyed checksum under the
// request key over all its bytes with that field taken as zero. Used by clients and tests.
void seal_request(std::vector<uint8_t>& record);
// Whether an answer record is whole and its checksum right; result and name when it is.
bool check_answer(const uint8_t* data, size_t size, int& result, std::string& virus_name);

// ---- Settings and result files: key tables.
enum class ValueType { kOnOff, kInteger, kText, kChoice, kLong };

struct KeyEntry {
  const char* key = nullptr;         // the key text; nullptr ends a table
  bool before_sections = true;       // applied in lines before the first section header
  bool reread = true;                // read again when the file changes (else at start only)
  ValueType type = ValueType::kText;
  std::string* text = nullptr;       // kText
  int32_t* number = nullptr;         // kOnOff, kInteger, kChoice
  int64_t* wide = nullptr;           // kLong
  const char* alternatives = nullptr;  // kChoice: words separated by "|"
};

enum Removal : int32_t { kNoAction = 0, kCopy = 1, kDelete = 2 };
enum Level : int32_t { kFull = 0, kQuick = 1 };

// The settings table (BRINTWL.INI) and the result table (BRINTWL.RES), bound to g_server,
// driver::g_settings and driver::g_counters; rebuilt on each call.
std::vector<KeyEntry> settings_table();
std::vector<KeyEntry> result_table();

// Applies one value text to an entry's variable by its type; values that do not convert
// leave the variable unchanged.
void apply_value(const KeyEntry& entry, std::string_view value);
// The value text of an entry as it is written.
std::string value_text(const KeyEntry& entry);

// Reads a settings file: 0, or -1010 when it cannot be opened.
int read_settings(std::string_view path, std::string_view section, const std::vector<KeyEntry>& table,
                  bool reread_only);
// Writes "KEY=VALUE\r\n" lines (after "[section]" and two line ends when a section is
// given). 0, or -2 on a write failure.
int write_values(host::File& f, std::string_view section, const std::vector<KeyEntry>& table);
// Change-detection checksum of the values under the state file key.
uint32_t value_checksum(const std::vector<KeyEntry>& table);
// Re-reads the settings file when its attributes, time stamp or size changed.
void reload_settings_if_changed(bool reread_only);

// ---- Logging and fatal errors.
enum class Info { kLoaded, kUnloaded, kStarted, kStopped, kZeroed };
void log_info(Info event);
// Writes `text` through the output routine when ReportingLevel is at least `level`.
void log_at_level(int level, const std::string& text);
// The fatal server error: its message (from ReportingLevel 3), the marker file removed,
// the program stopped with exit code 2. Code 0 stops without a message.
[[noreturn]] void fatal_error(int code, std::string_view text);
// The current local time as the 24-character standard time text ("Thu Dec 10 01:19:53 2026").
std::string time_text();

// ---- Driver entry points.
// Start-up: defaults, the settings file read with all keys, the stop hook. Returns 0.
int read_server_state();
// The server loop; never returns (the program ends through the stop routine).
[[noreturn]] void server_loop();
// The stop routine's step: "unloaded" line, result file deleted, marker removed.
void server_cleanup();

// ---- The loop in steps.
void server_start();    // the start of the loop: marker, stale requests, pending answers
void poll_pass();       // one poll pass: activity switch, zeroing, expiry, up to 74 requests
void pause();           // the pseudo-random pause between passes
void status_cycle();    // status line, quit checks, result file, settings file
void clamp_pause_bounds();
int poll_count();       // passes in about five seconds of pauses (after clamping)
int pause_length();     // advances the generator; the next pause in milliseconds

// ---- Communications directory.
// Path "dir\BASE.EXT" in the communications directory.
std::string comms_path(std::string_view base, std::string_view ext);
// The base name of a listed name "B" + ext, or "" when the name is not exactly that with B
// free of "." and path separators.
std::string base_of(std::string_view name, std::string_view ext);
void delete_stale_requests();
// The base name of the oldest ready request, or "" when there is none.
std::string select_request();
void handle_request(const std::string& base);
void discard_request(const std::string& base);
void add_pending(const std::string& base);
void expire_answers();
bool is_pending(std::string_view base);
void create_marker();
void remove_marker();

// ---- Request processing.
// Codes 1 and 2: checks B.SRC; 1 when the request is to be discarded, 0 when answered.
// `request` is the zero-filled buffer (kRequestReadMax + 1 bytes), `got` the bytes read.
int check_source(const std::string& base, const std::vector<uint8_t>& request, size_t got,
                 const std::string& user);
void log_client_report(const std::vector<uint8_t>& request, size_t got, const std::string& user);
// Lays a client report text out: leading blanks and line ends skipped, a tab first, CRs
// dropped, prefix and tab after inner line feeds, control characters as blanks, 255 at most.
std::string lay_out_report(std::string_view text, std::string_view prefix);
// The copy name for a shown file name: its base, letters, digits and "_-$~" kept, others
// "_", "FILE" when empty.
std::string copy_name_of(std::string_view shown_name);
// Copies `source` to the infected directory as NAME.nnn: 0 with `target`, or non-zero with
// the name it tried.
int copy_to_infected(const std::string& source, const std::string& name, std::string& target);
// "compressed file (NAME) " for a compressed source, else "" (counts the compressed file).
std::string compression_note(const std::string& source);
// Control characters (below 0x20 and 0x7F) of a client text as blanks.
std::string clean_client_text(std::string_view text);

// ---- State.
struct PendingAnswer {
  std::string base;    // base name of the request whose answer was written
  int64_t expiry = 0;  // calendar second from which the answer and request are deleted
};

struct ServerState {
  // Settings (BRINTWL.INI).
  int32_t active = 1;               // WardenlineServerActive
  std::string infected_dir;         // InfectedDirectory (start only)
  std::string comms_dir;            // CommsDirectory (start only)
  int32_t min_time = 1000;          // MinTime, milliseconds
  int32_t max_time = 3000;          // MaxTime, milliseconds
  int32_t reporting_level = 6;      // ReportingLevel
  int32_t broadcast_level = 6;      // BroadcastLevel (kept, unused)
  int32_t removal_mode = kNoAction; // RemovalMode
  int32_t brint_level = kQuick;     // BrintLevel
  int32_t expand_compressed = 0;    // ExpandCompressedFiles
  int32_t warn_compressed = 0;      // WarnIfCompressed
  int32_t zero_counters = 0;        // ZeroCounters
  std::string ping;                 // PingServer, comes back as Pong
  std::string command_on_virus;     // CommandOnVirus
  std::string command_get_username; // CommandGetUsername
  int32_t quit = 0;                 // QuitBRINT
  // Result values (BRINTWL.RES) besides the settings and the counters.
  std::string os_name = "NT";
  std::string version = "2.77";
  std::string date_produced = "950901";
  int32_t time_date_of_ini = 0;     // DOS time << 16 | DOS date of the settings file, signed
  std::string last_file_checked, last_file_checked_user, last_file_checked_time, last_file_checked_nic;
  std::string last_file_compressed;
  std::string last_virus_name;
  int32_t last_virus_action = kNoAction;
  std::string last_virus_file, last_virus_user, last_virus_time, last_virus_nic;
  std::string node_server_with_comms;  // NodeServerWithCommsDirectory
  int32_t counters_zeroed = 0;      // CountersZeroed
  // Loop state.
  int32_t remembered_active = 1;    // WardenlineServerActive as last acted on
  std::vector<PendingAnswer> pending;  // answers written and not yet expired
  int pass_counter = 0;             // passes since the poll count was last computed
  int polls = 0;                    // the poll count
  uint8_t generator[8]{};           // pause generator state, zero at start, never seeded
  uint32_t ini_fingerprint = 0xFFFFFFFFu;   // of the settings file at its last good read
  uint32_t result_checksum = 0xFFFFFFFFu;   // of the values at the last good result write
  bool settings_read_once = false;  // the first read applies every key
  host::File marker;                // "wl.sta", held open while active
  bool marker_open = false;
  unsigned command_delay_ms = 2000; // wait before CommandOnVirus runs
};
extern ServerState g_server;
void reset_server();

}  // namespace server
