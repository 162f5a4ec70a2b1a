#include "Harness.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

std::string Narrow(const std::wstring& wide, UINT code_page) {
  if (wide.empty()) return std::string();
  const int length = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), &out[0], length, nullptr,
                      nullptr);
  return out;
}

std::wstring Widen(const std::string& text, UINT code_page) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
  return out;
}

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string full = path + "\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(full);
      else {
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(full.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

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
  if (std::string(class_name) == "#32770" && std::wstring(title) == L"Vemtrell") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The pixels of a w x h bitmap as 0x00RRGGBB values, top row first.
std::vector<DWORD> Pixels(HDC dc, HBITMAP bitmap, int w, int h) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<DWORD> pixels(static_cast<std::size_t>(w) * h, 0xFFFFFFFF);
  GetDIBits(dc, bitmap, 0, static_cast<UINT>(h), pixels.data(), &info, DIB_RGB_COLORS);
  for (DWORD& p : pixels) p &= 0xFFFFFF;
  return pixels;
}

long Distance(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
  long sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    for (int shift = 0; shift < 24; shift += 8)
      sum += std::labs(static_cast<long>((a[i] >> shift) & 0xFF) - static_cast<long>((b[i] >> shift) & 0xFF));
  return sum;
}

// The icon a box shows, told by drawing the system's error and information
// icons the same way and taking the nearer. Icon handles cannot tell: on
// Windows the system icons are shared by every process, under Wine each
// process loads its own copy with a handle of its own.
int IconKind(HWND control) {
  if (!control || !IsWindowVisible(control) || SendMessageW(control, STM_GETICON, 0, 0) == 0) return 0;
  int w = 0, h = 0;
  const std::vector<DWORD> shown = WindowPixels(control, &w, &h);
  if (shown.empty()) return 0;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  // The box's background, from the corner the icon leaves transparent.
  const COLORREF background = RGB((shown[0] >> 16) & 0xFF, (shown[0] >> 8) & 0xFF, shown[0] & 0xFF);
  long distance[2] = {0, 0};
  const LPCSTR references[2] = {IDI_ERROR, IDI_INFORMATION};
  for (int k = 0; k < 2; ++k) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all = {0, 0, w, h};
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, LoadIconA(nullptr, references[k]), w, h, 0, nullptr, DI_NORMAL);
    SelectObject(memory, old);
    distance[k] = Distance(shown, Pixels(memory, bitmap, w, h));
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  // The nearer one must be clearly nearer, or the icon is neither.
  if (distance[0] * 4 < distance[1]) return MB_ICONERROR;
  if (distance[1] * 4 < distance[0]) return MB_ICONINFORMATION;
  return -1;
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

}  // namespace

std::vector<DWORD> WindowPixels(HWND window, int* width, int* height) {
  RECT rect;
  if (!GetWindowRect(window, &rect) || rect.right <= rect.left || rect.bottom <= rect.top) return {};
  *width = rect.right - rect.left;
  *height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, *width, *height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, *width, *height, screen, rect.left, rect.top, SRCCOPY);
  SelectObject(memory, old);
  std::vector<DWORD> pixels = Pixels(memory, bitmap, *width, *height);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

std::string ExeDir() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, length);
  return dir.substr(0, dir.find_last_of("\\/") + 1);
}

std::string Sjis(const std::string& utf8) { return Narrow(Widen(utf8, CP_UTF8), 932); }

std::string Hex8(const void* handle) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle)));
  return text;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

bool ReadBytes(const std::string& path, std::string* bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes->append(chunk, got);
  CloseHandle(file);
  return true;
}

