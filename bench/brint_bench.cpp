// brint-bench: measures ntbrint against plain reading of the same files, side by side.
//
// It builds, reproducibly from a seed, a corpus of real files copied from a source tree
// (/usr by default), a tree of small files cut from them, and two user pattern sets of
// 2,047 24-byte patterns: random ones, and ones whose last four bytes are common in real
// data. Then it runs, in turn and several times over:
//   - ntbrint -F over the corpus with each pattern set, against reading every file with
//     10240-byte reads;
//   - ntbrint in quick mode over the small files, against open + read 1024 bytes + close;
//   - ntbrint on an empty drive with 2,047 patterns (start-up), against starting a program
//     that does nothing;
//   - clamscan and yara over the corpus with the same patterns, when they are installed.
// Every command is a child process timed from fork to exit; the medians and their ratios are
// printed, with the peak resident memory of the ntbrint runs.
//
// The reading baselines are this program itself (`brint-bench read DIR SIZE` and
// `brint-bench open-read DIR SIZE`), so both sides pay for starting a process.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kPatternCount = 2047;  // the table holds 2048; -NAP leaves it to the user patterns
constexpr int kPatternBytes = 24;

struct Options {
  std::string ntbrint;
  std::string work;
  std::string source = "/usr";
  uint64_t corpus_bytes = uint64_t(1024) << 20;
  int small_files = 100000;
  int runs = 5;
  uint64_t seed = 1;
  bool peers = true;
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "brint-bench: %s\n", what.c_str());
  std::exit(2);
}

bool is_dir(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void make_dir(const std::string& p) {
  if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) die("cannot create " + p + ": " + std::strerror(errno));
}

void remove_tree(const std::string& p) {
  const std::string cmd = "rm -rf '" + p + "'";
  if (std::system(cmd.c_str()) != 0) die("cannot remove " + p);
}

// Regular files below `dir` (symbolic links not followed), in name order.
void list_files(const std::string& dir, std::vector<std::pair<std::string, uint64_t>>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    const std::string p = dir + "/" + n;
    struct stat st{};
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      list_files(p, out);
    } else if (S_ISREG(st.st_mode) && ::access(p.c_str(), R_OK) == 0) {
      out.emplace_back(p, uint64_t(st.st_size));
    }
  }
}

bool copy_file(const std::string& from, const std::string& to, uint64_t limit) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  std::vector<char> buf(1 << 16);
  uint64_t left = limit;
  while (left > 0 && in) {
    in.read(buf.data(), std::streamsize(std::min<uint64_t>(buf.size(), left)));
    const std::streamsize n = in.gcount();
    if (n <= 0) break;
    out.write(buf.data(), n);
    left -= uint64_t(n);
  }
  return bool(out);
}

std::string read_text(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_text(const std::string& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) die("cannot write " + p);
}

struct Corpus {
  uint64_t files = 0;
  uint64_t bytes = 0;
};

// True with the counts in `c` when `dir` was built from `recipe` (its stamp file says so);
// otherwise `dir` is emptied for building.
bool built_before(const std::string& dir, const std::string& recipe, Corpus& c) {
  const std::string stamp = read_text(dir + ".recipe");
  if (is_dir(dir) && stamp.rfind(recipe + "\n", 0) == 0) {
    std::sscanf(stamp.c_str() + recipe.size() + 1, "%" SCNu64 " %" SCNu64, &c.files, &c.bytes);
    return true;
  }
  remove_tree(dir);
  make_dir(dir);
  return false;
}

