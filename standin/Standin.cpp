// Stand-in for Padmorph 3.7.9 on machines without it: a main window with the
// same child chain down to a real list view, and the misbehaviours the
// tests need. Options:
//   --title TEXT        main window title (default "Padmorph Ver3.7.9")
//   --item TEXT         one item text (repeatable); \n \r \t \\ \xNN decoded
//   --items FILE        item texts, one per line, same escapes
//   --gen N             N items "Item 0" .. "Item N-1"
//   --break K           the chain's K-th child (1..4) has another class
//   --top-level-list    the list view is a top-level window of its own, not
//                       in the chain (what a broken chain must never reach)
//   --refuse-get LIST   answer LVM_GETITEMA with 0 for these indexes
//   --refuse-set LIST   answer LVM_SETITEMA with 0 for these indexes
//   --silent-get LIST   answer LVM_GETITEMA with TRUE, writing no text
//   --hold-get LIST     answer LVM_GETITEMA only 3 s after it arrived (logged
//                       at once), as a hung Padmorph would
//   --own-text LIST     answer LVM_GETITEMA by pointing pszText at own text
//   --bad-text LIST     answer LVM_GETITEMA by pointing pszText at no memory
//   --page-end-text LIST  answer LVM_GETITEMA by pointing pszText at own text
//                       whose NUL is the last byte before unreadable memory
//   --count N           answer LVM_GETITEMCOUNT with N, whatever the list holds
//   --close-after K     after K item messages, destroy the window at the next
//                       one (the process stays until it is ended)
//   --close-at-count    destroy the window when asked for the item count,
//                       answering 0 (the process stays until it is ended)
//   --exit-after K      after K item messages, exit at the next one
//   --save FILE         at exit, write every item text followed by a NUL
//   --log FILE          one line per item request that reaches the list view
//                       ("get I" or "set I"), written as it arrives
//   --callback          items hold LPSTR_TEXTCALLBACKA: their texts stay with
//                       the owner, which answers LVN_GETDISPINFOA
//   --ready NAME        set the named event once the list is filled
// LIST is comma-separated indexes or "all".
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

struct IndexSet {
  bool all = false;
  std::set<int> indexes;
  bool Has(int i) const { return all || indexes.count(i) != 0; }
};

struct Options {
  std::string title = "Padmorph Ver3.7.9";
  std::vector<std::string> items;
  int broken_level = 0;
  IndexSet refuse_get, refuse_set, silent_get, hold_get, own_text, bad_text, page_end_text;
  std::string save_path;
  std::string ready_event;
  std::string log_path;
  bool callback = false;
  bool top_level_list = false;
  bool fake_count = false;
  int count = 0;
  int close_after = -1;
  bool close_at_count = false;
  int exit_after = -1;
};

Options g_options;
WNDPROC g_list_base_proc = nullptr;
HWND g_list = nullptr;
HWND g_main = nullptr;
int g_item_messages = 0;
bool g_saving = false;
constexpr int kLabelBytes = 256;  // a text near the page end fits in the page
char g_own_text[1024];
char* g_readable_end = nullptr;  // --page-end-text: the first byte that cannot be read
std::FILE* g_log = nullptr;

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char c = text[++i];
    if (c == 'n') out.push_back('\n');
    else if (c == 'r') out.push_back('\r');
    else if (c == 't') out.push_back('\t');
    else if (c == 'x' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16)));
      i += 2;
    } else out.push_back(c);
  }
  return out;
}

IndexSet ParseIndexes(const char* list) {
  IndexSet set;
  if (std::strcmp(list, "all") == 0) {
    set.all = true;
    return set;
  }
  for (const char* p = list; *p;) {
    char* end = nullptr;
    set.indexes.insert(static_cast<int>(std::strtol(p, &end, 10)));
    p = (*end == ',') ? end + 1 : end;
    if (end == p && *p) break;
  }
  return set;
}

bool ReadItemsFile(const char* path, std::vector<std::string>& items) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  std::string content;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  std::fclose(file);
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    items.push_back(Unescape(line));
    start = end + 1;
  }
  return true;
}

bool ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--top-level-list") {
      g_options.top_level_list = true;
      continue;
    }
    if (option == "--callback") {
      g_options.callback = true;
      continue;
    }
    if (option == "--close-at-count") {
      g_options.close_at_count = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (option == "--title") g_options.title = value;
    else if (option == "--item") g_options.items.push_back(Unescape(value));
    else if (option == "--items") {
      if (!ReadItemsFile(value, g_options.items)) return false;
    } else if (option == "--gen") {
      const int n = std::atoi(value);
      for (int k = 0; k < n; ++k) g_options.items.push_back("Item " + std::to_string(k));
    } else if (option == "--break") g_options.broken_level = std::atoi(value);
    else if (option == "--refuse-get") g_options.refuse_get = ParseIndexes(value);
    else if (option == "--refuse-set") g_options.refuse_set = ParseIndexes(value);
    else if (option == "--silent-get") g_options.silent_get = ParseIndexes(value);
    else if (option == "--hold-get") g_options.hold_get = ParseIndexes(value);
    else if (option == "--own-text") g_options.own_text = ParseIndexes(value);
    else if (option == "--bad-text") g_options.bad_text = ParseIndexes(value);
    else if (option == "--page-end-text") g_options.page_end_text = ParseIndexes(value);
    else if (option == "--save") g_options.save_path = value;
    else if (option == "--count") {
      g_options.fake_count = true;
      g_options.count = std::atoi(value);
    } else if (option == "--close-after") g_options.close_after = std::atoi(value);
    else if (option == "--exit-after") g_options.exit_after = std::atoi(value);
    else if (option == "--ready") g_options.ready_event = value;
    else if (option == "--log") g_options.log_path = value;
    else return false;
  }
  return true;
}

