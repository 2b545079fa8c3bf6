// The virus list (-DL): every name of the identity records and pattern records, sorted
// ignoring case, each once, four to a line, paged at the console page length.
#include <algorithm>
#include <new>

#include "driver/base/console.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"
#include "host/host.h"
#include "virusdata/library.h"
#include "virusdata/messages.h"

namespace virusdata {

namespace {

constexpr int kHeadingLines = 9;  // lines on the screen before the first line of names
constexpr int kNamesPerLine = 4;
constexpr int kColumnWidth = 16;

}  // namespace

int compare_names(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = uint8_t(host::upper_char(a[i]));
    const int cb = uint8_t(host::upper_char(b[i]));
    if (ca != cb) return ca - cb;
  }
  // The shorter name ends first: its terminating zero compares below any character.
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -int(uint8_t(host::upper_char(b[n]))) : int(uint8_t(host::upper_char(a[n])));
}

int show_virus_list() {
  driver::outputf(false, msg::kLibraryContains, driver::g_state.virus_count);
  driver::console_printf(msg::kSorting);
  std::vector<const std::string*> names;
  try {
    size_t count = 0;
    auto count_list = [&](int32_t head) {
      for (int32_t i = head; i != kNoRecord; i = g_library.records[size_t(i)].next)
        if (!record_name(g_library.records[size_t(i)]).empty()) ++count;
    };
    for (int32_t h : g_library.pair_lists) count_list(h);
    for (int32_t h : g_library.first_byte_lists) count_list(h);
    for (int32_t h : g_library.length_lists) count_list(h);
    count_list(g_library.general_list);
    names.reserve(count + size_t(g_library.pattern_count));
    auto fill_list = [&](int32_t head) {
      for (int32_t i = head; i != kNoRecord; i = g_library.records[size_t(i)].next)
        if (!record_name(g_library.records[size_t(i)]).empty())
          names.push_back(&record_name(g_library.records[size_t(i)]));
    };
    for (int32_t h : g_library.pair_lists) fill_list(h);
    for (int32_t h : g_library.first_byte_lists) fill_list(h);
    for (int32_t h : g_library.length_lists) fill_list(h);
    fill_list(g_library.general_list);
    for (int32_t i = 0; i < g_library.pattern_count; ++i)
      names.push_back(&g_library.pattern_table[size_t(i)].name);
  } catch (const std::bad_alloc&) {
    return driver::kReported;
  }

  long comparisons = 0;
  std::stable_sort(names.begin(), names.end(), [&](const std::string* a, const std::string* b) {
    host::console_flush();
    if (++comparisons % 16 == 0) busy_step();
    return compare_names(*a, *b) < 0;
  });

  const int page = driver::g_settings.page_length;
  int lines = kHeadingLines;
  int shown = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    // Of each run of names equal but for case only the last is shown.
    if (i + 1 < names.size() && compare_names(*names[i], *names[i + 1]) == 0) continue;
    ++shown;
    if (shown % kNamesPerLine != 0) {
      // Names longer than a column (command-line patterns from number 100 on) still get
      // one space, so that they never run into the next name.
      driver::outputf(false, "%-*s ", kColumnWidth - 1, names[i]->c_str());
      continue;
    }
    driver::outputf(false, "%s\n", names[i]->c_str());
    const int before = lines++;
    if (page > 0 && (before + 2) % page == 0) {
      if (driver::key_wait() == driver::kQuit) return driver::kQuit;
    }
  }
  driver::outputf(false, "\n");
  return 0;
}

}  // namespace virusdata
