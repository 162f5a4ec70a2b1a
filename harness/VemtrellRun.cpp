#include "VemtrellRun.h"

#include <atomic>
#include <thread>

#include "Files.h"
#include "Handle.h"
#include "Screen.h"

namespace {

// A million labels take about 30 s here.
constexpr ULONGLONG kRunTimeLimitMs = 300000;

struct BoxSearch {
  DWORD process_id;
  HWND found;
};

BOOL CALLBACK FindBoxProc(HWND window, LPARAM lparam) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(lparam);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->process_id || !IsWindowVisible(window)) return TRUE;
  char class_name[64] = "";
  wchar_t title[64] = L"";
  GetClassNameA(window, class_name, sizeof class_name);
  GetWindowTextW(window, title, 64);
  if (std::string(class_name) != "#32770" || std::wstring(title) != L"Vemtrell") return TRUE;
  search->found = window;
  return FALSE;
}

// The message box `process_id` shows now, or null.
HWND FindBox(DWORD process_id) {
  BoxSearch search = {process_id, nullptr};
  EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

Box ReadBox(HWND box, const std::string& directory, const std::vector<std::string>& watched) {
  Box seen;
  wchar_t text[1024] = L"";
  SendMessageW(GetDlgItem(box, 0xFFFF), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
  seen.text = Narrow(text, CP_UTF8);
  // The icon control is 0x440 in Wine, 0x14 on Windows.
  for (int id : {0x440, 0x14}) {
    const int kind = IconKind(GetDlgItem(box, id));
    if (kind != 0) seen.icon = kind;
  }
  for (const std::string& name : watched) {
    std::string bytes;
    if (ReadBytes(directory + "\\" + name, &bytes)) seen.files[name] = bytes;
  }
  return seen;
}

// Presses OK and waits up to 5 s for the box to go.
void CloseBox(HWND box) {
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  for (int i = 0; i < 500 && IsWindow(box); ++i) Sleep(10);
}

// Reads and closes, from a thread of its own, every box a process shows
// until the watcher goes, and ends the process once `kill_when` says so; what
// it saw is in `run` by then.
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
  void Watch() {
    for (HWND last = nullptr; !done_; Sleep(20)) {
      if (kill_when_ && !run_->killed && kill_when_()) run_->killed = TerminateProcess(process_, kKilledExitCode);
      const HWND box = FindBox(process_id_);
      if (!box || box == last) continue;
      Sleep(50);  // let the box finish laying itself out
      run_->boxes.push_back(ReadBox(box, directory_, watched_));
      if (on_box_) on_box_(box);
      CloseBox(box);
      last = box;
    }
  }

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

bool StartVemtrell(const std::string& command_line, const std::string& directory, bool debug, Handle* process,
                   DWORD* process_id) {
  const std::string exe = ExeDir() + "Vemtrell.exe";
  std::string command = command_line;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, debug ? DEBUG_ONLY_THIS_PROCESS : 0,
                      nullptr, directory.c_str(), &startup, &started))
    return false;
  CloseHandle(started.hThread);
  process->Reset(started.hProcess);
  *process_id = started.dwProcessId;
  return true;
}

// Ends the process once `deadline` (a GetTickCount64 time) has passed.
void EndAfter(ULONGLONG deadline, HANDLE process, RunResult* run) {
  if (run->timed_out || GetTickCount64() <= deadline) return;
  run->timed_out = true;
  TerminateProcess(process, 99);
}

void WaitForExit(HANDLE process, ULONGLONG deadline, RunResult* run) {
  while (WaitForSingleObject(process, 200) == WAIT_TIMEOUT) EndAfter(deadline, process, run);
  GetExitCodeProcess(process, &run->exit_code);
}

std::string ReadTrace(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  std::string line(info.nDebugStringLength, '\0');
  SIZE_T got = 0;
  ReadProcessMemory(process, info.lpDebugStringData, &line[0], line.size(), &got);
  line.resize(got);
  if (!line.empty() && line.back() == '\0') line.pop_back();
  return line;
}

// Takes what one debug event tells into `run`; returns how to continue.
DWORD TakeDebugEvent(const DEBUG_EVENT& event, HANDLE process, RunResult* run) {
  switch (event.dwDebugEventCode) {
    // The debugger is given these files' handles and must close them.
    case CREATE_PROCESS_DEBUG_EVENT:
      if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
      return DBG_CONTINUE;
    case LOAD_DLL_DEBUG_EVENT:
      if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
      return DBG_CONTINUE;
    case OUTPUT_DEBUG_STRING_EVENT:
      run->traces.push_back(ReadTrace(process, event.u.DebugString));
      return DBG_CONTINUE;
    case EXCEPTION_DEBUG_EVENT:
      if (event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT) return DBG_CONTINUE;
      if (!event.u.Exception.dwFirstChance) run->crashed = true;
      return DBG_EXCEPTION_NOT_HANDLED;
    case EXIT_PROCESS_DEBUG_EVENT:
      run->exit_code = event.u.ExitProcess.dwExitCode;
      return DBG_CONTINUE;
    default:
      return DBG_CONTINUE;
  }
}

void DebugUntilExit(HANDLE process, ULONGLONG deadline, RunResult* run) {
  for (bool exited = false; !exited;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, 200)) {
      EndAfter(deadline, process, run);
      continue;
    }
    const DWORD status = TakeDebugEvent(event, process, run);
    exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
}

}  // namespace

RunResult RunVemtrell(const std::string& tail, const std::string& directory, const std::vector<std::string>& watched,
                      const BoxHook& on_box, const KillWhen& kill_when) {
  std::string command = "\"" + ExeDir() + "Vemtrell.exe\"";
  if (!tail.empty()) command += " " + tail;
  return RunVemtrellCommandLine(command, directory, watched, on_box, true, kill_when);
}

RunResult RunVemtrellCommandLine(const std::string& command_line, const std::string& directory,
                                 const std::vector<std::string>& watched, const BoxHook& on_box, bool debug,
                                 const KillWhen& kill_when) {
  RunResult run;
  Handle process;
  DWORD process_id = 0;
  if (!StartVemtrell(command_line, directory, debug, &process, &process_id)) {
    run.crashed = true;
    return run;
  }
  {
    const BoxWatcher watcher(process.Get(), process_id, directory, watched, on_box, kill_when, &run);
    const ULONGLONG deadline = GetTickCount64() + kRunTimeLimitMs;
    if (debug) DebugUntilExit(process.Get(), deadline, &run);
    else WaitForExit(process.Get(), deadline, &run);
    // The exit event may come before the process's handles are closed, and
    // with them the files it marked for deletion.
    WaitForSingleObject(process.Get(), 10000);
  }  // the watcher's thread has ended: `run` is whole before it is returned
  return run;
}

std::vector<std::string> Bodies(const RunResult& run) {
  std::vector<std::string> bodies;
  for (const std::string& line : run.traces) {
    const std::size_t head = line.find(") : ");
    bodies.push_back(head == std::string::npos ? "<no head>" + line : line.substr(head + 4));
  }
  return bodies;
}
