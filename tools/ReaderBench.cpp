// The label reader alone: reads a generated label file of 1,000,000 lines
// with the program's own file loop (its encoding found, 64 KiB reads, the
// line rules, the label store) and prints MB/s and peak memory against the
// labels' own size, as the list gets them (Shift JIS for Japanese text).
// The labels: "ascii" ("Label number 0000001"), "sjis" (ラベル番号0000001 in
// Shift JIS) or "utf8" (the same, UTF-8 without a mark, converted as it is
// read). Natively the first two, with peak memory from /proc/self/status; as
// a Windows program all three, with the system's conversions, peak memory
// from GetProcessMemoryInfo (under Wine the same Linux figure).
// As a Windows program it also measures the encoding test on real words:
// "detector WORDS" takes a word list (UTF-8, a word a line), keeps the words
// the ANSI code page has whole, and tells how label files of one word, and of
// two (word i and i + 1), each "word CR LF", read: the Shift JIS ones read as
// UTF-8, the UTF-8 ones (no mark) read as ANSI.
// Usage: reader_bench [ascii|sjis|utf8 [LINES [FILE]]] | reader_bench detector WORDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "LabelText.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>

#include "SystemText.h"
#else
#include <fstream>
#endif

namespace {

#ifdef _WIN32
std::size_t PeakBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PeakWorkingSetSize : 0;
}
// Nothing before the reading came near the peak: the file is written a line
// at a time.
void ResetPeak() {}
const SystemText& System() { return AnsiSystemText(); }
#else
std::size_t PeakBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stoul(line.substr(6)) * 1024;
  return 0;
}
void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}
// The text of these files is ASCII or Shift JIS that is no UTF-8: nothing is
// converted, and no code page but its lead bytes is asked.
const SystemText& System() {
  static const SystemText text = [] {
    SystemText made;
    for (unsigned byte = 0x81; byte <= 0xFC; ++byte) made.lead_bytes[byte] = byte <= 0x9F || byte >= 0xE0;
    return made;
  }();
  return text;
}
#endif

#ifdef _WIN32
// The encoding the program's reader gives `bytes`.
LabelEncoding EncodingOf(const std::string& bytes) {
  std::size_t at = 0;
  LabelSource source;
  source.read = [&](char* buffer, std::size_t size, bool*) {
    const std::size_t n = std::min(size, bytes.size() - at);
    std::memcpy(buffer, bytes.data() + at, n);
    at += n;
    return n;
  };
  source.rewind = [&] {
    at = 0;
    return true;
  };
  LabelEncoding encoding = LabelEncoding::kAnsi;
  LabelCallbacks callbacks;
  callbacks.on_encoding = [&encoding](LabelEncoding found) { encoding = found; };
  LabelStore store;
  ReadLabelSource(source, System(), store, callbacks);
  return encoding;
}

int Detector(const char* words_path) {
  std::FILE* file = std::fopen(words_path, "rb");
  if (!file) return 1;
  std::vector<std::string> sjis, utf8;
  char line[4096];
  while (std::fgets(line, sizeof line, file)) {
    std::string word(line);
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r')) word.pop_back();
    std::wstring wide(word.size(), L'\0');
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, word.data(), static_cast<int>(word.size()),
                                          &wide[0], static_cast<int>(wide.size()));
    if (units <= 0) continue;
    // Code page 65001 holds every word as it is, and refuses the flag.
    std::string ansi = word;
    if (GetACP() != CP_UTF8) {
      ansi.assign(2 * static_cast<std::size_t>(units), '\0');
      BOOL used_default = FALSE;
      const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), units, &ansi[0],
                                            static_cast<int>(ansi.size()), nullptr, &used_default);
      if (bytes <= 0 || used_default) continue;
      ansi.resize(static_cast<std::size_t>(bytes));
    }
    sjis.push_back(ansi + "\r\n");
    utf8.push_back(word + "\r\n");
  }
  std::fclose(file);
  for (const std::size_t words : {std::size_t{1}, std::size_t{2}}) {
    std::size_t files = 0, sjis_as_utf8 = 0, utf8_as_ansi = 0;
    for (std::size_t i = 0; i + words <= sjis.size(); i += words, ++files) {
      const std::string s = words == 1 ? sjis[i] : sjis[i] + sjis[i + 1];
      const std::string u = words == 1 ? utf8[i] : utf8[i] + utf8[i + 1];
      sjis_as_utf8 += EncodingOf(s) != LabelEncoding::kAnsi;
      utf8_as_ansi += EncodingOf(u) == LabelEncoding::kAnsi;
    }
    const char* kind = words == 1 ? "one-word" : "two-word";
    std::printf("detector: %zu of %zu %s Shift JIS files read as UTF-8, %zu of %zu %s UTF-8 files read as ANSI\n",
                sjis_as_utf8, files, kind, utf8_as_ansi, files, kind);
  }
  return sjis.empty() ? 1 : 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string kind = argc > 1 ? argv[1] : "ascii";
