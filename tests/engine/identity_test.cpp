// The identity interpreter: one row per behaviour, each an identity program (assembled by
// the data compiler) run against a small scan buffer. Most programs end in "report", so a
// result of -4 says the tests before it passed and 0 says one of them failed or stopped.
// "loop 2 ... endloop report" tells a stop (0) from a failure (the loop exits, -4).
#include <fcntl.h>
#include <unistd.h>

#include "engine_test_util.h"

namespace {

using enginetest::assemble;
using enginetest::hex;

struct Row {
  const char* what;
  const char* program;  // source lines, '/' separating them
  const char* data;     // scan buffer bytes (hex)
  int result;           // expected result of the program
  int64_t window = -1;  // W (-1: the data's length)
  int64_t length = -1;  // L (-1: W)
  int64_t base = 0;     // B
  int32_t kind = findings::kLocLogicalSector;
};

std::string lines(const char* program) {
  std::string s = program;
  for (char& c : s)
    if (c == '/') c = '\n';
  return s;
}

int run_row(const Row& row) {
  std::vector<uint8_t> data = hex(row.data);
  enginetest::fill_scan(data);
  std::vector<uint8_t> prog = assemble(lines(row.program));
  engine::IdentityArgs args;
  args.window = row.window < 0 ? int64_t(data.size()) : row.window;
  args.length = row.length < 0 ? args.window : row.length;
  args.base = row.base;
  args.header_size = 0x20;
  findings::g_findings.location.kind = row.kind;
  findings::g_findings.location.logical_drive = 2;
  return engine::run_program(prog, "Test", 0, 0, args);
}

const Row kRows[] = {
    // ---- byte tests
    {"byte matches", "byte 4D/report", "4D", -4},
    {"byte differs", "byte 4D/report", "4E", 0},
    {"byte advances pos", "byte 4D/byte 5A/report", "4D 5A", -4},
    {"byte past the window stops", "loop 2/skip 1/byte 00/endloop/report", "00", 0},
    {"size equal to the object length", "size 10/report", "00", -4, -1, 10},
    {"size counts B and pos", "skip 2/size 12/report", "000000", -4, -1, 16, 6},
    {"size differs", "size 10/report", "00", 0, -1, 11},
    {"pair inside the object", "pair 4D 5A/byte 90/report", "4D 5A 90", -4},
    {"pair needs two bytes of the object", "pair 4D 5A/report", "4D 5A", 0, -1, 1},
    {"pair past the window stops", "loop 2/skip 1/pair 00 00/endloop/report", "00 00", 0, -1, 100},
    {"high then low nibble", "high 4/low D/report", "4D 4D", -4},
    {"high nibble differs", "high 5/report", "4D", 0},
    {"range inside", "range 30 39/byte 41/report", "35 41", -4},
    {"range above hi", "range 30 39/report", "3A", 0},
    {"oneof in the list", "oneof 01 02 03/byte 09/report", "02 09", -4},
    {"oneof not in the list", "oneof 01 02 03/report", "04", 0},
    {"oneof with an empty list fails", "oneof/report", "00", 0},
    {"checksum of bytes in the object", "checksum sum(4D 5A 90)/byte 00/report", "4D 5A 90 00", -4},
    {"checksum beyond the object length fails", "checksum sum(4D 5A 90)/report", "4D 5A 90", 0, -1, 2},
    {"checksum of other bytes fails", "checksum sum(4D 5A 91)/report", "4D 5A 90", 0},
    {"checksum past the window stops", "loop 2/checksum sum(4D 5A 90)/endloop/report", "4D 5A", 0, -1, 100},
    {"fail", "fail/report", "00", 0},
    {"topis equal", "push16 0x1234/topis 0x1234/report", "00", -4},
    {"topis compares the low 16 bits", "push32 0x55551234/topis 0x1234/report", "00", -4},
    {"topis differs", "push16 0x1235/topis 0x1234/report", "00", 0},
    // ---- sequences
    {"seq found at a later offset", "seq 3: byte 41, any, byte 43/byte 44/report", "00 00 41 42 43 44", -4},
    {"seq beyond its window of offsets", "seq 1: byte 41, any, byte 43/report", "00 00 41 42 43 44", 0},
    {"seq element kinds", "seq 0: high 4, low 2, range 40 50, oneof 01 44, bytes 45 46, pair 47 48/report",
     "41 42 43 44 45 46 47 48", -4},
    {"seq element needing data past the window stops", "loop 2/seq 0: bytes 41 42/endloop/report", "41", 0},
    {"anyorder finds each element", "anyorder 4: byte 43, byte 41/byte 43/report", "41 42 43 44", -4},
    {"anyorder misses one", "anyorder 4: byte 43, byte 45/report", "41 42 43 44", 0},
    {"inorder in order with gaps", "inorder 6: byte 42, byte 44/byte 45/report", "41 42 43 44 45", -4},
    {"inorder out of order", "inorder 6: byte 44, byte 42/report", "41 42 43 44 45", 0},
    // ---- position
    {"skip back inc dec at", "skip 3/back 1/byte 43/dec/dec/byte 42/inc/byte 44/at 0/byte 41/report", "41 42 43 44", -4},
    {"skiptop moves by a signed top and pops", "push8 7/at 2/push16 0xFFFF/skiptop/byte 42/topis 7/report", "41 42 43", -4},
    // ---- control
    {"jmp", "jmp l/fail/l: report", "00", -4},
    {"jmps", "jmps l/fail/l: report", "00", -4},
    {"jeq taken", "push16 5/jeq l, 5/fail/l: report", "00", -4},
    {"jeq not taken", "push16 6/jeq l, 5/report/stop/l: fail", "00", -4},
    {"jne taken", "push16 6/jne l, 5/fail/l: report", "00", -4},
    {"ja: top above v", "push16 0xFFFF/ja l, 2/fail/l: report", "00", -4},
    {"ja: top not above", "push16 2/ja l, 2/report/stop/l: fail", "00", -4},
    {"jb: top below v", "push16 1/jb l, 2/fail/l: report", "00", -4},
    {"jg signed", "push16 0xFFFF/jg l, -2/fail/l: report", "00", -4},
    {"jg signed not taken", "push16 0xFFFF/jg l, 1/report/stop/l: fail", "00", -4},
    {"jl signed", "push16 0xFFFF/jl l, 0/fail/l: report", "00", -4},
    {"call and return", "call f/report/stop/f: byte 41/ret", "41", -4},
    {"call's test failing", "call f/report/stop/f: byte 41/ret", "42", 0},
    {"17th nested call is faulty", "f: call f", "00", -2},
    {"return without call is faulty", "ret", "00", -2},
    // ---- alternatives and loops
    {"second alternative from the saved position", "alt/byte 41/otherwise/byte 42/endalt/report", "42", -4},
    {"first alternative succeeds", "alt/byte 42/otherwise/fail/endalt/report", "42", -4},
    {"last alternative failing stops", "alt/byte 41/otherwise/byte 42/endalt/report", "43", 0},
    {"last alternative failing goes to the loop frame",
     "loop 3/alt/byte 41/otherwise/byte 42/endalt/report/endloop", "00 00 42", -4},
    {"loop tries pos, pos+1, pos+2", "loop 3/byte 41/report/endloop", "00 00 41", -4},
    {"loop of 3 exhausted exits with the saved position",
     "loop 3/byte 41/jmp bad/endloop/byte 00/report/stop/bad: stop", "00 00 00 41", -4},
    {"break leaves the loop", "loop 5/break/fail/endloop/report", "00", -4},
    {"break without a loop fails", "break/report", "00", 0},
    {"step limit ends with 0", "l: jmps l", "00", 0},
    {"step limit after a report ends with -4", "report/l: jmps l", "00", -4},
    {"17th loop frame acts as the stop rule", "report/t: loop 1, o/jmp t/o: stop", "00", -4},
    // ---- value stack
    {"stack ring: a 17th push overwrites the oldest",
     "push8 1/push8 2/push8 3/push8 4/push8 5/push8 6/push8 7/push8 8/push8 9/push8 10/push8 11/push8 12/"
     "push8 13/push8 14/push8 15/push8 16/push8 17/"
     "pop/pop/pop/pop/pop/pop/pop/pop/pop/pop/pop/pop/pop/pop/pop/pop/topis 17/report",
     "00", -4},
    {"div by zero changes nothing", "push8 7/push8 0/div/topis 0/pop/topis 7/report", "00", -4},
    {"div", "push8 7/push8 2/div/topis 3/report", "00", -4},
    {"sub add mul", "push8 7/push8 2/sub/push8 3/mul/push8 1/add/topis 16/report", "00", -4},
    {"xor or and not", "push8 0x0F/push8 0xFF/xor/topis 0xF0/push8 0x0F/or/topis 0xFF/push8 0x3C/and/topis 0x3C/not/topis 0xFFC3/report", "00", -4},
    {"shifts and rotates", "push8 1/shl 4/topis 16/shr 2/topis 4/ror 3/shr 16/topis 0x8000/rol 17/topis 1/report", "00", -4},
    {"sext8 dup swap pop", "push8 0x80/sext8/topis 0xFF80/shr 16/topis 0xFFFF/push8 2/dup/add/topis 4/push8 9/swap/topis 4/pop/topis 9/report", "00", -4},
    {"setvar takes the index AND 15, getvar too", "push8 5/setvar 0x13/pop/getvar 3/topis 5/getvar 0x23/topis 5/report", "00", -4},
    {"load8 load16 load32", "load8/topis 0x34/load16/topis 0x1234/load32/shr 16/topis 0x5678/report", "34 12 78 56", -4},
    {"load32 past the window stops", "loop 2/load32/endloop/report", "34 12 78", 0},
    {"inslen 8C 06 is 4", "inslen/topis 4/report", "8C 06", -4},
    {"inslen 8C 26 is invalid", "inslen/topis 0xFFFF/report", "8C 26", -4},
    {"inslen needs two bytes", "loop 2/inslen/endloop/report", "90", 0},
    {"inset", "inset 41-5A/topis 1/skip 1/inset 41-5A/topis 0/report", "51 31", -4},
    {"pushsum equal", "pushsum sum(41 42)/topis 1/byte 41/report", "41 42", -4},
    {"pushsum beyond the object", "pushsum sum(41 42)/topis 0/report", "41 42", -4, -1, 1},
    {"pushbase pushrest pushpos", "skip 3/pushbase/topis 0x100/pushrest/topis 0x103/pushpos/topis 3/report", "00", -4, -1, 0x200, 0x100},
    {"neartarget", "skip 1/push16 0x10/neartarget/topis 0x113/report", "00", -4, -1, 0x1000, 0x100},
    {"segoff adds the header size", "push32 0x00020005/segoff/topis 0x45/report", "00", -4},
    // ---- buffers and disk
    {"readblock on a sector ends with 0", "report/readblock/report", "00", 0},
    {"save then restore at another place", "push16 2/save/at 10/restore/at 10/byte 41/byte 42/report",
     "41 42 00 00 00 00 00 00 00 00 00 00 00 00 00 00", -4},
    {"restore past 1024 stops", "loop 2/push16 4/at 1021/restore/endloop/report", "00", 0},
    {"store32 then read back", "push32 0x44434241/store32/byte 41/byte 42/byte 43/byte 44/report", "00 00 00 00", -4},
    {"store16 store8", "push16 0x4241/store16/skip 2/store8/byte 41/report", "00 00 00", -4},
    {"store past 1024 stops", "loop 2/at 1021/store32/endloop/report", "00", 0},
    {"store8 at 1023 is fine", "push8 0x41/at 1023/store8/report", "00", -4},
    {"pushchs packs head, cylinder and sector", "pushchs/topis 0x0501/shr 16/topis 0x0103/report", "01 C1 05", -4},
    {"pushactive needs 498 bytes", "pushactive/report", "00", 0},
    {"onboot on a logical boot sector", "onboot/report", "00", -4},
    {"onfloppy on a logical boot sector fails", "onfloppy/report", "00", 0},
    {"onmbr on a logical boot sector fails", "onmbr/report", "00", 0},
    {"onfloppy on a floppy", "onfloppy/report", "00", -4, -1, -1, 0, findings::kLocFloppySector},
    {"readsector without sector access fails", "push8 0/readsector/report", "00", 0},
    {"writesector without agreement fails", "push8 0/writesector/report", "00", 0},
    // ---- faulty programs
    {"unknown opcode", "db 00", "00", -2},
    {"jump outside the program", "jmp @100", "00", -2},
    {"operand past the end", "report/db DE 01", "00", -2},
    {"sequence with S = 0", "db E9 00 00 00", "00", -2},
    {"element running past its instruction", "db E9 02 01 00 F5", "41", -2},
    {"alternative link outside the program", "db A7 04 00 50 00/fail", "00", -2},
    {"stop ends with 0", "stop/report", "00", 0},
    {"running off the end after a report", "report", "00", -4},
    {"finish reports", "finish", "00", -4},
};

class IdentityProgramTest : public enginetest::EngineFixture {};

TEST_F(IdentityProgramTest, Table) {
  for (const Row& row : kRows) {
    engine::reset_identity();
    driver::reset_counters();
    const int got = run_row(row);
    EXPECT_EQ(got, row.result) << row.what << "  [" << row.program << "] fault line " << engine::g_identity.fault_line;
  }
}

TEST_F(IdentityProgramTest, ReportsCountAndBlankedNamesNeverReport) {
  enginetest::fill_scan(hex("4D"));
  engine::IdentityArgs args;
  args.window = args.length = 1;
  findings::set_file_location("C:\\A.COM");
  std::vector<uint8_t> prog = assemble("report\nreport");
  EXPECT_EQ(engine::run_program(prog, "Twice", 0, 0, args), -4);
  EXPECT_EQ(driver::g_counters.identity_findings, 2);
  EXPECT_EQ(out, ">>> Identity 'Twice' found in file C:\\A.COM\n>>> Identity 'Twice' found in file C:\\A.COM\n");
  EXPECT_EQ(engine::run_program(prog, "", 0, 0, args), 0);
  EXPECT_EQ(engine::run_program(assemble("finish"), "", 0, 0, args), 0);
  EXPECT_EQ(driver::g_counters.identity_findings, 2);
}

TEST_F(IdentityProgramTest, InstructionLengths) {
  const struct { uint8_t b0, b1; uint32_t len; } cases[] = {
      {0x8C, 0x06, 4},  {0x8C, 0x26, 0xFFFFFFFF}, {0x8C, 0xC0, 2}, {0x8C, 0x46, 3}, {0x8C, 0x86, 4},
      {0xB8, 0x00, 3},  {0x60, 0x00, 0xFFFFFFFF}, {0xCD, 0x21, 2}, {0xEA, 0x00, 4}, {0xF7, 0x06, 6},
      {0xF7, 0x0E, 0xFFFFFFFF}, {0xFF, 0x3E, 0xFFFFFFFF}, {0x81, 0x3E, 6}, {0x9A, 0x00, 5}};
  for (const auto& c : cases)
    EXPECT_EQ(engine::x86_instruction_length(c.b0, c.b1), c.len) << std::hex << int(c.b0) << " " << int(c.b1);
}

// Sector access of a test: sector n of every drive holds the byte 0x50 + n; writes are kept.
struct FakeDisk {
  static inline std::vector<uint8_t> written;
  static inline int write_result = 0;
  static int read_logical(int, uint32_t sector, uint8_t* out) {
    std::fill(out, out + 512, uint8_t(0x50 + sector));
    return 0;
  }
  static int write_logical(int, uint32_t, const uint8_t* in) {
    if (write_result != 0) return write_result;
    written.assign(in, in + 512);
    return 0;
  }
};

class DisinfectionTest : public enginetest::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    engine::g_sector_io.read_logical = FakeDisk::read_logical;
    engine::g_sector_io.write_logical = FakeDisk::write_logical;
    FakeDisk::written.clear();
    FakeDisk::write_result = 0;
    findings::g_findings.location.kind = findings::kLocLogicalSector;
    findings::g_findings.location.logical_drive = 2;
    findings::g_findings.location.sector = 0;
    enginetest::fill_scan(hex("EB 3C 90"));
    args.window = args.length = 512;
    // Reads the sector, repairs its first byte and writes it back.
    repair = assemble("report\nask\npush8 3\nreadsector\npush8 0x33\nstore8\npush8 0\nwritesector\nfinish");
  }
  engine::IdentityArgs args;
  std::vector<uint8_t> repair;
};

