// Helpers shared by the unit tests that need a virus library: entries written in the data
// compiler's source language loaded as a stream, and pattern records put in a fresh table.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/matcher.h"
#include "vdc.h"
#include "virusdata/library.h"
#include "virusdata/stream.h"

namespace testutil {

// Assembles a source of "virus"/"record" entries; fails the test on any diagnostic.
inline vdc::Issue assemble_issue(const std::string& source) {
  vdc::Issue issue;
  std::vector<vdc::Diagnostic> diagnostics;
  const bool ok = vdc::assemble_source(source, "test.vds", "", issue, diagnostics);
  std::string why;
  for (const auto& d : diagnostics) why += vdc::format_diagnostic(d) + "\n";
  EXPECT_TRUE(ok) << source << "\n" << why;
  return issue;
}

// Loads the entries of `source` into the library as it stands.
inline void load_entries(const std::string& source) {
  vdc::Issue issue = assemble_issue(source);
  std::vector<uint8_t> stream = vdc::encode_stream(issue.entries);
  virusdata::StreamSource src = virusdata::memory_source(virusdata::SourceKind::kVdl, stream);
  ASSERT_EQ(virusdata::load_stream(src), 0);
}

// Puts the signatures into an empty pattern table, builds the index and resets the matcher.
// The records hold digests only, as built-in ones do; with heads_every = k, every k-th one
// also keeps its head bytes, as a user pattern does.
inline void load_patterns(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& patterns,
                          int heads_every = 0) {
  virusdata::Library& lib = virusdata::g_library;
  lib.pattern_table.assign(virusdata::kPatternTableSize, virusdata::PatternRecord{});
  lib.pattern_count = 0;
  for (const auto& [name, signature] : patterns) {
    const std::vector<uint8_t> raw = vdc::make_pattern_record(name, signature);
    const bool keep_head = heads_every > 0 && lib.pattern_count % heads_every == 0;
    virusdata::PatternRecord& rec = lib.pattern_table[size_t(lib.pattern_count++)];
    rec.length = raw[0];
    std::copy(raw.begin() + 1, raw.begin() + 5, rec.tail);
    std::copy(raw.begin() + 5, raw.begin() + 13, rec.digest);
    if (keep_head) {
      rec.head_known = true;
      std::copy(signature.begin(), signature.end() - 4, rec.head);
    }
    rec.name = name;
  }
  virusdata::build_pattern_index();
  engine::reset_matcher();
}

}  // namespace testutil
