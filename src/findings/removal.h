// File removal: deleting or shredding an infected file after the Yes/No question, making a
// protected file removable first (attributes, then ownership), and the remove operation that
// expansion temporaries use too.
//
// Removal acts on one file through one handle: the name is opened without following a
// symbolic link, the file must be a regular file and, when the caller knows it, the very file
// that was checked (same device and inode); attributes, ownership, shredding and the final
// unlink all go through that handle, and the name is unlinked only while it still leads to
// that file. A file that fails any of this is "not removed". When removal fails after the
// owner or mode was changed, the saved owner and mode are put back.
//
// Shredding writes the 100-byte overwrite block from the start of the file until at least the
// file's length is covered (so the file may grow by up to 99 bytes), flushes it to the disk
// and only then unlinks the name; a file whose overwrite fails is kept (and reported "could
// not shred"), so a report of failure never hides a deleted file.
//
// Counters changed: files removed, files not removed (only by offer_removal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/host.h"
#include "unpack/unpack.h"

namespace msg::removal {
constexpr const char* kAboutToShred = "About to shred file %s. Proceed (Y/N) ? ";
constexpr const char* kAboutToDelete = "About to delete file %s. Proceed (Y/N) ? ";
constexpr const char* kCouldNotSetAttributes = "Could not set attributes of file %s\n";
constexpr const char* kOwnershipFailed = "Unable to grab ownership of file %s - NT error code %d.\n";
constexpr const char* kOwnershipNoAttributes =
    "Successfully grabbed ownership of file %s, but could not change attributes.\n";
constexpr const char* kOwnershipTaken = "Successfully grabbed ownership of file %s.\n";
constexpr const char* kCouldNotShred = "Could not shred file %s\n";
constexpr const char* kCouldNotDelete = "Could not delete file %s\n";
constexpr const char* kShredded = "File %s has been shredded.\n";
constexpr const char* kDeleted = "File %s has been deleted.\n";
}  // namespace msg::removal

namespace findings {

constexpr uint32_t kAttributeMask = 0x137;  // read-only, hidden, system, directory, archive, temporary
// The shredding overwrite block is the one the temporary copies use too.
using unpack::kOverwriteBlock;
using unpack::kOverwriteBlockSize;

// Offers removal of the infected file `path` (does nothing unless file removal is on): asks
// "About to delete/shred file %s. Proceed (Y/N) ? " (Esc stops the program; -NOC answers
// yes), clears the attributes (taking ownership when that fails), removes the file, writes
// the outcome as important output and counts it. `checked`, when given, is the identity of
// the file that was checked: a name that now leads to another file is not removed. Call it
// after the checking handle is closed (a shred needs the file to itself).
void offer_removal(const std::string& path, const host::FileId* checked = nullptr);

// Removes `path` (deletes, or with the shred setting shreds and deletes) through one handle.
// 0 on success; non-zero on any failure (the NT error, or -1 for a file that is not the
// expected regular file). Nothing is printed or counted.
int remove_file(const std::string& path, const host::FileId* checked = nullptr);

// Sets the attributes of `path` to `value` masked with kAttributeMask: 0 success, 1 failure.
int set_attributes(const std::string& path, uint32_t value);

// Takes ownership of `path` for the effective user, with owner-only read and write access:
// 0 or the NT error.
int take_ownership(const std::string& path);

// The take-ownership privilege: nothing to enable on this host; always 0.
int enable_take_ownership_privilege();

}  // namespace findings