TEST_F(DisinfectionTest, ConfirmedRepairSucceeds) {
  driver::g_settings.disinfect = true;
  driver::g_settings.no_confirmation = true;
  EXPECT_EQ(engine::run_program(repair, "Boot", 0, 0, args), 0);
  ASSERT_EQ(FakeDisk::written.size(), 512u);
  EXPECT_EQ(FakeDisk::written[0], 0x33);
  EXPECT_EQ(FakeDisk::written[1], 0x53);
  EXPECT_EQ(driver::g_counters.disinfections, 1);
  EXPECT_EQ(driver::g_counters.identity_findings, 1);
  EXPECT_EQ(out, ">>> Identity 'Boot' found in sector 0 of drive C:\nDisinfection successful.\n\n");
}

TEST_F(DisinfectionTest, DisinfectSettingOffEndsWithFoundAndNoQuestion) {
  driver::g_settings.no_confirmation = true;
  EXPECT_EQ(engine::run_program(repair, "Boot", 0, 0, args), -4);
  EXPECT_TRUE(FakeDisk::written.empty());
  EXPECT_EQ(driver::g_counters.disinfections, 0);
}

TEST_F(DisinfectionTest, AnswerNoEndsWithFound) {
  driver::g_settings.disinfect = true;
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  ASSERT_EQ(write(pipefd[1], "n", 1), 1);
  close(pipefd[1]);
  const int saved = dup(0);
  dup2(pipefd[0], 0);
  close(pipefd[0]);
  const int rc = engine::run_program(repair, "Boot", 0, 0, args);
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(rc, -4);
  EXPECT_TRUE(FakeDisk::written.empty());
}

