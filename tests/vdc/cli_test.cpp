// The brint-vdc command line: exit codes, outputs written only from clean sources, faults on
// the error output as file:line: reason, and the disassembler's output compiling back to the
// same file. Runs the real binary from the build directory.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "text.h"

namespace {

std::string compiler() {
  char self[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
  dir = dir.substr(0, dir.find_last_of('/'));         // build/tests
  return dir.substr(0, dir.find_last_of('/')) + "/brint-vdc";  // build/brint-vdc
}

// Runs brint-vdc with the arguments; returns the exit code and the error output.
int run(const std::string& args, std::string& errors) {
  const std::string err_file = ::testing::TempDir() + "/vdc_cli_errors.txt";
  const int status = std::system((compiler() + " " + args + " 2>" + err_file + " >/dev/null").c_str());
  errors.clear();
  vdc::read_file_text(err_file, errors);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VdcCommandLine, CompilesDisassemblesAndRefuses) {
  const std::string data = std::string(BRINT_SOURCE_DIR) + "/data";
  const std::string out = ::testing::TempDir() + "/vdc_cli";
  std::string errors;
  ASSERT_EQ(access(compiler().c_str(), X_OK), 0) << compiler() << " is not built";
  ASSERT_EQ(std::system(("rm -rf " + out + " && mkdir -p " + out).c_str()), 0);

  const std::string sources = data + "/eicar.vds " + data + "/issue.vds " + data + "/samples.vds";
  ASSERT_EQ(run("--cpp " + out + "/b.cpp --vdl " + out + "/brint.vdl --ide " + out + "/x.ide --pat " + out +
                    "/BRINT.PAT " + sources,
                errors),
            0)
      << errors;
  std::string vdl, pat;
  ASSERT_TRUE(vdc::read_file_text(out + "/brint.vdl", vdl));
  ASSERT_TRUE(vdc::read_file_text(out + "/BRINT.PAT", pat));
  EXPECT_NE(pat.find("EICAR_Test 58354F21"), std::string::npos);

  // the identity file's source compiles to the same VDL file
  ASSERT_EQ(run("--disassemble " + out + "/x.ide -o " + out + "/back.vds", errors), 0) << errors;
  ASSERT_EQ(run("--vdl " + out + "/back.vdl " + out + "/back.vds", errors), 0) << errors;
  std::string back;
  ASSERT_TRUE(vdc::read_file_text(out + "/back.vdl", back));
  EXPECT_EQ(back, vdl);
  // the built-in block's source compiles to the same generated C++
  ASSERT_EQ(run("--disassemble " + out + "/b.cpp -o " + out + "/b.vds", errors), 0) << errors;
  ASSERT_EQ(run("--cpp " + out + "/b2.cpp " + out + "/b.vds", errors), 0) << errors;
  std::string cpp, cpp2;
  ASSERT_TRUE(vdc::read_file_text(out + "/b.cpp", cpp));
  ASSERT_TRUE(vdc::read_file_text(out + "/b2.cpp", cpp2));
  EXPECT_EQ(cpp2, cpp);

  // a faulty source: exit 1, every fault with file and line, nothing written
  ASSERT_TRUE(vdc::write_file_bytes(out + "/bad.vds", "virus \"A\"\nrecord\n  frob\n  jmps nowhere\nend\n"));
  EXPECT_EQ(run("--vdl " + out + "/bad.vdl " + out + "/bad.vds", errors), 1);
  EXPECT_EQ(errors, out + "/bad.vds:3: unknown instruction 'frob'\n" + out +
                        "/bad.vds:4: label 'nowhere' is not defined in this record\n");
  EXPECT_FALSE(vdc::read_file_text(out + "/bad.vdl", back));
  // the built-in block needs the dates
  EXPECT_EQ(run("--cpp " + out + "/nodates.cpp " + data + "/eicar.vds", errors), 1);
  EXPECT_EQ(errors,
            "brint-vdc: the issue date is not given (write 'issue YYMMDD')\n"
            "brint-vdc: the expiry date is not given (write 'expires YYMMDD')\n");
  // a damaged input to the disassembler, and a bad command line
  EXPECT_EQ(run("--disassemble " + out + "/bad.vds --kind vdl", errors), 1);
  EXPECT_EQ(run("", errors), 2);
  EXPECT_EQ(run("--frob " + sources, errors), 2);
  EXPECT_EQ(run(sources, errors), 2);  // no output asked for
}

}  // namespace
