// The main job on the stand-in, as a user would do it: the first-run export,
// an edited config.txt applied, then /dump. Prints each run's trace lines,
// message boxes, exit code and files. Exit code 0 when every run did what it
// should.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Harness.h"

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

// Saves what the screen shows of `window` as a 24-bit BMP.
bool SaveWindowBmp(HWND window, const std::string& path) {
  int width = 0, height = 0;
  const std::vector<DWORD> shown = WindowPixels(window, &width, &height);
  if (shown.empty()) return false;
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = -height;  // top row first, as the pixels come
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  std::string pixels(stride * static_cast<std::size_t>(height), '\0');
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const DWORD rgb = shown[static_cast<std::size_t>(y) * width + x];
      char* at = &pixels[y * stride + static_cast<std::size_t>(x) * 3];
      at[0] = static_cast<char>(rgb & 0xFF);
      at[1] = static_cast<char>((rgb >> 8) & 0xFF);
      at[2] = static_cast<char>((rgb >> 16) & 0xFF);
    }
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
  bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
  bytes += pixels;
  return WriteBytes(path, bytes);
}

void Snapshot(HWND window, const std::string& directory, const char* name) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);  // let the target paint
  const std::string path = directory + "\\" + name;
  std::printf("  screenshot: %s\n", SaveWindowBmp(window, path) ? name : "(failed)");
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
          const std::vector<std::string>& files, const BoxHook& on_box = nullptr) {
  std::printf("\n== %s\n$ Vemtrell.exe %s\n", title, Show(tail).c_str());
  const RunResult run = RunVemtrell(tail, directory, files, on_box);
  for (const std::string& line : run.traces) std::printf("  trace: %s\n", Show(line).c_str());
  for (const Box& box : run.boxes) {
    std::string text = box.text;
    for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, " / ");
    const char* icon = box.icon == MB_ICONERROR ? " (error icon)" : box.icon == MB_ICONINFORMATION ? " (information icon)"
                       : box.icon != 0 ? " (other icon)" : "";
    std::printf("  box%s: %s\n", icon, text.c_str());
  }
  std::printf("  exit code: %lu\n", static_cast<unsigned long>(run.exit_code));
  for (const std::string& name : files) PrintFile(directory, name);
  std::fflush(stdout);
  return run.exit_code == 0 && !run.crashed && !run.timed_out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: demo DIRECTORY SCREENSHOT_DIRECTORY\n");
    return 2;
  }
  const std::string directory = argv[1];
  const std::string shots = argv[2];
  CreateDirectoryA(shots.c_str(), nullptr);
  CreateDirectoryA(directory.c_str(), nullptr);
  DeleteFileA((directory + "\\config.txt").c_str());
  DeleteFileA((directory + "\\dump.txt").c_str());

  StandinProcess standin({Sjis(u8"りんご"), Sjis(u8"みかん"), Sjis(u8"ぶどう"), "Item 4"});
  if (!standin.Started()) {
    std::fprintf(stderr, "demo: the stand-in did not start\n");
    return 1;
  }
  Snapshot(standin.MainWindow(), shots, "before.bmp");
  bool first_box = true;
  bool ok = Step("1. First run: no config.txt yet, the current labels are exported", "", directory,
                 {"config.txt"}, [&](HWND box) {
                   if (first_box) Snapshot(box, shots, "first-run-box.bmp");
                   first_box = false;
                 });
  const std::string edited = Sjis(u8"林檎 (apple)\r\n\r\n葡萄 (grape)\r\nItem 4 renamed\r\n");
  ok = WriteBytes(directory + "\\config.txt", edited) && ok;
  std::printf("\n== The user edits config.txt (an empty line keeps that item's label)\n");
  PrintFile(directory, "config.txt");
  ok = Step("2. Run again: config.txt is applied (no message box)", "", directory, {}) && ok;
  Snapshot(standin.MainWindow(), shots, "after.bmp");
  ok = Step("3. /dump: the list view's labels now", "/dump", directory, {"dump.txt"}) && ok;

  std::printf("\n== The stand-in's list view at the end\n");
  for (const std::string& item : standin.CloseAndReadItems()) std::printf("  | %s\n", Show(item).c_str());
  std::printf("\ndemo %s\n", ok ? "done" : "FAILED");
  return ok ? 0 : 1;
}
