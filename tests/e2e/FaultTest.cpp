// Vemtrell under faults: a target that goes away mid-run, list views that
// answer nonsense, directories it cannot write, inputs at their limits. Each
// ends in the outcome the program promises, and nothing is lost or left.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Expect.h"
#include "Harness.h"

namespace {

Lines Items(int n) {
  Lines items;
  for (int i = 0; i < n; ++i) items.push_back("item" + std::to_string(i));
  return items;
}

// The target's window is destroyed, or its process ends, in the middle of a
// run: nothing hangs, the run says so, and where the process lives on, its
// memory holds no block of ours (held while the outcome box is open). The
// dump and the export stop at the first item the gone window does not give
// and leave the folder as it was: the previous dump.txt, no config.txt. The
// apply tries the rest, each a failed item, and never writes its label file.
TEST(Faults, TargetGoneInTheMiddleOfARun) {
  const std::string config = "A\r\nB\r\nC\r\nD\r\nE\r\nF\r\n";
  const Lines gone = {"n_items=6", "pch=item0", "pch=item1", "pch=item2", "failed_item=3", "List view is gone."};
  struct Case {
    int line;
    std::string tail;
    const char* file;  // in the folder before and after the run, if any
    std::string bytes;
    Lines traces;
    std::vector<ExpectedBox> boxes;
  } const cases[] = {
      {__LINE__, "/dump", "dump.txt", "old\r\n", gone, {{kDumpFailed, MB_ICONERROR}}},
      {__LINE__, "", nullptr, "", gone, {{kFirstRun, MB_ICONINFORMATION}, {kExportFailed, MB_ICONERROR}}},
      {__LINE__, "", "config.txt", config,
       {"filename=.\\config.txt", "pch=A", "pch=B", "pch=C", "pch=D", "pch=E", "pch=F", "n_items=6",
        "failed_item=3", "failed_item=4", "failed_item=5", "---end"},
       {}},
  };
  ForEachRow(cases, [&](const Case& c) {
    for (const std::string option : {"--close-after", "--exit-after"}) {
      SCOPED_TRACE(option);
      const bool closed = option == "--close-after";
      StandinProcess standin(Items(6), {option, "3"});
      ASSERT_TRUE(standin.Started());
      TempDir dir;
      ASSERT_TRUE(!c.file || WriteBytes(dir.File(c.file), c.bytes));
      const Lines found = Found(c.tail, dir, standin);  // before the window goes
      int blocks_while_open = -1;
      RunResult run =
          RunVemtrell(c.tail, dir, {}, [&](HWND) { blocks_while_open = CountItemBlocks(standin.ProcessId()); });
      ExpectRun(__LINE__, run, found + c.traces, c.boxes, 1);
      EXPECT_EQ(FileNames(dir), c.file ? Lines{c.file} : Lines{});
      if (c.file) {
        EXPECT_EQ(Bytes(dir.File(c.file)), c.bytes);
      }
      EXPECT_TRUE(!closed || c.boxes.empty() || blocks_while_open == 1) << "the block is held while the box is open";
      EXPECT_TRUE(!closed || CountItemBlocks(standin.ProcessId()) == 0) << "and released at the end";
    }
  });
}

// The list view is gone by the time its items are counted (its window
// answers 0 then, as an empty list does): the dump keeps the previous
// dump.txt, the first-run export (Padmorph closed while its notice is open)
// leaves no config.txt, and the apply ends with exit code 1.
TEST(Faults, ListViewGoneBeforeTheCountIsNoEmptyList) {
  struct Case {
    int line;
    std::string tail;
    bool at_notice;  // closed while the first-run notice is open, else at the count
    Lines traces;
    std::vector<ExpectedBox> boxes;
    Lines files;  // the folder afterwards
  } const cases[] = {
      {__LINE__, "/dump", false, {"n_items=0", "List view is gone."}, {{kDumpFailed, MB_ICONERROR}}, {"dump.txt"}},
      {__LINE__, "", true, {"n_items=0", "List view is gone."},
       {{kFirstRun, MB_ICONINFORMATION}, {kExportFailed, MB_ICONERROR}}, {}},
      {__LINE__, "labels.txt", false,
       {"filename=labels.txt", "pch=X", "n_items=0", "List view is gone.", "---end"}, {}, {"dump.txt", "labels.txt"}},
  };
  ForEachRow(cases, [](const Case& c) {
    StandinProcess standin({"a", "b"}, c.at_notice ? Lines{} : Lines{"--close-at-count"});
    ASSERT_TRUE(standin.Started());
    TempDir dir;
    ASSERT_TRUE(c.tail.empty() || WriteBytes(dir.File("dump.txt"), "a\r\nb\r\n"));
    ASSERT_TRUE(c.tail != "labels.txt" || WriteBytes(dir.File("labels.txt"), "X\r\n"));
    const Lines found = Found(c.tail, dir, standin);
    int boxes = 0;
    RunResult run = RunVemtrell(c.tail, dir, {}, [&](HWND) {
      if (c.at_notice && boxes++ == 0) standin.CloseAndReadItems();
    });
    ExpectRun(__LINE__, run, found + c.traces, c.boxes, 1);
    EXPECT_EQ(FileNames(dir), c.files);
    EXPECT_EQ(Bytes(dir.File("dump.txt")), c.tail.empty() ? "<absent>" : "a\r\nb\r\n");
  });
}

// A count the list view does not hold: a negative one means no items; one
// past its items makes those items fail, and the run says so: the dump
// writes no file.
TEST(Faults, CountsTheListDoesNotHold) {
  struct Case {
    int line;
    int count;
    Lines dump_traces;
    std::string dumped;
    Lines apply_traces;
    bool failed;  // the dump and the apply alike
    Lines after;
  } const cases[] = {
      {__LINE__, -5, {"n_items=-5"}, "", {"n_items=-5", "---end"}, false, {"a", "b"}},
      {__LINE__, 4, {"n_items=4", "pch=a", "pch=b", "failed_item=2", "pch=", "failed_item=3", "pch="}, "<absent>",
       {"n_items=4", "failed_item=2", "failed_item=3", "---end"}, true, {"W", "X"}},
  };
  ForEachRow(cases, [](const Case& c) {
    StandinProcess standin({"a", "b"}, {"--count", std::to_string(c.count)});
    ASSERT_TRUE(standin.Started());
    TempDir dir;
    RunResult dump = RunVemtrell("/dump", dir.Path());
    ExpectRun(__LINE__, dump, Found("/dump", dir, standin) + c.dump_traces,
              {c.failed ? ExpectedBox{kDumpFailed, MB_ICONERROR} : ExpectedBox{kDumpDone, MB_OK}}, c.failed);
    EXPECT_EQ(Bytes(dir.File("dump.txt")), c.dumped);
    ASSERT_TRUE(WriteBytes(dir.File("config.txt"), "W\r\nX\r\nY\r\nZ\r\n"));
    RunResult apply = RunVemtrell("", dir.Path());
    ExpectRun(__LINE__, apply,
              Found("", dir, standin) + Lines{"filename=.\\config.txt", "pch=W", "pch=X", "pch=Y", "pch=Z"} +
                  c.apply_traces,
              {}, c.failed);
    EXPECT_EQ(standin.CloseAndReadItems(), c.after);
  });
}

// A read-only disk (a file system the Linux runs' sandbox makes read-only and
// name in VEMTRELL_READ_ONLY_DIR): the dump and the first-run export fail and
// say so.
TEST(Faults, ReadOnlyDirectory) {
  const std::string dir = Setting("VEMTRELL_READ_ONLY_DIR");
  if (dir.empty())
    GTEST_SKIP() << "VEMTRELL_READ_ONLY_DIR names no read-only disk (the Linux runs' sandbox makes one)";
  StandinProcess standin({"a"});
  ASSERT_TRUE(standin.Started());
  RunResult dump = RunVemtrell("/dump", dir);
  ExpectRun(__LINE__, dump, Found("/dump", dir, standin) + Lines{"Failed to open for writing : dump.txt"},
            {{kDumpFailed, MB_ICONERROR}}, 1);
  RunResult first = RunVemtrell("", dir);
  ExpectRun(__LINE__, first, Found("", dir, standin) + Lines{"Failed to open for writing : config.txt"},
            {{kFirstRun, MB_ICONINFORMATION}, {kExportFailed, MB_ICONERROR}}, 1);
  EXPECT_EQ(Bytes(dir + "\\config.txt"), "<absent>");
}

TEST(Faults, HugeLabelFiles) {
  StandinProcess standin({"a", "b", "c"});
  ASSERT_TRUE(standin.Started());
  TempDir dir;
  {
    // 100 MB in one line: one label of its first 255 bytes, the next line
    // still on the next item.
    std::string bytes(100u << 20, 'h');
    bytes += "\r\nB\r\n";
    ASSERT_TRUE(WriteBytes(dir.File("huge.txt"), bytes));
  }
  RunResult huge = RunVemtrell("huge.txt", dir.Path());
  ExpectRun(__LINE__, huge,
            Found("huge.txt", dir, standin) + Lines{"filename=huge.txt", "pch=" + std::string(255, 'h'), "pch=B",
                                                    "n_items=3", "---end"},
            {}, 0);
  DeleteFileA(dir.File("huge.txt").c_str());
  {
    std::string bytes;
    for (int i = 0; i < 1000000; ++i) bytes += "L" + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteBytes(dir.File("million.txt"), bytes));
  }
  // Without a debugger: a million trace lines through one take minutes.
  RunResult million =
      RunVemtrellCommandLine("\"" + ExeDir() + "Vemtrell.exe\" million.txt", dir.Path(), {}, nullptr, false);
  EXPECT_FALSE(million.timed_out);
  EXPECT_TRUE(million.boxes.empty());
  EXPECT_EQ(million.exit_code, 0u);
  EXPECT_EQ(standin.CloseAndReadItems(), Lines({"L0", "L1", "L2"}));
}

