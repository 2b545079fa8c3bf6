// File removal: the question, deletion, shredding, attributes, ownership, counters and the
// refusal to act on anything but the very file that was checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "common/test_util.h"
#include "driver/base/output.h"
#include "driver/base/settings.h"
#include "driver/base/stop.h"
#include "findings/removal.h"
#include "host/host.h"

namespace {

struct RemovalTest : ::testing::Test {
  testutil::TempTree tree{"brint-removal"};
  const std::string dir = tree.path;
  std::string outputs;  // every output of the output routine
  void SetUp() override {
    driver::reset_settings();
    driver::reset_counters();
    driver::reset_output();
    host::reset_console_io();
    driver::g_settings.remove_files = true;
    driver::g_settings.no_confirmation = true;
    driver::g_sinks.mail_write = [this](std::string_view text) {
      outputs.append(text);
      return 0;
    };
  }
  void TearDown() override {
    driver::reset_output();
    driver::reset_settings();
    driver::reset_counters();
  }
  std::string file(const std::string& name, const std::string& bytes, mode_t mode = 0644) {
    const std::string p = dir + "/" + name;
    testutil::write_file(p, bytes, mode);
    return p;
  }
  void offer(const std::string& path, const host::FileId* checked = nullptr) {
    fflush(stdout);
    findings::offer_removal(path, checked);
    host::console_flush();
  }
};

host::FileId id_of(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return host::FileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

TEST_F(RemovalTest, OverwriteBlockIsTheHundredBytes) {
  std::string block(findings::kOverwriteBlock, findings::kOverwriteBlockSize);
  EXPECT_EQ(block.size(), 100u);
  EXPECT_EQ(block.substr(0, 54), "Fast positive deletion  *  Keeps your data secure  *  ");
  EXPECT_EQ(block.substr(95), "  *  ");
}

TEST_F(RemovalTest, DeletionOutcomes) {
  const struct {
    const char* what;
    bool read_only;
    bool create;
    bool removed;
    const char* messages;  // %s: the path
  } cases[] = {
      {"plain file", false, true, true, "File %s has been deleted.\n"},
      {"read-only file: cleared without a word", true, true, true, "File %s has been deleted.\n"},
      {"missing file", false, false, false,
       "Could not set attributes of file %s\nUnable to grab ownership of file %s - NT error code 2.\n"
       "Could not delete file %s\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    outputs.clear();
    driver::reset_counters();
    std::string p = dir + "/INFECTED.COM";
    if (c.create) file("INFECTED.COM", "MZ virus", c.read_only ? 0444 : 0644);
    offer(p);
    std::string expected = c.messages;
    for (size_t at; (at = expected.find("%s")) != std::string::npos;) expected.replace(at, 2, p);
    EXPECT_EQ(outputs, expected);
    EXPECT_EQ(testutil::exists(p), false);
    EXPECT_EQ(driver::g_counters.files_removed, c.removed ? 1 : 0);
    EXPECT_EQ(driver::g_counters.files_not_removed, c.removed ? 0 : 1);
  }
}

TEST_F(RemovalTest, NeverActsOnAnotherFileThanTheOneChecked) {
  std::string target = file("TARGET.DAT", "keep me");
  std::string checked = file("CHECKED.COM", "virus");
  host::FileId checked_id = id_of(checked);
  {
    SCOPED_TRACE("the name now leads to another file");
    std::string swapped = dir + "/CHECKED.COM";
    rename(target.c_str(), swapped.c_str());  // CHECKED.COM is now the innocent file
    offer(swapped, &checked_id);
    EXPECT_EQ(outputs, "Could not delete file " + swapped + "\n");
    EXPECT_EQ(testutil::read_file(swapped), "keep me");
    EXPECT_EQ(driver::g_counters.files_not_removed, 1);
    rename(swapped.c_str(), target.c_str());
  }
  {
    SCOPED_TRACE("the name is a symbolic link");
    outputs.clear();
    std::string link = dir + "/LINK.COM";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    offer(link);
    EXPECT_NE(outputs.find("Could not delete file " + link + "\n"), std::string::npos) << outputs;
    EXPECT_TRUE(testutil::exists(link));
    EXPECT_EQ(testutil::read_file(target), "keep me");
    EXPECT_EQ(driver::g_counters.files_removed, 0);
  }
  {
    SCOPED_TRACE("the name still leads to the checked file");
    outputs.clear();
    std::string again = file("AGAIN.COM", "virus");
    host::FileId again_id = id_of(again);
    offer(again, &again_id);
    EXPECT_EQ(outputs, "File " + again + " has been deleted.\n");
  }
}

TEST_F(RemovalTest, ShreddingOverwritesWholeBlocksThenDeletes) {
  driver::g_settings.shred = true;
  const struct {
    size_t size;
    size_t written;
  } cases[] = {{250, 300}, {0, 0}, {100, 100}, {101, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    outputs.clear();
    std::string p = file("V.EXE", std::string(c.size, 'v'));
    std::string keep = dir + "/second-link";
    ASSERT_EQ(link(p.c_str(), keep.c_str()), 0);  // sees the overwritten data once the name is gone
    offer(p);
    EXPECT_EQ(outputs, "File " + p + " has been shredded.\n");
    EXPECT_FALSE(testutil::exists(p));
    std::string data = testutil::read_file(keep);
    ASSERT_EQ(data.size(), c.written);
    for (size_t i = 0; i < data.size(); ++i) {
      ASSERT_EQ(data[i], findings::kOverwriteBlock[i % 100]) << "byte " << i;
    }
    unlink(keep.c_str());
  }
  EXPECT_EQ(driver::g_counters.files_removed, 4);
}

TEST_F(RemovalTest, ShredThatCannotHaveTheFileKeepsItAndPutsTheModeBack) {
  driver::g_settings.shred = true;
  std::string p = file("BUSY.COM", "still in use", 0444);
  int holder = open(p.c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);  // another process reading it with others kept from writing
  offer(p);
  close(holder);
  EXPECT_EQ(outputs, "Could not shred file " + p + "\n");
  EXPECT_EQ(testutil::read_file(p), "still in use");
  struct stat st {};
  stat(p.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(driver::g_counters.files_not_removed, 1);
  EXPECT_EQ(driver::g_counters.files_removed, 0);
}

TEST_F(RemovalTest, RemovalOffOrAnsweredNoLeavesTheFile) {
  std::string p = file("KEEP.COM", "virus");
  driver::g_settings.remove_files = false;
  offer(p);
  EXPECT_TRUE(testutil::exists(p));

  driver::g_settings.remove_files = true;
  driver::g_settings.no_confirmation = false;
  {
    testutil::ScriptedKeys keys("xn");  // an ignored key, then no
    offer(p);
  }
  EXPECT_TRUE(testutil::exists(p));
  EXPECT_EQ(outputs, "");
  EXPECT_EQ(driver::g_counters.files_removed + driver::g_counters.files_not_removed, 0);

  {
    testutil::ScriptedKeys keys("y");
    offer(p);
  }
  EXPECT_FALSE(testutil::exists(p));
  EXPECT_EQ(outputs, "File " + p + " has been deleted.\n");
}

TEST_F(RemovalTest, EscapeAtTheQuestionStopsTheProgram) {
  std::string p = file("ESC.COM", "virus");
  driver::g_settings.no_confirmation = false;
  fflush(stdout);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[1]);
    dup2(fds[0], 0);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    host::reset_console_io();
    findings::offer_removal(p);
    _exit(0);
  }
  close(fds[0]);
  ASSERT_EQ(write(fds[1], "\x1b", 1), 1);
  close(fds[1]);
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 1);
  EXPECT_EQ(testutil::read_file(p), "virus");
}

TEST_F(RemovalTest, TemporaryCopiesAreShreddedToo) {
  driver::g_settings.shred = true;
  std::string p = file("EXP00001.TMP", std::string(30, 'x'));
  std::string keep = dir + "/keep";
  ASSERT_EQ(link(p.c_str(), keep.c_str()), 0);
  EXPECT_EQ(findings::remove_file(p), 0);
  EXPECT_FALSE(testutil::exists(p));
  EXPECT_EQ(testutil::read_file(keep), std::string(findings::kOverwriteBlock, 100));
  EXPECT_EQ(outputs, "") << "remove_file itself reports nothing";
  EXPECT_NE(findings::remove_file(dir + "/missing"), 0);
}

TEST_F(RemovalTest, AttributesAreMasked) {
  std::string p = file("ATTR.COM", "x");
  EXPECT_EQ(findings::set_attributes(p, 0x01 | 0x800), 0);  // 0x800 is outside the mask
  struct stat st {};
  stat(p.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0200, 0u) << "read-only";
  EXPECT_EQ(findings::set_attributes(p, 0), 0);
  stat(p.c_str(), &st);
  EXPECT_NE(st.st_mode & 0200, 0u);
  EXPECT_EQ(findings::set_attributes(dir + "/missing", 0), 1);
}

TEST_F(RemovalTest, FileTheUserCannotChangeGoesThroughTheOwnershipSteps) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // A file of root's in a directory of nobody's: nobody may unlink it but not change it.
  std::string sub = dir + "/nobody";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ASSERT_EQ(chown(sub.c_str(), 65534, 65534), 0);
  std::string p = sub + "/ROOTS.COM";
  std::ofstream(p) << "virus";
  chmod(p.c_str(), 0444);
  chmod(dir.c_str(), 0755);
  std::string log = sub + "/outputs";  // nobody can write here
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    outputs.clear();
    findings::offer_removal(p);
    host::console_flush();
    std::ofstream(log) << outputs << driver::g_counters.files_removed;
    _exit(0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  ASSERT_EQ(WEXITSTATUS(st), 0);
  EXPECT_EQ(testutil::read_file(log), "Could not set attributes of file " + p + "\nUnable to grab ownership of file " + p +
                            " - NT error code 5.\nFile " + p + " has been deleted.\n1");
  EXPECT_FALSE(testutil::exists(p));
}

TEST_F(RemovalTest, TakingOwnershipIsForTheOwnerOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  std::string p = file("THEIRS.COM", "x", 0040);
  ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
  EXPECT_EQ(findings::take_ownership(p), 0);
  struct stat st {};
  stat(p.c_str(), &st);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "owner read-write added, nothing for others";
}

}  // namespace
