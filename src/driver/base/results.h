// Result values shared by the whole program. Functions return these as int; operating
// system failures are returned as the NT error code (a positive number).
#pragma once

namespace driver {

constexpr int kOk = 0;                // success, or nothing found
constexpr int kReported = -2;         // a failure already reported to the operator
constexpr int kCouldNotClose = -3;    // a file could not be closed
constexpr int kFound = -4;            // an identity was found, or a sector/file was unreadable
constexpr int kIncompatible = -5;     // data of an incompatible kind
constexpr int kNotExpandable = -6;    // not an expandable compression kind
constexpr int kQuit = -31;            // the operator chose to quit at a prompt
constexpr int kWalkerStop = -9996;    // a directory walk was ended
constexpr int kBadDrive = -9997;      // a bad drive argument (also an exit code)

// Exit codes of the program.
constexpr int kExitClean = 0;
constexpr int kExitQuit = 1;
constexpr int kExitError = 2;
constexpr int kExitVirus = 3;

}  // namespace driver
