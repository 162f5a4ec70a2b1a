// Vemtrell: relabels the list view in Padmorph 3.7.9's main window from a
// label file, or writes its labels into one. No window of its own: the user
// sees message boxes and the exit code, a debugger sees one trace line per
// event.
#include <windows.h>
#include <commctrl.h>
#include <io.h>
#include <shlwapi.h>
#include <share.h>

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CommandTail.h"
#include "ItemBlock.h"
#include "LabelText.h"
#include "SystemText.h"
#include "TraceFormat.h"
#include "sharedmem/SharedMem.h"

namespace {

void DebugTrace(const std::string& line) { OutputDebugStringA(line.c_str()); }

}  // namespace

#define TRACE_EVENT(message) DebugTrace(TraceEventLine(__FILE__, __LINE__, (message)))
#define TRACE_TEXT(name, value) DebugTrace(TraceTextLine(__FILE__, __LINE__, (name), (value)))
#define TRACE_NUMBER(name, value) DebugTrace(TraceNumberLine(__FILE__, __LINE__, (name), (value)))
#define TRACE_HANDLE(name, handle) \
  DebugTrace(TraceHandleLine(__FILE__, __LINE__, (name), \
                             static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle))))
#define TRACE_MESSAGE_TEXT(message, text) \
  DebugTrace(TraceMessageTextLine(__FILE__, __LINE__, (message), (text)))

// ---------------------------------------------------------------------------
// Label file reader

LabelStore LabelList;
const char* DefaultLabelPath = ".\\config.txt";