// Working folders named in Japanese, deeper than MAX_PATH bytes, or so deep
// that dump.txt just fits MAX_PATH and the longer name of the new file
// beside it does not: the files go there, and the "path" trace shows the
// whole folder. Wine takes paths past MAX_PATH where Windows refuses them,
// so only on Windows can that last folder fail a dump that does not use
// whole \\?\ paths.
TEST(Faults, UnusualWorkingDirectories) {
  StandinProcess standin({"a"});
  ASSERT_TRUE(standin.Started());
  TempDir base;
  const auto dumps_there = [&](const std::string& dir) {
    RunResult run = RunVemtrell("/dump", dir);
    ExpectRun(__LINE__, run, Found("/dump", dir, standin) + Lines{"n_items=1", "pch=a"}, {{kDumpDone, MB_OK}}, 0);
    EXPECT_EQ(Bytes(dir + "\\dump.txt"), "a\r\n");
    EXPECT_EQ(FileNames(dir), Lines{"dump.txt"});
  };
  {
    SCOPED_TRACE("the folder where dump.txt just fits");
    const std::size_t length = MAX_PATH - 1 - std::string("\\dump.txt").size();
    std::string tight = base.Path();
    while (tight.size() < length) {
      std::size_t name = std::min<std::size_t>(100, length - tight.size() - 1);
      if (length - tight.size() - 1 - name == 1) --name;  // no room would be left for a last name
      tight += "\\" + std::string(name, 't');
      // Past 248 characters only a \\?\ path makes a folder.
      ASSERT_TRUE(CreateDirectoryW(Widen("\\\\?\\" + tight, CP_ACP).c_str(), nullptr)) << tight.size();
    }
    ASSERT_EQ(tight.size(), length);
    dumps_there(tight);
  }
  // The names are Shift JIS and counted in its bytes: code page 932 only.
  if (!InCodePage(932)) return;
  const std::string japanese = base.File(Sjis(u8"作業フォルダー"));
  ASSERT_TRUE(CreateDirectoryA(japanese.c_str(), nullptr));
  // Fewer than MAX_PATH characters, more than MAX_PATH bytes in code page
  // 932: the folder fits Windows, its ANSI name does not fit the buffer.
  std::string deep = base.Path();
  for (const char* name : {u8"深", u8"層"}) {
    std::string component;
    for (int i = 0; i < 60; ++i) component += name;
    deep += "\\" + Sjis(component);
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep.size();
  }
  ASSERT_GT(deep.size(), static_cast<std::size_t>(MAX_PATH));
  for (const std::string& dir : {japanese, deep}) {
    SCOPED_TRACE(dir == japanese ? "the Japanese folder" : "the deep folder");
    dumps_there(dir);
  }
}

}  // namespace
