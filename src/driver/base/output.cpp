// The output routine, the output buffer and the alert text.
//
// The output buffer never holds more than kOutputBufferSize - 1 characters and the alert
// text never more than kAlertTextSize - 1: longer text is cut at the limit, never written
// past it.
#include "driver/base/output.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "driver/base/messages.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "host/host.h"

namespace driver {

OutputState g_output;
OutputSinks g_sinks;

void reset_output() {
  g_output = OutputState{};
  g_sinks = OutputSinks{};
}

namespace {

// Formats into a bounded text of at most `limit` characters.
std::string format_bounded(size_t limit, const char* fmt, va_list ap) {
  char buf[kOutputBufferSize];
  const size_t cap = limit + 1 < sizeof buf ? limit + 1 : sizeof buf;
  int n = std::vsnprintf(buf, cap, fmt, ap);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1);
}

// Formats a text of any length (console lines are not bounded by the output buffer).
std::string format_any(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  big.resize(static_cast<size_t>(n));
  return big;
}

}  // namespace

void out_set(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  g_output.buffer = format_bounded(kOutputBufferSize - 1, fmt, ap);
  va_end(ap);
}

void out_append(const char* fmt, ...) {
  if (g_output.buffer.size() >= kOutputBufferSize - 1) return;
  va_list ap;
  va_start(ap, fmt);
  g_output.buffer += format_bounded(kOutputBufferSize - 1 - g_output.buffer.size(), fmt, ap);
  va_end(ap);
}

void output(bool important) {
  const std::string& text = g_output.buffer;
  if (g_output.alert_collecting) {
    const size_t room = kAlertTextSize - 1 - std::min(g_output.alert_text.size(), kAlertTextSize - 1);
    g_output.alert_text.append(text, 0, std::min(room, text.size()));
  } else if (!g_settings.super_silent || important) {
    host::console_write(text);
  }
  if (g_sinks.report_prepare) g_sinks.report_prepare();
  if (g_sinks.report_write && g_sinks.report_write(text) != 0) {
    write_failure(g_sinks.report_name ? g_sinks.report_name() : g_settings.report_file);
  }
  if (g_sinks.report_finish) g_sinks.report_finish();
  if (g_sinks.mail_write && g_sinks.mail_write(text) != 0) {
    write_failure(g_sinks.mail_name ? g_sinks.mail_name() : std::string());
  }
}

void outputf(bool important, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  g_output.buffer = format_bounded(kOutputBufferSize - 1, fmt, ap);
  va_end(ap);
  output(important);
}

void console_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = format_any(fmt, ap);
  va_end(ap);
  host::console_write(text);
}

void write_failure(const std::string& file_name) {
  // The sinks are dropped first: the stop routine's own output must not fail into here again.
  g_sinks.report_write = nullptr;
  g_sinks.mail_write = nullptr;
  console_printf(msg::kCouldNotWrite, file_name.c_str());
  stop(kExitError);
}

}  // namespace driver
