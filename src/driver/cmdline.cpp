// The command line: its text as the system hands it over, and its split into tokens.
#include "driver/cmdline.h"

namespace driver {

std::string build_command_line(const std::vector<std::string>& args) {
  std::string text;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) text += ' ';
    const std::string& a = args[i];
    if (a.find_first_of(" \t") != std::string::npos) {
      text += '"';
      text += a;
      text += '"';
    } else {
      text += a;
    }
  }
  return text;
}

SplitResult split_command_line(std::string_view text, std::vector<std::string>& tokens) {
  tokens.clear();
  std::string token;  // the token being collected (never longer than kMaxTokenLength)
  bool in_quotes = false;
  auto finish = [&]() -> SplitResult {
    if (token.empty()) return SplitResult::kOk;  // blanks in a row, or "": no token
    if (tokens.size() >= kMaxTokens) return SplitResult::kTooManyTokens;
    tokens.push_back(token);
    token.clear();
    return SplitResult::kOk;
  };
  for (char c : text) {
    if (c == '"') {
      in_quotes = !in_quotes;
      continue;
    }
    if (c == ' ' && !in_quotes) {
      SplitResult r = finish();
      if (r != SplitResult::kOk) return r;
      continue;
    }
    if (token.size() >= kMaxTokenLength) return SplitResult::kTokenTooLong;
    token += c;
  }
  if (in_quotes) return SplitResult::kMismatchedQuote;
  return finish();
}

}  // namespace driver
