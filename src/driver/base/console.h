// Prompts and interruption: key wait, Yes/No question, poll for quit, after-finding step,
// beep, bring to front and alert collection, the console control handler.
#pragma once

namespace driver {

struct ConsoleState {
  bool handler_installed = false;  // the console control handler is in place
};
extern ConsoleState g_console;

// "Press any key to continue ..."; 0, or kQuit for Esc or Ctrl-C (typed, or a break counted
// while waiting). Returns 0 at once under -NK. Without console input (-1) any key counts.
int key_wait();
// Reads keys until one is non-zero (the prefix of an extended key is skipped); -1 when
// there is no console input.
int read_key_nonzero();
// The question text ends with "(Y/N) ? ". 1 yes, 0 no; Esc or Ctrl-C stop the program
// with code 1. Under -NOC answers yes silently. Without console input answers no.
int yes_no(const char* question);
// Returns, or stops the program with code 1 on Esc, Ctrl-C or a counted break.
void poll_quit();
// After each finding: pause under -PD, then poll for quit.
void after_finding();
// Two tones (1040 Hz 500 ms, 880 Hz 750 ms) when the bell is on.
void beep();
// 0 and alert collection on, or -2 when the console could not be brought to the front.
int bring_to_front();
int end_alert_collection();
// Carriage return, `count` blanks, carriage return.
void erase_line(int count);
// Installs the break handler (break counter 0); restore_console() puts the default back
// (the stop routine calls it once the handler is in place).
void install_console_handler();
void restore_console();
void reset_console();  // tests

}  // namespace driver
