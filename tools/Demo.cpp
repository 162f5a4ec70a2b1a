// The main job on the stand-in, as a user would do it: the first-run export,
// an edited config.txt applied, then /dump. Prints each run's trace lines,
// message boxes, exit code and files. Exit code 0 when every run did what it
// should.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../tests/e2e/Harness.h"

namespace {

// Shift JIS bytes to UTF-8 for the terminal, with CR, LF and other control
// bytes shown as escapes.
std::string Show(const std::string& sjis) {
  std::string visible;
  for (unsigned char c : sjis) {
    if (c == '\r') visible += "\\r";
    else if (c == '\n') visible += "\\n";
    else if (c < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      visible += hex;
    } else visible.push_back(static_cast<char>(c));
  }
  wchar_t wide[4096];
  char utf8[12288];
  const int length = MultiByteToWideChar(932, 0, visible.data(), static_cast<int>(visible.size()), wide, 4096);
  return std::string(utf8, WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8, sizeof utf8, nullptr, nullptr));
}

void PrintFile(const std::string& directory, const std::string& name) {
  std::string bytes;
  if (!ReadBytes(directory + "\\" + name, &bytes)) {
    std::printf("  %s: (absent)\n", name.c_str());
    return;
  }
  std::printf("  %s: %zu bytes\n", name.c_str(), bytes.size());
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find("\r\n", start);
    end = end == std::string::npos ? bytes.size() : end + 2;
    std::printf("    | %s\n", Show(bytes.substr(start, end - start)).c_str());
    start = end;
  }
}

bool Step(const char* title, const std::string& tail, const std::string& directory,
          const std::vector<std::string>& files) {
  std::printf("\n== %s\n$ Vemtrell.exe %s\n", title, Show(tail).c_str());
  const RunResult run = RunVemtrell(tail, directory, files);
  for (const std::string& line : run.traces) std::printf("  trace: %s\n", Show(line).c_str());
  for (const Box& box : run.boxes) {
    std::string text = box.text;
    for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, " / ");
    std::printf("  box%s: %s\n", box.has_icon ? " (with icon)" : "", text.c_str());
  }
  std::printf("  exit code: %lu\n", static_cast<unsigned long>(run.exit_code));
  for (const std::string& name : files) PrintFile(directory, name);
  std::fflush(stdout);
  return run.exit_code == 0 && !run.crashed && !run.timed_out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: demo DIRECTORY\n");
    return 2;
  }
  const std::string directory = argv[1];
  CreateDirectoryA(directory.c_str(), nullptr);
  DeleteFileA((directory + "\\config.txt").c_str());
  DeleteFileA((directory + "\\dump.txt").c_str());

  Standin standin({Sjis(u8"りんご"), Sjis(u8"みかん"), Sjis(u8"ぶどう"), "Item 4"});
  if (!standin.Started()) {
    std::fprintf(stderr, "demo: the stand-in did not start\n");
    return 1;
  }
  bool ok = Step("1. First run: no config.txt yet, the current labels are exported", "", directory,
                 {"config.txt"});
  const std::string edited = Sjis(u8"林檎 (apple)\r\n\r\n葡萄 (grape)\r\nItem 4 renamed\r\n");
  ok = WriteBytes(directory + "\\config.txt", edited) && ok;
  std::printf("\n== The user edits config.txt (an empty line keeps that item's label)\n");
  PrintFile(directory, "config.txt");
  ok = Step("2. Run again: config.txt is applied (no message box)", "", directory, {}) && ok;
  ok = Step("3. /dump: the list view's labels now", "/dump", directory, {"dump.txt"}) && ok;

  std::printf("\n== The stand-in's list view at the end\n");
  for (const std::string& item : standin.CloseAndReadItems()) std::printf("  | %s\n", Show(item).c_str());
  std::printf("\ndemo %s\n", ok ? "done" : "FAILED");
  return ok ? 0 : 1;
}
