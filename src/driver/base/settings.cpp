// Run settings, counters and program state: the globals and their reset functions.
#include "driver/base/settings.h"

namespace driver {

RunSettings g_settings;
Counters g_counters;
ProgramState g_state;

void reset_settings() { g_settings = RunSettings{}; }

void reset_pass_counters() {
  const int64_t disinfections = g_counters.disinfections;
  g_counters = Counters{};
  g_counters.disinfections = disinfections;
}

void reset_counters() { g_counters = Counters{}; }

void reset_state() { g_state = ProgramState{}; }

void raise_exit_code(int code) {
  if (code > g_state.exit_code) g_state.exit_code = code;
}

}  // namespace driver
