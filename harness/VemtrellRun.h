// Running Vemtrell.exe: as a debuggee whose trace lines are collected, its
// message boxes read and closed from another thread, within a deadline.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

struct Box {
  std::string text;  // UTF-8
  // Which icon the box shows (see IconKind): 0 for none, MB_ICONERROR,
  // MB_ICONINFORMATION, or -1 for one that is neither.
  int icon = 0;
  // Watched files as they stood while the box was open; absent ones are missing.
  std::map<std::string, std::string> files;
};

struct RunResult {
  DWORD exit_code = 0xFFFFFFFF;
  std::vector<std::string> traces;  // whole lines, without the NUL
  std::vector<Box> boxes;
  bool timed_out = false;
  bool crashed = false;  // or not started at all
  std::string refused;   // why it was not started, where a test must not start it
  bool killed = false;   // ended by its KillWhen, with exit code kKilledExitCode
};

constexpr DWORD kKilledExitCode = 0xDEAD;

// Called with each message box while it is open, before it is closed.
using BoxHook = std::function<void(HWND)>;
// Asked every 20 ms while Vemtrell runs; once it answers true, the run is
// ended with TerminateProcess, as Task Manager would end it.
using KillWhen = std::function<bool()>;

// Runs Vemtrell.exe with `tail` after its quoted name (nothing when empty),
// in `directory`.
RunResult RunVemtrell(const std::string& tail, const std::string& directory,
                      const std::vector<std::string>& watched = {}, const BoxHook& on_box = nullptr,
                      const KillWhen& kill_when = nullptr);
// The same with the whole command line given. Without `debug`, no trace
// lines are collected: a run that writes a million of them takes seconds,
// not minutes.
RunResult RunVemtrellCommandLine(const std::string& command_line, const std::string& directory,
                                 const std::vector<std::string>& watched = {}, const BoxHook& on_box = nullptr,
                                 bool debug = true, const KillWhen& kill_when = nullptr);

// Runs it with `tail` as Windows passes it, in UTF-16: a name the ANSI code
// page cannot spell reaches GetCommandLineW whole.
RunResult RunVemtrellWide(const std::wstring& tail, const std::string& directory);
// Runs the program `exe` (a copy of Vemtrell.exe) with the whole wide
// `command_line`.
RunResult RunVemtrellWideCommandLine(const std::wstring& exe, const std::wstring& command_line,
                                     const std::string& directory);

// Trace bodies: each line less its "<file>(<line>) : " head.
std::vector<std::string> Bodies(const RunResult& run);
