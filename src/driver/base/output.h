// The output routine and the output buffer.
//
// A caller formats its message into the output buffer (at the start, or appended) and then
// calls output(). Output goes to the console (unless super-silent and not important), to
// the report file and to the mail file when they are open, or into the alert text while
// alert collection is on. Messages meant only for the operator at the console (banners,
// progress lines, prompts) use console_printf() and never reach the report file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace driver {

constexpr size_t kOutputBufferSize = 324;  // longer text is cut at the limit
constexpr size_t kAlertTextSize = 4096;    // alert text past this is cut

struct OutputState {
  std::string buffer;          // the output buffer (keeps its text after output())
  bool alert_collecting = false;  // between bring-to-front and the end of alert collection
  std::string alert_text;      // gathered output while collecting
};
extern OutputState g_output;

// Where output goes besides the console. The report file (notify) and the mail file set
// these when they are opened; each returns 0, or non-zero when the write failed.
struct OutputSinks {
  std::function<void()> report_prepare;  // make sure the report file is open (server mode reopens)
  std::function<int(std::string_view)> report_write;  // empty when no report file
  std::function<void()> report_finish;   // after each output (server mode closes again)
  std::function<int(std::string_view)> mail_write;    // empty when no mail file
  std::function<std::string()> report_name;  // names the report file in "Could not write to file %s"
  std::function<std::string()> mail_name;    // names the mail file in the same message
};
extern OutputSinks g_sinks;
void reset_output();

// Formats into the output buffer, replacing its text / appending to it (bounded).
void out_set(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void out_append(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The output routine: sends the output buffer as described above.
void output(bool important);
// out_set + output in one call.
void outputf(bool important, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Straight to the console (not to the report file), whatever the silence settings.
void console_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "Could not write to file %s" with `file_name` on the console, then stop(2).
[[noreturn]] void write_failure(const std::string& file_name);

}  // namespace driver
