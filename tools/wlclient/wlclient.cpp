// wlclient: a Wardenline client for the server mode of ntbrint.
//
//   wlclient [-t SECONDS] [-s STATION] [-n NAME] [-v MAJOR.MINOR] COMMSDIR FILE
//       submits FILE for checking (a file check, request code 1) and waits for the answer
//   wlclient -b [options] COMMSDIR IMAGE
//       submits a boot-sector image (request code 2)
//   wlclient -r TYPE [-s STATION] [-k KIND] COMMSDIR TEXT
//       sends a client report (code 3) of TYPE 1 (warning), 3 (error) or 10 (virus)
//
// COMMSDIR and FILE are host paths or NT paths ("C:\COMMS") on the drives of BRINT_DRIVES.
//
// The source is written as B.SRC while B.REQ is held open with no sharing, so the server
// takes the request up only once both are complete. The answer B.ANS is checked against
// its checksum. Exit codes: 0 no virus found (or report sent), 3 a virus was found,
// 2 any error (bad arguments, files that cannot be written, no answer in time, a bad answer).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host.h"
#include "server/server.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitError = 2;
constexpr int kExitVirus = 3;
constexpr unsigned kPollMs = 100;

struct Options {
  int code = server::kCodeCheckFile;
  int report_type = 0;
  int client_kind = 2;  // anything but 1 is Wardenline
  int major = 1, minor = 2;
  int timeout_s = 60;
  std::string station;
  std::string shown_name;
  std::string comms;
  std::string subject;  // the file, the image, or the report text
};

void usage() {
  std::fputs("usage: wlclient [-b] [-t SECONDS] [-s STATION] [-n NAME] [-v MAJOR.MINOR] COMMSDIR FILE\n"
             "       wlclient -r TYPE [-s STATION] [-k KIND] COMMSDIR TEXT\n",
             stderr);
}

bool parse_int(const char* s, int lo, int hi, int& out) {
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (end == s || *end != '\0' || v < lo || v > hi) return false;
  out = int(v);
  return true;
}

bool parse_args(int argc, char** argv, Options& o) {
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](void) -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "-b") {
      o.code = server::kCodeCheckBoot;
    } else if (a == "-r") {
      const char* v = value();
      if (!v || !parse_int(v, -32768, 32767, o.report_type)) return false;
      o.code = server::kCodeClientReport;
    } else if (a == "-t") {
      const char* v = value();
      if (!v || !parse_int(v, 1, 86400, o.timeout_s)) return false;
    } else if (a == "-s") {
      const char* v = value();
      if (!v) return false;
      o.station = v;
    } else if (a == "-n") {
      const char* v = value();
      if (!v) return false;
      o.shown_name = v;
    } else if (a == "-k") {
      const char* v = value();
      if (!v || !parse_int(v, -32768, 32767, o.client_kind)) return false;
    } else if (a == "-v") {
      const char* v = value();
      if (!v || std::sscanf(v, "%d.%d", &o.major, &o.minor) != 2 || o.major < 0 || o.major > 255 ||
          o.minor < 0 || o.minor > 255)
        return false;
    } else if (a.size() > 1 && a[0] == '-') {
      return false;
    } else {
      rest.push_back(a);
    }
  }
  if (rest.size() != 2) return false;
  o.comms = rest[0];
  o.subject = rest[1];
  if (o.station.empty()) o.station = host::computer_name();
  return true;
}

void put16(std::vector<uint8_t>& r, size_t at, int v) {
  r[at] = uint8_t(v & 0xFF);
  r[at + 1] = uint8_t((v >> 8) & 0xFF);
}

// Puts a zero-terminated text at `at`, growing the record as needed but never past the
// bytes the server reads.
void put_text(std::vector<uint8_t>& r, size_t at, const std::string& text) {
  const size_t room = server::kRequestReadMax - at - 1;
  const size_t n = std::min(text.size(), room);
  if (r.size() < at + n + 1) r.resize(at + n + 1, 0);
  for (size_t i = 0; i < n; ++i) r[at + i] = uint8_t(text[i]);
  r[at + n] = 0;
}

std::vector<uint8_t> build_request(const Options& o) {
  std::vector<uint8_t> r(server::kRequestMinTaken, 0);
  r[0] = 'W', r[1] = 'L';
  r[2] = uint8_t(o.major), r[3] = uint8_t(o.minor);
  const std::string station = o.station.substr(0, server::kStationSize - 1);
  for (size_t i = 0; i < station.size(); ++i) r[server::kStationOffset + i] = uint8_t(station[i]);
  put16(r, server::kClientKindOffset, o.client_kind);
  put16(r, server::kRequestCodeOffset, o.code);
  if (o.code == server::kCodeClientReport) {
    r.resize(server::kReportTextOffset, 0);
    put16(r, server::kReportTypeOffset, o.report_type);
    put_text(r, server::kReportTextOffset, o.subject);
  } else if (o.code == server::kCodeCheckFile) {
    const bool old_client = o.major == 1 && o.minor <= 1;
    const size_t at = old_client ? server::kOldNameOffset : server::kNameOffset;
    if (r.size() < at) r.resize(at, 0);
    put_text(r, at, o.shown_name.empty() ? o.subject : o.shown_name);
  }
  server::seal_request(r);
  return r;
}

