// Measures Vemtrell's cost per item against the messaging floor, on the
// stand-in, for lists of 1,000, 10,000 and 50,000 items:
//   a  Vemtrell /dump of the whole list
//   b  Vemtrell applying a label file with one new label per item
//   c  floor for a get: one pre-made block; write, LVM_GETITEMA, read
//   d  floor for a set: one pre-made block; write, LVM_SETITEMA
//   e  per-call client: allocate and free the remote block for every item
//   c+ d+  c and d with one OutputDebugStringA per item, the trace line that
//          Vemtrell writes for every item it reads or label it loads
// Every one of them is timed the same way: a whole process less the same
// program's run on an empty list, so start-up is not per-item cost. Every
// figure is the median of 5 runs up to 2,000 items, of 3 up to 20,000, and
// one run above, where one run already averages over the items: on a machine
// whose cross-process wake-ups cost several times more, five runs of 50,000
// items alone would take a quarter of an hour. Prints microseconds per item, then the ratio and the size it was
// taken at: 10,000 items, or the measured size nearest to it.
// "bench --client get|set|percall" is one of the minimal clients.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Harness.h"
#include "ItemBlock.h"

namespace {

int RunsFor(int n) { return n <= 2000 ? 5 : n <= 20000 ? 3 : 1; }

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Repeat(int runs, const std::function<double()>& measure) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(measure());
  return Median(times);
}

// Seconds from the start of a program to its exit; Vemtrell's boxes are
// closed as soon as they show.
double TimeProcess(const std::string& exe, const std::string& tail, const std::string& directory,
                   bool closes_box) {
  const std::string command = "\"" + ExeDir() + exe + "\" " + tail;
  PROCESS_INFORMATION process = {};
  const double start = Now();
  // Where the stand-in is, and nowhere a Padmorph of the user's could be.
  if (!StartOnTestDesktop(nullptr, command, 0, directory.c_str(), &process)) return -1;
  // One cheap lookup per millisecond: the poll must not steal the time it measures.
  while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
    if (!closes_box) continue;
    HWND box = FindWindowA("#32770", "Vemtrell");
    if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
  }
  const double seconds = Now() - start;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return seconds;
}

struct Remote {
  HANDLE process = nullptr;
  explicit Remote(HWND window) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, id);
  }
  ~Remote() { CloseHandle(process); }
  char* Alloc() const {
    return static_cast<char*>(
        VirtualAllocEx(process, nullptr, sizeof(ItemBlock), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  }
  void Free(char* block) const { VirtualFreeEx(process, block, 0, MEM_RELEASE); }
};

void Prepare(ItemBlock& local, char* remote) {
  local = ItemBlock();
  local.item.mask = LVIF_TEXT;
  local.item.pszText = remote + offsetof(ItemBlock, text);
  local.item.cchTextMax = kItemTextMax;
}

// The size of a trace line Vemtrell writes per item.
const char kTraceLine[] = "Vemtrell.cpp( 202) : pch=Label number 12345";

// c: the least a get can cost.
double FloorGet(HWND list, int n, bool trace) {
  Remote target(list);
  char* remote = target.Alloc();
  ItemBlock local;
  Prepare(local, remote);
  const double start = Now();
  for (int i = 0; i < n; ++i) {
    local.item.iItem = i;
    WriteProcessMemory(target.process, remote, &local, sizeof local, nullptr);
    SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(target.process, remote, &local, sizeof local, nullptr);
    if (trace) OutputDebugStringA(kTraceLine);
  }
  const double seconds = Now() - start;
  target.Free(remote);
  return seconds;
}

// d: the least a set can cost.
double FloorSet(HWND list, int n, const std::vector<std::string>& labels, bool trace) {
  Remote target(list);
  char* remote = target.Alloc();
  ItemBlock local;
  Prepare(local, remote);
  const double start = Now();
  for (int i = 0; i < n; ++i) {
    local.item.iItem = i;
    lstrcpynA(local.text, labels[i].c_str(), kItemTextMax);
    WriteProcessMemory(target.process, remote, &local, sizeof local, nullptr);
    SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(remote));
    if (trace) OutputDebugStringA(kTraceLine);
  }
  const double seconds = Now() - start;
  target.Free(remote);
  return seconds;
}

// e: a get as common automation libraries do it, a remote block per call.
double PerCallGet(HWND list, int n) {
  Remote target(list);
  ItemBlock local;
  const double start = Now();
  for (int i = 0; i < n; ++i) {
    char* remote = target.Alloc();
    Prepare(local, remote);
    local.item.iItem = i;
    WriteProcessMemory(target.process, remote, &local, sizeof local, nullptr);
    SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(target.process, remote, &local, sizeof local, nullptr);
    target.Free(remote);
  }
  return Now() - start;
}

std::vector<std::string> Labels(int n) {
  std::vector<std::string> labels;
  for (int i = 0; i < n; ++i) labels.push_back("Label number " + std::to_string(i));
  return labels;
}

void WriteLabelFile(const std::string& path, const std::vector<std::string>& labels) {
  std::string bytes;
  for (const std::string& label : labels) bytes += label + "\r\n";
  WriteBytes(path, bytes);
}

struct Row {
  int n, runs;
  double a, b, c, d, e, c_traced, d_traced;  // microseconds per item
};

}  // namespace

