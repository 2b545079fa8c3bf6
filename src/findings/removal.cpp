// File removal, shredding and ownership (see removal.h for the rules).
#include "findings/removal.h"

#include <cstdio>

#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"

namespace findings {

namespace {

constexpr int kNotTheFile = -1;  // the name leads to something other than the expected regular file

// Opens `path` for removal and checks that it is the expected regular file. 0, kNotTheFile,
// or the NT error of the open.
int open_target(const std::string& path, const host::FileId* checked, host::File& out) {
  if (int rc = host::open_file(path, host::kAccessRead, host::kShareRead | host::kShareWrite, host::kOpenExisting, out))
    return rc;
  host::FileId id;
  bool regular = false;
  if (host::file_id(out, id, &regular) != 0 || !regular || (checked != nullptr && !(id == *checked))) {
    host::close_file(out);
    return kNotTheFile;
  }
  return 0;
}

// Overwrites the whole file behind `f` with the overwrite block, through a second handle
// that shares nothing. 0 or the NT error.
int shred_through(const host::File& f, uint64_t length) {
  host::File w;
  if (int rc = host::reopen_file(f, host::kAccessRead | host::kAccessWrite, host::kShareNone, w)) return rc;
  int rc = 0;
  for (uint64_t written = 0; written < length && rc == 0; written += kOverwriteBlockSize) {
    rc = host::write_file(w, kOverwriteBlock, kOverwriteBlockSize);
  }
  if (rc == 0) rc = host::flush_file_to_disk(w);
  int closed = host::close_file(w);
  return rc != 0 ? rc : closed;
}

// Removes the file behind the open handle `f` (deletion, or shredding then deletion).
int remove_through(host::File& f) {
  uint64_t length = 0;
  int length_rc = host::file_size(f, length);
  if (driver::g_settings.shred) {
    if (length_rc != 0) return length_rc;  // unknown length: the file is not half-shredded
    if (int rc = shred_through(f, length)) return rc;
  }
  return host::delete_opened_file(f);
}

}  // namespace

int remove_file(const std::string& path, const host::FileId* checked) {
  host::File f;
  if (int rc = open_target(path, checked, f)) return rc;
  return remove_through(f);
}

int set_attributes(const std::string& path, uint32_t value) {
  return host::set_attributes(path, value & kAttributeMask) == 0 ? 0 : 1;
}

int take_ownership(const std::string& path) {
  host::File f;
  int rc = open_target(path, nullptr, f);
  if (rc == kNotTheFile) return host::kErrAccessDenied;
  if (rc != 0) return rc;
  return host::take_ownership_of(f);
}

int enable_take_ownership_privilege() { return 0; }

void offer_removal(const std::string& path, const host::FileId* checked) {
  const auto& s = driver::g_settings;
  if (!s.remove_files) return;
  char question[600];
  std::snprintf(question, sizeof question, s.shred ? msg::removal::kAboutToShred : msg::removal::kAboutToDelete,
                path.c_str());
  if (driver::yes_no(question) == 0) return;

  const char* name = path.c_str();
  host::File f;
  int open_rc = open_target(path, checked, f);
  host::FileOwner saved;
  bool changed = false;  // owner or mode changed: put back when the removal fails
  int rc = 0;
  if (open_rc == 0) {
    host::get_owner_of(f, saved);
    if (host::set_attributes_of(f, 0) != 0) {
      driver::outputf(true, msg::removal::kCouldNotSetAttributes, name);
      int own = host::take_ownership_of(f);
      if (own != 0) {
        driver::outputf(true, msg::removal::kOwnershipFailed, name, own);
      } else if (host::set_attributes_of(f, 0) != 0) {
        driver::outputf(true, msg::removal::kOwnershipNoAttributes, name);
      } else {
        driver::outputf(true, msg::removal::kOwnershipTaken, name);
      }
    }
    host::FileOwner now;
    changed = host::get_owner_of(f, now) == 0 &&
              (now.user != saved.user || now.group != saved.group || now.mode != saved.mode);
    rc = remove_through(f);
  } else if (open_rc == kNotTheFile) {
    rc = open_rc;  // never touch what the name now leads to
  } else {
    // The file cannot be opened: its attributes are still cleared by name where that is
    // possible, but without a handle nothing is removed.
    if (host::set_attributes(path, 0) != 0) {
      driver::outputf(true, msg::removal::kCouldNotSetAttributes, name);
      driver::outputf(true, msg::removal::kOwnershipFailed, name, open_rc);
    }
    rc = open_rc;
  }

  if (rc != 0) {
    if (changed) host::restore_owner_of(f, saved);
    driver::outputf(true, s.shred ? msg::removal::kCouldNotShred : msg::removal::kCouldNotDelete, name);
    ++driver::g_counters.files_not_removed;
  } else {
    driver::outputf(true, s.shred ? msg::removal::kShredded : msg::removal::kDeleted, name);
    ++driver::g_counters.files_removed;
  }
}

}  // namespace findings
