// A fixed-size block held twice: a local copy here and a remote copy in the
// process that owns a given window. Fields are filled locally; Write and
// Read move the whole block one way or the other.
#pragma once

#include <windows.h>

#include <cstddef>

class SharedMemBase {
 public:
  SharedMemBase(HWND owner, DWORD size);
  virtual ~SharedMemBase();
  SharedMemBase(const SharedMemBase&) = delete;
  SharedMemBase& operator=(const SharedMemBase&) = delete;

  bool IsValid() const { return valid_; }
  void* LocalAddress() const { return local_; }
  void* RemoteAddress() const { return remote_; }
  DWORD Size() const { return size_; }

  bool Write();
  bool Read();
  // Reads `size` bytes at `remote_source`, any address in the target
  // process, into `destination`. False when any of them cannot be read.
  bool ReadRemote(const void* remote_source, void* destination, std::size_t size) const;

 private:
  bool Attach(HWND owner);

  bool valid_;
  void* local_;
  void* remote_;
  HANDLE process_;
  DWORD size_;
};

template <typename T>
class SharedMemT : public SharedMemBase {
 public:
  SharedMemT(HWND owner, DWORD size) : SharedMemBase(owner, size) {}
  ~SharedMemT() override {}

  T* Local() const { return static_cast<T*>(LocalAddress()); }
  // An address in the target process: handed to it, never dereferenced here.
  T* Remote() const { return static_cast<T*>(RemoteAddress()); }
};