// The large corpus: files of the source tree in a seeded order until the byte budget is
// reached, copied as D000/F00000.BIN ... (500 to a directory). Kept between runs when the
// recorded recipe matches.
Corpus build_corpus(const Options& o, const std::string& dir) {
  const std::string recipe = o.source + " " + std::to_string(o.corpus_bytes) + " " + std::to_string(o.seed);
  Corpus c;
  if (built_before(dir, recipe, c)) return c;
  std::vector<std::pair<std::string, uint64_t>> all;
  list_files(o.source, all);
  if (all.empty()) die("no readable files under " + o.source);
  std::mt19937_64 rng(o.seed);
  std::shuffle(all.begin(), all.end(), rng);
  constexpr uint64_t kLargest = uint64_t(64) << 20;
  for (const auto& [path, size] : all) {
    if (c.bytes >= o.corpus_bytes) break;
    if (size == 0 || size > kLargest) continue;
    char sub[32], name[32];
    std::snprintf(sub, sizeof sub, "D%03" PRIu64, c.files / 500);
    std::snprintf(name, sizeof name, "F%05" PRIu64 ".BIN", c.files);
    if (c.files % 500 == 0) make_dir(dir + "/" + sub);
    const uint64_t take = std::min(size, o.corpus_bytes - c.bytes);
    if (!copy_file(path, dir + "/" + sub + "/" + name, take)) continue;
    ++c.files;
    c.bytes += take;
  }
  write_text(dir + ".recipe", recipe + "\n" + std::to_string(c.files) + " " + std::to_string(c.bytes) + "\n");
  return c;
}

// The small files: `count` files of 64 to 8191 bytes cut at seeded places from the corpus,
// 1000 to a directory.
Corpus build_small(const Options& o, const std::string& corpus, const std::string& dir) {
  const std::string recipe = "small " + std::to_string(o.small_files) + " " + std::to_string(o.seed) + " " +
                             std::to_string(o.corpus_bytes);
  Corpus c;
  if (built_before(dir, recipe, c)) return c;
  std::vector<std::pair<std::string, uint64_t>> sources;
  list_files(corpus, sources);
  std::mt19937_64 rng(o.seed + 1);
  std::vector<char> buf(8192);
  for (int i = 0; i < o.small_files; ++i) {
    const auto& [path, size] = sources[rng() % sources.size()];
    const uint64_t want = 64 + rng() % (8192 - 64);
    const uint64_t at = size > want ? rng() % (size - want) : 0;
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(at));
    in.read(buf.data(), std::streamsize(want));
    const std::streamsize n = in.gcount();
    char sub[32], name[32];
    std::snprintf(sub, sizeof sub, "S%03d", i / 1000);
    std::snprintf(name, sizeof name, "F%05d.BIN", i);
    if (i % 1000 == 0) make_dir(dir + "/" + sub);
    std::ofstream out(dir + "/" + sub + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(buf.data(), n);
    ++c.files;
    c.bytes += uint64_t(std::max<std::streamsize>(n, 0));
  }
  write_text(dir + ".recipe", recipe + "\n" + std::to_string(c.files) + " " + std::to_string(c.bytes) + "\n");
  return c;
}

// Two pattern sets of kPatternCount patterns, as the bytes of each pattern.
using PatternSet = std::vector<std::vector<uint8_t>>;

PatternSet random_patterns(uint64_t seed) {
  std::mt19937_64 rng(seed);
  PatternSet set(kPatternCount, std::vector<uint8_t>(kPatternBytes));
  for (auto& p : set)
    for (auto& b : p) b = uint8_t(rng());
  return set;
}

// Random heads, tails that real files are full of: runs of zeros, blanks, 0xFF, NOPs, int 3
// padding, dots, dashes and equals signs.
PatternSet common_tail_patterns(uint64_t seed) {
  static const uint8_t kTails[][4] = {{0x00, 0x00, 0x00, 0x00}, {0x20, 0x20, 0x20, 0x20}, {0xFF, 0xFF, 0xFF, 0xFF},
                                      {0x90, 0x90, 0x90, 0x90}, {0xCC, 0xCC, 0xCC, 0xCC}, {0x2E, 0x2E, 0x2E, 0x2E},
                                      {0x2D, 0x2D, 0x2D, 0x2D}, {0x3D, 0x3D, 0x3D, 0x3D}};
  PatternSet set = random_patterns(seed);
  for (size_t i = 0; i < set.size(); ++i) std::memcpy(set[i].data() + kPatternBytes - 4, kTails[i % 8], 4);
  return set;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

// BRINT.PAT for ntbrint, an .ndb database for clamscan, rules for yara, all in `dir`.
void write_pattern_files(const PatternSet& set, const std::string& dir) {
  make_dir(dir);
  std::string pat, ndb, yar;
  for (size_t i = 0; i < set.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "P%04zu", i);
    pat += std::string(name) + " " + hex(set[i]) + "\n";
    ndb += std::string(name) + ":0:*:" + hex(set[i]) + "\n";
    std::string spaced;
    for (uint8_t b : set[i]) {
      char h[4];
      std::snprintf(h, sizeof h, "%02X ", b);
      spaced += h;
    }
    yar += "rule " + std::string(name) + " { strings: $a = { " + spaced + "} condition: $a }\n";
  }
  write_text(dir + "/BRINT.PAT", pat);
  write_text(dir + "/bench.ndb", ndb);
  write_text(dir + "/bench.yar", yar);
}

