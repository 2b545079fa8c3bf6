// The virus data library: lists, loaders of the built-in block, "brint.vdl" and "*.ide",
// deletion, and the pattern index (see library.h).
#include "virusdata/library.h"

#include <algorithm>
#include <new>

#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "host/host.h"
#include "virusdata/checksum.h"
#include "virusdata/messages.h"

namespace virusdata {

Library g_library;

namespace {

constexpr size_t kFileWindow = 16384;  // bytes read from a data file at a time
constexpr size_t kPriorChars = 32;     // characters shown after the point of failure

// Built-in pattern record layout (kPatternRecordStride bytes).
constexpr size_t kRecLength = 0;
constexpr size_t kRecTail = 1;
constexpr size_t kRecDigest = 5;
constexpr size_t kRecName = 18;
constexpr size_t kRecNameRoom = 17;

void clear_lists() {
  for (auto& w : g_library.pair_bitmap) w = 0;
  busy_step();
  for (auto& h : g_library.pair_lists) h = kNoRecord;
  busy_step();
  for (auto& h : g_library.first_byte_lists) h = kNoRecord;
  busy_step();
  for (auto& h : g_library.length_lists) h = kNoRecord;
  busy_step();
}

void push_head(int32_t& head, int32_t index) {
  g_library.records[size_t(index)].next = head;
  head = index;
}

// Takes one loaded record (its entry's name is the last of g_library.names) into its list.
// Lengths were checked by the stream reader: 0xFB and 0x03 records hold 3 bytes, 0xFC 2.
void take_record(std::vector<uint8_t>&& program) {
  const int32_t name = int32_t(g_library.names.size()) - 1;
  const uint8_t first = program[0];
  if (first == 0xB4) {
    // A deletion record silences every earlier record of its name, then its own entry.
    if (clear_name(g_library.names[size_t(name)])) --driver::g_state.virus_count;
    // The entry's own name is blanked too (records of this entry that come later are
    // entered under the empty name when they are taken).
    g_library.names[size_t(name)].clear();
    --driver::g_state.virus_count;
    return;
  }
  const int32_t index = int32_t(g_library.records.size());
  g_library.records.push_back(IdentityRecord{kNoRecord, name, std::move(program)});
  if (g_library.last_registered_slot != name) {  // the entry's first listed record
    g_library.slots_by_name[g_library.names[size_t(name)]].push_back(name);
    g_library.last_registered_slot = name;
  }
  const std::vector<uint8_t>& p = g_library.records.back().program;
  switch (first) {
    case 0xFB:
      g_library.pair_bitmap[p[1] * 16 + (p[2] >> 4)] |= 1u << (p[2] & 15);
      push_head(g_library.pair_lists[pair_list_index(p[1], p[2])], index);
      break;
    case 0xFC:
      push_head(g_library.first_byte_lists[p[1]], index);
      break;
    case 0x03:
      push_head(g_library.length_lists[p[2]], index);
      break;
    default:
      push_head(g_library.general_list, index);
      break;
  }
}

// A data file read in windows of kFileWindow bytes. A read error ends the data and is
// remembered, so that a file cut short by the system is not taken as complete.
struct FileReader {
  host::File file;
  std::vector<uint8_t> buffer;
  bool read_failed = false;
};

void attach_file(FileReader& reader, StreamSource& src) {
  reader.buffer.resize(kFileWindow);
  src.raw.refill = [&reader](std::span<const uint8_t>& window) {
    size_t got = 0;
    if (host::read_file(reader.file, reader.buffer.data(), reader.buffer.size(), got) != 0) {
      reader.read_failed = true;
      return false;
    }
    if (got == 0) return false;
    window = std::span<const uint8_t>(reader.buffer.data(), got);
    return true;
  };
}

int open_data_file(const std::string& path, FileReader& reader) {
  return host::open_file(path, host::kAccessRead, host::kShareRead | host::kShareWrite, host::kOpenExisting,
                         reader.file);
}

// The messages of a failed external source other than corruption; true when printed.
bool report_common_failure(int r) {
  if (r == kStreamIncompatible) {
    driver::outputf(true, msg::kIncompatible);
    return true;
  }
  if (r == kStreamNoMemory) {
    driver::outputf(true, msg::kInsufficientMemory);
    return true;
  }
  return false;
}

// Loads the stream of an opened data file through `src`; the file is closed once it loaded
// and stays open after a failure, for its text to be shown.
int load_data_file(FileReader& reader, SourceKind kind, StreamSource& src) {
  src.kind = kind;
  attach_file(reader, src);
  int r = load_stream(src);
  if (reader.read_failed) r = kStreamCorrupt;  // whatever was parsed, the file could not be read
  if (r == 0) host::close_file(reader.file);
  return r;
}

int load_vdl() {
  FileReader reader;
  if (open_data_file(msg::kVdlName, reader) != 0) return 0;  // optional
  StreamSource src;
  const int r = load_data_file(reader, SourceKind::kVdl, src);
  if (r == 0) return 0;
  if (!report_common_failure(r)) driver::outputf(true, msg::kFileCorrupt, msg::kVdlName);
  return -2;
}

// Shows up to kPriorChars characters of the file from `offset`, exactly as they stand.
void show_following_chars(FileReader& reader, uint64_t offset) {
  uint8_t chars[kPriorChars];
  size_t got = 0;
  if (host::seek_file(reader.file, int64_t(offset), 0, nullptr) != 0 ||
      host::read_file(reader.file, chars, sizeof chars, got) != 0)
    got = 0;
  for (size_t i = 0; i < got; ++i) driver::outputf(true, "%c", chars[i]);
}

int load_identity_file(const std::string& path) {
  FileReader reader;
  if (open_data_file(path, reader) != 0) return 0;  // skipped
  StreamSource src;
  const int r = load_data_file(reader, SourceKind::kIdentity, src);
  if (r == 0) return 0;
  if (report_common_failure(r)) return -2;
  driver::outputf(true, msg::kFileCorrupt, path.c_str());
  driver::outputf(true, msg::kJustPrior);
  show_following_chars(reader, src.failure_offset);
  driver::outputf(true, "\n");
  return -2;
}

// Checks and copies one built-in pattern record; false when it is not sound.
bool parse_builtin_pattern(const uint8_t* p, PatternRecord& out) {
  out = PatternRecord{};
  out.length = p[kRecLength];
  if (out.length < kMinPatternBytes || out.length > kMaxPatternBytes) return false;
  for (int i = 0; i < 4; ++i) out.tail[i] = p[kRecTail + i];
  for (int i = 0; i < 8; ++i) out.digest[i] = p[kRecDigest + i];
  size_t n = 0;
  while (n < kRecNameRoom && p[kRecName + n] != 0) ++n;
  if (n > size_t(kMaxNameLength)) return false;  // no zero byte in time
  out.name.assign(reinterpret_cast<const char*>(p + kRecName), n);
  return true;
}

// Keeps a built-in record's head when the block has it and it gives the record's digest (a
// head that does not is ignored: the digest decides, as for any record).
void take_builtin_head(const uint8_t* h, PatternRecord& rec) {
  if (h[0] != 1) return;
  uint8_t digest[8];
  pattern_digest(h + 1, int32_t(rec.length) - 4, digest);
  if (!std::equal(digest, digest + 8, rec.digest)) return;
  std::copy(h + 1, h + 1 + (rec.length - 4), rec.head);
  rec.head_known = true;
}

}  // namespace

void reset_library() {
  g_library.pattern_table.assign(kPatternTableSize, PatternRecord{});
  g_library.pattern_count = 0;
  for (auto& e : g_library.pattern_index) e = kNoRecord;
  g_library.records.clear();
  g_library.names.clear();
  for (auto& h : g_library.pair_lists) h = kNoRecord;
  for (auto& h : g_library.first_byte_lists) h = kNoRecord;
  for (auto& h : g_library.length_lists) h = kNoRecord;
  g_library.general_list = kNoRecord;
  for (auto& w : g_library.pair_bitmap) w = 0;
  g_library.slots_by_name.clear();
  g_library.last_registered_slot = kNoRecord;
  g_library.busy_step = 0;
}

void busy_step() {
  static const char kCycle[] = "/-\\|";
  ++g_library.busy_step;
  if (driver::g_settings.super_silent) return;
  driver::console_printf("%c\b", kCycle[g_library.busy_step % 4]);
}

void initialise_library() {
  reset_library();
  clear_lists();
}

int load_stream(StreamSource& src) {
  StreamSink sink;
  sink.before_entry = [](int32_t entry) {
    if (entry % 32 == 0) busy_step();
  };
  sink.on_name = [](const std::string& name) {
    ++driver::g_state.virus_count;
    g_library.names.push_back(name);
    return 0;
  };
  sink.on_record = [](const std::string&, std::vector<uint8_t>&& program) {
    take_record(std::move(program));
    return 0;
  };
  try {
    return read_stream(src, sink);
  } catch (const std::bad_alloc&) {
    return kStreamNoMemory;
  }
}

bool clear_name(const std::string& name) {
  auto found = g_library.slots_by_name.find(name);
  if (found == g_library.slots_by_name.end() || found->second.empty()) return false;
  if (name.empty()) return true;  // already blank: matched, nothing changes
  std::vector<int32_t> slots = std::move(found->second);
  g_library.slots_by_name.erase(found);
  auto& blank = g_library.slots_by_name[std::string()];
  for (int32_t slot : slots) {
    g_library.names[size_t(slot)].clear();
    blank.push_back(slot);
  }
  return true;
}

int load_builtin_data(const BuiltinBlock& block, bool use_builtin_patterns,
                      const std::string& executable_name) {
  StreamSource src;
  int r = open_builtin_source(block, src);
  if (r == 0) r = load_stream(src);
  if (r == 0 && use_builtin_patterns) {
    if (block.pattern_count > size_t(kPatternTableSize) ||
        (block.pattern_count > 0 && block.patterns == nullptr)) {
      r = kStreamCorrupt;
    } else {
      for (size_t i = 0; i < block.pattern_count && r == 0; ++i) {
        PatternRecord& rec = g_library.pattern_table[i];
        if (!parse_builtin_pattern(block.patterns + i * kPatternRecordStride, rec)) r = kStreamCorrupt;
        if (r == 0 && block.pattern_heads != nullptr) take_builtin_head(block.pattern_heads + i * kPatternHeadStride, rec);
      }
    }
  }
  if (r != 0) {
    if (r == kStreamIncompatible)
      driver::outputf(true, msg::kIncompatible);
    else if (r == kStreamNoMemory)
      driver::outputf(true, msg::kInsufficientMemory);
    else
      driver::outputf(true, msg::kBuiltinCorrupt, executable_name.c_str());
    return -2;
  }
  g_library.pattern_count = use_builtin_patterns ? int32_t(block.pattern_count) : 0;
  driver::g_state.virus_count = block.virus_count;
  return 0;
}

int load_external_data() {
  if (load_vdl() != 0) return -2;
  const std::string dir = driver::g_state.program_dir;
  host::FindHandle handle;
  host::FindData entry;
  for (int f = host::find_first(dir + msg::kIdentityPattern, handle, entry); f == 0;
       f = host::find_next(handle, entry)) {
    if (entry.attributes & host::kAttrDirectory) continue;  // only files hold data
    const std::string& spelled = entry.host_name.empty() ? entry.name : entry.host_name;
    if (load_identity_file(dir + spelled) != 0) return -2;
  }
  return 0;
}

void build_pattern_index() {
  auto& t = g_library.pattern_table;
  const int32_t n = g_library.pattern_count;
  auto hash_of = [](const PatternRecord& r) { return pattern_hash(r.tail[1], r.tail[0]); };
  // The shell sort runs over (hash, position) pairs, and the records move once at the end:
  // the same order as moving the records themselves at every exchange, for less work.
  struct Key {
    uint32_t hash;
    int32_t position;
  };
  std::vector<Key> keys(size_t(n > 0 ? n : 0));
  for (int32_t i = 0; i < n; ++i) keys[size_t(i)] = {hash_of(t[size_t(i)]), i};
  for (int32_t gap = n / 2; gap > 0; gap /= 2)
    for (int32_t i = gap; i < n; ++i)
      for (int32_t j = i - gap; j >= 0 && keys[size_t(j)].hash > keys[size_t(j + gap)].hash; j -= gap)
        std::swap(keys[size_t(j)], keys[size_t(j + gap)]);
  std::vector<PatternRecord> sorted(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) sorted[i] = std::move(t[size_t(keys[i].position)]);
  std::move(sorted.begin(), sorted.end(), t.begin());
  for (auto& e : g_library.pattern_index) e = kNoRecord;
  for (int32_t i = 0; i < n; ++i) {
    const uint32_t h = hash_of(t[size_t(i)]);
    if (g_library.pattern_index[h] == kNoRecord) g_library.pattern_index[h] = i;
    t[size_t(i)].hash = h;
  }
}

}  // namespace virusdata
