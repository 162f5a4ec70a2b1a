// The one owner of a kernel handle the harness opens (a process, an event, a
// file): closed once, when its owner goes.
#pragma once

#include <windows.h>

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() { Reset(nullptr); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  // CreateFile fails with INVALID_HANDLE_VALUE, most other calls with null.
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  void Reset(HANDLE handle) {
    if (*this) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};
