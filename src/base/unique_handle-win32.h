// A Windows handle with one owner, closed when the owner goes: the twin of UniqueFd. Kept
// free of <windows.h>: a HANDLE is a void*, and both of Windows' "no handle" values (null and
// INVALID_HANDLE_VALUE) are held as null.
#pragma once

#include <cstdint>
#include <utility>

namespace quarry {

// CloseHandle, for the owner below (unique_handle-win32.cpp includes <windows.h>).
void closeWindowsHandle(void* handle) noexcept;

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(void* handle) : handle_(heldAs(handle)) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  void* get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  // Gives the handle up, to an owner of another kind.
  void* release() { return std::exchange(handle_, nullptr); }
  void reset(void* handle = nullptr) {
    if (handle_ != nullptr) closeWindowsHandle(handle_);
    handle_ = heldAs(handle);
  }

 private:
  static void* heldAs(void* handle) {
    return reinterpret_cast<std::intptr_t>(handle) == -1 ? nullptr : handle;
  }

  void* handle_ = nullptr;
};

}  // namespace quarry
