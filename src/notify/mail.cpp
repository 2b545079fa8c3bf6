// Mail notification and the alert window.
//
// With -MI the run's output is copied into a private temporary mail file (created
// exclusively, owner-only, and used through that one handle) and at the end sent to
// "brinters" with the file attached as "br_log.txt". The stop routine deletes the mail file
// whatever happened, so none is ever left behind. Server mode mails each finding instead
// (mail_text). Mail failures are reported as ordinary (not important) outputs and never
// change the exit code.
//
// State: g_notify.mail. Invariant: mail.name is set from creation until the clean-up
// deletes the file; mail.file is open only until finish_mail() closes it for sending.
#include <cstdio>

#include "driver/base/messages.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "notify/messages.h"
#include "notify/notify.h"

namespace notify {
namespace {

constexpr const char* kMailFilePrefix = "brmail";  // private temporary files: <TMP>/brmailXXXXXX

[[noreturn]] void mail_write_failure() {
  driver::g_sinks.mail_write = nullptr;
  driver::console_printf(msg::kCouldNotWrite, g_notify.mail.name.c_str());
  driver::stop(driver::kExitError);
}

std::string mail_header() {
  // The report header without the qualifiers line.
  std::string h = report_header();
  std::string q = qualifiers_line(driver::g_state.tokens);
  if (!q.empty() && h.size() >= q.size() && h.compare(h.size() - q.size(), q.size(), q) == 0) {
    h.resize(h.size() - q.size());
  }
  return h;
}

}  // namespace

std::string mail_note(int kind, const host::LocalTime& t) {
  std::string note = kind == kMailLog ? msg::notify::kMailOpeningLog : msg::notify::kMailOpeningAlert;
  char buf[160];
  std::snprintf(buf, sizeof buf, msg::notify::kMailGenerated, t.hour, t.minute, t.second, t.day, t.month,
                ((t.year % 100) + 100) % 100);
  note += buf;
  return note;
}

void create_mail_file() {
  const auto& s = driver::g_settings;
  if (!s.mail_results || s.server_mode) return;
  MailState& m = g_notify.mail;
  if (host::create_temp_file(kMailFilePrefix, m.name, m.file) != 0) {
    m.name.clear();
    driver::console_printf("%s", msg::notify::kMailFileFailed);
    driver::stop(driver::kExitError);
  }
  driver::g_stop_hooks.mail_cleanup = [] { mail_cleanup(); };
  driver::g_sinks.mail_write = [](std::string_view text) {
    if (!g_notify.mail.file.is_open()) return 0;
    return write_text(g_notify.mail.file, text);
  };
  driver::g_sinks.mail_name = [] { return g_notify.mail.name; };
  if (write_text(m.file, mail_header()) != 0) mail_write_failure();
}

void finish_mail() {
  MailState& m = g_notify.mail;
  if (!driver::g_settings.mail_results || !m.file.is_open()) return;
  driver::g_sinks.mail_write = nullptr;  // the file is closed: later outputs are not in the mail
  if (host::close_file(m.file) != 0) {
    driver::console_printf(msg::kCouldNotWrite, m.name.c_str());
    driver::stop(driver::kExitError);
  }
  send_mail(m.name, driver::g_settings.mail_account, driver::g_settings.mail_password, kMailLog);
}

int send_mail(std::string_view path, std::string_view account, std::string_view password, int kind) {
  host::MailMessage message;
  message.recipient = msg::notify::kMailRecipient;
  message.note_text = mail_note(kind, host::local_time());
  message.attachment_path = std::string(path);
  message.attachment_name = msg::notify::kMailAttachment;
  std::string program;
  if (host::mail_find_program(program) != 0) {
    driver::outputf(false, "%s", msg::notify::kMailInitFailed);
    return driver::kReported;
  }
  if (host::mail_logon(account, password) != 0) {
    driver::outputf(false, "%s", msg::notify::kMailLogonFailed);
    return driver::kReported;
  }
  if (host::mail_send(program, account, message) != 0) {
    driver::outputf(false, "%s", msg::notify::kMailSendFailed);
    return driver::kReported;
  }
  return driver::kOk;
}

int mail_text(std::string_view text, int kind) {
  std::string name;
  int rc = driver::kReported;
  {
    host::File f;
    if (host::create_temp_file(kMailFilePrefix, name, f) != 0) {
      driver::outputf(false, "%s", msg::notify::kMailFileFailed);
      return driver::kReported;
    }
    bool written = write_text(f, text) == 0;
    bool closed = host::close_file(f) == 0;
    if (written && closed) {
      rc = send_mail(name, driver::g_settings.mail_account, driver::g_settings.mail_password, kind);
    } else {
      driver::outputf(false, "%s", msg::notify::kMailSendFailed);
    }
  }
  host::delete_file(name);
  return rc;
}

void mail_cleanup() {
  MailState& m = g_notify.mail;
  driver::g_sinks.mail_write = nullptr;
  host::close_file(m.file);
  if (!m.name.empty()) {
    host::delete_file(m.name);
    m.name.clear();
  }
}

void alert_window() {
  std::string& text = driver::g_output.alert_text;
  if (text.empty()) return;
  const auto& s = driver::g_settings;
  if (s.bell) host::message_beep();
  if (s.key_wait) host::message_box(msg::notify::kAlertTitle, text);
  host::console_write(text);
  host::console_write("\n");
  host::console_flush();
  text.clear();
}

}  // namespace notify