struct RunResult {
  double seconds = 0;
  long max_rss_kib = 0;
  int status = -1;
};

// Runs argv in `cwd` with extra environment, output to `out`; times it from fork to exit.
RunResult run(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env,
              const std::string& out) {
  RunResult r;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(127);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_in = ::open("/dev/null", O_RDONLY);
    if (fd < 0 || null_in < 0) _exit(127);
    ::dup2(null_in, 0);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru{};
  while (::wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) die("wait failed");
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.max_rss_kib = ru.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool on_path(const std::string& prog) {
  const std::string cmd = "command -v " + prog + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// One measured command: its name, how to run it, the exit codes it may end with.
struct Job {
  std::string label;
  std::vector<std::string> argv;
  std::string cwd;
  std::vector<std::string> env;
  std::vector<int> ok_codes;
  std::vector<double> times;
  long max_rss_kib = 0;
  std::string out;
};

void measure(Job& j) {
  const RunResult r = run(j.argv, j.cwd, j.env, j.out);
  if (std::find(j.ok_codes.begin(), j.ok_codes.end(), r.status) == j.ok_codes.end()) {
    std::fprintf(stderr, "brint-bench: %s ended with %d; its output is in %s\n", j.label.c_str(), r.status,
                 j.out.c_str());
    std::exit(2);
  }
  j.times.push_back(r.seconds);
  j.max_rss_kib = std::max(j.max_rss_kib, r.max_rss_kib);
}

// Runs the jobs in turn, `runs` rounds, so that every job sees the same machine state.
void measure_side_by_side(std::vector<Job*> jobs, int runs) {
  for (int i = 0; i < runs; ++i)
    for (Job* j : jobs) measure(*j);
}

void print_ratio(const char* what, const Job& brint, const Job& base, double goal) {
  const double b = median(brint.times), r = median(base.times);
  std::printf("%-34s ntbrint %8.3f s   %-14s %8.3f s   ratio %5.2f  (goal <= %.2f)\n", what, b,
              base.label.c_str(), r, b / r, goal);
}

// The summary line of a run reports the files checked: they must be all of the corpus.
void check_counted(const Job& j, uint64_t files) {
  const std::string text = read_text(j.out);
  const std::string want = std::to_string(files) + " files (";
  if (text.find(want) == std::string::npos) {
    std::fprintf(stderr, "brint-bench: %s did not report %" PRIu64 " files checked; see %s\n", j.label.c_str(),
                 files, j.out.c_str());
    std::exit(2);
  }
}

// Baselines, run as `brint-bench read DIR SIZE` and `brint-bench open-read DIR SIZE`.
uint64_t g_sink = 0;

void read_tree(const std::string& dir, size_t chunk, bool whole) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  std::vector<char> buf(chunk);
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string p = dir + "/" + e->d_name;
    if (e->d_type == DT_DIR) {
      read_tree(p, chunk, whole);
      continue;
    }
    const int fd = ::open(p.c_str(), O_RDONLY);
    if (fd < 0) continue;
    ssize_t n;
    do {
      n = ::read(fd, buf.data(), chunk);
      if (n > 0) g_sink += uint8_t(buf[size_t(n) - 1]);
    } while (whole && n > 0);
    ::close(fd);
  }
  ::closedir(d);
}