int RunClient(const std::string& kind) {
  HWND list = FindWindowA("TMainForm", nullptr);
  for (const char* name : {"TPageControl", "TTabSheet", "TTabControl", "TListView"})
    list = FindWindowExA(list, nullptr, name, nullptr);
  if (!list) return 1;
  const int n = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  if (kind == "get") FloorGet(list, n, false);
  else if (kind == "set") FloorSet(list, n, Labels(n), false);
  else if (kind == "get+") FloorGet(list, n, true);
  else if (kind == "set+") FloorSet(list, n, Labels(n), true);
  else if (kind == "percall") PerCallGet(list, n);
  else return 2;
  return 0;
}

double Client(const char* kind, const std::string& directory) {
  return TimeProcess("bench.exe", std::string("--client ") + kind, directory, false);
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--client") return RunClient(argv[2]);
  std::vector<int> sizes = {1000, 10000, 50000};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) {
      const int n = std::atoi(argv[i]);
      if (n <= 0) {
        std::fprintf(stderr, "bench: '%s' is not a number of items\nusage: bench [ITEMS...]\n", argv[i]);
        return 2;
      }
      sizes.push_back(n);
    }
  }
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  std::printf("build: %u-bit%s\n", static_cast<unsigned>(sizeof(void*) * 8), wow64 ? " under WoW64" : "");
  TempDir dir;
  const std::string labels_path = dir.File("labels.txt");

  // The same program on an empty list: start-up, lookups, block, file, exit.
  double dump_empty = 0, apply_empty = 0, get_empty = 0, set_empty = 0, percall_empty = 0, get_traced_empty = 0,
         set_traced_empty = 0;
  {
    StandinProcess standin({});
    if (!standin.Started()) return 1;
    WriteLabelFile(labels_path, {});
    dump_empty = Repeat(RunsFor(0), [&] { return TimeProcess("Vemtrell.exe", "/dump", dir.Path(), true); });
    apply_empty = Repeat(RunsFor(0), [&] { return TimeProcess("Vemtrell.exe", "labels.txt", dir.Path(), false); });
    get_empty = Repeat(RunsFor(0), [&] { return Client("get", dir.Path()); });
    set_empty = Repeat(RunsFor(0), [&] { return Client("set", dir.Path()); });
    percall_empty = Repeat(RunsFor(0), [&] { return Client("percall", dir.Path()); });
    get_traced_empty = Repeat(RunsFor(0), [&] { return Client("get+", dir.Path()); });
    set_traced_empty = Repeat(RunsFor(0), [&] { return Client("set+", dir.Path()); });
  }
  std::printf("empty list: dump %.1f ms, apply %.1f ms (subtracted)\n", dump_empty * 1e3, apply_empty * 1e3);

  std::vector<Row> rows;
  for (int n : sizes) {
    StandinProcess standin({}, {"--gen", std::to_string(n)});
    if (!standin.Started()) return 1;
    const std::vector<std::string> labels = Labels(n);
    WriteLabelFile(labels_path, labels);
    const double per_item = 1e6 / n;
    const int runs = RunsFor(n);
    Row row = {n, runs, 0, 0, 0, 0, 0, 0, 0};
    row.a = (Repeat(runs, [&] { return TimeProcess("Vemtrell.exe", "/dump", dir.Path(), true); }) - dump_empty) * per_item;
    row.b = (Repeat(runs, [&] { return TimeProcess("Vemtrell.exe", "labels.txt", dir.Path(), false); }) - apply_empty) * per_item;
    row.c = (Repeat(runs, [&] { return Client("get", dir.Path()); }) - get_empty) * per_item;
    row.d = (Repeat(runs, [&] { return Client("set", dir.Path()); }) - set_empty) * per_item;
    row.e = (Repeat(runs, [&] { return Client("percall", dir.Path()); }) - percall_empty) * per_item;
    row.c_traced = (Repeat(runs, [&] { return Client("get+", dir.Path()); }) - get_traced_empty) * per_item;
    row.d_traced = (Repeat(runs, [&] { return Client("set+", dir.Path()); }) - set_traced_empty) * per_item;
    rows.push_back(row);
    std::fprintf(stderr, "measured %d items\n", n);
  }

  std::printf("\nmicroseconds per item (median of the runs)\n");
  std::printf("%8s %9s %9s %9s %9s %9s %9s %9s %7s %7s %7s %7s %7s %5s\n", "items", "a dump", "b apply", "c get",
              "d set", "e percall", "c+ trace", "d+ trace", "a/c", "b/d", "e/c", "a/c+", "b/d+", "runs");
  // The ratio is taken at 10,000 items, or at the measured size nearest to it.
  const Row* at = nullptr;
  for (const Row& row : rows) {
    std::printf("%8d %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %7.3f %7.3f %7.2f %7.3f %7.3f %5d\n", row.n, row.a,
                row.b, row.c, row.d, row.e, row.c_traced, row.d_traced, row.a / row.c, row.b / row.d, row.e / row.c,
                row.a / row.c_traced, row.b / row.d_traced, row.runs);
    if (!at || std::abs(row.n - 10000) < std::abs(at->n - 10000)) at = &row;
  }
  // The floor includes the one trace line per item the program must write.
  std::printf("ratio taken at %d items: the larger of a/c+ and b/d+\n", at->n);
  std::printf("ratio: %.3f\n", std::max(at->a / at->c_traced, at->b / at->d_traced));
  return 0;
}