std::vector<std::string> FileNames(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((directory + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = entry.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

TempDir::TempDir() {
  static int counter = 0;
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  path_ = std::string(base) + "vemtrell-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
  RemoveTree(path_);
  CreateDirectoryA(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

namespace {

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

}  // namespace

StandinProcess::StandinProcess(const std::vector<std::string>& items, const std::vector<std::string>& options,
                               const std::string& exe) {
  std::string list;
  for (const std::string& item : items) list += EscapeItem(item) + "\n";
  WriteBytes(files_.File("items.txt"), list);
  static int counter = 0;
  const std::string ready_name =
      "VemtrellStandinReady-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str());
  std::string command = "\"" + (exe.empty() ? ExeDir() + "standin.exe" : exe) + "\" --items \"" +
                        files_.File("items.txt") + "\" --save \"" + files_.File("saved.bin") + "\" --log \"" +
                        files_.File("requests.log") + "\" --ready " + ready_name;
  for (const std::string& option : options) command += " \"" + option + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  // wine64 8.0 on one core once refused a CreateProcess at once (seen in a
  // whole suite, not reproduced): say why, and try again.
  bool created = false;
  for (int attempt = 0; attempt < 3 && !created; ++attempt) {
    created = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process_) != FALSE;
    if (!created) {
      std::fprintf(stderr, "standin: CreateProcess failed, error %lu\n", GetLastError());
      Sleep(200);
    }
  }
  if (created) {
    HANDLE waits[2] = {ready, process_.hProcess};
    const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, 30000);
    if (waited == WAIT_OBJECT_0) main_ = MainWindowOf(process_.dwProcessId);
    if (!main_) {
      DWORD code = 0;
      GetExitCodeProcess(process_.hProcess, &code);
      std::fprintf(stderr, "standin: not started (wait %lu, error %lu, exit code %lu)\n", waited, GetLastError(),
                   code);
    }
  }
  CloseHandle(ready);
}

StandinProcess::~StandinProcess() {
  if (main_ && !IsWindow(main_) && process_.hProcess) TerminateProcess(process_.hProcess, 9);  // window gone
  Close();
  if (process_.hProcess) {
    if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(process_.hProcess, 9);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
}

HWND StandinProcess::ListView() const {
  HWND window = main_;
  for (const char* name : {"TPageControl", "TTabSheet", "TTabControl", "TListView"})
    window = FindWindowExA(window, nullptr, name, nullptr);
  return window;
}

std::vector<std::string> StandinProcess::ItemRequests() const {
  std::vector<std::string> requests;
  std::string log;
  if (!ReadBytes(files_.File("requests.log"), &log)) return {"<no log>"};
  std::size_t start = 0;
  for (std::size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
    requests.push_back(log.substr(start, end - start));
  return requests;
}

void StandinProcess::Close() {
  if (main_) PostMessageA(main_, WM_CLOSE, 0, 0);
  main_ = nullptr;
}

std::vector<std::string> StandinProcess::CloseAndReadItems() {
  Close();
  std::vector<std::string> items;
  if (!process_.hProcess || WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) return items;
  std::string saved;
  if (!ReadBytes(files_.File("saved.bin"), &saved)) return items;
  std::size_t start = 0;
  for (std::size_t end; (end = saved.find('\0', start)) != std::string::npos; start = end + 1)
    items.push_back(saved.substr(start, end - start));
  return items;
}

RunResult RunVemtrell(const std::string& tail, const std::string& directory, const std::vector<std::string>& watched,
                      const BoxHook& on_box) {
  std::string command = "\"" + ExeDir() + "Vemtrell.exe\"";
  if (!tail.empty()) command += " " + tail;
  return RunVemtrellCommandLine(command, directory, watched, on_box);
}

RunResult RunVemtrellCommandLine(const std::string& command_line, const std::string& directory,
                                 const std::vector<std::string>& watched, const BoxHook& on_box, bool debug) {
  RunResult run;
  const std::string exe = ExeDir() + "Vemtrell.exe";
  std::string command = command_line;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, debug ? DEBUG_ONLY_THIS_PROCESS : 0,
                      nullptr, directory.c_str(), &startup, &process)) {
    run.crashed = true;
    return run;
  }
  std::atomic<bool> done(false);
  std::thread watcher([&]() {
    HWND last = nullptr;
    while (!done) {
      BoxSearch search = {process.dwProcessId, nullptr};
      EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&search));
      if (search.found && search.found != last) {
        Sleep(50);  // let the box finish laying itself out
        run.boxes.push_back(ReadBox(search.found, directory, watched));
        if (on_box) on_box(search.found);
        PostMessageW(search.found, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 500 && IsWindow(search.found); ++i) Sleep(10);
        last = search.found;
      }
      Sleep(20);
    }
  });
  const ULONGLONG deadline = GetTickCount64() + 300000;  // a million labels take ~30 s here
  while (!debug && WaitForSingleObject(process.hProcess, 200) == WAIT_TIMEOUT) {
    if (GetTickCount64() > deadline && !run.timed_out) {
      run.timed_out = true;
      TerminateProcess(process.hProcess, 99);
    }
  }
  if (!debug) GetExitCodeProcess(process.hProcess, &run.exit_code);
  for (bool exited = !debug; !exited;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, 200)) {
      if (GetTickCount64() > deadline && !run.timed_out) {
        run.timed_out = true;
        TerminateProcess(process.hProcess, 99);
      }
      continue;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        std::string line(info.nDebugStringLength, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, &line[0], line.size(), &got);
        line.resize(got);
        if (!line.empty() && line.back() == '\0') line.pop_back();
        run.traces.push_back(line);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
          if (!event.u.Exception.dwFirstChance) run.crashed = true;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        run.exit_code = event.u.ExitProcess.dwExitCode;
        exited = true;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  done = true;
  watcher.join();
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return run;
}

int CountItemBlocks(DWORD process_id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
  if (!process) return -1;
  int count = 0;
  MEMORY_BASIC_INFORMATION info;
  for (const char* at = nullptr; VirtualQueryEx(process, at, &info, sizeof info) == sizeof info;
       at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State != MEM_COMMIT || info.Type != MEM_PRIVATE || info.Protect != PAGE_READWRITE) continue;
    LVITEMA item;
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, info.BaseAddress, &item, sizeof item, &got) || got != sizeof item) continue;
    if (item.mask == LVIF_TEXT && item.cchTextMax == 256 &&
        item.pszText == static_cast<char*>(info.BaseAddress) + sizeof(LVITEMA))
      ++count;
  }
  CloseHandle(process);
  return count;
}

std::vector<std::string> Bodies(const RunResult& run) {
  std::vector<std::string> bodies;
  for (const std::string& line : run.traces) {
    const std::size_t head = line.find(") : ");
    bodies.push_back(head == std::string::npos ? "<no head>" + line : line.substr(head + 4));
  }
  return bodies;
}
