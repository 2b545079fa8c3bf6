// Areas: what the program checks and how it walks it.
//
// An area is one unit of checking, held as one line of text (an area descriptor) in the
// area list. The kind of an area is never stored apart from its text: classify() finds it
// again from the text (a leading ">" or a ">" inside the path for a recursive file set, "<"
// for an exclusion, "+" for an absolute sector, a quoted "All ..." name, "|" for a sector
// range, "[" for a memory range, anything else a file specification).
//
// What the driver calls, in this order:
//   complete_special_files()     once at start-up (system root and user name)
//   add_command_line_area(tok)   for each area argument on the command line (after the
//                                pre-scan has set -REC); result 0, kBadDrive or -1
//   build_area_list()            once after the qualifiers: standard areas, drive areas,
//                                the areas file, the default drives; 0 or -2 (reported)
//   list_areas()                 -DA: the area listing
//   examine_areas()              once per pass (per disk under -MU): registers the
//                                exclusions afresh, then examines every area in list order;
//                                0, or -2 (reported: the program ends with exit code 2)
//
// Hooks (g_hooks) lead to the subsystems that check what the walker selects; the walker
// itself never opens a file. An empty hook means that subsystem is not connected: file
// areas are walked but nothing is handed on, and boot/sector areas are passed over.
//
// Names handed to scan_file: the full NT path (at most kMaxWalkPath characters) and the
// directory record, both borrowed for the call only. Names are upper-cased, except that
// two entries of one directory whose names differ only in case keep their exact host
// spelling, so that each of them is opened and neither is missed.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace areas {

// ---------------------------------------------------------------------------------------
// Limits.

constexpr size_t kMaxAreas = 94;           // slots in the area list; an addition past it fails
constexpr size_t kMaxAreaText = 260;       // a path in a descriptor (plus an optional ">")
constexpr size_t kMaxAreasFileLine = 255;  // kept characters of an areas-file line; 256 fails
constexpr size_t kMaxExclusions = 31;      // per exclusion list; the 32nd cannot be registered
constexpr size_t kMaxWalkPath = 260;       // a longer walk path is refused with NT error 206
constexpr size_t kMaxEnvValue = 260;       // longer SystemRoot/USERNAME values are not used
constexpr size_t kSpecialFileCount = 15;   // entries of the special system file table

// Results of this folder besides the shared ones (0, -2, kBadDrive).
constexpr int kNoMatch = 18;            // directory search: nothing (more) matches
constexpr int kNoSearchOpen = 87;       // directory search, next: no search is open
constexpr int kPathTooLong = 206;       // a walk path would pass kMaxWalkPath

// ---------------------------------------------------------------------------------------
// Messages of this folder (printf formats, used exactly as they stand).

namespace msg {
inline constexpr const char* kUsingAreasFile = "Warning! Using area descriptions in file %s\n";
inline constexpr const char* kTooManyAreas = "Too many areas in file %s\n";
inline constexpr const char* kLineTooLong = "Area description is too long in\n%s\n";
inline constexpr const char* kBadDriveSpec = "Bad drive specification in '%s'\n";
inline constexpr const char* kBadExclusion = "\nUnable to process exclusion item '%s'\n";
inline constexpr const char* kExclusionItem = "\nItem %d is an exclusion descriptor: %s\n";
inline constexpr const char* kExaminingArea = "\nExamining area %d: %s\n";
inline constexpr const char* kDriveEmpty = "                   \rDrive %c is empty.\n";
inline constexpr const char* kIncorrectArea = "\n\nIncorrect area descriptor:\n    %s\n";
inline constexpr const char* kCouldNotOpen = "Could not open %s (NT error code %d)\n";
inline constexpr const char* kIllegalPath = "Illegal path or file specification: %s (NT error code %d)\n";
inline constexpr const char* kInsufficientMemory = "Insufficient memory.\n";
inline constexpr const char* kOneAreaListed = "1 area checked is:\n\n";
inline constexpr const char* kAreasListed = "%d areas checked are:\n\n";
inline constexpr const char* kElapsed = "Elapsed time %02d:%02d\r";
inline constexpr const char* kElapsedName = "%02d:%02d %s";
}  // namespace msg

