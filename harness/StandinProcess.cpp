#include "StandinProcess.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Isolation.h"

namespace {

// Every byte outside printable ASCII as \xNN: the stand-in's item file format.
std::string EscapeItem(const std::string& text) {
  std::string out;
  char hex[8];
  for (unsigned char c : text) {
    if (c == '\\' || c < 0x20 || c >= 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// The stand-in's own main window: more than one may run at once.
HWND MainWindowOf(DWORD process_id) {
  for (HWND window = FindWindowExA(nullptr, nullptr, "TMainForm", nullptr); window;
       window = FindWindowExA(nullptr, window, "TMainForm", nullptr)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == process_id) return window;
  }
  return nullptr;
}

// Lines of `text` split at `end`, a last unterminated one dropped.
std::vector<std::string> Split(const std::string& text, char end) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(end, start)) != std::string::npos; start = at + 1)
    parts.push_back(text.substr(start, at - start));
  return parts;
}

// How long the stand-in may take to be ready: 30 s for its start, and 1 ms
// per item for the fill (WoW64 Wine, one core, a slow machine).
DWORD ReadyWaitMs(const std::vector<std::string>& items, const std::vector<std::string>& options) {
  unsigned long long count = items.size();
  for (std::size_t i = 0; i + 1 < options.size(); ++i)
    if (options[i] == "--gen") count += std::strtoull(options[i + 1].c_str(), nullptr, 10);
  return static_cast<DWORD>(std::min<unsigned long long>(30000 + count, 30 * 60 * 1000));
}

}  // namespace

StandinProcess::StandinProcess(const std::vector<std::string>& items, const std::vector<std::string>& options,
                               const std::string& exe) {
  std::string list;
  for (const std::string& item : items) list += EscapeItem(item) + "\n";
  WriteBytes(files_.File("items.txt"), list);
  static int counter = 0;
  const std::string ready_name =
      "VemtrellStandinReady-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
  const Handle ready(CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str()));
  // This thread looks for the stand-in's window where it runs.
  EnterTestDesktop();
  const std::string foreign = ForeignPadmorph();
  if (!foreign.empty()) {
    std::fprintf(stderr, "standin: not started: %s\n", ForeignPadmorphMessage(foreign).c_str());
    return;
  }
  if (!Start(exe.empty() ? ExeDir() + "standin.exe" : exe, options, ready_name)) return;
  HANDLE waits[2] = {ready.Get(), process_.Get()};
  const DWORD wait_ms = ReadyWaitMs(items, options);
  const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, wait_ms);
  if (waited == WAIT_OBJECT_0) main_ = MainWindowOf(process_id_);
  if (main_) return;
  const DWORD error = GetLastError();
  DWORD code = 0;
  GetExitCodeProcess(process_.Get(), &code);
  if (waited == WAIT_TIMEOUT)
    std::fprintf(stderr, "standin: not started: not ready within %lu s, still running\n", wait_ms / 1000);
  else
    std::fprintf(stderr, "standin: not started (wait %lu, error %lu, exit code %lu)\n", waited, error, code);
}

bool StandinProcess::Start(const std::string& exe, const std::vector<std::string>& options,
                           const std::string& ready_name) {
  std::string command = "\"" + exe + "\" --items \"" + files_.File("items.txt") + "\" --save \"" +
                        files_.File("saved.bin") + "\" --log \"" + files_.File("requests.log") + "\" --ready " +
                        ready_name;
  for (const std::string& option : options) command += " \"" + option + "\"";
  PROCESS_INFORMATION process = {};
  // wine64 8.0 on one core once refused a CreateProcess at once (seen in a
  // whole suite, not reproduced): say why, and try again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (StartOnTestDesktop(nullptr, command, 0, nullptr, &process)) {
      CloseHandle(process.hThread);
      process_.Reset(process.hProcess);
      process_id_ = process.dwProcessId;
      return true;
    }
    std::fprintf(stderr, "standin: CreateProcess failed, error %lu\n", GetLastError());
    Sleep(200);
  }
  return false;
}

StandinProcess::~StandinProcess() {
  if (main_ && !IsWindow(main_) && process_) TerminateProcess(process_.Get(), 9);  // window gone
  Close();
  if (process_ && WaitForSingleObject(process_.Get(), 10000) != WAIT_OBJECT_0) TerminateProcess(process_.Get(), 9);
}

HWND StandinProcess::ListView() const {
  HWND window = main_;
  for (const char* name : {"TPageControl", "TTabSheet", "TTabControl", "TListView"})
    window = FindWindowExA(window, nullptr, name, nullptr);
  return window;
}

std::vector<std::string> StandinProcess::ItemRequests() const {
  std::string log;
  if (!ReadBytes(files_.File("requests.log"), &log)) return {"<no log>"};
  std::vector<std::string> requests = Split(log, '\n');
  for (std::string& request : requests)
    if (!request.empty() && request.back() == '\r') request.pop_back();  // the stand-in's log is in text mode
  return requests;
}

void StandinProcess::Close() {
  if (main_) PostMessageA(main_, WM_CLOSE, 0, 0);
  main_ = nullptr;
}

std::vector<std::string> StandinProcess::CloseAndReadItems() {
  Close();
  if (!process_ || WaitForSingleObject(process_.Get(), 10000) != WAIT_OBJECT_0) return {"<stand-in did not exit>"};
  std::string saved;
  // The stand-in saves when its window is closed, not when it is destroyed.
  if (!ReadBytes(files_.File("saved.bin"), &saved)) return {"<no items saved>"};
  return Split(saved, '\0');
}