int baseline_main(int argc, char** argv) {
  if (argc != 4) die("usage: brint-bench read|open-read DIR SIZE");
  const bool whole = std::strcmp(argv[1], "read") == 0;
  read_tree(argv[2], size_t(std::strtoul(argv[3], nullptr, 10)), whole);
  std::printf("%" PRIu64 "\n", g_sink);
  return 0;
}

void usage() {
  std::fprintf(stderr,
               "usage: brint-bench --ntbrint PATH --work DIR [--source DIR] [--corpus-mib N] [--small-files N]\n"
               "                   [--runs N] [--seed N] [--no-peers]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--ntbrint") o.ntbrint = value();
    else if (a == "--work") o.work = value();
    else if (a == "--source") o.source = value();
    else if (a == "--corpus-mib") o.corpus_bytes = std::strtoull(value().c_str(), nullptr, 10) << 20;
    else if (a == "--small-files") o.small_files = std::atoi(value().c_str());
    else if (a == "--runs") o.runs = std::max(1, std::atoi(value().c_str()));
    else if (a == "--seed") o.seed = std::strtoull(value().c_str(), nullptr, 10);
    else if (a == "--no-peers") o.peers = false;
    else usage();
  }
  if (o.ntbrint.empty() || o.work.empty() || o.corpus_bytes == 0 || o.small_files <= 0) usage();
  return o;
}