// Two pages, the second taken away: the first page's last byte is the last
// readable one. On Windows PAGE_NOACCESS is enough. Wine's ReadProcessMemory
// reads through PAGE_NOACCESS, so under Wine the page is unmapped with the
// Linux munmap system call itself, which Wine does not intercept.
char* MakeReadableEnd() {
  const SIZE_T kPage = 4096;
  char* pages = static_cast<char*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (!pages) return nullptr;
  char* end = pages + kPage;
  DWORD old = 0;
  if (!VirtualProtect(end, kPage, PAGE_NOACCESS, &old)) return nullptr;
  if (!GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) return end;
  long result = -1;
#if defined(__x86_64__)
  __asm__ volatile("syscall" : "=a"(result) : "a"(11L), "D"(end), "S"(kPage) : "rcx", "r11", "memory");  // munmap
#elif defined(__i386__)
  // A 32-bit program under WoW64 Wine still runs in a Linux process that
  // takes the 32-bit system call gate.
  __asm__ volatile("int $0x80" : "=a"(result) : "a"(91L), "b"(end), "c"(kPage) : "memory");  // munmap
#endif
  return result == 0 ? end : nullptr;
}

LRESULT CALLBACK ListProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!g_saving && message == LVM_GETITEMCOUNT && g_options.close_at_count) {
    DestroyWindow(g_main);
    return 0;
  }
  if (!g_saving && message == LVM_GETITEMCOUNT && g_options.fake_count) return g_options.count;
  if (!g_saving && (message == LVM_GETITEMA || message == LVM_SETITEMA)) {
    LVITEMA* item = reinterpret_cast<LVITEMA*>(lparam);
    if (g_log) {
      std::fprintf(g_log, "%s %d\n", message == LVM_GETITEMA ? "get" : "set", item->iItem);
      std::fflush(g_log);
    }
    if (message == LVM_GETITEMA && g_options.hold_get.Has(item->iItem)) Sleep(3000);
    const int seen = g_item_messages++;
    if (seen == g_options.exit_after) ExitProcess(0);
    if (seen == g_options.close_after) {
      DestroyWindow(g_main);
      return FALSE;
    }
    if (message == LVM_GETITEMA && g_options.refuse_get.Has(item->iItem)) return FALSE;
    if (message == LVM_SETITEMA && g_options.refuse_set.Has(item->iItem)) return FALSE;
    if (message == LVM_GETITEMA && g_options.silent_get.Has(item->iItem)) return TRUE;
    if (message == LVM_GETITEMA && g_options.bad_text.Has(item->iItem)) {
      item->pszText = reinterpret_cast<char*>(16);  // the first page is never mapped
      return TRUE;
    }
    if (message == LVM_GETITEMA && g_options.page_end_text.Has(item->iItem)) {
      LVITEMA own = *item;
      own.pszText = g_own_text;
      own.cchTextMax = kLabelBytes;
      CallWindowProcA(g_list_base_proc, window, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&own));
      const std::size_t size = std::strlen(g_own_text) + 1;
      item->pszText = g_readable_end - size;
      std::memcpy(item->pszText, g_own_text, size);
      return TRUE;
    }
    if (message == LVM_GETITEMA && g_options.own_text.Has(item->iItem)) {
      LVITEMA own = *item;
      own.pszText = g_own_text;
      own.cchTextMax = sizeof g_own_text;
      CallWindowProcA(g_list_base_proc, window, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&own));
      item->pszText = g_own_text;
      return TRUE;
    }
  }
  return CallWindowProcA(g_list_base_proc, window, message, wparam, lparam);
}

void SaveItems() {
  std::FILE* file = std::fopen(g_options.save_path.c_str(), "wb");
  if (!file) return;
  g_saving = true;
  const int n = static_cast<int>(SendMessageA(g_list, LVM_GETITEMCOUNT, 0, 0));
  std::vector<char> text(4096);
  for (int i = 0; i < n; ++i) {
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = i;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(text.size());
    text[0] = '\0';
    SendMessageA(g_list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    std::fwrite(item.pszText, 1, std::strlen(item.pszText) + 1, file);
  }
  g_saving = false;
  std::fclose(file);
}

// The owner's copy of a callback item's text, at most cchTextMax - 1 bytes.
void AnswerDisplayInfo(NMLVDISPINFOA* info) {
  LVITEMA& item = info->item;
  if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0) return;
  const std::string text = item.iItem >= 0 && static_cast<std::size_t>(item.iItem) < g_options.items.size()
                               ? g_options.items[static_cast<std::size_t>(item.iItem)]
                               : std::string();
  const std::size_t length = std::min(text.size(), static_cast<std::size_t>(item.cchTextMax - 1));
  std::memcpy(item.pszText, text.data(), length);
  item.pszText[length] = '\0';
}