TEST_F(DisinfectionTest, FailedRepairIsUnsuccessful) {
  driver::g_settings.disinfect = true;
  driver::g_settings.no_confirmation = true;
  FakeDisk::write_result = host::kErrWriteProtect;
  EXPECT_EQ(engine::run_program(repair, "Boot", 0, 0, args), -4);
  EXPECT_EQ(driver::g_counters.disinfections, 0);
  EXPECT_EQ(out,
            ">>> Identity 'Boot' found in sector 0 of drive C:\n"
            "Could not disinfect: the disk is write-protected.\n"
            "Disinfection unsuccessful!\n\n");
}

TEST_F(DisinfectionTest, FilesAndServerRequestsAreNeverAsked) {
  driver::g_settings.disinfect = true;
  driver::g_settings.no_confirmation = true;
  for (int32_t kind : {findings::kLocFile, findings::kLocServerRequest}) {
    findings::g_findings.location.kind = kind;
    EXPECT_EQ(engine::run_program(repair, "Boot", 0, 0, args), -4);
  }
  EXPECT_TRUE(FakeDisk::written.empty());
}

TEST_F(DisinfectionTest, SectorInstructionsOnlyForTheItemsDrives) {
  const std::vector<uint8_t> read = assemble("push8 3\nreadsector\nbyte 53\nreport");
  const struct { int32_t kind; int32_t drive_code; int result; } cases[] = {
      {findings::kLocLogicalSector, 255, -4}, {findings::kLocFloppySector, 255, -4},
      {findings::kLocPhysicalSector, 2, -4},  {findings::kLocPhysicalSector, 26, 0},
      {findings::kLocBootManager, 255, 0},    {findings::kLocFile, 255, 0}};
  for (const auto& c : cases) {
    findings::g_findings.location.kind = c.kind;
    findings::g_findings.location.drive_code = c.drive_code;
    EXPECT_EQ(engine::run_program(read, "Boot", 0, 0, args), c.result) << c.kind << " " << c.drive_code;
  }
}

}  // namespace