#ifdef _WIN32
  if (kind == "detector") return argc > 2 ? Detector(argv[2]) : 2;
#endif
  const int lines = argc > 2 ? std::atoi(argv[2]) : 1000000;
  const char* temp = std::getenv("TEMP");  // set on Windows; /tmp elsewhere
  const std::string path = argc > 3 ? argv[3] : std::string(temp ? temp : "/tmp") + "/vemtrell-reader-bench.txt";
  // ラベル番号 in Shift JIS, as the list gets it, and in UTF-8, as the file has it.
  const char* const sjis = "\x83\x89\x83\x78\x83\x8B\x94\xD4\x8D\x86";
#ifdef _WIN32
  const char* converted = "\xE3\x83\xA9\xE3\x83\x99\xE3\x83\xAB\xE7\x95\xAA\xE5\x8F\xB7";
#else
  const char* converted = nullptr;  // no conversion but the system's
#endif
  const char* prefix = kind == "ascii" ? "Label number " : kind == "sjis" ? sjis : kind == "utf8" ? converted : nullptr;
  if (!prefix || lines <= 0) {
    std::fprintf(stderr, "usage: reader_bench [ascii|sjis%s [LINES [FILE]]]\n", converted ? "|utf8" : "");
    return 2;
  }
  std::size_t label_bytes = 0;  // as the list gets them
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 1;
    const std::size_t listed = std::strlen(kind == "utf8" ? sjis : prefix) + 7;
    char line[64];
    for (int i = 0; i < lines; ++i) {
      std::snprintf(line, sizeof line, "%s%07d\r\n", prefix, i);
      label_bytes += listed;
      std::fputs(line, file);
    }
    std::fclose(file);
  }

  ResetPeak();
  const std::size_t base = PeakBytes();
  const auto start = std::chrono::steady_clock::now();
  LabelStore store;
  LabelEncoding encoding = LabelEncoding::kAnsi;
  std::size_t file_bytes = 0;
  {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 1;
    std::fseek(file, 0, SEEK_END);
    file_bytes = static_cast<std::size_t>(std::ftell(file));
    std::fseek(file, 0, SEEK_SET);
    LabelCallbacks callbacks;
    callbacks.on_encoding = [&](LabelEncoding found) {
      encoding = found;
      store.Reserve(LabelRoom(static_cast<long long>(file_bytes), found));  // as Vemtrell does
    };
    if (!ReadLabelFile(file, System(), store, callbacks)) return 1;
    std::fclose(file);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double peak = static_cast<double>(PeakBytes() - base);
  std::remove(path.c_str());

  const double mb = static_cast<double>(file_bytes) / 1e6;
  const char* name = LabelEncodingName(encoding);
  std::printf("reader %s: %d lines, %.1f MB file read as %s, %.1f MB of labels\n", kind.c_str(), lines, mb,
              name ? name : "ANSI", static_cast<double>(label_bytes) / 1e6);
  std::printf("reader %s: %zu labels in %.3f s = %.0f MB/s\n", kind.c_str(), store.size(), seconds, mb / seconds);
  std::printf("reader %s: peak memory %.1f MB = %.2f x the labels' own size\n", kind.c_str(), peak / 1e6,
              peak / static_cast<double>(label_bytes));
  const bool right = store.size() == static_cast<std::size_t>(lines) &&
                     std::strncmp(store[0], kind == "utf8" ? sjis : prefix, 10) == 0;
  return right ? 0 : 1;
}
