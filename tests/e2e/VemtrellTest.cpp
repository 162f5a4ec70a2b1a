#include <gtest/gtest.h>
#include "Harness.h"
TEST(Smoke, NotRunning) {
  TempDir dir;
  RunResult run = RunVemtrell("", dir.Path(), {"config.txt"});
  for (auto& t : run.traces) printf("[%s]\n", t.c_str());
  for (auto& b : run.boxes) printf("box [%s] icon=%d\n", b.text.c_str(), b.has_icon);
  printf("exit %lu\n", run.exit_code);
}
TEST(Smoke, FirstRun) {
  Standin s({"A", "", "B"});
  ASSERT_TRUE(s.Started());
  TempDir dir;
  RunResult run = RunVemtrell("", dir.Path(), {"config.txt"});
  for (auto& t : run.traces) printf("[%s]\n", t.c_str());
  for (auto& b : run.boxes) printf("box [%s] icon=%d files=%zu\n", b.text.c_str(), b.has_icon, b.files.size());
  printf("exit %lu\n", run.exit_code);
}
