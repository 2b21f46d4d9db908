#include <gtest/gtest.h>

#include <utility>

#include "base/unique_os_handle.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/unique_pages-posix.h"
#endif

namespace quarry {
namespace {

// Opens something the system hands a handle or descriptor for; the raw value.
#ifdef _WIN32
void* openSomething() {
  return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

bool isOpen(void* handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

void* invalidValue() {
  return INVALID_HANDLE_VALUE;
}
#else
int openSomething() {
  return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

int invalidValue() {
  return -1;
}
#endif

// Each way an owner can end: the handle is closed exactly when its last owner lets it go,
// never while an owner still holds it, and never by an owner it was released from.
TEST(UniqueOsHandle, ClosesWhatItOwnsOnceAndNothingElse) {
  const struct {
    const char* name;
    bool closedAfter;
    void (*use)(UniqueOsHandle& owner, UniqueOsHandle& other);
  } cases[] = {
      {"GoesOutOfScope", true, [](UniqueOsHandle&, UniqueOsHandle&) {}},
      {"Reset", true, [](UniqueOsHandle& owner, UniqueOsHandle&) { owner.reset(); }},
      {"MovedIntoAnotherThatLives", false,
       [](UniqueOsHandle& owner, UniqueOsHandle& other) { other = std::move(owner); }},
      {"MovedThenTheOtherResets", true,
       [](UniqueOsHandle& owner, UniqueOsHandle& other) {
         other = std::move(owner);
         other.reset();
       }},
      {"AssignedOverAnother", false,
       [](UniqueOsHandle& owner, UniqueOsHandle& other) {
         other = UniqueOsHandle(openSomething());
         other = std::move(owner);
       }},
  };
  for (const auto& c : cases) {
    UniqueOsHandle keeper;
    const auto raw = openSomething();
    {
      UniqueOsHandle owner(raw);
      ASSERT_TRUE(owner.valid()) << c.name;
      c.use(owner, keeper);
    }
    EXPECT_EQ(isOpen(raw), !c.closedAfter) << c.name;
  }
}

TEST(UniqueOsHandle, ReleaseHandsTheHandleOver) {
  const auto raw = openSomething();
  {
    UniqueOsHandle owner(raw);
    EXPECT_EQ(owner.release(), raw);
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_TRUE(isOpen(raw));
  UniqueOsHandle closer(raw);
}

// The system's "no handle" answer is held as nothing: never closed, never valid.
TEST(UniqueOsHandle, TheFailedOpensValueIsNoHandle) {
  UniqueOsHandle owner(invalidValue());
  EXPECT_FALSE(owner.valid());
  UniqueOsHandle empty;
  EXPECT_FALSE(empty.valid());
}

}  // namespace
}  // namespace quarry

#ifndef _WIN32
namespace quarry {
namespace {

// Whether the page at address is mapped: mincore fails with ENOMEM for one that is not.
bool isMapped(void* address) {
  unsigned char resident = 0;
  return mincore(address, 1, &resident) == 0;
}

TEST(UniquePages, UnmapsWhatItOwnsAndKeepsWhatItReleased) {
  const long page = sysconf(_SC_PAGESIZE);
  void* owned = nullptr;
  void* released = nullptr;
  {
    UniquePages first({mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
                       static_cast<std::size_t>(page)});
    UniquePages second({mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
                        static_cast<std::size_t>(page)});
    ASSERT_TRUE(first.valid() && second.valid());
    owned = first.get().base;
    released = second.release().base;
    EXPECT_FALSE(second.valid());
  }
  EXPECT_FALSE(isMapped(owned));
  EXPECT_TRUE(isMapped(released));
  munmap(released, static_cast<std::size_t>(page));
  // A failed mmap's MAP_FAILED is no mapping: nothing is unmapped for it.
  const UniquePages failed({MAP_FAILED, static_cast<std::size_t>(page)});
  EXPECT_FALSE(failed.valid());
}

}  // namespace
}  // namespace quarry
#endif