std::string absolute(const std::string& p) {
  char* r = ::realpath(p.c_str(), nullptr);
  if (!r) die("no such file: " + p);
  std::string s(r);
  std::free(r);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "read") == 0 || std::strcmp(argv[1], "open-read") == 0))
    return baseline_main(argc, argv);
  Options o = parse(argc, argv);
  make_dir(o.work);
  o.work = absolute(o.work);
  o.ntbrint = absolute(o.ntbrint);
  const std::string self = absolute("/proc/self/exe");

  const std::string corpus_dir = o.work + "/corpus", small_dir = o.work + "/small", empty_dir = o.work + "/empty";
  const std::string system_dir = o.work + "/system", logs = o.work + "/logs";
  std::printf("building the corpus (seed %" PRIu64 ") ...\n", o.seed);
  std::fflush(stdout);
  // The inputs are built in a child: the measured children are forked from this process, and
  // a child's peak memory counts what it shared with its parent before exec.
  const pid_t builder = ::fork();
  if (builder < 0) die("fork failed");
  if (builder == 0) {
    build_corpus(o, corpus_dir);
    build_small(o, corpus_dir, small_dir);
    std::fflush(stdout);
    _exit(0);
  }
  int built = 0;
  if (::waitpid(builder, &built, 0) < 0 || !WIFEXITED(built) || WEXITSTATUS(built) != 0) die("building the inputs failed");
  const Corpus corpus = build_corpus(o, corpus_dir);
  const Corpus small = build_small(o, corpus_dir, small_dir);
  make_dir(empty_dir);
  make_dir(system_dir);
  make_dir(logs);
  write_pattern_files(random_patterns(o.seed), o.work + "/random");
  write_pattern_files(common_tail_patterns(o.seed), o.work + "/common");
  std::printf("corpus: %" PRIu64 " files, %.1f MiB from %s; small files: %" PRIu64 " files, %.1f MiB\n",
              corpus.files, double(corpus.bytes) / (1 << 20), o.source.c_str(), small.files,
              double(small.bytes) / (1 << 20));
  std::printf("%d runs of each, side by side; medians\n\n", o.runs);
  std::fflush(stdout);

  const std::string system_env = "BRINT_SYSTEM=" + system_dir;
  auto brint = [&](const std::string& label, const std::string& drive_root, const std::string& cwd, bool full) {
    Job j;
    j.label = label;
    j.argv = {o.ntbrint, "-NK", "-NB", "-NE", "-NAP", "-ALL"};
    if (full) j.argv.push_back("-F");
    j.argv.push_back("C:");
    j.cwd = cwd;
    j.env = {"BRINT_DRIVES=C=" + drive_root, system_env};
    j.ok_codes = {0, 3};  // 3: something in the source tree happened to match
    j.out = logs + "/" + label + ".txt";
    return j;
  };
  auto baseline = [&](const std::string& label, const char* mode, const std::string& dir, const char* chunk) {
    Job j;
    j.label = label;
    j.argv = {self, mode, dir, chunk};
    j.ok_codes = {0};
    j.out = logs + "/" + label + ".txt";
    return j;
  };

  // Warm the page cache.
  Job warm = baseline("warm", "read", corpus_dir, "10240");
  measure(warm);
  Job warm_small = baseline("warm-small", "read", small_dir, "10240");
  measure(warm_small);

  Job read10k = baseline("read 10240", "read", corpus_dir, "10240");
  Job full_random = brint("full-random", corpus_dir, o.work + "/random", true);
  Job full_common = brint("full-common", corpus_dir, o.work + "/common", true);
  measure_side_by_side({&read10k, &full_random, &full_common}, o.runs);
  check_counted(full_random, corpus.files);
  check_counted(full_common, corpus.files);

  Job open_read = baseline("open+read 1024", "open-read", small_dir, "1024");
  Job quick = brint("quick-small", small_dir, o.work + "/random", false);
  measure_side_by_side({&open_read, &quick}, o.runs);
  check_counted(quick, small.files);

  Job nothing = baseline("empty program", "open-read", empty_dir, "1");
  Job startup = brint("startup", empty_dir, o.work + "/random", false);
  measure_side_by_side({&nothing, &startup}, std::max(o.runs, 21));

  print_ratio("full check, random patterns", full_random, read10k, 1.5);
  print_ratio("full check, common-tail patterns", full_common, read10k, 3.0);
  print_ratio("quick mode, small files", quick, open_read, 1.25);
  std::printf("%-34s ntbrint %8.2f ms  (an empty program: %.2f ms; goal <= 10 ms)\n", "start-up, 2,047 patterns",
              median(startup.times) * 1000, median(nothing.times) * 1000);
  const long peak = std::max({full_random.max_rss_kib, full_common.max_rss_kib, quick.max_rss_kib});
  std::printf("%-34s %.1f MiB  (goal <= 8 MiB)\n", "peak memory while scanning", double(peak) / 1024);
  std::printf("%-34s %.0f MB/s (random), %.0f MB/s (common tails), reading %.0f MB/s\n", "throughput",
              double(corpus.bytes) / 1e6 / median(full_random.times),
              double(corpus.bytes) / 1e6 / median(full_common.times), double(corpus.bytes) / 1e6 / median(read10k.times));
  std::fflush(stdout);

  if (!o.peers) return 0;
  std::printf("\npeers on the same corpus and patterns:\n");
  bool any = false;
  for (const char* set : {"random", "common"}) {
    const std::string dir = o.work + "/" + set;
    std::vector<Job*> jobs;
    Job clam, yara;
    if (on_path("clamscan")) {
      clam.label = std::string("clamscan-") + set;
      clam.argv = {"clamscan", "--no-summary", "--infected", "-r", "-d", dir + "/bench.ndb", corpus_dir};
      clam.ok_codes = {0, 1};
      clam.out = logs + "/" + clam.label + ".txt";
      jobs.push_back(&clam);
    }
    if (on_path("yara")) {
      yara.label = std::string("yara-") + set;
      yara.argv = {"yara", "-p", "1", "-r", dir + "/bench.yar", corpus_dir};
      yara.ok_codes = {0};
      yara.out = logs + "/" + yara.label + ".txt";
      jobs.push_back(&yara);
    }
    if (jobs.empty()) break;
    any = true;
    measure_side_by_side(jobs, std::min(o.runs, 3));
    const Job& mine = std::string(set) == "random" ? full_random : full_common;
    for (const Job* j : jobs)
      std::printf("%-34s %8.3f s   ratio to reading %5.2f, to ntbrint %5.2f\n", j->label.c_str(), median(j->times),
                  median(j->times) / median(read10k.times), median(j->times) / median(mine.times));
  }
  if (!any) std::printf("(clamscan and yara are not installed; `make bench` as root installs them)\n");
  return 0;
}
