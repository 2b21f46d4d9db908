// What a C runtime's start-up asks of KERNEL32: the stops, the failures Windows gives where a
// decoder has no business, fiber-local slots, heap re-allocation and list heads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

#include "base/guarded_call.h"
#include "loader/kernel32-linux.h"
#include "unit/kernel32_calls.h"

namespace quarry {
namespace {

struct StopCase {
  const char* name;
  void (*call)();
};

void PrintTo(const StopCase& c, std::ostream* out) {
  *out << c.name;
}

class Kernel32Stop : public ::testing::TestWithParam<StopCase> {};

// What asks to end or unwind, and what Quarry does not provide, leaves the guarded call.
TEST_P(Kernel32Stop, LeavesTheCallNamingIt) {
  GuardedStop stop;
  EXPECT_FALSE(runGuarded([](void*) { GetParam().call(); }, nullptr, stop));
  EXPECT_EQ(stop.signal, 0);
  ASSERT_NE(stop.call, nullptr);
  EXPECT_EQ(std::string(stop.call), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, Kernel32Stop,
    ::testing::Values(
        StopCase{"ExitProcess", [] { shim<void MS_ABI(unsigned)>("ExitProcess")(3); }},
        StopCase{"TerminateProcess",
                 [] {
                   shim<Bool MS_ABI(void*, unsigned)>("TerminateProcess")(
                       reinterpret_cast<void*>(-1), 3);
                 }},
        StopCase{"RaiseException",
                 [] {
                   shim<void MS_ABI(Dword, Dword, Dword, const void*)>("RaiseException")(
                       0xE06D7363, 1, 0, nullptr);
                 }},
        StopCase{"RtlUnwindEx",
                 [] {
                   shim<void MS_ABI(void*, void*, void*, void*, void*, void*)>("RtlUnwindEx")(
                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
                 }},
        StopCase{"KERNEL32.dll!CreateEventW",
                 [] {  // (The name's string is gone before the call, which never returns.)
                   void* standIn = standInFor("KERNEL32.dll!CreateEventW");
                   reinterpret_cast<void MS_ABI (*)()>(standIn)();
                 }},
        StopCase{"api-ms-win-core-synch-l1-2-0.dll!#4",
                 [] {
                   void* standIn = standInFor("api-ms-win-core-synch-l1-2-0.dll!#4");
                   reinterpret_cast<void MS_ABI (*)()>(standIn)();
                 }}),
    [](const ::testing::TestParamInfo<StopCase>& info) {
      std::string name = info.param.name;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(Kernel32, OneCallHasOneStandIn) {
  void* first = standInFor("KERNEL32.dll!SomethingElse");
  EXPECT_EQ(standInFor("KERNEL32.dll!SomethingElse"), first);
  EXPECT_NE(standInFor("KERNEL32.dll!AnotherThing"), first);
}

struct FailingCase {
  const char* name;
  bool (*failsAsWindows)();  // the answer Windows gives
  Dword error;
};

void PrintTo(const FailingCase& c, std::ostream* out) {
  *out << c.name;
}

class Kernel32Failure : public ::testing::TestWithParam<FailingCase> {};

// Where a decoder has no business, the answer is Windows' for what is not allowed or not there.
TEST_P(Kernel32Failure, AnswersAsWindowsDoes) {
  clearLastError();
  EXPECT_TRUE(GetParam().failsAsWindows());
  EXPECT_EQ(lastErrorAfterwards(), GetParam().error);
}

void* const INVALID = reinterpret_cast<void*>(-1);

INSTANTIATE_TEST_SUITE_P(
    Calls, Kernel32Failure,
    ::testing::Values(
        FailingCase{
            "CreateFileW",
            [] {
              return shim<void * MS_ABI(const char16_t*, Dword, Dword, void*, Dword, Dword, void*)>(
                         "CreateFileW")(u"C:\\x", 0x80000000, 0, nullptr, 3, 0, nullptr) == INVALID;
            },
            5},
        FailingCase{"FindFirstFileExW",
                    [] {
                      return shim<void * MS_ABI(const char16_t*, int, void*, int, void*, Dword)>(
                                 "FindFirstFileExW")(u"*", 0, nullptr, 0, nullptr, 0) == INVALID;
                    },
                    2},
        FailingCase{"LoadLibraryExW",
                    [] {
                      return shim<void * MS_ABI(const char16_t*, void*, Dword)>("LoadLibraryExW")(
                                 u"user32.dll", nullptr, 0) == nullptr;
                    },
                    126},
        FailingCase{"ReadFile",
                    [] {
                      Dword read = 9;
                      return shim<Bool MS_ABI(void*, void*, Dword, Dword*, void*)>("ReadFile")(
                                 INVALID, nullptr, 0, &read, nullptr) == 0 &&
                             read == 0;
                    },
                    6},
        FailingCase{"FlsGetValueOfAFreeIndex",
                    [] { return shim<void * MS_ABI(Dword)>("FlsGetValue")(127) == nullptr; }, 87}),
    [](const ::testing::TestParamInfo<FailingCase>& info) { return std::string(info.param.name); });

// FlsFree hands the slot's value to the slot's callback, as when a fiber ends.
void* freedValue = nullptr;
void MS_ABI rememberFreed(void* value) {
  freedValue = value;
}

TEST(Kernel32, FiberLocalSlotsKeepValuesAndCallBackWhenFreed) {
  const auto alloc = shim<Dword MS_ABI(void MS_ABI (*)(void*))>("FlsAlloc");
  const auto set = shim<Bool MS_ABI(Dword, void*)>("FlsSetValue");
  const auto get = shim<void * MS_ABI(Dword)>("FlsGetValue");
  const auto release = shim<Bool MS_ABI(Dword)>("FlsFree");
  const Dword index = alloc(rememberFreed);
  ASSERT_NE(index, 0xFFFFFFFFu);
  int value = 0;
  EXPECT_EQ(set(index, &value), 1);
  EXPECT_EQ(get(index), &value);
  EXPECT_EQ(release(index), 1);
  EXPECT_EQ(freedValue, &value);
  EXPECT_EQ(release(index), 0) << "freed twice";
}

TEST(Kernel32, AHeapBlockGrowsKeepingItsBytesAndZeroesTheGrowthWhenAsked) {
  void* heap = shim<void * MS_ABI()>("GetProcessHeap")();
  const auto alloc = shim<void * MS_ABI(void*, Dword, std::size_t)>("HeapAlloc");
  const auto realloc = shim<void * MS_ABI(void*, Dword, void*, std::size_t)>("HeapReAlloc");
  const auto size = shim<std::size_t MS_ABI(void*, Dword, const void*)>("HeapSize");
  auto* block = static_cast<std::uint8_t*>(alloc(heap, 0, 16));
  std::memset(block, 0xAB, 16);
  EXPECT_EQ(realloc(heap, 0x10, block, 4096), nullptr) << "in place only, it cannot grow";
  block = static_cast<std::uint8_t*>(realloc(heap, 0x8, block, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(size(heap, 0, block), 4096u);
  EXPECT_EQ(block[15], 0xAB);
  EXPECT_EQ(block[4095], 0);
  EXPECT_EQ(realloc(heap, 0x10, block, 8), block) << "shrinking in place";
  EXPECT_EQ(size(heap, 0, block), 8u);
  shim<Bool MS_ABI(void*, Dword, void*)>("HeapFree")(heap, 0, block);
}

TEST(Kernel32, ListHeadsHandEntriesBackLastInFirstOut) {
  alignas(16) std::uint8_t head[16];
  alignas(16) std::uint8_t first[16], second[16];
  shim<void MS_ABI(void*)>("InitializeSListHead")(head);
  const auto push = shim<void * MS_ABI(void*, void*)>("InterlockedPushEntrySList");
  EXPECT_EQ(push(head, first), nullptr);
  EXPECT_EQ(push(head, second), first);
  EXPECT_EQ(shim<void * MS_ABI(void*)>("InterlockedFlushSList")(head), second);
  EXPECT_EQ(shim<void * MS_ABI(void*)>("InterlockedFlushSList")(head), nullptr);
}

TEST(Kernel32, SetStdHandleChangesWhatGetStdHandleAnswersNotWhereHandlesWrite) {
  const auto getStd = shim<void * MS_ABI(Dword)>("GetStdHandle");
  const auto setStd = shim<Bool MS_ABI(Dword, void*)>("SetStdHandle");
  const auto writeFile = shim<Bool MS_ABI(void*, const void*, Dword, Dword*, void*)>("WriteFile");
  constexpr Dword OUTPUT = static_cast<Dword>(-11), ERROR = static_cast<Dword>(-12);
  void* output = getStd(OUTPUT);
  void* error = getStd(ERROR);
  ASSERT_NE(output, nullptr);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const int savedOutput = dup(1);
  ASSERT_EQ(dup2(pipeEnds[1], 1), 1);
  const Bool set = setStd(OUTPUT, error);
  void* answered = getStd(OUTPUT);
  Dword written = 0;
  const Bool wrote = writeFile(output, "out", 3, &written, nullptr);
  setStd(OUTPUT, output);
  dup2(savedOutput, 1);
  close(savedOutput);
  close(pipeEnds[1]);
  char received[8] = {};
  EXPECT_EQ(read(pipeEnds[0], received, sizeof received), 3);
  close(pipeEnds[0]);
  EXPECT_EQ(set, 1);
  EXPECT_EQ(answered, error);
  EXPECT_EQ(wrote, 1);
  EXPECT_EQ(std::string(received), "out") << "the output handle still writes to the output";
  EXPECT_EQ(getStd(OUTPUT), output);
  for (const Dword which : {static_cast<Dword>(-13), 0u, 1u, static_cast<Dword>(-9)}) {
    clearLastError();
    EXPECT_EQ(setStd(which, error), 0) << which;
    EXPECT_EQ(lastErrorAfterwards(), 87u) << which;  // ERROR_INVALID_PARAMETER
  }
}

}  // namespace
}  // namespace quarry
