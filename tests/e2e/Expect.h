// What the end-to-end tests expect of a run, shared by their files.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "Harness.h"
#include "Rows.h"

using Lines = std::vector<std::string>;

inline const char kNotRunning[] = u8"Padmorph 3.7.9を起動した状態で使用してください．";
inline const char kNoBlock[] = u8"共有メモリーの確保に失敗．";
inline const char kDumpDone[] = u8"dump.txtを出力しました．";
inline const char kDumpFailed[] = u8"dump.txtの出力に失敗しました．";
inline const char kFirstRun[] = u8"現在のラベルをconfig.txtとして出力します．\nconfig.txtを編集後，再度実行してください．";
inline const char kExportDone[] = u8"config.txtを出力しました．";
inline const char kExportFailed[] = u8"config.txtの出力に失敗しました．";

struct ExpectedBox {
  std::string text;
  int icon;  // the style's icon: MB_OK (none), MB_ICONERROR or MB_ICONINFORMATION
};

inline Lines operator+(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The boxes a run showed, in order: text and icon.
inline void ExpectBoxes(const RunResult& run, const std::vector<ExpectedBox>& boxes) {
  ASSERT_EQ(run.boxes.size(), boxes.size());
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(run.boxes[i].text, boxes[i].text) << "box " << i;
    EXPECT_EQ(run.boxes[i].icon, boxes[i].icon) << "box " << i << " (0 none, 16 error, 64 information)";
  }
}

// Checks a whole run: trace bodies in order, boxes in order, exit code.
// `line` is the caller's; in a table's loop the row is named by ForEachRow.
inline void ExpectRun(int line, const RunResult& run, const Lines& bodies, const std::vector<ExpectedBox>& boxes,
               DWORD exit_code) {
  SCOPED_TRACE("checked at line " + std::to_string(line));
  EXPECT_FALSE(run.crashed) << run.refused;
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(Bodies(run), bodies);
  ExpectBoxes(run, boxes);
  EXPECT_EQ(run.exit_code, exit_code);
}

// `dir` is a path, or a TempDir.
inline Lines Opening(const std::string& tail, const std::string& dir) {
  return {"---start", "cmd_line=" + tail, "path=" + dir};
}

inline Lines Found(const std::string& tail, const std::string& dir, const StandinProcess& standin) {
  return Opening(tail, dir) + Lines{"hw=" + Hex8(standin.MainWindow()), "hw=" + Hex8(standin.ListView())};
}

// A setting the test run gives through the environment; empty when unset.
// Read wide: Wine's A call cuts a value one byte short for each double-byte
// character in it (a checkout under a folder named in Japanese).
inline std::string Setting(const char* name) {
  wchar_t value[4096] = {};
  const DWORD length = GetEnvironmentVariableW(Widen(name, CP_ACP).c_str(), value, 4096);
  return length > 0 && length < 4096 ? AnsiPath(std::wstring(value, length)) : std::string();
}

// Whether this process runs in ANSI code page `needed`, which a test's
// expectations hold in only. Where the runner chose the code page
// (VEMTRELL_CODE_PAGE, as the Linux runs under Wine do) any other is a
// failure; elsewhere the page is the system's and the test is skipped, with
// the reason. Use: if (!InCodePage(932)) return;
inline bool InCodePage(UINT needed) {
  const UINT got = GetACP();
  if (got == needed) return true;
  const std::string chosen = Setting("VEMTRELL_CODE_PAGE");
  if (!chosen.empty()) {
    ADD_FAILURE() << "the test runner asked for code page " << chosen << " (VEMTRELL_CODE_PAGE) and got " << got
                  << "; this test needs " << needed;
    return false;
  }
  // GTEST_SKIP returns from the function it stands in, which must return void.
  [&] { GTEST_SKIP() << "the system's ANSI code page is " << got << ", this test needs " << needed; }();
  return false;
}

// Where Wine and Windows differ, a test says which it expects where.
inline bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

inline std::string ThroughCodePage(const std::string& bytes) {
  wchar_t wide[512];
  char back[1024];
  const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide, 512);
  return std::string(back, WideCharToMultiByte(CP_ACP, 0, wide, length, back, sizeof back, nullptr, nullptr));
}


inline std::string Bytes(const std::string& path) {
  std::string bytes;
  return ReadBytes(path, &bytes) ? bytes : "<absent>";
}
