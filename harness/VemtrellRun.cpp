#include "VemtrellRun.h"

#include <cstdio>

#include "BoxWatcher.h"
#include "Files.h"
#include "Handle.h"
#include "Isolation.h"
#include "Text.h"

namespace {

// A million labels take about 30 s here.
constexpr ULONGLONG kRunTimeLimitMs = 300000;

using Start = std::function<bool(DWORD flags, PROCESS_INFORMATION* started)>;

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

// Events of any other debuggee of this thread (one whose start was reported
// as failed, under Wine) are let through, never taken for this run's.
void DebugUntilExit(HANDLE process, DWORD process_id, ULONGLONG deadline, RunResult* run) {
  for (bool exited = false; !exited;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, 200)) {
      EndAfter(deadline, process, run);
      continue;
    }
    const bool ours = event.dwProcessId == process_id;
    const DWORD status = ours ? TakeDebugEvent(event, process, run) : DBG_CONTINUE;
    exited = ours && event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
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

namespace {

RunResult Run(const Start& start, const std::string& directory, const std::vector<std::string>& watched,
              const BoxHook& on_box, bool debug, const KillWhen& kill_when) {
  RunResult run;
  run.refused = ForeignPadmorph();
  if (!run.refused.empty()) {
    run.refused = ForeignPadmorphMessage(run.refused);
    std::fprintf(stderr, "Vemtrell: not started: %s\n", run.refused.c_str());
    run.crashed = true;
    return run;
  }
  PROCESS_INFORMATION started = {};
  // Wine now and then refuses a CreateProcess at once (seen on one core in
  // a whole suite): say why, and try again.
  bool began = false;
  for (int attempt = 0; attempt < 3 && !began; ++attempt) {
    began = start(debug ? DEBUG_ONLY_THIS_PROCESS : 0, &started);
    if (!began) {
      std::fprintf(stderr, "Vemtrell: CreateProcess failed, error %lu\n", GetLastError());
      Sleep(200);
    }
  }
  if (!began) {
    run.crashed = true;
    return run;
  }
  CloseHandle(started.hThread);
  const Handle process(started.hProcess);
  {
    const BoxWatcher watcher(process.Get(), started.dwProcessId, directory, watched, on_box, kill_when, &run);
    const ULONGLONG deadline = GetTickCount64() + kRunTimeLimitMs;
    if (debug) DebugUntilExit(process.Get(), started.dwProcessId, deadline, &run);
    else WaitForExit(process.Get(), deadline, &run);
    // The exit event may come before the process's handles are closed, and
    // with them the files it marked for deletion.
    WaitForSingleObject(process.Get(), 10000);
  }  // the watcher's thread has ended: `run` is whole before it is returned
  return run;
}

}  // namespace

RunResult RunVemtrellCommandLine(const std::string& command_line, const std::string& directory,
                                 const std::vector<std::string>& watched, const BoxHook& on_box, bool debug,
                                 const KillWhen& kill_when) {
  const std::string exe = ExeDir() + "Vemtrell.exe";
  const Start start = [&](DWORD flags, PROCESS_INFORMATION* started) {
    return StartOnTestDesktop(exe.c_str(), command_line, flags, directory.c_str(), started);
  };
  return Run(start, directory, watched, on_box, debug, kill_when);
}

RunResult RunVemtrellWide(const std::wstring& tail, const std::string& directory) {
  const std::wstring exe = Widen(ExeDir() + "Vemtrell.exe", CP_ACP);
  return RunVemtrellWideCommandLine(exe, L"\"" + exe + L"\" " + tail, directory);
}

RunResult RunVemtrellWideCommandLine(const std::wstring& exe, const std::wstring& command_line,
                                     const std::string& directory) {
  const std::wstring wide_directory = Widen(directory, CP_ACP);
  const Start start = [&](DWORD flags, PROCESS_INFORMATION* started) {
    return StartOnTestDesktop(exe.c_str(), command_line, flags, wide_directory.c_str(), started);
  };
  return Run(start, directory, {}, nullptr, true, nullptr);
}

std::vector<std::string> Bodies(const RunResult& run) {
  std::vector<std::string> bodies;
  for (const std::string& line : run.traces) {
    const std::size_t head = line.find(") : ");
    bodies.push_back(head == std::string::npos ? "<no head>" + line : line.substr(head + 4));
  }
  return bodies;
}
