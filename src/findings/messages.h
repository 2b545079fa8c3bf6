// Message texts of the scan engine and the virus reports: the printf-style formats that
// file scanning, the identity engine and the reports write, kept together here.
#pragma once

namespace msg::scan {

// Report lines (no line feed of their own: the report adds it after logging the event).
constexpr const char* kPatternHeader = ">>> Pattern";
constexpr const char* kIdentityHeader = ">>> Identity";
constexpr const char* kPatternWord = "pattern";
constexpr const char* kIdentityWord = "identity";
constexpr const char* kFoundInFile = "%s '%s' found in file %s";
constexpr const char* kFoundInAbsSector = "%s '%s' found in abs sector %llx, drive %d (%s),\n    head %x, cyl %x";
constexpr const char* kFoundInSector = "%s '%s' found in sector %lld of drive %c:";
constexpr const char* kFoundInBootManager = "%s '%s' found in OS/2 Boot Manager";
constexpr const char* kLineEnd = "\n";

// Location texts of the event log.
constexpr const char* kInFile = "in %s";
constexpr const char* kOnPhysicalDrive = "on physical drive %d, head %d, cylinder %d, sector %lld";
constexpr const char* kOnDrive = "on drive %c:, sector %lld";
constexpr const char* kInBootManager = "in the OS/2 boot manager";
constexpr const char* kUnknownLocation = "in an unknown location. Please report this problem to Corvel";

// Compression warnings and the compression check.
constexpr const char* kCompressedOutside =
    "Warning! File %s is compressed (%s) and only the outside has been brinted.\n";
constexpr const char* kCompressed = "Warning! File %s is compressed (%s).\n";
constexpr const char* kNtErrorCode = "NT error code %ld ";
constexpr const char* kErrorWord = "(%s) - ";
constexpr const char* kDash = "- ";
constexpr const char* kAccessDenied = "access denied";
constexpr const char* kSharingViolation = "sharing violation";
constexpr const char* kCouldNotOpenFile = "Could not open file %s\n";
constexpr const char* kCouldNotReadFile = "Could not read file %s\n";
constexpr const char* kCouldNotCloseFile = "Could not close file %s\n";

// File scanning.
constexpr const char* kListedFile = "\t%s\n";
constexpr const char* kSixtyTwoSeconds = "62 seconds";

// Disinfection by an identity program.
constexpr const char* kDisinfectQuestion = "Disinfect (Y/N) ? ";
constexpr const char* kDisinfectionSuccessful = "Disinfection successful.\n";
constexpr const char* kDisinfectionUnsuccessful = "Disinfection unsuccessful!\n";
constexpr const char* kWriteProtected = "Could not disinfect: the disk is write-protected.\n";

}  // namespace msg::scan
