// Message texts of the virus data library, the user pattern file and the virus list,
// printf formats used exactly as they stand.
#pragma once

namespace virusdata::msg {

// Loading the built-in data, "brint.vdl" and the identity files.
constexpr char kIncompatible[] = "VDL file incompatible with this version of BRINT.\n";
constexpr char kInsufficientMemory[] = "Insufficient memory.\n";
constexpr char kBuiltinCorrupt[] = "Warning! %s has been corrupted, possibly by a virus.\n";
constexpr char kFileCorrupt[] = "Warning! %s has been corrupted\n";
constexpr char kJustPrior[] = "just prior to the sequence:\n";
constexpr char kVdlName[] = "brint.vdl";
constexpr char kIdentityPattern[] = "*.ide";

// The user pattern file and -PAT= patterns.
constexpr char kTooManyPatterns[] = "Too many patterns in file %s\n";
constexpr char kCommandLine[] = "command line";
constexpr char kPatternTooLong[] = "Pattern string too long:\n%s\n";
constexpr char kZeroPattern[] = "Illegal zero pattern in line %d\n";
constexpr char kNameTooLong[] = "Name too long in '%s'\n";
constexpr char kPatternLonger[] = "Pattern longer than %d bytes in '%s'\n";
constexpr char kSpurious[] = "Spurious character %c in '%s'\n";
constexpr char kTooShort[] = "Illegal pattern in input line %d, '%s';\nmust have at least 4 bytes.\n";
constexpr char kBadPattern[] = "Bad pattern:\n%s\n";
constexpr char kNoname[] = "Noname %d";

// The virus list.
constexpr char kLibraryContains[] = "The library contains information on %d viruses:\n\n";
constexpr char kSorting[] = "  Sorting virus names ...\r";

}  // namespace virusdata::msg
