#include "Files.h"

#include <algorithm>
#include <cstdio>

#include "Handle.h"
#include "Text.h"

namespace {

// The one owner of a folder listing's handle, which FindClose closes. Wide,
// so that a name outside the ANSI code page is found as it is.
class Listing {
 public:
  Listing(const std::wstring& directory, WIN32_FIND_DATAW* first)
      : find_(FindFirstFileW((directory + L"\\*").c_str(), first)) {}
  ~Listing() {
    if (find_ != INVALID_HANDLE_VALUE) FindClose(find_);
  }
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  bool Opened() const { return find_ != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAW* entry) const { return FindNextFileW(find_, entry) != FALSE; }

 private:
  HANDLE find_;
};

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  {
    const Listing listing(path, &entry);
    for (bool more = listing.Opened(); more; more = listing.Next(&entry)) {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = path + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
        continue;
      }
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);  // DeleteFile refuses a read-only file
      DeleteFileW(full.c_str());
    }
  }
  RemoveDirectoryW(path.c_str());
}

}  // namespace

std::string AnsiPath(const std::wstring& path) {
  // Code page 65001 refuses the flag and the question; it holds every path.
  if (path.empty() || GetACP() == CP_UTF8) return Narrow(path, CP_ACP);
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), static_cast<int>(path.size()), nullptr, 0, nullptr,
                      &lossy);
  if (!lossy) return Narrow(path, CP_ACP);
  std::wstring short_path(32768, L'\0');
  const DWORD length = GetShortPathNameW(path.c_str(), &short_path[0], static_cast<DWORD>(short_path.size()));
  if (length == 0 || length >= short_path.size()) return Narrow(path, CP_ACP);
  short_path.resize(length);
  return Narrow(short_path, CP_ACP);
}

std::string ExeDir() {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::string exe = AnsiPath(path);
  return exe.substr(0, exe.find_last_of("\\/") + 1);
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

bool ReadBytes(const std::string& path, std::string* bytes) {
  const Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  bytes->clear();
  char chunk[65536];
  for (DWORD got = 0;; bytes->append(chunk, got)) {
    if (!ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr)) return false;
    if (got == 0) return true;
  }
}

std::vector<std::string> FileNames(const std::string& directory) {
  WIN32_FIND_DATAW entry;
  const Listing listing(Widen(directory, CP_ACP), &entry);
  if (!listing.Opened()) return {"<no folder>"};
  std::vector<std::string> names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(Narrow(name, CP_ACP));
  } while (listing.Next(&entry));
  std::sort(names.begin(), names.end());
  return names;
}

TempDir::TempDir() {
  static int counter = 0;
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  path_ = std::string(base) + "vemtrell-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
  RemoveTree(Widen(path_, CP_ACP));
  CreateDirectoryA(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(Widen(path_, CP_ACP)); }
