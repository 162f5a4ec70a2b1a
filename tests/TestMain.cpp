// The test programs' main: GoogleTest's own, and then, for a run that failed
// nothing but skipped a case, the reason of each skip, and the exit code the
// runner names in VEMTRELL_SKIP_EXIT_CODE (CTest on Windows sets it, with
// SKIP_RETURN_CODE): a program with a case skipped shows as skipped in
// CTest's summary, not as passed. The Linux runs set none: there a skipped
// case is a failure of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int failed = RUN_ALL_TESTS();
  const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
  if (failed != 0 || unit.skipped_test_count() == 0) return failed;
  for (int s = 0; s < unit.total_test_suite_count(); ++s) {
    const testing::TestSuite& suite = *unit.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const testing::TestInfo& test = *suite.GetTestInfo(t);
      if (!test.should_run() || !test.result()->Skipped()) continue;
      std::string reason = "(no reason given)";
      for (int p = 0; p < test.result()->total_part_count(); ++p)
        if (test.result()->GetTestPartResult(p).skipped()) reason = test.result()->GetTestPartResult(p).message();
      std::printf("skipped: %s.%s: %s\n", suite.name(), test.name(), reason.c_str());
    }
  }
  const char* code = std::getenv("VEMTRELL_SKIP_EXIT_CODE");
  return code && *code ? std::atoi(code) : 0;
}
