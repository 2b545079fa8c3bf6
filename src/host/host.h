// The host layer: the Windows NT services the program uses, mapped onto Linux.
//
// Everything the program asks of "the system" goes through the functions declared here:
// the drive map and raw sectors, NT paths, files with sharing modes, the directory search,
// the console, the environment, local time, the system directory (registry, event log),
// mail and the command interpreter. Nothing outside src/host/ includes an operating-system
// header. Results follow the program's convention: 0 for success, otherwise the NT error
// code (never errno). Nothing in this layer knows about viruses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// NT error codes the layer produces (errno is mapped onto these, anything unknown is 31).
constexpr int kErrInvalidFunction = 1;
constexpr int kErrFileNotFound = 2;
constexpr int kErrPathNotFound = 3;
constexpr int kErrTooManyOpenFiles = 4;
constexpr int kErrAccessDenied = 5;
constexpr int kErrNotEnoughMemory = 8;
constexpr int kErrNoMoreFiles = 18;
constexpr int kErrWriteProtect = 19;
constexpr int kErrNotReady = 21;
constexpr int kErrCrc = 23;
constexpr int kErrInvalidDrive = 15;
constexpr int kErrSectorNotFound = 27;
constexpr int kErrGenFailure = 31;
constexpr int kErrSharingViolation = 32;
constexpr int kErrFileExists = 80;
constexpr int kErrInvalidParameter = 87;
constexpr int kErrDiskFull = 112;
constexpr int kErrFilenameTooLong = 206;
constexpr int kErrUnrecognizedVolume = 1005;
constexpr int kErrNoneMapped = 1332;      // no account name for a user id
constexpr int kErrRpcServerUnavailable = 1722;

constexpr size_t kMaxPath = 260;  // longer names and host paths fail with kErrFilenameTooLong

// The NT error code for a host errno value: ENOENT 2, ENOTDIR 3, EMFILE/ENFILE 4,
// EACCES/EPERM/EISDIR 5, ENOMEM 8, EROFS 19, EIO 23, EWOULDBLOCK (a lock conflict) 32,
// EEXIST 80, EINVAL 87, ENOSPC/EDQUOT 112, ENAMETOOLONG 206, 0 for 0, anything else 31.
// (ENOENT becomes 3 where a directory on the way is missing; the file functions decide.)
int nt_error(int errnum);

// ---------------------------------------------------------------------------------------
// Drives. The map comes from BRINT_DRIVES (default "C=/"), read once by init_drive_map().

enum DriveType : int {  // numbered as the program's drive type list numbers them
  kDriveNone = 0,
  kDriveFloppy = 1,
  kDriveFixed = 2,
  kDriveNetwork = 3,
  kDriveCdrom = 4,
  kDriveRamdisk = 5,
  kDriveRemovable = 6,
};

// One drive letter of the map.
struct DriveEntry {
  char letter = 0;             // 'A'..'Z'
  int type = kDriveFixed;      // DriveType
  std::string root;            // host directory holding the drive's files; empty for "-"
  std::string device;          // host file or block device holding its raw sectors; empty: none
  uint64_t device_offset = 0;  // byte offset of the drive's sector 0 in `device`
};
// One PHYSICALDRIVEn of the map.
struct PhysicalEntry {
  int number = 0;              // n, 0..49
  std::string device;          // host file or block device holding the disk's sectors
  uint64_t device_offset = 0;  // byte offset of sector 0 in `device`
};
struct DriveMap {
  std::vector<DriveEntry> drives;       // in the order of the map text
  std::vector<PhysicalEntry> physical;  // in the order of the map text
};
extern DriveMap g_drive_map;  // the map in force; set by init_drive_map

constexpr int kMaxPhysicalDrive = 49;  // PHYSICALDRIVE0..49 are tried; a higher n is refused

// Parses a map text in the BRINT_DRIVES grammar into `out`. Returns 0, or -2 with
// `message` set to "Fatal error: Bad drive map entry ..." naming the entry and the fault.
// A drive ROOT is made canonical (symbolic links on its way resolved) when it exists.
int parse_drive_map(std::string_view text, DriveMap& out, std::string* message);
// The map entry of drive letter (either case), or nullptr when it is not mapped.
const DriveEntry* find_drive(char letter);
const PhysicalEntry* find_physical_drive(int n);

