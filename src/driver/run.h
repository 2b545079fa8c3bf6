// The program's main line: start-up, scheduling, loading, the passes and their summary,
// the area listing and the end steps. It ends through the stop routine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace driver {

// Runs the program on the arguments the process was given (program name first) and ends
// the process through stop(); never returns.
[[noreturn]] void program_main(const std::vector<std::string>& args);

// The summary of one pass that took `elapsed_seconds` (0 or less counts as 1): reads
// g_counters, raises the exit code, writes through the output routine.
void print_summary(int64_t elapsed_seconds);

// The day file: true when it holds today's date (the first six characters of the start
// timestamp) in its first six bytes. A missing or short file holds no date.
bool day_file_says_done(const std::string& path);
// Creates or truncates the day file and writes today's six characters; failures ignored.
void write_day_file(const std::string& path);

// The message file's lines for the summary: at most 163 characters each (longer lines go
// on in the next one), empty lines skipped, ending at a Ctrl-Z. False when it cannot be opened.
bool read_message_file(const std::string& path, std::vector<std::string>& lines);

}  // namespace driver
