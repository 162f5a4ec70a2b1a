#include "SharedMem.h"

namespace {

// The item record's layout is the process's own: a list view of the other
// bitness would read our pointers and sizes at other offsets. Asked through a
// handle of its own, so the block's handle keeps exactly the memory rights.
bool SameBitness(DWORD process_id) {
  HANDLE query = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (!query) return false;
  BOOL target_wow64 = FALSE;
  BOOL own_wow64 = FALSE;
  // On a 32-bit Windows neither is WoW64: every process is 32-bit there.
  const bool told = IsWow64Process(query, &target_wow64) && IsWow64Process(GetCurrentProcess(), &own_wow64);
  CloseHandle(query);
  return told && (target_wow64 != FALSE) == (own_wow64 != FALSE);
}

}  // namespace

SharedMemBase::SharedMemBase(HWND owner, DWORD size)
    : valid_(false), local_(nullptr), remote_(nullptr), process_(nullptr), size_(size) {
  valid_ = Attach(owner);
}

SharedMemBase::~SharedMemBase() {
  if (local_) VirtualFree(local_, 0, MEM_RELEASE);
  // The remote copy goes before the handle: freeing it needs the handle.
  if (remote_) VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
  if (process_) CloseHandle(process_);
}

bool SharedMemBase::Attach(HWND owner) {
  local_ = VirtualAlloc(nullptr, size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!local_) return false;
  DWORD process_id = 0;  // stays 0 for a handle that names no window
  GetWindowThreadProcessId(owner, &process_id);
  process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process_id);
  if (!process_) return false;
  if (!SameBitness(process_id)) return false;
  remote_ = VirtualAllocEx(process_, nullptr, size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  return remote_ != nullptr;
}

bool SharedMemBase::Write() {
  SIZE_T copied = 0;
  return WriteProcessMemory(process_, remote_, local_, size_, &copied) == TRUE;
}

bool SharedMemBase::Read() {
  SIZE_T copied = 0;
  return ReadProcessMemory(process_, remote_, local_, size_, &copied) == TRUE;
}

bool SharedMemBase::ReadRemote(const void* remote_source, void* destination, std::size_t size) const {
  if (!valid_) return false;
  SIZE_T copied = 0;
  return ReadProcessMemory(process_, remote_source, destination, size, &copied) == TRUE && copied == size;
}
