// A loaded library with one owner: let go when the owner goes, unless it is kept for the rest
// of the process (the decoder library, once bound, is called until the run ends).
#pragma once

#include <utility>

namespace quarry {

// dlclose or FreeLibrary (unique_library-posix.cpp, unique_library-win32.cpp).
void unloadLibrary(void* library) noexcept;

class UniqueLibrary {
 public:
  UniqueLibrary() = default;
  explicit UniqueLibrary(void* library) : library_(library) {}
  UniqueLibrary(UniqueLibrary&& other) noexcept
      : library_(std::exchange(other.library_, nullptr)) {}
  UniqueLibrary& operator=(UniqueLibrary&& other) noexcept {
    if (this != &other) {
      reset();
      library_ = std::exchange(other.library_, nullptr);
    }
    return *this;
  }
  UniqueLibrary(const UniqueLibrary&) = delete;
  UniqueLibrary& operator=(const UniqueLibrary&) = delete;
  ~UniqueLibrary() { reset(); }

  void* get() const { return library_; }
  bool valid() const { return library_ != nullptr; }
  // Keeps the library loaded until the process ends.
  void* release() { return std::exchange(library_, nullptr); }
  void reset() {
    if (library_ != nullptr) unloadLibrary(std::exchange(library_, nullptr));
  }

 private:
  void* library_ = nullptr;
};

}  // namespace quarry
