// The table of message texts: every printf-style format the program shows the operator or
// writes to its reports, kept in one place. Grouped by the subsystem that uses them.
#pragma once

namespace msg {

// ---- program run, options, console (driver)

// ---- virus data (virusdata)

// ---- scan engine, findings, areas, disks, notification, server, unpack: added with them

}  // namespace msg
