// The stand-in's process (standin/Standin.cpp), as the tests drive it:
// started with its items, its windows found, its item requests and final
// texts read back.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Files.h"
#include "Handle.h"

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
  DWORD ProcessId() const { return process_id_; }
  // Every item request ("get I", "set I") that reached the list view so far.
  std::vector<std::string> ItemRequests() const;
  // Closes the window and returns the list view's texts as it had them;
  // a single "<...>" line saying why when it saved none.
  std::vector<std::string> CloseAndReadItems();

 private:
  bool Start(const std::string& exe, const std::vector<std::string>& options, const std::string& ready_name);
  void Close();

  TempDir files_;
  Handle process_;
  DWORD process_id_ = 0;
  HWND main_ = nullptr;
};
