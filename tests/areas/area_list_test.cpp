// The area list: command-line areas, standard and drive areas, the areas file and the
// default drives, on a temporary drive map.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "areas/areas.h"
#include "areas_test_util.h"
#include "driver/base/results.h"
#include "driver/base/settings.h"

namespace {

using Entries = std::vector<std::string>;

// C: fixed (the working directory is its root), D: removable, E: network, F: CD-ROM,
// A: a floppy drive without a disk.
// C: has sectors (an image); a fixed drive mapped with files only has no boot sector area.
constexpr const char* kMap = "C=@/c,@/c.img;D=removable:@/d;E=network:@/e;F=cdrom:@/f,@/f.img;A=floppy:-;G=@/g";

struct AreaListTest : ::testing::Test {
  areastest::Env env{kMap, "c"};
  void SetUp() override {
    env.tree.dir("d");
    env.tree.dir("e");
    env.tree.dir("f");
  }
  // Writes the areas file (when `text` is given) and builds the list.
  int build(const char* text, std::string* out = nullptr) {
    if (text) env.tree.file("c/BRINT.ARE", text);
    areastest::Capture cap;
    const int rc = areas::build_area_list();
    const std::string printed = cap.text();
    if (out) *out = printed;
    return rc;
  }
  const Entries& entries() { return areas::g_areas.entries; }
};

TEST_F(AreaListTest, DefaultAreasWhenNothingIsNamed) {
  auto& s = driver::g_settings;
  const struct {
    const char* what;
    bool all_files;
    bool no_boot;
    bool file_server;
    Entries want;
  } cases[] = {
      {"executables", false, false, false,
       {"\"All master boot sectors\"", "C:|0", "C:\"All executables\"", "D:|0", "D:\"All executables\"",
        "G:\"All executables\""}},
      {"-ALL", true, false, false,
       {"\"All master boot sectors\"", "C:|0", "C:\\>*.*", "D:|0", "D:\\>*.*", "G:\\>*.*"}},
      {"-NAB", false, true, false, {"C:\"All executables\"", "D:\"All executables\"", "G:\"All executables\""}},
      {"-FS", false, false, true, {"C:\"All executables\"", "D:\"All executables\"", "G:\"All executables\""}},
  };
  for (const auto& c : cases) {
    driver::reset_settings();
    areas::reset_areas();
    if (c.all_files) s.area_flags |= driver::kAreaAllFiles;
    s.no_boot_areas = c.no_boot;
    s.file_server = c.file_server;
    ASSERT_EQ(build(nullptr), 0) << c.what;
    EXPECT_EQ(entries(), c.want) << c.what;
    EXPECT_EQ(driver::g_state.area_count, static_cast<int>(c.want.size())) << c.what;
  }
}

TEST_F(AreaListTest, NamedDrivesStandardAreasAndNothing) {
  auto& s = driver::g_settings;
  // A network drive named on the command line gets no boot sector area.
  s.drive_mask = 1u << ('E' - 'A');
  s.area_flags = driver::kAreaReadFile | driver::kAreaDrivesNamed;
  ASSERT_EQ(build(nullptr), 0);
  EXPECT_EQ(entries(), (Entries{"\"All master boot sectors\"", "E:\"All executables\""}));

  // -AS: the current drive.
  driver::reset_settings();
  areas::reset_areas();
  s.area_flags = driver::kAreaReadFile | driver::kAreaStandard;
  ASSERT_EQ(build(nullptr), 0);
  EXPECT_EQ(entries(), (Entries{"\"All master boot sectors\"", "C:|0", "C:\"All executables\""}));

  // -NAS and no areas file: nothing at all.
  driver::reset_settings();
  areas::reset_areas();
  s.area_flags = driver::kAreaReadFile;
  ASSERT_EQ(build(nullptr), 0);
  EXPECT_TRUE(entries().empty());
}

TEST_F(AreaListTest, CommandLineAreas) {
  auto& s = driver::g_settings;
  env.tree.dir("c/dos");
  EXPECT_EQ(areas::add_command_line_area("c:\\dos\\*.exe"), 0);
  EXPECT_EQ(areas::add_command_line_area("DOS"), 0);  // relative to C:\ (the working directory)
  EXPECT_EQ(areas::add_command_line_area("C:\\MY FILES"), 0);
  s.recurse = true;
  EXPECT_EQ(areas::add_command_line_area("C:\\DOS"), 0);
  EXPECT_EQ(entries(), (Entries{"C:\\DOS\\*.EXE", "C:\\DOS", "C:\\MY FILES", ">C:\\DOS"}));
  EXPECT_EQ(s.area_flags & driver::kAreaNothingNamed, 0u);

  areastest::Capture cap;
  EXPECT_EQ(areas::add_command_line_area("Q:\\DATA"), driver::kBadDrive);
  EXPECT_EQ(cap.text(), "Bad drive specification in 'Q:\\DATA'\n");
  EXPECT_EQ(entries().size(), 4u);

  while (entries().size() < areas::kMaxAreas) ASSERT_EQ(areas::add_command_line_area("C:\\X"), 0);
  EXPECT_EQ(areas::add_command_line_area("C:\\X"), -1);
  EXPECT_EQ(entries().size(), areas::kMaxAreas);
}

// One areas-file text and what it becomes. Built with -NAS so that the default drives
// stay out of the way; D: is the areas file drive.
TEST_F(AreaListTest, AreasFileLines) {
  const struct {
    const char* line;
    bool recurse;
    Entries want;  // empty: the build fails with the bad drive specification message
  } cases[] = {
      {"\\UTIL\\*.COM", false, {"D:\\UTIL\\*.COM"}},
      {"  c:\\dos\\*.exe   ; system tools", false, {"C:\\DOS\\*.EXE"}},
      {">\\UTIL", false, {">D:\\UTIL"}},
      {"C:\\>*.*", false, {"C:\\>*.*"}},
      {"C:\\DOS", true, {">C:\\DOS"}},
      {">C:\\DOS", true, {">C:\\DOS"}},
      {"<EDIT.COM", false, {"<EDIT.COM"}},
      {"<edit.com  ", false, {"<EDIT.COM"}},
      {"<\\DOS\\EDIT.COM", false, {"<D:\\DOS\\EDIT.COM"}},
      {"<c:\\dos\\edit.com", true, {"<C:\\DOS\\EDIT.COM"}},  // exclusions are never recursive
      {"<*.COM", false, {"<*.COM"}},                          // refused later, when registered
      {"\"All executables\"", false, {"D:\"All executables\""}},
      {"C:\"All Everything\"", false, {"C:\"All Everything\""}},
      {"C:|0", false, {"C:|0"}},
      {"|*", false, {"D:|*"}},
      {"+80 0", false, {"+80 0"}},
      {"\"All master boot sectors\"", false, {"\"All master boot sectors\""}},
      {"[*]", false, {"[*]"}},
      {"C:", false, {}},
      {">C:", false, {}},
      {"Q:\\DATA\\*.*", false, {}},
      {"\"All Drives\"", false, {}},
      {"C:\"Everything\"", false, {}},
  };
  for (const auto& c : cases) {
    driver::reset_settings();
    areas::reset_areas();
    driver::g_settings.area_flags = driver::kAreaReadFile;
    driver::g_settings.areas_drive = 'D';
    driver::g_settings.recurse = c.recurse;
    std::string out;
    const int rc = build((std::string(c.line) + "\r\n").c_str(), &out);
    if (c.want.empty()) {
      EXPECT_EQ(rc, driver::kReported) << c.line;
      EXPECT_EQ(out, "Warning! Using area descriptions in file BRINT.ARE\nBad drive specification in '" +
                         std::string(c.line) + "'\n")
          << c.line;
    } else {
      EXPECT_EQ(rc, 0) << c.line;
      EXPECT_EQ(entries(), c.want) << c.line;
    }
  }
}

TEST_F(AreaListTest, AreasFileWarningCommentsAndNothingNamed) {
  auto& s = driver::g_settings;
  std::string out;
  // Comment and blank lines name nothing: the default drives are still added.
  ASSERT_EQ(build("; nothing here\n\n   \t\n;\n", &out), 0);
  EXPECT_EQ(out, "Warning! Using area descriptions in file BRINT.ARE\n");
  EXPECT_EQ(entries().size(), 6u);  // master boot sectors, C:|0, D:|0, three drives' executables

  // A named area clears nothing-named: no default drives.
  driver::reset_settings();
  areas::reset_areas();
  ASSERT_EQ(build("C:\\*.EXE\x1A" "C:\\NEVER\\*.*\n", &out), 0);
  EXPECT_EQ(entries(), (Entries{"C:\\*.EXE"}));

  // -SS and -AF= keep the warning off; a missing file is passed over in silence.
  const struct {
    bool super_silent;
    const char* file;
  } quiet[] = {{true, "BRINT.ARE"}, {false, "OTHER.ARE"}};
  env.tree.file("c/OTHER.ARE", "C:\\*.COM\n");
  for (const auto& q : quiet) {
    driver::reset_settings();
    areas::reset_areas();
    s.super_silent = q.super_silent;
    s.areas_file = q.file;
    s.areas_file_warning = std::string(q.file) == "BRINT.ARE";
    ASSERT_EQ(build(nullptr, &out), 0);
    EXPECT_EQ(out, "") << q.file;
    EXPECT_EQ(entries().size(), 1u) << q.file;
  }
  driver::reset_settings();
  areas::reset_areas();
  s.areas_file = "MISSING.ARE";
  s.area_flags = driver::kAreaReadFile;
  ASSERT_EQ(build(nullptr, &out), 0);
  EXPECT_EQ(out, "");
}

TEST_F(AreaListTest, AreasFileLimits) {
  auto& s = driver::g_settings;
  std::string out;
  // 255 kept characters are taken; 256 fail with the first 255 shown.
  const std::string kept255 = "C:\\" + std::string(252, 'A');
  s.area_flags = driver::kAreaReadFile;
  ASSERT_EQ(build((kept255 + ";" + std::string(300, 'x') + "\n").c_str(), &out), 0);
  EXPECT_EQ(entries(), (Entries{kept255}));

  driver::reset_settings();
  areas::reset_areas();
  s.area_flags = driver::kAreaReadFile;
  EXPECT_EQ(build((kept255 + "B\n").c_str(), &out), driver::kReported);
  EXPECT_EQ(out, "Warning! Using area descriptions in file BRINT.ARE\nArea description is too long in\n" +
                     kept255 + "\n");

  // The file may fill the list to 93 areas; the 94th fails.
  std::string lines;
  for (int i = 0; i < 93; ++i) lines += "C:\\F" + std::to_string(i) + "\n";
  driver::reset_settings();
  areas::reset_areas();
  s.area_flags = driver::kAreaReadFile;
  ASSERT_EQ(build(lines.c_str(), &out), 0);
  EXPECT_EQ(entries().size(), 93u);
  driver::reset_settings();
  areas::reset_areas();
  s.area_flags = driver::kAreaReadFile;
  EXPECT_EQ(build((lines + "C:\\LAST\n").c_str(), &out), driver::kReported);
  EXPECT_EQ(out, "Warning! Using area descriptions in file BRINT.ARE\nToo many areas in file BRINT.ARE\n");
  EXPECT_LE(entries().size(), areas::kMaxAreas);

  // Drive areas that would pass the room of the list fail the same way.
  driver::reset_settings();
  areas::reset_areas();
  for (int i = 0; i < 92; ++i) ASSERT_EQ(areas::add_area("C:\\X"), 0);
  s.area_flags = driver::kAreaDrivesNamed;
  s.drive_mask = 1u << ('C' - 'A');
  EXPECT_EQ(build(nullptr, &out), driver::kReported);
  EXPECT_EQ(out, "Too many areas in file BRINT.ARE\n");
  EXPECT_EQ(entries().size(), areas::kMaxAreas);
}

TEST_F(AreaListTest, ListingForDisplayAreas) {
  const struct {
    Entries list;
    const char* want;
  } cases[] = {
      {{"C:\\*.EXE"}, "1 area checked is:\n\nC:\\*.EXE\n\n"},
      {{"C:|0", "<EDIT.COM"}, "2 areas checked are:\n\nC:|0\n<EDIT.COM\n\n"},
      {{}, "0 areas checked are:\n\n\n"},
  };
  for (const auto& c : cases) {
    areas::reset_areas();
    for (const auto& e : c.list) ASSERT_EQ(areas::add_area(e), 0);
    areastest::Capture cap;
    areas::list_areas();
    EXPECT_EQ(cap.text(), c.want);
  }
}

}  // namespace
