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
// program's run on an empty list, so start-up is not per-item cost. The runs
// go in rounds, one run of each in a round, a beside c+ and b beside d+, every
// other round in the reverse order: the machine's drift falls on Vemtrell and
// its floor alike. Each ratio is taken within a round; the table gives the
// medians of the rounds and the range of the two ratios the goal is about.
// 7 rounds up to 20,000 items, one above: one round of 50,000 items already
// averages over the items, and takes minutes where wake-ups are dear. Prints
// microseconds per item, then the ratio and the size it was taken at: 10,000
// items, or the measured size nearest to it.
// "bench --client get|set|percall|get+|set+" is one of the minimal clients.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "Harness.h"
#include "ItemBlock.h"

namespace {

int RoundsFor(int n) { return n <= 20000 ? 7 : 1; }

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

// The rounds are odd in number: the middle one.
double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Seconds from the start of a program to its exit, -1 if it did not start or
// failed (a run that did nothing would pass for a fast one); Vemtrell's boxes
// are closed as soon as they show.
double TimeProcess(const std::string& exe, const std::string& tail, const std::string& directory,
                   bool closes_box) {
  const std::string command = "\"" + ExeDir() + exe + "\" " + tail;
  PROCESS_INFORMATION process = {};
  const double start = Now();
  // Where the stand-in is, and nowhere a Padmorph of the user's could be.
  if (!StartOnTestDesktop(nullptr, command, 0, directory.c_str(), &process)) {
    std::fprintf(stderr, "bench: %s %s did not start, error %lu\n", exe.c_str(), tail.c_str(), GetLastError());
    return -1;
  }
  // One cheap lookup per millisecond: the poll must not steal the time it
  // measures. A run that shows no box when it succeeds is looked at every
  // 100 ms: a box there is an error box, closed so that the failure is
  // reported instead of waited on.
  for (unsigned tick = 0; WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT; ++tick) {
    if (!closes_box && tick % 100 != 99) continue;
    HWND box = FindWindowA("#32770", "Vemtrell");
    if (box) PostMessageA(box, WM_COMMAND, IDOK, 0);
  }
  const double seconds = Now() - start;
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (code == 0) return seconds;
  std::fprintf(stderr, "bench: %s %s failed, exit code %lu\n", exe.c_str(), tail.c_str(), code);
  return -1;
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
  if (!remote) return -1;
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
  if (!remote) return -1;
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
    if (!remote) return -1;
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

// The runs of a round, in their order: each of Vemtrell's beside its floor.
enum Kind { kDump, kGetTraced, kApply, kSetTraced, kGet, kSet, kPerCall, kKinds };
using Times = std::array<double, kKinds>;

double TimeRun(Kind kind, const std::string& directory) {
  switch (kind) {
    case kDump: return TimeProcess("Vemtrell.exe", "/dump", directory, true);
    case kApply: return TimeProcess("Vemtrell.exe", "labels.txt", directory, false);
    case kGet: return TimeProcess("bench.exe", "--client get", directory, false);
    case kSet: return TimeProcess("bench.exe", "--client set", directory, false);
    case kPerCall: return TimeProcess("bench.exe", "--client percall", directory, false);
    case kGetTraced: return TimeProcess("bench.exe", "--client get+", directory, false);
    case kSetTraced: return TimeProcess("bench.exe", "--client set+", directory, false);
    case kKinds: break;
  }
  return -1;
}

// Seconds of every run of one round, false when one failed; odd rounds run
// backwards, so that neither of a pair always runs first.
bool Round(int round, const std::string& directory, Times* seconds) {
  for (int i = 0; i < kKinds; ++i) {
    const Kind kind = static_cast<Kind>(round % 2 == 0 ? i : kKinds - 1 - i);
    (*seconds)[kind] = TimeRun(kind, directory);
    if ((*seconds)[kind] < 0) return false;
  }
  return true;
}

struct Spread {
  double median, low, high;
};

Spread Of(const std::vector<double>& values) {
  return {Median(values), *std::min_element(values.begin(), values.end()),
          *std::max_element(values.begin(), values.end())};
}

struct Row {
  int n, rounds;
  Times cost;                                      // microseconds per item, median of the rounds
  Spread a_c, b_d, e_c, a_c_traced, b_d_traced;    // ratios within a round
  std::vector<double> a_c_traced_rounds, b_d_traced_rounds;
};

std::string Range(const Spread& spread, int rounds) {
  if (rounds < 2) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f-%.3f", spread.low, spread.high);
  return text;
}

}  // namespace

int RunClient(const std::string& kind) {
  HWND list = FindWindowA("TMainForm", nullptr);
  for (const char* name : {"TPageControl", "TTabSheet", "TTabControl", "TListView"})
    list = FindWindowExA(list, nullptr, name, nullptr);
  if (!list) return 1;
  const int n = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  double seconds = 0;
  if (kind == "get") seconds = FloorGet(list, n, false);
  else if (kind == "set") seconds = FloorSet(list, n, Labels(n), false);
  else if (kind == "get+") seconds = FloorGet(list, n, true);
  else if (kind == "set+") seconds = FloorSet(list, n, Labels(n), true);
  else if (kind == "percall") seconds = PerCallGet(list, n);
  else return 2;
  return seconds < 0 ? 3 : 0;  // no block in the stand-in
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

  // The same programs on an empty list: start-up, lookups, block, file, exit.
  Times empty = {};
  {
    StandinProcess standin({});
    if (!standin.Started()) return 1;
    WriteLabelFile(labels_path, {});
    std::vector<Times> rounds;
    for (int r = 0; r < RoundsFor(0); ++r) {
      rounds.emplace_back();
      if (!Round(r, dir.Path(), &rounds.back())) return 1;
    }
    for (int k = 0; k < kKinds; ++k) {
      std::vector<double> seconds;
      for (const Times& round : rounds) seconds.push_back(round[k]);
      empty[k] = Median(seconds);
    }
  }
  std::printf("empty list: dump %.1f ms, apply %.1f ms, get %.1f ms (median of %d rounds, subtracted)\n",
              empty[kDump] * 1e3, empty[kApply] * 1e3, empty[kGet] * 1e3, RoundsFor(0));

  std::vector<Row> rows;
  for (int n : sizes) {
    const std::vector<std::string> labels = Labels(n);
    // The list holds the labels the sets write, so every set of every round,
    // Vemtrell's and the floor's, does the same work.
    const double started = Now();
    StandinProcess standin(labels);
    if (!standin.Started()) return 1;
    std::fprintf(stderr, "stand-in of %d items ready in %.1f s\n", n, Now() - started);
    WriteLabelFile(labels_path, labels);
    const double per_item = 1e6 / n;
    Row row = {};
    row.n = n;
    row.rounds = RoundsFor(n);
    std::array<std::vector<double>, kKinds> costs;
    std::vector<double> a_c, b_d, e_c;
    for (int r = 0; r < row.rounds; ++r) {
      Times seconds;
      if (!Round(r, dir.Path(), &seconds)) return 1;
      Times cost;
      for (int k = 0; k < kKinds; ++k) {
        cost[k] = (seconds[k] - empty[k]) * per_item;
        costs[k].push_back(cost[k]);
      }
      a_c.push_back(cost[kDump] / cost[kGet]);
      b_d.push_back(cost[kApply] / cost[kSet]);
      e_c.push_back(cost[kPerCall] / cost[kGet]);
      row.a_c_traced_rounds.push_back(cost[kDump] / cost[kGetTraced]);
      row.b_d_traced_rounds.push_back(cost[kApply] / cost[kSetTraced]);
      std::fprintf(stderr, "%d items, round %d of %d: a/c+ %.3f, b/d+ %.3f\n", n, r + 1, row.rounds,
                   row.a_c_traced_rounds.back(), row.b_d_traced_rounds.back());
    }
    for (int k = 0; k < kKinds; ++k) row.cost[k] = Median(costs[k]);
    row.a_c = Of(a_c);
    row.b_d = Of(b_d);
    row.e_c = Of(e_c);
    row.a_c_traced = Of(row.a_c_traced_rounds);
    row.b_d_traced = Of(row.b_d_traced_rounds);
    rows.push_back(row);
  }

  std::printf("\nmicroseconds per item: the median of the rounds; ratios: the median of the ratios within each round,\n"
              "with the lowest and highest round beside a/c+ and b/d+\n");
  std::printf("%8s %9s %9s %9s %9s %9s %9s %9s %7s %7s %7s %7s %11s %7s %11s %6s\n", "items", "a dump", "b apply",
              "c get", "d set", "e percall", "c+ trace", "d+ trace", "a/c", "b/d", "e/c", "a/c+", "a/c+ range", "b/d+",
              "b/d+ range", "rounds");
  // The ratio is taken at 10,000 items, or at the measured size nearest to it.
  const Row* at = nullptr;
  for (const Row& row : rows) {
    const Times& c = row.cost;
    std::printf("%8d %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %7.3f %7.3f %7.2f %7.3f %11s %7.3f %11s %6d\n", row.n,
                c[kDump], c[kApply], c[kGet], c[kSet], c[kPerCall], c[kGetTraced], c[kSetTraced], row.a_c.median,
                row.b_d.median, row.e_c.median, row.a_c_traced.median, Range(row.a_c_traced, row.rounds).c_str(),
                row.b_d_traced.median, Range(row.b_d_traced, row.rounds).c_str(), row.rounds);
    if (!at || std::abs(row.n - 10000) < std::abs(at->n - 10000)) at = &row;
  }
  // Each round's own ratios, in the order the rounds ran.
  for (const Row& row : rows) {
    for (const auto& [name, values] : {std::make_pair("a/c+", &row.a_c_traced_rounds),
                                       std::make_pair("b/d+", &row.b_d_traced_rounds)}) {
      std::printf("rounds at %d items, %s:", row.n, name);
      for (double value : *values) std::printf(" %.3f", value);
      std::printf("\n");
    }
  }
  // The floor includes the one trace line per item the program must write.
  std::printf("ratio taken at %d items: the larger of a/c+ and b/d+, medians of %d round%s (a/c+ %s, b/d+ %s)\n",
              at->n, at->rounds, at->rounds == 1 ? "" : "s", Range(at->a_c_traced, at->rounds).c_str(),
              Range(at->b_d_traced, at->rounds).c_str());
  std::printf("ratio: %.3f\n", std::max(at->a_c_traced.median, at->b_d_traced.median));
  return 0;
}
