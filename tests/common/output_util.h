// Helpers shared by the unit tests that run the program's own output: the driver's globals
// put back for a quiet run, and the output routine's text collected.
#pragma once

#include <string>
#include <string_view>

#include "driver/base/output.h"
#include "driver/base/settings.h"

namespace testutil {

// Every text the output routine writes appended to `out`.
inline void collect_output(std::string& out) {
  driver::g_sinks.report_write = [&out](std::string_view t) {
    out.append(t);
    return 0;
  };
}

// The driver's settings, counters and output back to their start, with no bell and no
// interrupting key, and the output routine's text collected in `out`.
inline void quiet_driver(std::string& out) {
  driver::reset_settings();
  driver::reset_counters();
  driver::reset_output();
  driver::g_settings.bell = false;
  driver::g_settings.no_interrupting = true;
  collect_output(out);
}

}  // namespace testutil
