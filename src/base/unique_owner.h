// One owner for a value the system hands out and must be given back (a descriptor, a handle,
// a loaded library): given back when the owner goes, moved but never copied. Kind says how:
//   using Value = ...;                       what the system hands out
//   static constexpr Value NONE = ...;       the value held when nothing is
//   static bool isNone(Value value);         also true for the system's other "no value"
//   static void giveBack(Value value);       close it, free it
#pragma once

#include <utility>

namespace quarry {

// The Kind of a system object handed out as a pointer, null when there is none.
template <void (*Release)(void*) noexcept>
struct PointerKind {
  using Value = void*;
  static constexpr void* NONE = nullptr;
  static bool isNone(void* value) { return value == nullptr; }
  static void giveBack(void* value) { Release(value); }
};

template <typename Kind>
class UniqueOwner {
 public:
  using Value = typename Kind::Value;

  UniqueOwner() = default;
  explicit UniqueOwner(Value value) : value_(heldAs(value)) {}
  UniqueOwner(UniqueOwner&& other) noexcept : value_(std::exchange(other.value_, Kind::NONE)) {}
  UniqueOwner& operator=(UniqueOwner&& other) noexcept {
    if (this != &other) reset(std::exchange(other.value_, Kind::NONE));
    return *this;
  }
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  ~UniqueOwner() { reset(); }

  Value get() const { return value_; }
  bool valid() const { return value_ != Kind::NONE; }
  // Gives the value up, to an owner of another kind or to the process for good.
  Value release() { return std::exchange(value_, Kind::NONE); }
  void reset(Value value = Kind::NONE) {
    const Value old = std::exchange(value_, heldAs(value));
    if (old != Kind::NONE) Kind::giveBack(old);
  }

 private:
  static Value heldAs(Value value) { return Kind::isNone(value) ? Kind::NONE : value; }

  Value value_ = Kind::NONE;
};

}  // namespace quarry