// `wide_path` names the file, which it opens; `path`, the same name in the
// ANSI code page (a name outside it reaches `path` as '?' or a best fit),
// is what the trace shows. An empty `wide_path` names the default file.
bool LoadLabelList(const char* path, const wchar_t* wide_path) {
  if (!wide_path || *wide_path == L'\0') {
    path = DefaultLabelPath;
    wide_path = nullptr;
  }
  TRACE_TEXT("filename", path);
  // Read sharing only: a file someone is still writing is not read half-done.
  std::FILE* file = wide_path ? _wfsopen(wide_path, L"rb", _SH_DENYWR) : _fsopen(path, "rb", _SH_DENYWR);
  if (!file) {
    TRACE_EVENT("Failed to open file.");
    return false;
  }
  const long long file_size = _filelengthi64(_fileno(file));
  LabelCallbacks callbacks;
  callbacks.on_encoding = [file_size](LabelEncoding encoding) {
    if (const char* name = LabelEncodingName(encoding)) TRACE_TEXT("encoding", name);
    LabelList.Reserve(LabelRoom(file_size, encoding));
  };
  callbacks.on_label = [](const std::string& label) { TRACE_TEXT("pch", label.c_str()); };
  const bool read = ReadLabelFile(file, AnsiSystemText(), LabelList, callbacks);
  (void)std::fclose(file);  // only read: nothing can be lost at the close
  if (!read) {
    TRACE_EVENT("Failed to read file.");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// List item exchange: one record and its text area, mirrored in the list
// view's process, travel with every message.

using ItemBlockMem = SharedMemT<tagLVITEMA>;

ItemBlock* LocalBlock(ItemBlockMem& block) { return static_cast<ItemBlock*>(block.LocalAddress()); }

char* RemoteText(const ItemBlockMem& block) {
  return static_cast<char*>(block.RemoteAddress()) + offsetof(ItemBlock, text);
}

void PrepareItemBlock(ItemBlockMem& block) {
  LVITEMA* item = block.Local();
  item->mask = LVIF_TEXT;
  item->iSubItem = 0;
  item->pszText = RemoteText(block);
  item->cchTextMax = kItemTextMax;
}

int GetItemCount(HWND list_view) {
  return static_cast<int>(SendMessageA(list_view, LVM_GETITEMCOUNT, 0, 0));
}

// Text a list view answered with at an address of its own: read page by page
// so that a short string near the end of its memory can still be read.
bool ReadRemoteText(const ItemBlockMem& block, const char* remote, char (&text)[kItemTextMax]) {
  constexpr std::uintptr_t kPage = 4096;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(remote);
  const std::size_t limit = kItemTextMax - 1;
  if (start == 0) return false;
  std::size_t got = 0;
  while (got < limit) {
    const std::uintptr_t at = start + got;
    std::size_t chunk = static_cast<std::size_t>(kPage - at % kPage);
    if (chunk > limit - got) chunk = limit - got;
    if (!block.ReadRemote(reinterpret_cast<const void*>(at), text + got, chunk)) {
      text[0] = '\0';
      return false;
    }
    if (std::memchr(text + got, '\0', chunk)) return true;
    got += chunk;
  }
  text[limit] = '\0';
  return true;
}

// Copies item `index`'s text (at most 255 bytes) into `text`. False when the
// get failed; `text` is then empty, never the previous item's.
bool GetItemText(HWND list_view, ItemBlockMem& block, int index, char (&text)[kItemTextMax]) {
  text[0] = '\0';
  ItemBlock* local = LocalBlock(block);
  // Set every field again: a list view that moved pszText must not make
  // this request write anywhere but the block's own text area.
  PrepareItemBlock(block);
  local->item.iItem = index;
  local->text[0] = '\0';
  if (!block.Write()) return false;
  if (SendMessageA(list_view, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(block.Remote())) == 0) return false;
  if (!block.Read()) return false;
  if (local->item.pszText != RemoteText(block)) return ReadRemoteText(block, local->item.pszText, text);
  // A list view may fill all 256 bytes with no NUL: keep the first 255.
  std::size_t length = 0;
  while (length < kLabelMax && local->text[length] != '\0') ++length;
  std::memcpy(text, local->text, length);
  text[length] = '\0';
  return true;
}

// False when the text did not reach the target or the list view refused it.
bool SetItemText(HWND list_view, ItemBlockMem& block, int index, const char* text) {
  ItemBlock* local = LocalBlock(block);
  local->item.iItem = index;
  lstrcpynA(local->text, text, kItemTextMax);  // never past the text area
  // Without this check the list view would take the previous entry's text.
  if (!block.Write()) return false;
  return SendMessageA(list_view, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(block.Remote())) != 0;
}

// A window that no longer exists answers a count of 0 and no text: that is
// no empty list. True, traced, when the list view is gone.
bool ListViewGone(HWND list_view) {
  if (IsWindow(list_view)) return false;
  TRACE_EVENT("List view is gone.");
  return true;
}

// ---------------------------------------------------------------------------
// Label dump

// How the dump's file comes to be. Replace: the file (dump.txt) changes only
// when a whole new dump is on the disk beside it. CreateNew: the file
// (config.txt) is made only where none exists; a file the user saved
// meanwhile is never overwritten.
enum class DumpTarget { kReplace, kCreateNew };

// `name`, relative to the current directory, as a \\?\ path: the temporary
// file's longer name must work wherever `name` itself fits MAX_PATH. Empty
// when it cannot be made.
std::wstring LongPath(const char* name) {
  const int length = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, &wide[0], length) != length) return std::wstring();
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  const DWORD got = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (got == 0 || got >= size) return std::wstring();
  full.resize(got);
  if (full.compare(0, 4, L"\\\\?\\") == 0) return full;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Marked, an open file is deleted when its last handle closes, also when
// the process is killed: nothing half-written outlives the run.
bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO info = {};
  info.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != FALSE;
}

