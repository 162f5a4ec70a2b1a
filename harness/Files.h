// Files: the folder of the test programs, whole files read and written as
// bytes, folder listings and temporary folders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// `path` in the ANSI code page; one the code page cannot hold (a checkout
// under a Japanese folder name, in code page 1252) by its short name, which
// it can, where the path exists.
std::string AnsiPath(const std::wstring& path);
// Directory of the running executable, where the build puts every exe.
std::string ExeDir();

bool WriteBytes(const std::string& path, const std::string& bytes);
// False when there is nothing readable at `path`, or a read fails part way.
bool ReadBytes(const std::string& path, std::string* bytes);
// The names in a folder, sorted, without "." and ".."; {"<no folder>"} when
// it cannot be listed, which no empty folder is mistaken for.
std::vector<std::string> FileNames(const std::string& directory);

// A fresh, empty directory under %TEMP%, removed with its files at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  operator const std::string&() const { return path_; }  // NOLINT: a TempDir is where it is
  std::string File(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};
