#include "BoxWatcher.h"

#include "Files.h"
#include "Isolation.h"
#include "Screen.h"
#include "Text.h"

namespace {

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

}  // namespace

void BoxWatcher::Watch() {
  // The boxes show on the desktop the run was started on.
  EnterTestDesktop();
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
