// Vemtrell against a list view of the other bitness (this test's Vemtrell.exe,
// the other build's stand-in). The item record's layout is the process's own,
// so no block may be made: the outcome is that of a block that cannot be
// made, and no item request reaches the list view.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "Expect.h"
#include "Harness.h"

namespace {

TEST(Bitness, NoBlockForAListViewOfTheOtherBitness) {
  // The Linux runs build both bitnesses first (VEMTRELL_OTHER_BUILD_REQUIRED):
  // there a missing build is a failure; elsewhere it may not be made yet.
  const bool required = !Setting("VEMTRELL_OTHER_BUILD_REQUIRED").empty();
  const std::string other_build = Setting("VEMTRELL_OTHER_BUILD");
  const std::string other = other_build + "\\standin.exe";
  if (other_build.empty() || GetFileAttributesA(other.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const std::string missing =
        other_build.empty() ? "VEMTRELL_OTHER_BUILD names no build of the other bitness" : other + " is missing";
    if (required) FAIL() << missing;
    GTEST_SKIP() << missing << ": build the other bitness to run this test";
  }
  const Lines items = {"A", "B", "C"};
  StandinProcess standin(items, {}, other);
  ASSERT_TRUE(standin.Started());
  struct Case {
    int line;
    std::string tail;
    const char* config;  // null: no config.txt
  } const cases[] = {
      {__LINE__, "/dump", nullptr},
      {__LINE__, "", nullptr},      // would be the first-run export
      {__LINE__, "", "X\r\nY\r\n"}, // would be an apply
      {__LINE__, "labels.txt", nullptr},
  };
  ForEachRow(cases, [&](const Case& c) {
    TempDir dir;
    if (c.config) {
      ASSERT_TRUE(WriteBytes(dir.File("config.txt"), c.config));
    }
    ASSERT_TRUE(WriteBytes(dir.File("labels.txt"), "L\r\n"));
    RunResult run = RunVemtrell(c.tail, dir.Path());
    ExpectRun(__LINE__, run, Found(c.tail, dir, standin) + Lines{"Failed to create Shared memory."},
              {{kNoBlock, MB_ICONERROR}}, 1);
    EXPECT_EQ(Bytes(dir.File("dump.txt")), "<absent>");
    EXPECT_EQ(Bytes(dir.File("config.txt")), c.config ? c.config : "<absent>");
  });
  EXPECT_EQ(standin.ItemRequests(), Lines()) << "no item request may reach the list view";
  EXPECT_EQ(standin.CloseAndReadItems(), items);
}

}  // namespace