// ---------------------------------------------------------------------------------------
// Descriptors.

enum class AreaKind {
  kEmpty,           // nothing but blanks or a comment
  kFileSpec,        // a path with an optional wildcard name: C:\TOOLS\*.EXE
  kRecursive,       // ">" marks where recursion starts: C:\>*.*, >C:\DOS\*.COM
  kExclusion,       // "<" and a full path or a bare name: <C:\DOS\EDIT.COM, <EDIT.COM
  kAbsoluteSector,  // "+" BIOS drive (hex) blank sector (decimal): +80 0
  kSectorRange,     // X:| then "*" or up to four numbers: C:|0
  kAllExecutables,  // X:"All executables" (only "All e" is compared, ignoring case)
  kAllMasterBoot,   // "All master boot sectors"
  kAllD,            // a quoted name beginning "All D": refused by the areas file
  kMemoryRange,     // text holding "[": refused when examined
  kInvalid,         // any other quoted name
};

// Finds the kind of `text`. `body` receives the text up to its first ";" with trailing
// blanks removed and, for an exclusion, without its "<". Reads no globals.
AreaKind classify(std::string_view text, std::string& body);

// The full NT path of a file specification, upper-cased, with a leading ">" when -REC is
// on (unless it already starts with one). Result 0, or the NT error of the full-path
// request (206 when the path passes kMaxAreaText). Reads g_settings.recurse.
int normalise_path(std::string_view spec, std::string& out);

// ---------------------------------------------------------------------------------------
// The area list. Built once per run; the driver may empty entries (-MU "[*]").

struct AreaList {
  std::vector<std::string> entries;  // descriptors in list order, at most kMaxAreas
};
extern AreaList g_areas;
void reset_areas();  // empties the list (start-up, tests)

// Appends a descriptor when there is room. Result 0, or -1 when the list is full (nothing
// printed; the caller chooses the message). Keeps driver::g_state.area_count in step.
int add_area(std::string_view descriptor);

// An area argument from the command line: normalised (and made recursive under -REC) into
// a new entry; clears the nothing-named flag. Results: 0; kBadDrive after printing "Bad
// drive specification in '%s'" (the full path cannot be formed: the program ends with
// -9997); -1 when the list is full (nothing printed: the driver refuses the command line).
int add_command_line_area(std::string_view token);

// Adds the standard and drive areas, reads the areas file, takes the default drives when
// nothing was named. Reads and changes g_settings.area_flags and drive_mask. Result 0, or
// -2 after a message on the console (the program ends with exit code 2).
int build_area_list();

// -DA: "N areas checked are:", every entry, a blank line; all important output.
void list_areas();

// ---------------------------------------------------------------------------------------
// Exclusions and special system files.

struct Exclusions {
  std::vector<std::string> full_paths;  // "<" bodies that begin with a drive (C:\DOS\EDIT.COM)
  std::vector<std::string> names;       // "<" bodies without a drive (EDIT.COM)
  std::array<bool, 256> full_first{};   // marks the 4th character of every full-path entry
  std::array<bool, 256> name_first{};   // marks the 1st character of every name entry
  std::array<bool, 256> special_first{};  // marks the character after "\" of every special file
};
extern Exclusions g_exclusions;
void reset_exclusions();  // empties both lists and the tables (not the special files)

struct SpecialFiles {
  std::vector<std::string> entries;  // drive-less paths ("\PAGEFILE.SYS"), matched on every drive
};
extern SpecialFiles g_special;
// Puts back the table as stored, before completion (tests; start-up).
void reset_special_files();

// Completes the special system files from SystemRoot and USERNAME. An entry that cannot
// be completed (SystemRoot unset, longer than kMaxEnvValue or not a path of at least three
// characters; USERNAME unset for the last entry) is left out of the table.
void complete_special_files();