// A file of the communications directory, named with the directory's own separator: "\"
// for an NT path ("C:\COMMS", "\COMMS"), "/" for a host path. A bare "X:" names the
// current directory of that drive.
std::string join(const std::string& dir, const std::string& name) {
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) return dir + name;
  const bool drive = dir.size() >= 2 && dir[1] == ':';
  if (drive && dir.size() == 2) return dir + name;
  return dir + (drive || dir.find('\\') != std::string::npos ? "\\" : "/") + name;
}

int fail(const char* fmt, const std::string& what, int code = 0) {
  std::fprintf(stderr, "wlclient: ");
  std::fprintf(stderr, fmt, what.c_str(), code);
  std::fprintf(stderr, "\n");
  return kExitError;
}

int copy_into(const std::string& from, host::File& out) {
  host::File in;
  if (int rc = host::open_file(from, host::kAccessRead, host::kShareRead, host::kOpenExisting, in)) return rc;
  std::vector<uint8_t> block(65536);
  for (;;) {
    size_t got = 0;
    if (int rc = host::read_file(in, block.data(), block.size(), got)) return rc;
    if (got == 0) return 0;
    if (int rc = host::write_file(out, block.data(), got)) return rc;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_args(argc, argv, o)) {
    usage();
    return kExitError;
  }
  // NT paths (the directory, the file) name drives of the map in BRINT_DRIVES, as they do
  // for the server.
  std::string map_message;
  if (host::init_drive_map(&map_message) != 0) {
    std::fprintf(stderr, "wlclient: %s\n", map_message.c_str());
    return kExitError;
  }
  if (o.code != server::kCodeClientReport && !host::file_exists(o.subject)) {
    return fail("cannot open %s", o.subject);
  }
  // A base name of our own that no other request in the directory uses.
  std::string base;
  host::File req;
  unsigned seed = (host::process_id() * 2654435761u) ^ unsigned(host::calendar_seconds());
  int rc = host::kErrFileExists;
  for (int attempt = 0; attempt < 1000 && rc == host::kErrFileExists; ++attempt) {
    char name[16];
    std::snprintf(name, sizeof name, "W%07X", (seed + unsigned(attempt)) & 0xFFFFFFFu);
    base = name;
    if (host::file_exists(join(o.comms, base + ".ANS"))) continue;
    rc = host::open_file(join(o.comms, base + ".REQ"), host::kAccessWrite, host::kShareNone, host::kCreateNew, req);
  }
  if (rc != 0) return fail("cannot create a request in %s (NT error code %d)", o.comms, rc);
  const std::string req_path = join(o.comms, base + ".REQ");
  const std::string src_path = join(o.comms, base + ".SRC");
  auto abandon = [&]() {
    host::close_file(req);
    host::delete_file(src_path);
    host::delete_file(req_path);
  };

  if (o.code != server::kCodeClientReport) {
    host::File src;
    rc = host::open_file(src_path, host::kAccessWrite, host::kShareNone, host::kCreateAlways, src);
    if (rc == 0) rc = copy_into(o.subject, src);
    if (host::close_file(src) != 0 && rc == 0) rc = host::kErrGenFailure;
    if (rc != 0) {
      abandon();
      return fail("cannot write the source file %s (NT error code %d)", src_path, rc);
    }
  }
  const std::vector<uint8_t> record = build_request(o);
  rc = host::write_file(req, record.data(), record.size());
  if (host::close_file(req) != 0 && rc == 0) rc = host::kErrGenFailure;
  if (rc != 0) {
    abandon();
    return fail("cannot write the request file %s (NT error code %d)", req_path, rc);
  }
  if (o.code == server::kCodeClientReport) {
    std::printf("report sent as %s\n", req_path.c_str());
    return kExitClean;
  }

  const std::string ans_path = join(o.comms, base + ".ANS");
  const int64_t deadline = host::calendar_seconds() + o.timeout_s;
  for (;;) {
    host::File ans;
    if (host::open_file(ans_path, host::kAccessRead, host::kShareRead, host::kOpenExisting, ans) == 0) {
      std::vector<uint8_t> data(server::kAnswerSize + 1);
      size_t got = 0;
      const int read_rc = host::read_file(ans, data.data(), data.size(), got);
      int result = 0;
      std::string virus;
      if (read_rc != 0 || !server::check_answer(data.data(), got, result, virus)) {
        return fail("the answer file %s is corrupted", ans_path);
      }
      const std::string& shown = o.code == server::kCodeCheckBoot ? std::string("Boot sector") : o.subject;
      if (result != 0) {
        std::printf("%s: virus '%s' found\n", shown.c_str(), virus.c_str());
        return kExitVirus;
      }
      std::printf("%s: no virus found\n", shown.c_str());
      return kExitClean;
    }
    if (host::calendar_seconds() >= deadline) break;
    host::sleep_ms(kPollMs);
  }
  // No answer: the request is taken back unless the server holds it right now.
  host::File held;
  if (host::open_file(req_path, host::kAccessRead, host::kShareNone, host::kOpenExisting, held) == 0) {
    host::close_file(held);
    host::delete_file(src_path);
    host::delete_file(req_path);
  }
  return fail("no answer within %s seconds", std::to_string(o.timeout_s));
}
