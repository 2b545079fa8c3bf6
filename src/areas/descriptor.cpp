// Area descriptors: classification, path normalisation, the exclusion lists, the special
// system files and the extension table of the whole-drive walk.
//
// Owns g_exclusions (emptied at the start of every examination) and g_special (completed
// once at start-up). Every lookup that indexes a text checks its length first.
#include <algorithm>

#include "areas/areas.h"
#include "areas/text.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "host/host.h"

namespace areas {

Exclusions g_exclusions;
SpecialFiles g_special;

namespace {

// The special system files as stored: "%SystemRoot" and "%USERNAME" are filled in by
// complete_special_files(). Entries that still hold a "%" are not used.
constexpr const char* kStoredSpecialFiles[kSpecialFileCount] = {
    "\\PAGEFILE.SYS",
    "%SystemRoot\\SYSTEM32\\CONFIG\\APPEVENT.EVT",
    "%SystemRoot\\SYSTEM32\\CONFIG\\DEFAULT",
    "%SystemRoot\\SYSTEM32\\CONFIG\\DEFAULT.LOG",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SAM",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SAM.LOG",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SECEVENT.EVT",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SECURITY",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SECURITY.LOG",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SOFTWARE",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SOFTWARE.LOG",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SYSEVENT.EVT",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SYSTEM",
    "%SystemRoot\\SYSTEM32\\CONFIG\\SYSTEM.ALT",
    "%SystemRoot\\SYSTEM32\\CONFIG\\%USERNAME0",
};

constexpr std::string_view kRootPrefix = "%SystemRoot\\";
constexpr std::string_view kUserName = "%USERNAME";

// Executable extensions of the whole-drive walk; any extension beginning "OV" also counts.
constexpr std::string_view kExecutableExtensions[] = {"ADD", "COM", "DLL", "DMD", "DRV", "EXE", "FLT",
                                                      "I13", "IFS", "SCR", "SYS", "TSD", "VSD"};
// First letters of extensions that are passed over without a compression check.
constexpr std::string_view kKnownFirstLetters = "ABCDEFIOSTV";

unsigned char key(char c) { return static_cast<unsigned char>(c); }

// A bounded environment value, upper-cased; empty when unset or too long.
std::string env_value(std::string_view name) {
  const auto v = host::get_env(name);
  if (!v || v->size() > kMaxEnvValue) return {};
  return host::upper(*v);
}

// The system root without its drive and without trailing "\" ("C:\WINNT" -> "\WINNT",
// "C:\" -> ""). False when the value is not a usable path.
bool root_without_drive(const std::string& root, std::string& out) {
  if (root.size() < 3) return false;
  std::string rest;
  if (root[1] == ':')
    rest = root.substr(2);
  else if (root[0] == '\\')
    rest = root;
  else
    return false;
  if (rest.empty() || rest[0] != '\\') return false;
  while (!rest.empty() && rest.back() == '\\') rest.pop_back();
  out = rest;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------

AreaKind classify(std::string_view text, std::string& body) {
  body.assign(text.substr(0, std::min(text.find(';'), text.size())));
  strip_trailing_blanks(body);
  if (body.empty()) return AreaKind::kEmpty;
  if (body[0] == '+') return AreaKind::kAbsoluteSector;
  if (body[0] == '<') {
    body.erase(0, 1);
    return AreaKind::kExclusion;
  }
  const size_t at = body.find_first_of("\">[|");
  if (at == std::string::npos) return AreaKind::kFileSpec;
  switch (body[at]) {
    case '>': return AreaKind::kRecursive;
    case '[': return AreaKind::kMemoryRange;
    case '|': return AreaKind::kSectorRange;
    default: break;
  }
  const std::string_view quoted = std::string_view(body).substr(at + 1);
  if (compare_n_nocase(quoted, "All e", 5) == 0) return AreaKind::kAllExecutables;
  if (compare_n_nocase(quoted, "All m", 5) == 0) return AreaKind::kAllMasterBoot;
  if (compare_n_nocase(quoted, "All D", 5) == 0) return AreaKind::kAllD;
  return AreaKind::kInvalid;
}

int normalise_path(std::string_view spec, std::string& out) {
  out.clear();
  std::string full;
  const int rc = host::full_path_name(spec, full);
  if (rc != 0) return rc;
  if (full.empty()) return host::kErrPathNotFound;
  if (full.size() > kMaxAreaText) return host::kErrFilenameTooLong;
  if (driver::g_settings.recurse && full[0] != '>') out = ">";
  out += host::upper(full);
  return 0;
}

// ---------------------------------------------------------------------------------------

void reset_exclusions() {
  g_exclusions = Exclusions{};
}

void reset_special_files() {
  g_special.entries.assign(std::begin(kStoredSpecialFiles), std::end(kStoredSpecialFiles));
}

void complete_special_files() {
  reset_special_files();
  std::string root;
  const bool have_root = root_without_drive(env_value("SystemRoot"), root);
  const std::string user = env_value("USERNAME");
  std::vector<std::string> done;
  for (std::string entry : g_special.entries) {
    if (entry.starts_with(kRootPrefix)) {
      if (!have_root) continue;  // no system root: the entry cannot name a file
      entry = root + "\\" + entry.substr(kRootPrefix.size());
    }
    const size_t at = entry.find(kUserName);
    if (at != std::string::npos) {
      if (user.empty()) continue;
      entry.replace(at, kUserName.size(), user);
    }
    done.push_back(std::move(entry));
  }
  g_special.entries = std::move(done);
}

int register_exclusion(std::string_view body) {
  // An empty body would exclude nothing and a wildcard cannot be compared exactly.
  if (body.empty() || body.find_first_of("*?") != std::string_view::npos) return driver::kReported;
  auto& list = body.size() >= 2 && body[1] == ':' ? g_exclusions.full_paths : g_exclusions.names;
  if (list.size() >= kMaxExclusions) return driver::kReported;
  list.emplace_back(body);
  return 0;
}

void build_lookup_tables() {
  g_exclusions.full_first.fill(false);
  g_exclusions.name_first.fill(false);
  g_exclusions.special_first.fill(false);
  for (const auto& p : g_exclusions.full_paths)
    if (p.size() > 3) g_exclusions.full_first[key(host::upper_char(p[3]))] = true;
  for (const auto& n : g_exclusions.names)
    if (!n.empty()) g_exclusions.name_first[key(host::upper_char(n[0]))] = true;
  for (const auto& s : g_special.entries)
    if (s.size() > 1 && s[0] == '\\') g_exclusions.special_first[key(s[1])] = true;
}

bool may_be_excluded(std::string_view full_path, std::string_view name) {
  if (full_path.size() > 3) {
    const unsigned char first = key(host::upper_char(full_path[3]));
    if (g_exclusions.special_first[first] || g_exclusions.full_first[first]) return true;
  }
  return !name.empty() && g_exclusions.name_first[key(host::upper_char(name[0]))];
}

bool is_excluded(std::string_view full_path, std::string_view name) {
  if (full_path.size() > 3) {
    const std::string_view tail = full_path.substr(3);  // after "X:\"
    if (g_exclusions.special_first[key(tail[0])]) {
      for (const auto& s : g_special.entries) {
        // A prefix match on purpose: the entry ending in SYSTEM also covers SYSTEM.LOG.
        if (s.size() > 1 && s[0] == '\\' && tail.starts_with(std::string_view(s).substr(1))) return true;
      }
    }
    if (g_exclusions.full_first[key(tail[0])]) {
      for (const auto& p : g_exclusions.full_paths)
        if (p.size() > 3 && p[3] == tail[0] && p == full_path) return true;
    }
  }
  if (!name.empty() && g_exclusions.name_first[key(name[0])]) {
    for (const auto& n : g_exclusions.names)
      if (!n.empty() && n[0] == name[0] && n == name) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------

ExtensionClass classify_extension(std::string_view name) {
  if (name.size() < 4) return ExtensionClass::kPassOver;
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot < name.size() - 4) return ExtensionClass::kPassOver;
  const std::string ext = host::upper(name.substr(dot + 1));
  if (ext.starts_with("OV")) return ExtensionClass::kExecutable;
  for (auto e : kExecutableExtensions)
    if (ext == e) return ExtensionClass::kExecutable;
  if (!ext.empty() && has_char(kKnownFirstLetters, ext[0])) return ExtensionClass::kPassOver;
  return ExtensionClass::kCompressionCheck;
}

}  // namespace areas
