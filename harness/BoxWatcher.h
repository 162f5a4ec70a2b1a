// Reads and closes, from a thread of its own, every message box a Vemtrell
// run shows, and ends the run when the test says so.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "VemtrellRun.h"

// Reads and closes every box `process_id` shows until the watcher goes, and
// ends the process once `kill_when` says so; what it saw is in `run` by then.
class BoxWatcher {
 public:
  BoxWatcher(HANDLE process, DWORD process_id, const std::string& directory, const std::vector<std::string>& watched,
             const BoxHook& on_box, const KillWhen& kill_when, RunResult* run)
      : process_(process), process_id_(process_id), directory_(directory), watched_(watched), on_box_(on_box),
        kill_when_(kill_when), run_(run) {
    thread_ = std::thread([this] { Watch(); });
  }
  ~BoxWatcher() {
    done_ = true;
    thread_.join();
  }
  BoxWatcher(const BoxWatcher&) = delete;
  BoxWatcher& operator=(const BoxWatcher&) = delete;

 private:
  void Watch();

  const HANDLE process_;
  const DWORD process_id_;
  const std::string& directory_;
  const std::vector<std::string>& watched_;
  const BoxHook& on_box_;
  const KillWhen& kill_when_;
  RunResult* const run_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};
