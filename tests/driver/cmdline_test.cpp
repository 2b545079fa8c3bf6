// The command-line text rebuilt from the arguments, and its split into tokens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/cmdline.h"

using driver::SplitResult;

TEST(CommandLine, ArgumentsWithBlankOrTabAreQuoted) {
  EXPECT_EQ(driver::build_command_line({"ntbrint", "C:\\MY FILES", "-F", "a\tb", ""}),
            "ntbrint \"C:\\MY FILES\" -F \"a\tb\" ");
  EXPECT_EQ(driver::build_command_line({}), "");
}

TEST(CommandLine, SplitTable) {
  const struct {
    const char* text;
    SplitResult result;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", SplitResult::kOk, {}},
      {"   ", SplitResult::kOk, {}},
      {"ntbrint", SplitResult::kOk, {"ntbrint"}},
      {"ntbrint  -F   C:", SplitResult::kOk, {"ntbrint", "-F", "C:"}},
      {"ntbrint \"C:\\MY FILES\" -NS", SplitResult::kOk, {"ntbrint", "C:\\MY FILES", "-NS"}},
      {"ntbrint -P=\"A B\"C", SplitResult::kOk, {"ntbrint", "-P=A BC"}},
      {"ntbrint a\tb", SplitResult::kOk, {"ntbrint", "a\tb"}},  // tabs are ordinary characters
      {"ntbrint \"\" x", SplitResult::kOk, {"ntbrint", "x"}},   // "" makes no token
      {"ntbrint \"C:\\OPEN", SplitResult::kMismatchedQuote, {"ntbrint"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> tokens;
    EXPECT_EQ(driver::split_command_line(c.text, tokens), c.result) << c.text;
    EXPECT_EQ(tokens, c.tokens) << c.text;
  }
}

TEST(CommandLine, RoundTripKeepsBlanksInsideArguments) {
  const std::vector<std::string> args = {"/opt/ntbrint", "C:\\A B\\C", "-REC", "-P=LOG FILE.TXT"};
  std::vector<std::string> tokens;
  ASSERT_EQ(driver::split_command_line(driver::build_command_line(args), tokens), SplitResult::kOk);
  EXPECT_EQ(tokens, args);
}

TEST(CommandLine, TokenLengthAndCountLimits) {
  std::vector<std::string> tokens;
  const std::string longest(driver::kMaxTokenLength, 'x');
  EXPECT_EQ(driver::split_command_line("p " + longest, tokens), SplitResult::kOk);
  EXPECT_EQ(tokens.back().size(), driver::kMaxTokenLength);
  EXPECT_EQ(driver::split_command_line("p " + longest + "x", tokens), SplitResult::kTokenTooLong);

  std::string text = "p";
  for (size_t i = 1; i < driver::kMaxTokens; ++i) text += " a";
  EXPECT_EQ(driver::split_command_line(text, tokens), SplitResult::kOk);
  EXPECT_EQ(tokens.size(), driver::kMaxTokens);
  EXPECT_EQ(driver::split_command_line(text + " a", tokens), SplitResult::kTooManyTokens);
  EXPECT_EQ(driver::split_command_line(text + "   ", tokens), SplitResult::kOk);
}