// Reads BRINT_DRIVES (or takes "C=/"). Returns 0, or -2 with `message` set to a line that
// names the bad entry (the caller prints it and ends with exit code 2). Calling it again
// re-reads the environment (tests).
int init_drive_map(std::string* message);
// Type of drive letter 'A'..'Z' (either case); kDriveNone when not mapped.
int drive_type(char letter);
// True when PHYSICALDRIVEn is in the map.
bool physical_drive_present(int n);

// ---------------------------------------------------------------------------------------
// Raw devices: "\\.\X:" and "\\.\PHYSICALDRIVEn", sectors at 64-bit byte offsets.

constexpr uint32_t kSectorSize = 512;  // bytes per sector of every device

// An open raw device. Owns the descriptor of the drive's DEVICE (if it has one).
struct Device {
  int fd = -1;                // host descriptor of the DEVICE; -1 when the drive has none
  bool is_open = false;       // the device name opened (also without a DEVICE)
  int drive_type = kDriveNone;
  uint64_t offset = 0;        // byte offset of sector 0 in the DEVICE
  uint64_t size = 0;          // bytes of the DEVICE from `offset` on
  unsigned access = 0;        // Access flags asked for; 0 opens "without access rights"
  bool writable = false;      // the DEVICE accepts writes
  int missing_error = kErrInvalidFunction;  // NT error of every access without a DEVICE
  Device() = default;
  ~Device();
  Device(Device&& other) noexcept;
  Device& operator=(Device&& other) noexcept;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
};

// Opens "\\.\X:" or "\\.\PHYSICALDRIVEn" ("/" also accepted as separator; letters and
// the word in either case). Returns 0 when the drive is in the map, else 2.
int open_device(std::string_view name, unsigned access, Device& out);
int close_device(Device& d);
// Transfers n bytes at byte `offset` (both whole sectors). 0, or 21/1 (no DEVICE), 5 (no
// access rights), 19 (write to a read-only DEVICE), 27 (past the end), 87 (not whole
// sectors), or the NT error of the host call. Nothing is promised about the buffer on failure.
int read_device(Device& d, uint64_t offset, void* buf, size_t n);
int write_device(Device& d, uint64_t offset, const void* buf, size_t n);

// The DISK_GEOMETRY record.
struct DiskGeometry {
  int64_t cylinders = 0;
  uint32_t media_type = 0;          // NT MEDIA_TYPE: floppies 1-10, 11 removable, 12 fixed
  uint32_t tracks_per_cylinder = 0;
  uint32_t sectors_per_track = 0;
  uint32_t bytes_per_sector = 0;
};
int device_geometry(Device& d, DiskGeometry& g);
// The media-types request: 0 for a floppy drive (it answers), 1 for every other drive.
int device_media_types(Device& d);

struct DriveSpace {
  uint32_t total_clusters = 0;
  uint32_t free_clusters = 0;
  uint32_t bytes_per_sector = 0;
  uint32_t sectors_per_cluster = 0;
};
// The free-space query of drive `letter`'s root: 0, 1005 (DEVICE without a plausible FAT
// boot sector), 21 (no medium, or neither DEVICE nor ROOT), 3 (not mapped), or the error
// of reading sector 0.
int drive_space(char letter, DriveSpace& out);
// Bytes per sector, sectors per cluster and total clusters from a FAT boot sector; 0 or
// 1005 when the BPB is not plausible. free_clusters is 0.
int parse_bpb(const uint8_t* sector, size_t n, DriveSpace& out);

// ---------------------------------------------------------------------------------------
// Paths and names.

