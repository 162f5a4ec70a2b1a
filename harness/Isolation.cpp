#include "Isolation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "Text.h"

namespace {

struct Isolation {
  HDESK desktop = nullptr;
  std::string desktop_name;
  HANDLE job = nullptr;
  std::mutex mutex;
  std::set<DWORD> started;  // every process started here, by id
};

Isolation& Own() {
  static Isolation* isolation = [] {
    Isolation* made = new Isolation;  // never freed: the job must outlive every static
    const char* setting = std::getenv("VEMTRELL_TEST_DESKTOP");
    if (!setting || std::strcmp(setting, "none") != 0) {
      made->desktop_name = "Vemtrell-tests-" + std::to_string(GetCurrentProcessId());
      made->desktop = CreateDesktopA(made->desktop_name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
      if (!made->desktop) made->desktop_name.clear();
    }
    // Closed by the system when this process ends, however it ends: every
    // program in the job ends with it.
    made->job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (made->job &&
        !SetInformationJobObject(made->job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(made->job);
      made->job = nullptr;
    }
    return made;
  }();
  return *isolation;
}

std::string ProgramOf(DWORD process_id) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (!process) return "an unknown program";
  char path[MAX_PATH + 1] = "";
  DWORD size = MAX_PATH;
  const bool named = QueryFullProcessImageNameA(process, 0, path, &size) != FALSE;
  CloseHandle(process);
  // Up to the NUL: the size an A call returns may count characters, not bytes.
  return named ? std::string(path) : "an unknown program";
}

}  // namespace

char* TestDesktop() {
  Isolation& isolation = Own();
  return isolation.desktop ? &isolation.desktop_name[0] : nullptr;
}

void EnterTestDesktop() {
  Isolation& isolation = Own();
  if (isolation.desktop && GetThreadDesktop(GetCurrentThreadId()) != isolation.desktop &&
      !SetThreadDesktop(isolation.desktop))
    // A thread that made a window stays where it is, and finds nothing the tests start.
    std::fprintf(stderr, "harness: this thread cannot move to the test desktop (error %lu): it has a window\n",
                 GetLastError());
}

namespace {

// A process made suspended: into the job before its first instruction.
void Adopt(const PROCESS_INFORMATION& started) {
  Isolation& isolation = Own();
  // A job inside a job the caller is in works from Windows 8 on; where it
  // does not, the program still ends with its test's own clean-up.
  if (isolation.job) AssignProcessToJobObject(isolation.job, started.hProcess);
  {
    const std::lock_guard<std::mutex> lock(isolation.mutex);
    isolation.started.insert(started.dwProcessId);
  }
  ResumeThread(started.hThread);
}

}  // namespace

bool StartOnTestDesktop(const char* application, std::string command_line, DWORD flags, const char* directory,
                        PROCESS_INFORMATION* started) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = TestDesktop();
  if (!CreateProcessA(application, &command_line[0], nullptr, nullptr, FALSE, flags | CREATE_SUSPENDED, nullptr,
                      directory, &startup, started))
    return false;
  Adopt(*started);
  return true;
}

bool StartOnTestDesktop(const wchar_t* application, std::wstring command_line, DWORD flags, const wchar_t* directory,
                        PROCESS_INFORMATION* started) {
  const char* desktop = TestDesktop();
  std::wstring wide_desktop = desktop ? Widen(desktop, CP_ACP) : std::wstring();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop ? &wide_desktop[0] : nullptr;
  if (!CreateProcessW(application, &command_line[0], nullptr, nullptr, FALSE, flags | CREATE_SUSPENDED, nullptr,
                      directory, &startup, started))
    return false;
  Adopt(*started);
  return true;
}

std::string ForeignPadmorph() {
  Isolation& isolation = Own();
  EnterTestDesktop();
  for (HWND window = FindWindowExA(nullptr, nullptr, "TMainForm", "Padmorph Ver3.7.9"); window;
       window = FindWindowExA(nullptr, window, "TMainForm", "Padmorph Ver3.7.9")) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    const std::lock_guard<std::mutex> lock(isolation.mutex);
    if (!isolation.started.count(owner)) return ProgramOf(owner) + " (process " + std::to_string(owner) + ")";
  }
  return std::string();
}

std::string ForeignPadmorphMessage(const std::string& foreign) {
  return "a Padmorph window this test did not start is open, of " + foreign +
         ": close it and run the tests again (they would reach it; nothing was sent)";
}
