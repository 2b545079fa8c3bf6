// Prompts and interruption with keys from a script (standard input is a pipe): the key
// wait, the Yes/No question and the poll for quit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/test_util.h"
#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "host/host.h"

using driver::g_settings;

namespace {

using testutil::ScriptedKeys;

void fresh() {
  driver::reset_settings();
  driver::reset_state();
  driver::reset_output();
  driver::reset_console();
}

const std::string kErased = "Press any key to continue ...\r" + std::string(29, ' ') + "\r";

}  // namespace

TEST(KeyWait, QuitKeysAndOrdinaryKeys) {
  const struct {
    const char* what;
    std::string keys;
    bool key_wait;
    int result;
    std::string out;
  } cases[] = {
      {"Esc", "\x1b", true, driver::kQuit, kErased},
      {"Ctrl-C read as a key", "\x03", true, driver::kQuit, kErased},
      {"another key", "a", true, 0, kErased},
      {"a zero first is read past", std::string("\0q", 2), true, 0, kErased},
      {"no input left", "", true, 0, kErased},
      {"-NK", "\x1b", false, 0, ""},
  };
  for (const auto& c : cases) {
    fresh();
    g_settings.key_wait = c.key_wait;
    ScriptedKeys keys(c.keys);
    testing::internal::CaptureStdout();
    EXPECT_EQ(driver::key_wait(), c.result) << c.what;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.what;
  }
}

TEST(YesNo, AnswersEchoesAndIgnoresOtherKeys) {
  const struct {
    const char* what;
    std::string keys;
    bool no_confirmation;
    int answer;
    std::string out;
  } cases[] = {
      {"X is ignored, then y", "Xy", false, 1, "Disinfect (Y/N) ? Y\r\n"},
      {"n", "n", false, 0, "Disinfect (Y/N) ? N\r\n"},
      {"no input: no, without echo", "", false, 0, "Disinfect (Y/N) ? "},
      {"-NOC: yes without asking", "n", true, 1, ""},
  };
  for (const auto& c : cases) {
    fresh();
    g_settings.no_confirmation = c.no_confirmation;
    ScriptedKeys keys(c.keys);
    testing::internal::CaptureStdout();
    EXPECT_EQ(driver::yes_no("Disinfect (Y/N) ? "), c.answer) << c.what;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.what;
  }
}

TEST(YesNo, EscQuitsEvenWithoutInterrupting) {
  EXPECT_EXIT(
      {
        fresh();
        g_settings.no_interrupting = true;
        ScriptedKeys keys("\x1b");
        driver::yes_no("Delete (Y/N) ? ");
      },
      testing::ExitedWithCode(1), "");
}

TEST(PollQuit, OtherKeysAreDroppedAndNoInterruptingIgnoresEsc) {
  fresh();
  {
    ScriptedKeys keys("ab");
    driver::poll_quit();
    EXPECT_EQ(host::console_read_key(), 'b');  // "a" was read and dropped
  }
  fresh();
  g_settings.no_interrupting = true;
  {
    ScriptedKeys keys("\x1b");
    driver::poll_quit();
    EXPECT_EQ(host::console_read_key(), 27);  // not even read
  }
  EXPECT_EXIT(
      {
        fresh();
        ScriptedKeys keys("\x1b");
        driver::poll_quit();
      },
      testing::ExitedWithCode(1), "");
}

TEST(AfterFinding, PauseOnDiscoveryWaitsAndEscQuits) {
  fresh();
  g_settings.pause_on_discovery = true;
  {
    ScriptedKeys keys("a");
    testing::internal::CaptureStdout();
    driver::after_finding();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kErased);
  }
  EXPECT_EXIT(
      {
        fresh();
        g_settings.pause_on_discovery = true;
        ScriptedKeys keys("\x1b");
        driver::after_finding();
      },
      testing::ExitedWithCode(1), "");
}
