// The label reader alone, natively: reads a generated label file of
// 1,000,000 lines (about 20 MB) with the program's own file loop (64 KiB
// reads, the line rules, the label store) and prints MB/s and peak memory against the
// labels' own size. Linux only: peak memory from /proc/self/status.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "LabelText.h"

namespace {

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  return -1;
}

void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const std::string path = argc > 2 ? argv[2] : "/tmp/vemtrell-reader-bench.txt";
  std::size_t label_bytes = 0;
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 1;
    char line[64];
    for (int i = 0; i < lines; ++i) {
      const int length = std::snprintf(line, sizeof line, "Label number %07d", i);
      label_bytes += static_cast<std::size_t>(length);
      std::fputs(line, file);
      std::fputs("\r\n", file);
    }
    std::fclose(file);
  }

  ResetPeak();
  const long base_kib = PeakKiB();
  const auto start = std::chrono::steady_clock::now();
  LabelStore store;
  std::size_t file_bytes = 0;
  {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 1;
    std::fseek(file, 0, SEEK_END);
    file_bytes = static_cast<std::size_t>(std::ftell(file));
    std::fseek(file, 0, SEEK_SET);
    store.Reserve(file_bytes + 1);
    if (!ReadLabelFile(file, store, [](const std::string&) {})) return 1;
    std::fclose(file);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long peak_kib = PeakKiB() - base_kib;
  std::remove(path.c_str());

  const double mb = static_cast<double>(file_bytes) / 1e6;
  const double memory_ratio = peak_kib * 1024.0 / static_cast<double>(label_bytes);
  std::printf("reader: %d lines, %.1f MB file, %.1f MB of labels\n", lines, mb, label_bytes / 1e6);
  std::printf("reader: %zu labels in %.3f s = %.0f MB/s\n", store.size(), seconds, mb / seconds);
  std::printf("reader: peak memory %.1f MB = %.2f x the labels' own size\n", peak_kib * 1024.0 / 1e6, memory_ratio);
  return store.size() == static_cast<std::size_t>(lines) ? 0 : 1;
}
