// The stop routine: the only way out of the program.
//
// stop() runs the clean-up of whatever has been set up, in a fixed order, and ends the
// process. It cannot re-enter itself: a clean-up step that fails into stop() again ends
// the process at once with the code of that nested call, after flushing the console.
#include "driver/base/stop.h"

#include <cstdlib>

#include "driver/base/console.h"
#include "driver/base/settings.h"
#include "host/host.h"

namespace driver {

StopHooks g_stop_hooks;

namespace {
bool g_stopping = false;  // set on entry to stop(); a second entry ends the process at once
}  // namespace

[[noreturn]] void end_process(int exit_code) {
  host::console_flush();
  std::exit(exit_code);
}

[[noreturn]] void stop(int exit_code) {
  if (g_stopping) {
    host::console_flush();
    std::_Exit(exit_code);
  }
  g_stopping = true;
  if (g_settings.server_mode && g_stop_hooks.server_cleanup) g_stop_hooks.server_cleanup();
  restore_console();
  if (g_stop_hooks.identity_clear) g_stop_hooks.identity_clear();
  g_state.tokens.clear();
  g_settings.mail_account.clear();
  g_settings.mail_password.clear();
  if (g_stop_hooks.mail_cleanup) g_stop_hooks.mail_cleanup();
  if (g_settings.event_logging && !g_settings.errors_only_events && g_stop_hooks.end_event) {
    g_stop_hooks.end_event(exit_code);
  }
  if (g_stop_hooks.report_close) g_stop_hooks.report_close();
  end_process(exit_code);
}

}  // namespace driver
