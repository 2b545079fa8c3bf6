// The table of message texts: every printf-style format the program shows the operator or
// writes to its reports, kept in one place. Grouped by the subsystem that uses them.
#pragma once

namespace msg {

// ---- program run, options, console (driver)

// Banner: product line, version line, the maker's line and an empty line.
constexpr const char* kBanner = "BRINT virus detection utility\nVersion %s\n%s\n\n";
constexpr const char* kVersion = "2.77";
constexpr const char* kMakerLine = "Copyright (C) Corvel Software 1989-1995. All rights reserved.";
constexpr const char* kExamining = "Examining system ...\r";
constexpr const char* kReadingData = "  Reading virus data ...\r";

constexpr const char* kNoBackupPrivilege =
    "Warning! Could not grab required backup privileges - NT error code %d.\n";
constexpr const char* kInsufficientMemory = "Insufficient memory.\n";
// Refusals of the command line: one line each, no line feed after it.
constexpr const char* kMismatchedQuote = "Fatal error: Mismatched quote on command line.";
constexpr const char* kCommandLineTooLong = "Fatal error: Command line too long.";
constexpr const char* kTooManyArguments = "Fatal error: Too many arguments on command line.";
constexpr const char* kTooManyAreas = "Fatal error: Too many areas on command line.";
constexpr const char* kCouldNotOpen = "Could not open file %s\n";
constexpr const char* kCouldNotWrite = "Could not write to file %s\n";
constexpr const char* kBadDrive = "Bad drive specification in '%s'\n";
constexpr const char* kNotScheduled = "BRINT not scheduled to run.\n";

// Date lines: the time and date of the start, and the date of the data issue.
constexpr const char* kSystemDate = "System time %.2s:%.2s:%.2s, System date %.2s %s %d\n";
constexpr const char* kClockWarning = "WARNING: Your system clock is not set to a correct date.\n";
constexpr const char* kDataAgeWarning =
    "WARNING: Useful life of BRINT of 4 months has been exceeded.\n"
    "After this date it may not discover current viruses.\n";
constexpr const char* kIssueLine = "This issue includes viruses known to Corvel up to %.2s %s %d\n\n";
constexpr const char* kQuitLine = "\nQUIT\n";

// Passes and the summary.
constexpr const char* kPlaceFirst = "Place the first";
constexpr const char* kPlaceNext = "\nPlace the next";
constexpr const char* kPlaceDiskRest =
    " disk in the drive and press any key to start\nBrinting. Press Esc to quit checking multiple disks ... ";
constexpr const char* kQuickHeadline = "Quick Brinting %d %s for %d %s";
constexpr const char* kFullHeadline = "Full Brinting %d %s for %d %s";
constexpr const char* kOnDisk = " on disk #%d.\n";
constexpr const char* kPressEsc = "Press Esc to quit.\n";
constexpr const char* kDisksInTotal = "%d %s checked in total.\n";
constexpr const char* kFilesAndKbytes = "%lld %s (%lld.%lld Kbytes)";
constexpr const char* kBrintedIn = "%s brinted in %lld %s and %lld %s";
constexpr const char* kBytesPerSecond = "\nat %lld bytes/second.\n";
constexpr const char* kErrorsEncountered = "%lld %s encountered during brinting.\n";
constexpr const char* kNoViruses = "No viruses were discovered.\n";
constexpr const char* kVirusesDiscovered = "%lld %s discovered.\n";
constexpr const char* kFilesInfected = "%lld %s out of %lld %s.\n";
constexpr const char* kRemovedDisabled = "%lld %s been removed and %lld %s been disabled.\n";
constexpr const char* kNotRemoved = "\n%lld %s could not be removed.\n";
constexpr const char* kNotDisabled = "%lld %s could not be disabled.\n";
constexpr const char* kAllRemoved = "All removals have been completed successfully.\n";
constexpr const char* kRunAgain = "Now run BRINT again to re-check the disk.\n";
constexpr const char* kNotDisinfected = "Warning! Infected item(s) were not disinfected.\n";
constexpr const char* kSendSample = "\nPlease send a sample of the virus(es) to Corvel for analysis:\n";
constexpr const char* kPostalAddress = "Corvel Software, Virus Research, P.O. Box 277, 2000 Corvel Park\n";
constexpr const char* kSupportContact = "For help call Corvel Technical Support, or mail support@corvel.example\n";
constexpr const char* kCompressedWarning = "\nWarning! %lld compressed %s could not be checked.\n";
constexpr const char* kOneAreaListed = "1 area checked is:\n\n";
constexpr const char* kAreasListed = "%d areas checked are:\n\n";
constexpr const char* kEndOfReport = "End of BRINT.\n\f";
constexpr const char* kRegistryWarning =
    "Warning: Could not initialise registry. No event log entries will be made.\n";

// Console prompts.
constexpr const char* kPressAnyKey = "Press any key to continue ...";

// ---- virus data (virusdata)

// ---- scan engine, findings, areas, disks, notification, server, unpack: added with them

}  // namespace msg
