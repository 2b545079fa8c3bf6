// Virus reports (see reports.h).
#include "findings/reports.h"

#include <cstdio>

#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "findings/messages.h"
#include "host/host.h"
#include "unpack/unpack.h"

namespace findings {

FindingsState g_findings;
FindingsHooks g_findings_hooks;

void reset_findings() { g_findings = FindingsState{}; }

namespace {

constexpr const char* kDriveTypeWords[] = {"no drive", "floppy drive", "fixed disk", "network drive",
                                           "CD-ROM",   "RAM drive",    "removable drive"};

enum class Finding { kPattern, kIdentity };

std::string bounded(std::string_view s, size_t max) { return std::string(s.substr(0, max)); }

// The one place where the findings counters go up.
void count_finding(Finding what) {
  if (what == Finding::kPattern)
    ++driver::g_counters.pattern_findings;
  else
    ++driver::g_counters.identity_findings;
}

void report(Finding what, std::string_view virus_name) {
  const FindingLocation& loc = g_findings.location;
  const char* header = what == Finding::kPattern ? msg::scan::kPatternHeader : msg::scan::kIdentityHeader;
  const std::string name(virus_name);
  switch (loc.kind) {
    case kLocServerRequest:
      g_findings.last_virus_name = bounded(virus_name, kVirusNameMax);
      count_finding(what);
      return;
    case kLocFile:
      driver::out_set(msg::scan::kFoundInFile, header, name.c_str(), loc.file_name.c_str());
      break;
    case kLocPhysicalSector:
      driver::out_set(msg::scan::kFoundInAbsSector, header, name.c_str(), (unsigned long long)loc.sector,
                      int(shown_drive_number(loc.drive_code)),
                      drive_type_word(loc.drive_code - kPhysicalDriveBase), unsigned(loc.head),
                      unsigned(loc.cylinder));
      break;
    case kLocLogicalSector:
    case kLocFloppySector:
      driver::out_set(msg::scan::kFoundInSector, header, name.c_str(), (long long)loc.sector,
                      char('A' + loc.logical_drive));
      break;
    case kLocBootManager:
      driver::out_set(msg::scan::kFoundInBootManager, header, name.c_str());
      break;
    default:
      // No area produces another kind; the line still names the virus.
      driver::out_set("%s '%s' found", header, name.c_str());
      break;
  }
  driver::output(true);
  // The line is ended before the event is logged, so that a message of the event log (a
  // remote machine that does not exist) never joins the finding line.
  driver::out_set("%s", msg::scan::kLineEnd);
  driver::output(true);
  if (driver::g_settings.event_logging && g_findings_hooks.log_event) {
    const std::vector<std::string> strings = {
        what == Finding::kPattern ? msg::scan::kPatternWord : msg::scan::kIdentityWord, name,
        location_text(loc.kind)};
    g_findings_hooks.log_event(kEventTypeError, kEventCategory, kEventFinding, strings);
  }
  count_finding(what);
  driver::beep();
  driver::after_finding();
}

}  // namespace

void set_file_location(std::string_view name) {
  // A server request stays one while its source file is scanned: its findings are kept
  // for the answer, never printed as a file's.
  if (g_findings.location.kind != kLocServerRequest) g_findings.location.kind = kLocFile;
  // Assigned in place: the name's room serves every file of a walk.
  g_findings.location.file_name.assign(name.substr(0, host::kMaxPath));
}

void pattern_report(std::string_view virus_name) { report(Finding::kPattern, virus_name); }
void identity_report(std::string_view virus_name) { report(Finding::kIdentity, virus_name); }

const std::string& location_text(int32_t kind) {
  const FindingLocation& loc = g_findings.location;
  char text[kLocationTextMax + 1];
  switch (kind) {
    case kLocFile:
      std::snprintf(text, sizeof text, msg::scan::kInFile, loc.file_name.c_str());
      break;
    case kLocPhysicalSector:
      std::snprintf(text, sizeof text, msg::scan::kOnPhysicalDrive, int(shown_drive_number(loc.drive_code)),
                    int(loc.head), int(loc.cylinder), (long long)loc.sector);
      break;
    case kLocLogicalSector:
    case kLocFloppySector:
      std::snprintf(text, sizeof text, msg::scan::kOnDrive, char('A' + loc.logical_drive),
                    (long long)loc.sector);
      break;
    case kLocBootManager:
      std::snprintf(text, sizeof text, "%s", msg::scan::kInBootManager);
      break;
    default:
      std::snprintf(text, sizeof text, "%s", msg::scan::kUnknownLocation);
      break;
  }
  g_findings.location_text = text;
  return g_findings.location_text;
}

void compression_warning(std::string_view file_name, int kind, int variant) {
  const std::string name(file_name);
  driver::out_set(variant == 1 ? msg::scan::kCompressedOutside : msg::scan::kCompressed, name.c_str(),
                  compression_name(kind));
  driver::output(true);
  driver::after_finding();
  ++driver::g_counters.compressed_files;
}

int compression_check(std::string_view file_name) {
  const std::string name(file_name);
  // Read access, shared for reading, as the buffered layer opens files for checking; the
  // check reads through its own handle, so it needs no slot of that layer.
  host::File file;
  const int code = host::open_file(name, host::kAccessRead, host::kShareRead, host::kOpenExisting, file);
  if (code != 0) {
    driver::out_set(msg::scan::kNtErrorCode, long(code));
    if (code == host::kErrAccessDenied)
      driver::out_append(msg::scan::kErrorWord, msg::scan::kAccessDenied);
    else if (code == host::kErrSharingViolation)
      driver::out_append(msg::scan::kErrorWord, msg::scan::kSharingViolation);
    else
      driver::out_append("%s", msg::scan::kDash);
    driver::out_append(msg::scan::kCouldNotOpenFile, name.c_str());
    driver::output(true);
    return -2;
  }
  // The archive test looks at the name the directory search found: the last path component.
  const size_t cut = name.find_last_of("\\/");
  const std::string_view found = cut == std::string::npos ? std::string_view(name) : std::string_view(name).substr(cut + 1);
  const int kind = unpack::detect(found, unpack::file_reader(file));
  host::close_file(file);
  if (kind > 0) {
    compression_warning(name, kind, 2);
    return 0;
  }
  if (kind == 0) return 0;
  if (kind == unpack::kUnreadable) driver::outputf(true, msg::scan::kCouldNotReadFile, name.c_str());
  return -2;
}

const char* compression_name(int kind) {
  return unpack::compressor_name(kind);
}

const char* drive_type_word(int index) {
  if (index < 0 || index > 25) return kDriveTypeWords[0];
  const int type = host::drive_type(char('A' + index));
  if (type < 0 || type >= int(std::size(kDriveTypeWords))) return kDriveTypeWords[0];
  return kDriveTypeWords[type];
}

int32_t shown_drive_number(int32_t drive_code) {
  return drive_code >= kPhysicalDriveBase ? drive_code - kPhysicalDriveBase : drive_code;
}

}  // namespace findings