// CharUpperA on this host: only ASCII a-z change; bytes >= 0x80 stay.
inline char upper_char(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
std::string upper(std::string_view s);
// Upper-cases `n` bytes at `p` in place, as upper_char does each (eight at a time).
void upper_in_place(char* p, size_t n);

// The current drive letter ('C') and directory ("C:\SOME\DIR", no trailing "\" but for
// the root "C:\"), from the host working directory and the drive map.
char current_drive();
std::string current_directory();
// GetFullPathName: an NT full path with "\" separators made from `path` (drive form,
// "\DIR" form, relative form). Returns 0, or an NT error when no full path can be made
// (drive not mapped, working directory on no drive for a relative path, too long).
int full_path_name(std::string_view path, std::string& out);
// Full path of the running executable (NT form when it lies on a drive, else the host
// absolute path). Empty when it cannot be found.
std::string executable_path();

// ---------------------------------------------------------------------------------------
// Files. Paths are NT paths (any of the forms of full_path_name, or a host absolute path).

enum Access : unsigned { kAccessRead = 1, kAccessWrite = 2 };
enum Share : unsigned { kShareNone = 0, kShareRead = 1, kShareWrite = 2 };
enum Disposition : int {
  kOpenExisting,      // fails with 2/3 when missing
  kCreateAlways,      // create or truncate
  kCreateNew,         // fails with 80 when it exists
  kOpenAlways,        // open or create
  kTruncateExisting,  // open and truncate, fails when missing
};

// An open host file. Owns its descriptor; closing happens in the destructor or close_file.
struct File {
  int fd = -1;  // host descriptor, -1 when closed
  // What the layer learned of the file, so that asking for it again costs no system call.
  // `known`: the status (kind, identity, size, time) was taken. open_file takes it at once,
  // except for a file opened for reading only through the directory's last listing, which
  // gave it as a regular file on a file system where a short read ends a file: its status
  // stays `status_pending` until something needs it (file_status), and its first positioned
  // read settles its size when the file ends within that read. Until the status is taken or
  // the size settled, no read moves through the file as a stream: a name replaced since the
  // listing by a FIFO or a device is refused (5) before anything is taken from it.
  bool known = false;
  bool status_pending = false;
  bool size_known = false;    // size_at_open holds the size
  bool regular = false;       // a regular file (when `known`, or once the size was settled)
  uint64_t device = 0;        // identity: device of the file system (when `known`)
  uint64_t inode = 0;         // identity: file number on it (when `known`)
  uint64_t size_at_open = 0;  // size when it was opened (when `size_known`)
  int64_t mtime_at_open = 0;  // last-write time (calendar seconds) when it was opened (when `known`)
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool is_open() const { return fd >= 0; }
};

int open_file(std::string_view path, unsigned access, unsigned share, Disposition disposition, File& out);
// Takes the status of `f` unless it was taken already (see File). 0; 5 for a file opened
// with its status pending that turns out not to be a regular file (every read of it then
// fails with 5 too); or the NT error.
int file_status(File& f);
// Reads up to n bytes; `got` is what was read (0 at the end of the file).
int read_file(File& f, void* buf, size_t n, size_t& got);
// One read of up to n bytes (retried only when a signal interrupts it): at the current
// position, or at `offset` without moving the position (read_some_at). A short count is not
// the end of the file unless it is 0. 0 or the NT error.
int read_some(File& f, void* buf, size_t n, size_t& got);
int read_some_at(File& f, void* buf, size_t n, uint64_t offset, size_t& got);
int write_file(File& f, const void* buf, size_t n);
// whence: 0 from the start, 1 from the current position, 2 from the end.
int seek_file(File& f, int64_t offset, int whence, uint64_t* new_position);
int file_size(File& f, uint64_t& size);
int close_file(File& f);
int delete_file(std::string_view path);
int rename_file(std::string_view from, std::string_view to);
int create_directory(std::string_view path);
// Attributes: 0x10 directory, 0x01 read-only (owner cannot write), 0x20 archive.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
int get_attributes(std::string_view path, uint32_t& attributes);
int set_attributes(std::string_view path, uint32_t attributes);
bool file_exists(std::string_view path);
// DOS date and time of a calendar second in local time, clamped to 1980-01-01 00:00:00 ..
// 2107-12-31 23:59:58.
void dos_date_time(int64_t seconds, uint16_t& date, uint16_t& time);
// Attributes of a host file mode (st_mode bits).
uint32_t attributes_of(uint32_t mode);

// ---------------------------------------------------------------------------------------
// Directory search (find-first/find-next). "." and ".." come first for every directory but
// a drive's root, then the entries sorted by their upper-cased names.

struct FindData {
  std::string name;       // upper-cased name; the host spelling when another name differs only in case
  std::string host_name;  // exact host spelling (opens the file even when names differ in case)
  uint32_t attributes = 0;
  uint16_t dos_date = 0;  // last-write date, DOS format, local time
  uint16_t dos_time = 0;
  uint64_t size = 0;
  // False for a regular file listed without asking for its status (see find_first): then
  // attributes is kAttrArchive alone and the date, time and size are not known here; the
  // file's own, taken when it is opened, stand for them.
  bool details = true;
};

struct FindHandle {
  std::vector<FindData> entries;  // the listing, taken at find_first
  size_t next = 0;                // index of the entry find_next returns
  uint64_t listing = 0;           // which of the host's listings it holds
};

// `pattern` is a directory path followed by a name pattern with * and ? ("C:\DOS\*.*").
// Returns 0 with the first match, kErrNoMoreFiles (18) when nothing matches, or an NT error.
// The directory record of one named file or directory (symbolic links and special files
// are "not found", 2). Returns 0 or the NT error.
int file_info(std::string_view path, FindData& out);

// Without `file_details`, a regular file that the directory itself gives as one is listed
// without its status (FindData::details false), saving a system call per file for a caller
// that opens the file anyway and takes its details from there.
int find_first(std::string_view pattern, FindHandle& handle, FindData& out, bool file_details = true);
int find_next(FindHandle& handle, FindData& out);
// The same entry where the listing holds it, without a copy; nullptr when none is left.
const FindData* find_next_entry(FindHandle& handle);
// Entry `index` of the listing (nullptr past its end), taken as find_next_entry takes the
// next one: a file opened by the name it gives, right after, opens the quickest way.
const FindData* take_entry(const FindHandle& handle, size_t index);
// The records of `directory` (an NT path; "X:" is the drive's current directory) whose
// names match `pattern`, in find order. Results as find_first.
int list_directory(std::string_view directory, std::string_view pattern, std::vector<FindData>& out,
                   bool file_details = true);
// True when `name` matches the find-first `pattern` ("*.*", "*.EXE", "FOO?.C", "*.").
bool name_matches(std::string_view pattern, std::string_view name);

// ---------------------------------------------------------------------------------------
// Console: standard output (buffered) and the keys of standard input.

// State of the key reader; reset_console_io() puts it back (tests) and zeroes the break
// counter and the terminate flag.
struct ConsoleIo {
  int pending_scan = -1;  // scan code still to give after a prefix code (0 or 224), or -1
  int pushed_back = -1;   // a script byte read by console_key_available, or -1
  bool at_end = false;    // standard input reached its end: every read gives -1
  int input_kind = -1;    // standard input: -1 not asked yet, 0 none, 1 a script, 2 a terminal
  int64_t quiet_until = 0;  // a terminal that had no key is not asked again before this time
};
extern ConsoleIo g_console_io;
void reset_console_io();

// Appends to standard output's buffer; a text holding "\r" is flushed at once.
void console_write(std::string_view text);
void console_flush();
// True when a key can be read without waiting (a script's next byte counts as waiting).
bool console_key_available();
// The next key's code, waiting for it on a terminal; -1 at the end of input or with none.
int console_read_key();
// True when standard input is a terminal (keys are typed), false for a script or none.
bool console_input_is_terminal();
// Drops keys typed ahead on a terminal; a script's bytes are never dropped by this.
void console_discard_typeahead();
// Installs the SIGINT/SIGQUIT/SIGTERM/SIGHUP handlers that count breaks; restore puts the
// default handling back.
void install_break_handler();
void restore_break_handler();
int break_count();         // Ctrl-C, Ctrl-\ (our Ctrl-Break), SIGTERM and SIGHUP seen since install
void reset_break_count();
bool terminate_requested();  // SIGTERM or SIGHUP seen: stop at the next poll even under -NI
void beep(unsigned frequency_hz, unsigned duration_ms);  // BEL to the controlling terminal
void message_beep();
bool bring_to_front();  // true when standard output is the controlling terminal
void message_box(std::string_view title, std::string_view text);

// ---------------------------------------------------------------------------------------
// Environment, time, process.

// TMP (TMP, TMPDIR, /tmp), USERNAME (USERNAME, USER, account of the real uid), anything
// else as it is. Empty optional when unset.
std::optional<std::string> get_env(std::string_view name);

struct LocalTime {
  int year = 0;     // full year, e.g. 2026
  int month = 0;    // 1-12
  int day = 0;      // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 0;  // 0 = Sunday
};
LocalTime local_time();
// The account name of user id `uid`, empty when the system has none.
std::string account_name(uint32_t uid);
int64_t calendar_seconds();  // time(nullptr)
void sleep_ms(unsigned milliseconds);
uint32_t process_id();
std::string computer_name();  // host name up to its first dot, upper-cased
int set_priority_high();      // nice -10; a refusal is ignored (returns the NT error)
int set_priority_low();       // nice 19
int enable_backup_privilege();  // always succeeds on this host
// The system directory (BRINT_SYSTEM, /var/lib/brint for root, else the XDG state dir).
std::string system_directory();

// =======================================================================================
// Notification and removal services: the registry and event log of the system directory,
// the remote event log, mail through a sendmail-compatible program, running a program,
// private temporary files, and acting on one file through one handle (identity, attributes,
// ownership, unlinking the very file that was opened). Implemented in host_notify.cpp.

// ---- Registry (HKEY_LOCAL_MACHINE). A key such as "SYSTEM\CurrentControlSet\Services" is
// a directory under <system directory>/registry/HKEY_LOCAL_MACHINE/, its values one file
// `values` of lines NAME=TYPE:DATA.

// Creates the key and its parents, or opens it when it exists. 0; kErrAccessDenied when
// the system directory cannot be written; kErrInvalidParameter for an empty key or a
// component that is "." or ".." or holds "/".
int registry_create_key(std::string_view key);
// 0 when the key exists and can be read; kErrFileNotFound when it does not.
int registry_open_key(std::string_view key);
// Sets NAME to TYPE:DATA, replacing an earlier value of that name (the file is rewritten
// and renamed into place). 0, kErrInvalidParameter for a name holding "=" or a line break
// or data holding a line break, kErrFileNotFound for a missing key, or an NT error.
int registry_set_value(std::string_view key, std::string_view name, std::string_view type,
                       std::string_view data);
// `out` = "TYPE:DATA" of NAME. 0, or kErrFileNotFound when the key or the value is missing.
int registry_get_value(std::string_view key, std::string_view name, std::string& out);

// ---- Event log.
struct EventRecord {
  std::string source;                // event source, e.g. "NTBrint"
  int type = 4;                      // 1 error, 2 warning, 4 information
  int category = 0;                  // category number of the source's message file
  uint32_t id = 0;                   // event identifier, e.g. 0xC0000004
  std::vector<std::string> strings;  // insertion strings, in order
  std::string message;               // the message text with %1..%n filled in
};
// Appends the record as one JSON object to <system directory>/eventlog/Application.jsonl
// (under an exclusive lock) and sends it to syslog(3) with ident "NTBrint" (type 1 at
// LOG_ERR, others at LOG_INFO). 0, or the NT error of the JSON log (syslog cannot fail).
int report_event(const EventRecord& record);

// A remote event log: RFC 5424 syslog messages over UDP. Owns its socket.
struct RemoteEventLog {
  int fd = -1;                    // UDP socket, -1 when closed
  std::vector<uint8_t> address;   // the resolved socket address, as the system stores it
  RemoteEventLog() = default;
  ~RemoteEventLog();
  RemoteEventLog(RemoteEventLog&& other) noexcept;
  RemoteEventLog& operator=(RemoteEventLog&& other) noexcept;
  RemoteEventLog(const RemoteEventLog&) = delete;
  RemoteEventLog& operator=(const RemoteEventLog&) = delete;
};
constexpr int kRemoteEventPort = 514;  // port of MACHINE when the name carries none
// "Registers the source" on MACHINE or MACHINE:PORT: resolves the name and opens a socket.
// 0; kErrRpcServerUnavailable when the name does not resolve or the port is not 1-65535;
// another NT error when no socket can be made.
int open_remote_event_log(std::string_view machine, RemoteEventLog& out);
// Sends one record. 0, or an NT error when the datagram could not be sent.
int report_event_remote(RemoteEventLog& log, const EventRecord& record);

// ---- Mail through a sendmail-compatible program.
constexpr unsigned kMailTimeoutMs = 120000;  // a mail program still running then is killed: not sent
// The mail program: the first "sendmail" on PATH, else /usr/sbin/sendmail, else
// /usr/lib/sendmail. 0 with `program` set, or kErrFileNotFound (the library cannot be loaded).
int mail_find_program(std::string& program);
// Log-on: 0 for a usable account (not empty, not starting with "-", no control characters);
// kErrInvalidParameter otherwise. The password is accepted and not used.
int mail_logon(std::string_view account, std::string_view password);
struct MailMessage {
  std::string recipient;         // the one primary recipient, e.g. "brinters"
  std::string note_text;         // the body text
  std::string attachment_path;   // file to attach (NT or host path); empty: none
  std::string attachment_name;   // the name the recipient sees, e.g. "br_log.txt"
};
// Pipes one MIME message (To: the recipient; the note text as the body; the attachment in
// base64) to `program -i -f ACCOUNT RECIPIENT`. 0 when the program exited with status 0;
// kErrFileNotFound when the attachment cannot be read; kErrGenFailure when the program
// cannot be started, fails, or is still running after kMailTimeoutMs.
int mail_send(std::string_view program, std::string_view account, const MailMessage& message);

// ---- Programs.
// Finds an executable regular file NAME in the directories of PATH. True with `path` set.
bool find_program(std::string_view name, std::string& path);
// Runs argv[0] (a path) with the arguments, no shell: standard input reads `input`, standard
// output and error go to /dev/null. Waits at most `timeout_ms` (then kills it). 0 with
// `status` = the exit status (128 + signal when killed by one), or kErrGenFailure when it
// cannot be started or did not end in time.
int run_program(const std::vector<std::string>& argv, std::string_view input, unsigned timeout_ms,
                int& status);

// ---- Private temporary files.
// Creates a new file "<TMP>/<prefix>XXXXXX", exclusively and readable and writable by the
// owner only, open for reading and writing. 0 with `name` = its host path, or an NT error.
int create_temp_file(std::string_view prefix, std::string& name, File& out);
// Truncates (or extends) the open file to `size` bytes. 0 or an NT error.
int truncate_file(File& f, uint64_t size);
// Writes the file's data to the disk (fsync). 0 or an NT error.
int flush_file_to_disk(File& f);

// ---- Acting on one file through one handle (removal).
struct FileId {
  uint64_t device = 0;  // device of the file system
  uint64_t inode = 0;   // file number on it
  bool operator==(const FileId&) const = default;
};
struct FileOwner {
  uint32_t user = 0;   // owning user id
  uint32_t group = 0;  // owning group id
  uint32_t mode = 0;   // permission bits
};
// Identity of an open file; `regular` tells whether it is a regular file. 0 or an NT error.
int file_id(const File& f, FileId& out, bool* regular = nullptr);
// Opens the same file again (not the name: the file behind the handle) with the access and
// sharing of open_file. 0 or an NT error (32 on a sharing conflict).
int reopen_file(const File& f, unsigned access, unsigned share, File& out);
// Attributes through the handle: 0 gives the owner write permission; kAttrReadOnly takes it.
int set_attributes_of(const File& f, uint32_t attributes);
int get_owner_of(const File& f, FileOwner& out);
// Take ownership: chown to the effective user, then give the owner read and write
// permission (never group or other). 0 or an NT error (5 when refused).
int take_ownership_of(const File& f);
// Puts a saved owner and mode back. 0 or an NT error.
int restore_owner_of(const File& f, const FileOwner& saved);
// Deletes the name under which the file behind `f` now lives, only when that name still
// leads to this very file and is not a symbolic link. 0; kErrAccessDenied when the name
// leads elsewhere or the deletion is refused; another NT error.
int delete_opened_file(const File& f);

// ---------------------------------------------------------------------------------------
// Command interpreter and owners of files.

// `value` quoted for /bin/sh: in single quotes, each ' written as '\''.
std::string shell_quote(std::string_view value);
// Runs "/bin/sh -c LINE" and waits. Returns 0 with `status` the exit status (128 + signal
// when a signal ended it), or the NT error when it could not be started.
int run_command(std::string_view line, int& status);
constexpr size_t kMaxAccountName = 14;  // longer owner names are "Unknown"
// The account name of the owner of `path`: 0 and the name, or an error and "Unknown".
int file_owner_name(std::string_view path, std::string& name);

}  // namespace host
