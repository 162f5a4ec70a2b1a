// Drives Vemtrell.exe and the stand-in under test: starts the stand-in,
// runs the program as a debuggee to collect its trace lines, reads and closes
// its message boxes from another thread.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

// Directory of the running test executable, where the build puts every exe.
std::string ExeDir();
// UTF-8 text as ANSI code page 932 bytes.
std::string Sjis(const std::string& utf8);
std::string Hex8(const void* handle);

// What the screen shows of `window`, as 0x00RRGGBB values, top row first;
// empty when the window has no area.
std::vector<DWORD> WindowPixels(HWND window, int* width, int* height);

bool WriteBytes(const std::string& path, const std::string& bytes);
// False when there is nothing readable at `path`.
bool ReadBytes(const std::string& path, std::string* bytes);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> FileNames(const std::string& directory);

// A fresh, empty directory under %TEMP%, removed with its files at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  operator const std::string&() const { return path_; }  // NOLINT: a TempDir is where it is
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

class StandinProcess {
 public:
  // `items` go to the list view unchanged; `options` are further stand-in
  // options; `exe` is another build's stand-in (default: the one beside us).
  explicit StandinProcess(const std::vector<std::string>& items, const std::vector<std::string>& options = {},
                          const std::string& exe = "");
  ~StandinProcess();
  StandinProcess(const StandinProcess&) = delete;
  StandinProcess& operator=(const StandinProcess&) = delete;

  bool Started() const { return main_ != nullptr; }
  HWND MainWindow() const { return main_; }
  HWND ListView() const;
  DWORD ProcessId() const { return process_.dwProcessId; }
  // Every item request ("get I", "set I") that reached the list view so far.
  std::vector<std::string> ItemRequests() const;
  // Closes the window and returns the list view's texts as it had them.
  std::vector<std::string> CloseAndReadItems();

 private:
  void Close();

  PROCESS_INFORMATION process_ = {};
  HWND main_ = nullptr;
  TempDir files_;
};

struct Box {
  std::string text;  // UTF-8
  // Which icon the box shows, told by its pixels: 0 for none, MB_ICONERROR,
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
  bool crashed = false;
};

// Called with each message box while it is open, before it is closed.
using BoxHook = std::function<void(HWND)>;

// Runs Vemtrell.exe with `tail` after its quoted name (nothing when empty),
// in `directory`.
RunResult RunVemtrell(const std::string& tail, const std::string& directory,
                      const std::vector<std::string>& watched = {}, const BoxHook& on_box = nullptr);
// The same with the whole command line given. Without `debug`, no trace
// lines are collected: a run that writes a million of them takes seconds,
// not minutes.
RunResult RunVemtrellCommandLine(const std::string& command_line, const std::string& directory,
                                 const std::vector<std::string>& watched = {}, const BoxHook& on_box = nullptr,
                                 bool debug = true);

// Item blocks (a record whose pszText names the text area right behind it)
// that a process holds in its memory: the ones Vemtrell left behind.
int CountItemBlocks(DWORD process_id);

// Trace bodies: each line less its "<file>(<line>) : " head.
std::vector<std::string> Bodies(const RunResult& run);