// Every window of the chain fills its parent.
LRESULT CALLBACK ContainerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NOTIFY && reinterpret_cast<NMHDR*>(lparam)->code == LVN_GETDISPINFOA) {
    AnswerDisplayInfo(reinterpret_cast<NMLVDISPINFOA*>(lparam));
    return 0;
  }
  if (message == WM_SIZE) {
    HWND child = GetWindow(window, GW_CHILD);
    if (child) MoveWindow(child, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
    return 0;
  }
  if (message == WM_CLOSE && !GetParent(window)) {
    if (!g_options.save_path.empty()) SaveItems();
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY && !GetParent(window)) {
    if (g_options.close_after < 0 && !g_options.close_at_count) PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

bool RegisterClasses(HINSTANCE instance) {
  const char* names[] = {"TMainForm", "TPageControl", "TTabSheet", "TTabControl", "TPanel"};
  for (const char* name : names) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ContainerProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    if (!RegisterClassExA(&wc)) return false;
  }
  // "TListView": a superclass of the system list view, so it is a real one.
  WNDCLASSEXA list = {};
  list.cbSize = sizeof list;
  if (!GetClassInfoExA(nullptr, WC_LISTVIEWA, &list)) return false;
  g_list_base_proc = list.lpfnWndProc;
  list.lpfnWndProc = ListProc;
  list.hInstance = instance;
  list.lpszClassName = "TListView";
  return RegisterClassExA(&list) != 0;
}

int Run(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) {
    std::fprintf(stderr, "standin: bad options\n");
    return 2;
  }
  if (!g_options.log_path.empty()) g_log = std::fopen(g_options.log_path.c_str(), "w");
  if (g_options.page_end_text.all || !g_options.page_end_text.indexes.empty()) {
    g_readable_end = MakeReadableEnd();
    if (!g_readable_end) return 3;
  }
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  if (!RegisterClasses(instance)) return 3;

  HWND main_window = CreateWindowExA(0, "TMainForm", g_options.title.c_str(), WS_OVERLAPPEDWINDOW,
                                     40, 40, 420, 320, nullptr, nullptr, instance, nullptr);
  if (!main_window) return 3;
  g_main = main_window;
  const char* chain[] = {"TPageControl", "TTabSheet", "TTabControl"};
  HWND parent = main_window;
  for (int level = 1; level <= 3; ++level) {
    const char* name = level == g_options.broken_level ? "TPanel" : chain[level - 1];
    parent = CreateWindowExA(0, name, "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 100, 100, parent,
                             nullptr, instance, nullptr);
  }
  const char* list_class = g_options.broken_level == 4 ? WC_LISTVIEWA : "TListView";
  if (g_options.top_level_list)
    g_list = CreateWindowExA(0, list_class, "Top-level list", WS_OVERLAPPEDWINDOW | WS_VISIBLE | LVS_REPORT, 480, 40,
                             300, 200, nullptr, nullptr, instance, nullptr);
  else
    g_list = CreateWindowExA(WS_EX_CLIENTEDGE, list_class, "",
                             WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOSORTHEADER, 0, 0, 100, 100, parent, nullptr,
                             instance, nullptr);
  if (!g_list) return 3;
  LVCOLUMNA column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.cx = 380;
  column.pszText = const_cast<char*>("Label");
  SendMessageA(g_list, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));
  // Under Wine an insert into a list view that redraws costs more the longer
  // the list: the fill grew with the square of the items (20,000: 15 s, now 0.3 s).
  SendMessageA(g_list, WM_SETREDRAW, FALSE, 0);
  for (std::size_t i = 0; i < g_options.items.size(); ++i) {
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = g_options.callback ? LPSTR_TEXTCALLBACKA : const_cast<char*>(g_options.items[i].c_str());
    SendMessageA(g_list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
  SendMessageA(g_list, WM_SETREDRAW, TRUE, 0);
  ShowWindow(main_window, SW_SHOWNORMAL);
  RECT client;
  GetClientRect(main_window, &client);
  SendMessageA(main_window, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));

  if (!g_options.ready_event.empty()) {
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, g_options.ready_event.c_str());
    if (ready) {
      SetEvent(ready);
      CloseHandle(ready);
    }
  }
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

}  // namespace

// The GUI entry both toolchains call (Visual Studio's runtime wants WinMain for
// a GUI program); both runtimes fill __argc and __argv.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return Run(__argc, __argv); }