// Renames the open `file` to `path` (a \\?\ path), replacing a file there,
// through the handle itself: no moment without one or the other, and no
// close before it in which a killed run would leave the new file behind.
bool RenameOver(HANDLE file, const std::wstring& path) {
  const std::wstring kernel_name = L"\\??\\" + path.substr(4);  // \\?\ as the kernel spells it
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + kernel_name.size() * sizeof(wchar_t));
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(kernel_name.size()) * static_cast<DWORD>(sizeof(wchar_t));
  std::memcpy(info->FileName, kernel_name.data(), info->FileNameLength);
  return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != FALSE;
}

// The file a dump writes: `path` itself (CreateNew) or a new file beside it
// (Replace). Until Commit it is marked for deletion, so a dump that fails or
// is killed leaves the folder as it was.
class DumpFile {
 public:
  DumpFile(const char* path, DumpTarget target) : target_(target) { Open(path); }
  ~DumpFile() {
    if (IsOpen()) CloseHandle(handle_);  // still marked: the file goes with it
  }
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Write(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      DWORD wrote = 0;
      if (!WriteFile(handle_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote, nullptr) ||
          wrote == 0)
        return false;
      done += wrote;
    }
    return true;
  }
  // Once every byte is on the disk: keeps the file (CreateNew) or renames it
  // over `path` (Replace). False, and nothing left of the file, otherwise.
  bool Commit() {
    if (!FlushFileBuffers(handle_) || !MarkForDeletion(handle_, false)) return false;
    if (target_ == DumpTarget::kReplace && !RenameOver(handle_, path_)) {
      if (MarkForDeletion(handle_, true)) return false;  // the close removes it
      // Unmarkable now: the new file is ours by its name alone.
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
      DeleteFileW(written_.c_str());
      return false;
    }
    // Whole and in its place: a close that fails now loses nothing.
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  // Fails, before anything is sent to the list view, where the dump could
  // not end well: `path` held by another program, not a file we may write
  // and delete, or a folder we cannot write.
  void Open(const char* path) {
    path_ = LongPath(path);
    if (path_.empty()) return;
    constexpr DWORD kAccess = GENERIC_WRITE | DELETE;  // DELETE: to mark it, and for the move over `path`
    if (target_ == DumpTarget::kCreateNew) {
      written_ = path_;
      handle_ = CreateFileW(path_.c_str(), kAccess, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
      const HANDLE existing =
          CreateFileW(path_.c_str(), kAccess, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (existing != INVALID_HANDLE_VALUE) CloseHandle(existing);
      else if (GetLastError() != ERROR_FILE_NOT_FOUND) return;
      for (int attempt = 0; attempt < 100 && !IsOpen(); ++attempt) {
        written_ = path_ + L"." + std::to_wstring(GetCurrentProcessId()) +
                   (attempt ? L"-" + std::to_wstring(attempt) : std::wstring()) + L".tmp";
        handle_ = CreateFileW(written_.c_str(), kAccess, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!IsOpen() && GetLastError() != ERROR_FILE_EXISTS) return;
      }
    }
    if (!IsOpen() || MarkForDeletion(handle_, true)) return;
    // Unmarked it could outlive a failure: it goes at once, still empty and
    // made a moment ago under this run's unshared handle.
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    DeleteFileW(written_.c_str());
  }

  const DumpTarget target_;
  std::wstring path_;     // the file the user sees
  std::wstring written_;  // the file the lines go to
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// True when every item was read and the whole file reached the disk. On any
// other outcome, killed runs included, the folder holds what it held before.
bool DumpListLabels(HWND list_view, ItemBlockMem* block, const char* path, DumpTarget target) {
  if (!block || !block->IsValid()) {
    TRACE_EVENT("shm is bad.");
    return false;
  }
  DumpFile file(path, target);
  if (!file.IsOpen()) {
    TRACE_MESSAGE_TEXT("Failed to open for writing : ", path);
    return false;
  }
  PrepareItemBlock(*block);
  const int n = GetItemCount(list_view);
  TRACE_NUMBER("n_items", n);
  // Nor is a list that went away a file of empty lines over the previous one.
  if (n == 0 && ListViewGone(list_view)) return false;
  bool all_read = true;
  bool all_written = true;
  char text[kItemTextMax];
  std::string lines;
  for (int i = 0; i < n; ++i) {
    if (!GetItemText(list_view, *block, i, text)) {
      TRACE_NUMBER("failed_item", i);
      if (ListViewGone(list_view)) return false;
      all_read = false;
    }
    TRACE_TEXT("pch", text);
    AppendLabelLine(lines, text);
    if (lines.size() >= (64u << 10)) {
      all_written = all_written && file.Write(lines);
      lines.clear();
    }
  }
  all_written = all_written && file.Write(lines);
  // A file with a hole in it is no dump: only a whole one replaces anything.
  if (all_written && all_read) all_written = file.Commit();
  if (!all_written) TRACE_MESSAGE_TEXT("Failed to write : ", path);
  return all_read && all_written;
}

// ---------------------------------------------------------------------------
// Label apply

// False when the list view did not take some entry (the others are
// applied), or is gone.
bool ApplyLabels(HWND list_view, ItemBlockMem& block) {
  PrepareItemBlock(block);
  const int n = GetItemCount(list_view);
  TRACE_NUMBER("n_items", n);
  bool all_set = !(n == 0 && ListViewGone(list_view));
  for (int i = 0; i < n && static_cast<std::size_t>(i) < LabelList.size(); ++i) {
    const char* label = LabelList[static_cast<std::size_t>(i)];
    if (lstrlenA(label) == 0) continue;  // an empty line keeps the item's text
    if (!SetItemText(list_view, block, i, label)) {
      TRACE_NUMBER("failed_item", i);
      all_set = false;
    }
  }
  TRACE_EVENT("---end");
  return all_set;
}

// ---------------------------------------------------------------------------
// Messages to the user, stored as Shift JIS.

// Padmorph 3.7.9を起動した状態で使用してください．
const char kMsgNotRunning[] = "Padmorph 3.7.9\x82\xF0\x8BN\x93\xAE\x82\xB5\x82\xBD\x8F\xF3\x91\xD4\x82\xC5\x8Eg\x97p\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81" "D";
// 共有メモリーの確保に失敗．
const char kMsgNoBlock[] = "\x8B\xA4\x97L\x83\x81\x83\x82\x83\x8A\x81[\x82\xCC\x8Am\x95\xDB\x82\xC9\x8E\xB8\x94s\x81" "D";
// dump.txtを出力しました．
const char kMsgDumpDone[] = "dump.txt\x82\xF0\x8Fo\x97\xCD\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "D";
// dump.txtの出力に失敗しました．
const char kMsgDumpFailed[] = "dump.txt\x82\xCC\x8Fo\x97\xCD\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "D";
// 現在のラベルをconfig.txtとして出力します．\nconfig.txtを編集後，再度実行してください．
const char kMsgFirstRun[] = "\x8C\xBB\x8D\xDD\x82\xCC\x83\x89\x83x\x83\x8B\x82\xF0" "config.txt\x82\xC6\x82\xB5\x82\xC4\x8Fo\x97\xCD\x82\xB5\x82\xDC\x82\xB7\x81" "D\nconfig.txt\x82\xF0\x95\xD2\x8FW\x8C\xE3\x81" "C\x8D\xC4\x93x\x8E\xC0\x8Ds\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81" "D";
// config.txtを出力しました．
const char kMsgExportDone[] = "config.txt\x82\xF0\x8Fo\x97\xCD\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "D";
// config.txtの出力に失敗しました．
const char kMsgExportFailed[] = "config.txt\x82\xCC\x8Fo\x97\xCD\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "D";

// Shown as UTF-16 so the Japanese reads right whatever the ANSI code page.
int ShowMessage(const char* text, int style) {
  const int length = MultiByteToWideChar(932, 0, text, -1, nullptr, 0);
  if (length > 0) {
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(932, 0, text, -1, &wide[0], length) == length)
      return MessageBoxW(nullptr, wide.c_str(), L"Vemtrell", static_cast<UINT>(style));
  }
  return MessageBoxA(nullptr, text, "Vemtrell", static_cast<UINT>(style));
}

int ShowError(const char* text) { return ShowMessage(text, MB_ICONERROR); }

int ShowInfo(const char* text) { return ShowMessage(text, MB_ICONINFORMATION); }

// ---------------------------------------------------------------------------
// Entry

// The whole directory, also when it is deeper than MAX_PATH; empty when it
// cannot be fetched.
std::string CurrentDirectory() {
  char buffer[MAX_PATH];
  const DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
  if (length == 0) return std::string();
  if (length < MAX_PATH) return std::string(buffer, length);
  std::string whole(length, '\0');  // length is the size needed, NUL included
  const DWORD again = GetCurrentDirectoryA(length, &whole[0]);
  if (again == 0 || again >= length) return std::string();
  whole.resize(again);
  return whole;
}

int RunMode(HWND list_view, ItemBlockMem& block, const char* tail) {
  // The mode and the path from the tail as Windows has it: the 8-bit one is
  // the code page's best fit of it, which can gain or lose a quote or a blank
  // (U+FF02 and U+3000 on code page 1252) and so name another file.
  const wchar_t* wide_tail = CommandTail(GetCommandLineW());
  const TailMode mode = ModeOfTail(wide_tail);
  if (mode == TailMode::kDump) {
    if (DumpListLabels(list_view, &block, "dump.txt", DumpTarget::kReplace)) {
      ShowMessage(kMsgDumpDone, MB_OK);
      return 0;
    }
    ShowError(kMsgDumpFailed);
    return 1;
  }
  if (mode == TailMode::kDefault && !PathFileExistsA(DefaultLabelPath)) {
    ShowInfo(kMsgFirstRun);
    if (DumpListLabels(list_view, &block, "config.txt", DumpTarget::kCreateNew)) {
      ShowMessage(kMsgExportDone, MB_OK);
      return 0;
    }
    ShowError(kMsgExportFailed);
    return 1;
  }
  const std::string label_path = LabelPathFromTail(tail);
  const std::wstring wide_path = LabelPathFromTail(wide_tail);
  if (!LoadLabelList(label_path.c_str(), wide_path.c_str())) return 1;
  return ApplyLabels(list_view, block) ? 0 : 1;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  (void)std::setlocale(LC_ALL, "");  // the user's locale if it can be had; labels pass through as bytes
  TRACE_EVENT("---start");
  // Not lpCmdLine: mingw-w64 finds its start with signed compares and cuts
  // the first bytes of a tail that begins with a Shift JIS lead byte.
  const char* tail = CommandTail(GetCommandLineA());
  TRACE_TEXT("cmd_line", tail);
  const std::string directory = CurrentDirectory();
  TRACE_TEXT("path", directory.c_str());
  HWND hw = FindWindowA("TMainForm", "Padmorph Ver3.7.9");
  if (!hw) {
    TRACE_EVENT("pdm is not found.");
    ShowMessage(kMsgNotRunning, MB_OK);
    return 1;
  }
  TRACE_HANDLE("hw", hw);
  // A null parent makes FindWindowExA search every program's top-level
  // windows: once a lookup fails, the chain is broken and stays null.
  for (const char* name : {"TPageControl", "TTabSheet", "TTabControl", "TListView"}) {
    if (!hw) break;
    hw = FindWindowExA(hw, nullptr, name, nullptr);
  }
  TRACE_HANDLE("hw", hw);
  ItemBlockMem block(hw, kItemBlockSize);
  if (!block.IsValid()) {
    TRACE_EVENT("Failed to create Shared memory.");
    ShowError(kMsgNoBlock);
    return 1;
  }
  return RunMode(hw, block, tail);
}
