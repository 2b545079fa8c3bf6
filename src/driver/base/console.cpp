// Prompts and interruption: key wait, Yes/No question, poll for quit, after-finding step,
// beep, bring to front and alert collection, the console control handler.
//
// Keys come from host::console_read_key(): a character code, 0 or 224 before the scan code
// of an extended key, or -1 when there is no console input (end of a script). Quit keys
// are Esc (27) and Ctrl-C read as a key (3). A Ctrl-C or Ctrl-Break that arrives as a
// break event is only counted by the handler; the main line acts on it in poll_quit(),
// and a key wait during which a break was counted answers as if Ctrl-C had been typed.
#include "driver/base/console.h"

#include <string>

#include "driver/base/messages.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "host/host.h"

namespace driver {

ConsoleState g_console;

namespace {

constexpr int kEsc = 27;
constexpr int kCtrlC = 3;

bool is_quit_key(int key) { return key == kEsc || key == kCtrlC; }

[[noreturn]] void quit_now() {
  console_printf("%s", msg::kQuitLine);
  stop(kExitQuit);
}

}  // namespace

int read_key_nonzero() {
  for (;;) {
    int key = host::console_read_key();
    if (key != 0) return key;
  }
}

void erase_line(int count) {
  std::string line = "\r";
  if (count > 0) line.append(static_cast<size_t>(count), ' ');
  line += '\r';
  host::console_write(line);
}

int key_wait() {
  if (!g_settings.key_wait) return 0;
  const int breaks_before = host::break_count();
  const std::string prompt = msg::kPressAnyKey;
  host::console_write(prompt);
  int key = read_key_nonzero();
  erase_line(static_cast<int>(prompt.size()));
  if (is_quit_key(key)) return kQuit;
  // A break counted while waiting stands for a Ctrl-C typed at the prompt.
  if (g_console.handler_installed && host::break_count() > breaks_before) return kQuit;
  return 0;
}

int yes_no(const char* question) {
  if (g_settings.no_confirmation) return 1;
  host::console_discard_typeahead();
  host::console_write(question);
  for (;;) {
    int key = read_key_nonzero();
    if (is_quit_key(key)) quit_now();
    if (key == 'Y' || key == 'y') {
      host::console_write("Y\r\n");
      return 1;
    }
    if (key == 'N' || key == 'n') {
      host::console_write("N\r\n");
      return 0;
    }
    // No console input left: no answer can ever come, so the answer is no, without echo.
    if (key < 0) return 0;
  }
}

void poll_quit() {
  // The system closing the console (SIGTERM, SIGHUP) ends the run even under -NI.
  if (host::terminate_requested()) quit_now();
  if (g_settings.no_interrupting) return;
  if (host::console_key_available()) {
    int key = host::console_read_key();
    if (is_quit_key(key)) quit_now();
  }
  if (g_console.handler_installed && host::break_count() > 0) quit_now();
}

void after_finding() {
  if (g_settings.pause_on_discovery) {
    if (key_wait() == kQuit && !g_settings.no_interrupting) quit_now();
  }
  poll_quit();
}

void beep() {
  if (!g_settings.bell) return;
  host::beep(1040, 500);
  host::beep(880, 750);
}

int bring_to_front() {
  if (!host::bring_to_front()) return kReported;
  g_output.alert_collecting = true;
  return 0;
}

int end_alert_collection() {
  g_output.alert_collecting = false;
  return 0;
}

void install_console_handler() {
  host::install_break_handler();
  host::reset_break_count();
  g_console.handler_installed = true;
}

void restore_console() {
  if (!g_console.handler_installed) return;
  host::restore_break_handler();
  g_console.handler_installed = false;
}

void reset_console() { g_console = ConsoleState{}; }

}  // namespace driver
