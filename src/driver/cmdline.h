// The command line: its text as the system hands it over, and its split into tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace driver {

constexpr size_t kMaxTokenLength = 1024;  // the splitting buffer; a longer token refuses the line
constexpr size_t kMaxTokens = 100;        // program name included; more refuses the line

// Results of split_command_line().
enum class SplitResult { kOk, kMismatchedQuote, kTokenTooLong, kTooManyTokens };

// The command-line text as NT would hand it to the program: the arguments (program name
// first) joined by one blank, each argument that holds a blank or a tab in double quotes.
std::string build_command_line(const std::vector<std::string>& args);

// Splits `text` into `tokens`: a double quote switches the inside-quotes state and is
// dropped; a blank outside quotes ends a token (runs of blanks make no empty tokens);
// tabs are ordinary characters. An empty text gives no tokens. `tokens` holds what was
// split so far when the result is not kOk.
SplitResult split_command_line(std::string_view text, std::vector<std::string>& tokens);

}  // namespace driver
