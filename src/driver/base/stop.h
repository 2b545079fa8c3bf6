// The stop routine: the only way out of the program.
#pragma once

#include <functional>

namespace driver {

// Clean-up actions of the subsystems that have been set up, run by stop() in this order.
struct StopHooks {
  std::function<void()> server_cleanup;     // unloaded line, result file and marker file
  std::function<void()> identity_clear;     // clear the identity engine's work area
  std::function<void()> mail_cleanup;       // close and delete the temporary mail file
  std::function<void(int)> end_event;       // log the end event with the exit code
  std::function<void()> report_close;       // close the report file if still open
};
extern StopHooks g_stop_hooks;

// Runs the clean-up steps and ends the process with `exit_code`. Never returns. A nested
// call (a clean-up step failing into stop() again) ends the process at once.
[[noreturn]] void stop(int exit_code);

// Ends the process with `exit_code` after flushing the console, without the clean-up of
// stop(): only for the bad drive argument, which ends the program before anything is set up.
[[noreturn]] void end_process(int exit_code);

}  // namespace driver