namespace {

// Hostile programs: random bytes (seeded) against random buffers never touch memory outside
// the buffers (run under the sanitizers) and always end with one of the three results.
TEST_F(IdentityProgramTest, RandomProgramsEndWithAKnownResult) {
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return uint8_t(state >> 16);
  };
  findings::g_findings.location.kind = findings::kLocLogicalSector;
  // The reports go to the console: keep them out of the test log.
  host::console_flush();
  const int saved_stdout = dup(1);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  close(null_fd);
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> prog(size_t(1 + next() % 48));
    for (auto& b : prog) b = next();
    // Lean towards real opcodes so that programs get past their first instruction.
    for (auto& b : prog)
      if (b < 0xA6) b = uint8_t(0xA6 + b % 0x5A);
    std::vector<uint8_t> data(size_t(next()) * 4);
    for (auto& b : data) b = next();
    enginetest::fill_scan(data);
    engine::IdentityArgs args;
    args.window = int64_t(data.size());
    args.length = args.window + next() % 3;
    args.base = next() % 2;
    const int rc = engine::run_program(prog, "Fuzz", 0, int64_t(next() % 8), args);
    EXPECT_TRUE(rc == 0 || rc == -4 || rc == -2) << rc;
  }
  host::console_flush();
  dup2(saved_stdout, 1);
  close(saved_stdout);
}

}  // namespace