// Result 0, or -2 when the body has a wildcard or its list already holds kMaxExclusions.
int register_exclusion(std::string_view body);
// Fills the three first-character tables from the lists and the special files.
void build_lookup_tables();
// True when the file (full path, bare name) is a special system file or is excluded.
// The comparisons are exact (callers pass upper-cased texts).
bool is_excluded(std::string_view full_path, std::string_view name);
// False when no exclusion can match `full_path` or `name` in any case: neither the first
// character after "X:\" nor the name's first one begins an exclusion (upper-cased first).
// A cheap first test for every file of a walk; true only says is_excluded must decide.
bool may_be_excluded(std::string_view full_path, std::string_view name);

// ---------------------------------------------------------------------------------------
// Which files a whole-drive walk selects.

enum class ExtensionClass {
  kExecutable,        // handed to file scanning
  kCompressionCheck,  // given the compression check under -WC
  kPassOver,          // not looked at
};
// By the extension after the last "." of `name`; names shorter than 4 characters or
// without a "." among their last four characters are passed over.
ExtensionClass classify_extension(std::string_view name);

// ---------------------------------------------------------------------------------------
// Directory search (one program-wide search) and its record.

struct DirRecord {
  uint8_t attributes = 0;  // 0x10 directory (first match: low byte; later: low 6 bits)
  uint16_t time = 0;       // last-write time, DOS format
  uint16_t date = 0;       // last-write date, DOS format
  uint32_t size_low = 0;   // low half of the size
  uint32_t size_high = 0;  // high half of the size
  std::string name;        // name without directory, upper-cased (see the head comment)
  // False for a regular file a walker listed without its status: size, date and time are
  // not known here, and file scanning takes them from the file when it opens it.
  bool details = true;
};

// Starts a search for `pattern` (a directory and a wildcard name), closing any search
// still open. Result 0 with the first match in `rec`; 18 when nothing matches or the
// directory does not exist; otherwise the NT error (the directory cannot be listed).
int dir_first(std::string_view pattern, DirRecord& rec);
// Next match: 0, 18 at the end, 87 when no search is open.
int dir_next(DirRecord& rec);
void dir_close();

// ---------------------------------------------------------------------------------------
// Examination.

// Hooks to the subsystems the walker hands its items to (connected by the driver).
struct Hooks {
  // File scanning: full path, directory record, compression kind out (0 when none).
  // Result 0 when checked; anything else counts one error.
  std::function<int(const std::string& path, const DirRecord& rec, int& compression_kind)> scan_file;
  // Compression warning (variant 1: only the outside was checked).
  std::function<void(const std::string& path, int kind, int variant)> compression_warning;
  // Compression check of a file the whole-drive walk does not select (-WC). 0 or -2.
  std::function<int(const std::string& path)> compression_check;
  // The finding location becomes "file" (before a directory's files are handed on).
  std::function<void()> set_file_location;
  // Sector areas: absolute sector, all master boot sectors, sector range; the descriptor
  // body is passed. 0 when checked; anything else counts one error.
  std::function<int(AreaKind kind, const std::string& body)> check_sectors;
  // True when the drive's space can be read (an unformatted floppy counts as ready).
  // Empty: a drive is ready when it is in the drive map with files or sectors.
  std::function<bool(char letter)> drive_ready;
};
extern Hooks g_hooks;
void reset_hooks();

// Registers the exclusions (lists emptied first), builds the lookup tables and examines
// every area in list order. Result 0, or -2 after a message (a bad exclusion, an incorrect
// area descriptor, no memory for a listing). Counts errors in driver::g_counters.errors.
int examine_areas();

// ---------------------------------------------------------------------------------------
// Status display: the one-line elapsed-time display (with -DN, the item being checked).

struct StatusState {
  int64_t last_second = -1;  // calendar second of the last display
  std::string last_text;     // item text shown last (-DN)
  int spinner = 0;           // next spinner character, 0..3
  bool decompressing = false;  // an expansion is in progress: the spinner turns
};
extern StatusState g_status;
void reset_status();

// Shows the status line for `text` (may be empty). Called by the walkers, file scanning
// and the boot sector checks. Reads g_settings and driver::g_state.start_time.
void status_display(std::string_view text);

}  // namespace areas
