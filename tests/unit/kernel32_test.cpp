// The KERNEL32 functions that Quarry offers a Windows library, called as a library calls them:
// through the table, with Microsoft's calling convention.
#ifdef QUARRY_WINDOWS_LOADER
#include "loader/kernel32-linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "base/guarded_call.h"
#include "loader/thread_environment-linux.h"

namespace quarry {
namespace {

#define MS_ABI __attribute__((ms_abi))
using Dword = std::uint32_t;
using Bool = std::int32_t;

template <typename Signature>
Signature* shim(const char* name) {
  void* function = kernel32Function(name);
  EXPECT_NE(function, nullptr) << name;
  return reinterpret_cast<Signature*>(function);
}

Dword lastErrorAfterwards() {
  return shim<Dword MS_ABI()>("GetLastError")();
}

template <typename Value>
Value fieldOf(const std::uint8_t* block, std::size_t offset) {
  Value value;
  std::memcpy(&value, block + offset, sizeof value);
  return value;
}

void clearLastError() {
  shim<void MS_ABI(Dword)>("SetLastError")(0);
}

TEST(Kernel32, EveryFunctionSuchALibraryImportsIsOfferedAndFoundByGetProcAddress) {
  const char* const names[] = {"HeapAlloc",
                               "HeapFree",
                               "HeapSize",
                               "GetProcessHeap",
                               "GetSystemTimeAsFileTime",
                               "GetCurrentThreadId",
                               "GetCurrentProcessId",
                               "QueryPerformanceCounter",
                               "EncodePointer",
                               "DecodePointer",
                               "GetModuleHandleW",
                               "GetProcAddress",
                               "InitializeCriticalSectionAndSpinCount",
                               "DeleteCriticalSection",
                               "EnterCriticalSection",
                               "LeaveCriticalSection",
                               "TlsAlloc",
                               "TlsGetValue",
                               "TlsSetValue",
                               "TlsFree",
                               "GetCommandLineA",
                               "GetEnvironmentStringsW",
                               "FreeEnvironmentStringsW",
                               "WideCharToMultiByte",
                               "GetStartupInfoW",
                               "GetStdHandle",
                               "GetFileType",
                               "GetLastError",
                               "SetLastError",
                               "GetACP",
                               "GetModuleFileNameA",
                               "QueryPerformanceFrequency",
                               "GetSystemInfo",
                               "IsProcessorFeaturePresent",
                               "IsDebuggerPresent",
                               "InitializeSListHead",
                               "GetCurrentProcess",
                               "TerminateProcess",
                               "Sleep",
                               "VirtualAlloc",
                               "VirtualFree",
                               "VirtualProtect",
                               "MultiByteToWideChar",
                               "OutputDebugStringA",
                               "RtlCaptureContext",
                               "RtlLookupFunctionEntry",
                               "RtlVirtualUnwind",
                               "SetUnhandledExceptionFilter",
                               "UnhandledExceptionFilter",
                               "FlsAlloc",
                               "FlsFree",
                               "FlsGetValue",
                               "FlsSetValue",
                               "HeapReAlloc",
                               "InitializeCriticalSectionEx",
                               "InitializeCriticalSection",
                               "GetModuleHandleExW",
                               "GetModuleHandleA",
                               "GetModuleFileNameW",
                               "LoadLibraryExW",
                               "LoadLibraryW",
                               "FreeLibrary",
                               "RtlPcToFileHeader",
                               "ExitProcess",
                               "RaiseException",
                               "RtlUnwindEx",
                               "GetTickCount",
                               "GetTickCount64",
                               "GetCurrentThread",
                               "GetTimeZoneInformation",
                               "InterlockedPushEntrySList",
                               "InterlockedFlushSList",
                               "GetCPInfo",
                               "IsValidCodePage",
                               "GetOEMCP",
                               "GetConsoleCP",
                               "GetConsoleOutputCP",
                               "GetConsoleMode",
                               "WriteFile",
                               "WriteConsoleW",
                               "FlushFileBuffers",
                               "CloseHandle",
                               "CreateFileW",
                               "ReadFile",
                               "FindFirstFileExW",
                               "FindNextFileW",
                               "FindClose",
                               "SetFilePointerEx",
                               "GetFileSizeEx",
                               "GetCommandLineW",
                               "SetEnvironmentVariableW"};
  const auto moduleHandle = shim<void * MS_ABI(const char16_t*)>("GetModuleHandleW");
  const auto procAddress = shim<void * MS_ABI(void*, const char*)>("GetProcAddress");
  void* kernel32 = moduleHandle(u"KERNEL32.DLL");
  ASSERT_NE(kernel32, nullptr);
  EXPECT_EQ(moduleHandle(u"kernel32"), kernel32);
  for (const char* name : names) {
    EXPECT_NE(kernel32Function(name), nullptr) << name;
    EXPECT_EQ(procAddress(kernel32, name), kernel32Function(name)) << name;
  }
  EXPECT_EQ(procAddress(kernel32, "CreateEventW"), nullptr) << "not a stand-in";
  EXPECT_EQ(lastErrorAfterwards(), 127u);  // ERROR_PROC_NOT_FOUND
  EXPECT_EQ(procAddress(kernel32, reinterpret_cast<const char*>(7)), nullptr) << "an ordinal";
  EXPECT_EQ(moduleHandle(u"user32.dll"), nullptr);
  EXPECT_EQ(lastErrorAfterwards(), 126u);  // ERROR_MOD_NOT_FOUND
}

TEST(Kernel32, HeapBlocksKnowTheSizeAskedForAndAreZeroedWhenAsked) {
  void* heap = shim<void * MS_ABI()>("GetProcessHeap")();
  const auto alloc = shim<void * MS_ABI(void*, Dword, std::size_t)>("HeapAlloc");
  const auto size = shim<std::size_t MS_ABI(void*, Dword, const void*)>("HeapSize");
  const auto release = shim<Bool MS_ABI(void*, Dword, void*)>("HeapFree");
  for (const std::size_t asked : {0u, 1u, 17u, 4096u}) {
    auto* block = static_cast<std::uint8_t*>(alloc(heap, 0x8, asked));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
    EXPECT_EQ(size(heap, 0, block), asked);
    EXPECT_EQ(std::vector<std::uint8_t>(block, block + asked), std::vector<std::uint8_t>(asked));
    EXPECT_EQ(release(heap, 0, block), 1);
  }
  EXPECT_EQ(release(heap, 0, nullptr), 1);
  int other = 0;
  EXPECT_EQ(alloc(&other, 0, 8), nullptr);
  EXPECT_EQ(lastErrorAfterwards(), 6u);  // ERROR_INVALID_HANDLE
  EXPECT_EQ(alloc(heap, 0, SIZE_MAX - 4), nullptr);
}

TEST(Kernel32, TlsSlotsRunOutAtSixtyFourAndComeBackWhenFreed) {
  const auto tlsAlloc = shim<Dword MS_ABI()>("TlsAlloc");
  const auto tlsFree = shim<Bool MS_ABI(Dword)>("TlsFree");
  const auto tlsGet = shim<void * MS_ABI(Dword)>("TlsGetValue");
  const auto tlsSet = shim<Bool MS_ABI(Dword, void*)>("TlsSetValue");
  std::vector<Dword> slots;
  for (Dword slot = tlsAlloc(); slot != 0xFFFFFFFF; slot = tlsAlloc()) slots.push_back(slot);
  ASSERT_LE(slots.size(), 64u);
  ASSERT_FALSE(slots.empty());
  int value = 0;
  EXPECT_EQ(tlsSet(slots.back(), &value), 1);
  shim<void MS_ABI(Dword)>("SetLastError")(5);
  EXPECT_EQ(tlsGet(slots.back()), &value);
  EXPECT_EQ(lastErrorAfterwards(), 0u) << "a null value must be told from a failure";
  EXPECT_EQ(tlsGet(64), nullptr);
  EXPECT_EQ(lastErrorAfterwards(), 87u);  // ERROR_INVALID_PARAMETER
  EXPECT_EQ(tlsSet(64, &value), 0);
  for (const Dword slot : slots) EXPECT_EQ(tlsFree(slot), 1);
  EXPECT_EQ(tlsFree(slots.front()), 0) << "freed twice";
  const Dword again = tlsAlloc();
  EXPECT_EQ(tlsGet(again), nullptr) << "a reused slot starts empty";
  tlsFree(again);
}

TEST(Kernel32, CriticalSectionsCountRecursionAndKeepOtherThreadsOut) {
  const auto initialise = shim<Bool MS_ABI(void*, Dword)>("InitializeCriticalSectionAndSpinCount");
  const auto enter = shim<void MS_ABI(void*)>("EnterCriticalSection");
  const auto leave = shim<void MS_ABI(void*)>("LeaveCriticalSection");
  alignas(8) std::uint8_t section[40];
  ASSERT_EQ(initialise(section, 4000), 1);
  enter(section);
  enter(section);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    enter(section);
    entered = true;
    leave(section);
  });
  leave(section);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered) << "still held once";
  leave(section);
  other.join();
  EXPECT_TRUE(entered);
  shim<void MS_ABI(void*)>("DeleteCriticalSection")(section);
}

struct ToWideCase {
  const char* name;
  unsigned codePage;
  Dword flags;
  std::string input;
  int inputLength;  // -1: through the NUL
  int room;
  int answer;
  std::u16string output;
  Dword error;  // when answer is 0
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const ToWideCase& c, std::ostream* out) {
  *out << c.name;
}

class MultiByteToWideChar : public ::testing::TestWithParam<ToWideCase> {};

TEST_P(MultiByteToWideChar, AnswersAsWindowsDoes) {
  const ToWideCase& c = GetParam();
  const auto convert =
      shim<int MS_ABI(unsigned, Dword, const char*, int, char16_t*, int)>("MultiByteToWideChar");
  std::u16string out(16, u'#');
  clearLastError();
  EXPECT_EQ(convert(c.codePage, c.flags, c.input.c_str(), c.inputLength, out.data(), c.room),
            c.answer);
  if (c.answer == 0) {
    EXPECT_EQ(lastErrorAfterwards(), c.error);
  } else if (c.room > 0) {
    EXPECT_EQ(out.substr(0, c.answer), c.output);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MultiByteToWideChar,
    ::testing::Values(ToWideCase{"Counted", 65001, 0, "h\xC3\xA9!", 3, 16, 2, u"h\u00E9", 0},
                      ToWideCase{"ThroughTheNul", 0, 0, "h\xC3\xA9", -1, 16, 3,
                                 std::u16string(u"h\u00E9\0", 3), 0},
                      ToWideCase{"SizeOnly", 65001, 0, "h\xC3\xA9", 3, 0, 2, u"", 0},
                      ToWideCase{"TooSmall", 65001, 0, "h\xC3\xA9", 3, 1, 0, u"", 122},
                      ToWideCase{"InvalidReplaced", 65001, 0, "a\xFF", 2, 16, 2, u"a\uFFFD", 0},
                      ToWideCase{"InvalidRefused", 65001, 0x8, "a\xFF", 2, 16, 0, u"", 1113},
                      ToWideCase{"OtherCodePage", 437, 0, "abc", 3, 16, 0, u"", 87},
                      ToWideCase{"EmptyInput", 65001, 0, "", 0, 16, 0, u"", 87}),
    [](const ::testing::TestParamInfo<ToWideCase>& info) { return info.param.name; });

struct ToMultiCase {
  const char* name;
  Dword flags;
  std::u16string input;
  int inputLength;
  int answer;
  std::string output;
  Dword error;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const ToMultiCase& c, std::ostream* out) {
  *out << c.name;
}

class WideCharToMultiByte : public ::testing::TestWithParam<ToMultiCase> {};

TEST_P(WideCharToMultiByte, AnswersAsWindowsDoes) {
  const ToMultiCase& c = GetParam();
  const auto convert =
      shim<int MS_ABI(unsigned, Dword, const char16_t*, int, char*, int, const char*, Bool*)>(
          "WideCharToMultiByte");
  std::string out(16, '#');
  Bool usedDefault = 7;
  clearLastError();
  EXPECT_EQ(convert(65001, c.flags, c.input.c_str(), c.inputLength, out.data(), 16, nullptr,
                    c.answer > 0 ? &usedDefault : nullptr),
            c.answer);
  if (c.answer == 0) {
    EXPECT_EQ(lastErrorAfterwards(), c.error);
  } else {
    EXPECT_EQ(out.substr(0, c.answer), c.output);
    EXPECT_EQ(usedDefault, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WideCharToMultiByte,
    ::testing::Values(ToMultiCase{"Accented", 0, u"h\u00E9", 2, 3, "h\xC3\xA9", 0},
                      ToMultiCase{"ThroughTheNul", 0, u"ab", -1, 3, std::string("ab\0", 3), 0},
                      ToMultiCase{"SurrogatePair", 0, u"\U0001F600", 2, 4, "\xF0\x9F\x98\x80", 0},
                      ToMultiCase{"LoneSurrogateReplaced", 0, u"\xD800", 1, 3, "\xEF\xBF\xBD", 0},
                      ToMultiCase{"LoneSurrogateRefused", 0x80, u"\xD800", 1, 0, "", 1113}),
    [](const ::testing::TestParamInfo<ToMultiCase>& info) { return info.param.name; });

TEST(Kernel32, TheEnvironmentBlockHoldsTheProcessVariables) {
  setenv("QUARRY_SHIM_TEST", "v\xC3\xA4rde", 1);
  char16_t* block = shim<char16_t * MS_ABI()>("GetEnvironmentStringsW")();
  ASSERT_NE(block, nullptr);
  bool found = false;
  for (const char16_t* entry = block; *entry != u'\0';) {
    const std::u16string_view text(entry);
    found = found || text == u"QUARRY_SHIM_TEST=v\u00E4rde";
    entry += text.size() + 1;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(shim<Bool MS_ABI(char16_t*)>("FreeEnvironmentStringsW")(block), 1);
  unsetenv("QUARRY_SHIM_TEST");
}

TEST(Kernel32, EncodedPointersDecodeToThemselves) {
  const auto encode = shim<void * MS_ABI(void*)>("EncodePointer");
  const auto decode = shim<void * MS_ABI(void*)>("DecodePointer");
  int local = 0;
  for (void* pointer : {static_cast<void*>(nullptr), static_cast<void*>(&local),
                        reinterpret_cast<void*>(~std::uintptr_t{0})}) {
    EXPECT_EQ(decode(encode(pointer)), pointer);
  }
}

TEST(Kernel32, VirtualMemoryIsReservedCommittedProtectedAndReleasedButNeverWritableCode) {
  const auto alloc = shim<void * MS_ABI(void*, std::size_t, Dword, Dword)>("VirtualAlloc");
  const auto release = shim<Bool MS_ABI(void*, std::size_t, Dword)>("VirtualFree");
  const auto protect = shim<Bool MS_ABI(void*, std::size_t, Dword, Dword*)>("VirtualProtect");
  constexpr Dword COMMIT = 0x1000, RESERVE = 0x2000, RELEASE = 0x8000;
  auto* region = static_cast<std::uint8_t*>(alloc(nullptr, 1 << 20, RESERVE, 0x01));
  ASSERT_NE(region, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(region) % 0x10000, 0u);
  auto* page = static_cast<std::uint8_t*>(alloc(region + 8200, 100, COMMIT, 0x04));
  ASSERT_EQ(page, region + 8192);
  page[4095] = 7;
  Dword old = 0;
  EXPECT_EQ(protect(page, 100, 0x20, &old), 1);
  EXPECT_EQ(old, 0x04u);  // PAGE_READWRITE
  EXPECT_EQ(protect(page, 100, 0x40, &old), 0);
  EXPECT_EQ(lastErrorAfterwards(), 1655u);  // ERROR_DYNAMIC_CODE_BLOCKED
  EXPECT_EQ(alloc(nullptr, 4096, COMMIT | RESERVE, 0x40), nullptr);
  EXPECT_EQ(lastErrorAfterwards(), 1655u);
  EXPECT_EQ(alloc(region + (2 << 20), 4096, COMMIT, 0x04), nullptr) << "outside any reservation";
  EXPECT_EQ(release(region + 4096, 0, RELEASE), 0);
  EXPECT_EQ(lastErrorAfterwards(), 487u);  // ERROR_INVALID_ADDRESS
  EXPECT_EQ(release(region, 0, RELEASE), 1);
  EXPECT_EQ(release(region, 0, RELEASE), 0) << "released twice";
}

TEST(Kernel32, AModuleFileNameIsCutToTheBuffer) {
  const auto fileName = shim<Dword MS_ABI(void*, char*, Dword)>("GetModuleFileNameA");
  char program[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", program, sizeof program - 1), 5);
  char buffer[PATH_MAX];
  EXPECT_EQ(fileName(nullptr, buffer, sizeof buffer), std::strlen(program));
  EXPECT_STREQ(buffer, program);
  EXPECT_EQ(fileName(nullptr, buffer, 5), 5u);
  EXPECT_EQ(std::string(buffer), std::string(program, 4));
  EXPECT_EQ(lastErrorAfterwards(), 122u);  // ERROR_INSUFFICIENT_BUFFER
}

TEST(Kernel32, TheLastErrorLivesInTheTebThatGsPointsAt) {
  ASSERT_TRUE(installThreadEnvironment({}));
  shim<void MS_ABI(Dword)>("SetLastError")(0x1234);
  std::uint32_t throughGs = 0;
  asm volatile("movl %%gs:0x68, %0" : "=r"(throughGs));
  EXPECT_EQ(throughGs, 0x1234u);
  EXPECT_EQ(lastErrorAfterwards(), 0x1234u);
}

TEST(Kernel32, StandardHandlesHaveFileTypesAndOthersAreRefused) {
  const auto stdHandle = shim<void * MS_ABI(Dword)>("GetStdHandle");
  const auto fileType = shim<Dword MS_ABI(void*)>("GetFileType");
  void* error = stdHandle(static_cast<Dword>(-12));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(error, reinterpret_cast<void*>(-1));
  EXPECT_NE(fileType(error), 0u);
  EXPECT_EQ(stdHandle(static_cast<Dword>(-13)), reinterpret_cast<void*>(-1));
  EXPECT_EQ(fileType(reinterpret_cast<void*>(0x42)), 0u);
  EXPECT_EQ(lastErrorAfterwards(), 6u);
}

TEST(Kernel32, TheMachineIsDescribedAsA64BitWindowsOne) {
  std::uint8_t info[48];
  shim<void MS_ABI(void*)>("GetSystemInfo")(info);
  EXPECT_EQ(info[0] | info[1] << 8, 9);  // PROCESSOR_ARCHITECTURE_AMD64
  EXPECT_EQ(fieldOf<std::uint32_t>(info, 4), 4096u);
  EXPECT_GE(fieldOf<std::uint32_t>(info, 32), 1u);
  EXPECT_EQ(fieldOf<std::uint32_t>(info, 40), 0x10000u);
  const auto feature = shim<Bool MS_ABI(Dword)>("IsProcessorFeaturePresent");
  EXPECT_EQ(feature(10), 1) << "SSE2, which every 64-bit x86 has";
  EXPECT_EQ(feature(23), 0) << "fast-fail, which cannot end a Linux process in order";
  EXPECT_EQ(shim<Bool MS_ABI()>("IsDebuggerPresent")(), 0);
}

// Captures the context of a call made from inside this function, and answers its stack
// pointer then.
__attribute__((noinline)) std::uintptr_t captureInHere(std::uint8_t* context) {
  std::uintptr_t stackPointer;
  asm volatile("mov %%rsp, %0" : "=r"(stackPointer));
  shim<void MS_ABI(void*)>("RtlCaptureContext")(context);
  return stackPointer;
}

// The C runtime's failure report: capture, look up unwind data (none), report, terminate.
TEST(Kernel32, TheFailurePathFindsTheCallerWithoutUnwindData) {
  alignas(16) std::uint8_t context[0x4D0];
  const std::uintptr_t stackPointer = captureInHere(context);
  const auto rip = fieldOf<std::uintptr_t>(context, 0xF8);
  const auto rsp = fieldOf<std::uintptr_t>(context, 0x98);
  EXPECT_LT(rip - reinterpret_cast<std::uintptr_t>(&captureInHere), 0x400u)
      << "an address inside the caller";
  EXPECT_LT(stackPointer - rsp + 0x100, 0x200u) << "the caller's stack pointer";
  std::uint64_t base = 1;
  EXPECT_EQ(shim<void * MS_ABI(std::uint64_t, std::uint64_t*, void*)>("RtlLookupFunctionEntry")(
                rip, &base, nullptr),
            nullptr);
  const auto filter = shim<void * MS_ABI(void*)>("SetUnhandledExceptionFilter");
  int first = 0;
  filter(&first);
  EXPECT_EQ(filter(nullptr), &first);
  EXPECT_EQ(shim<std::int32_t MS_ABI(void*)>("UnhandledExceptionFilter")(nullptr), 1);
}

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
        StopCase{
            "KERNEL32.dll!CreateEventW",
            [] { reinterpret_cast<void MS_ABI (*)()>(standInFor("KERNEL32.dll!CreateEventW"))(); }},
        StopCase{"api-ms-win-core-synch-l1-2-0.dll!#4",
                 [] {
                   reinterpret_cast<void MS_ABI (*)()>(
                       standInFor("api-ms-win-core-synch-l1-2-0.dll!#4"))();
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

TEST(Kernel32, ClocksCountForwardInTheirUnits) {
  const auto counter = shim<Bool MS_ABI(std::int64_t*)>("QueryPerformanceCounter");
  std::int64_t frequency = 0, first = 0, second = 0;
  EXPECT_EQ(shim<Bool MS_ABI(std::int64_t*)>("QueryPerformanceFrequency")(&frequency), 1);
  EXPECT_EQ(frequency, 1000000000);
  EXPECT_EQ(counter(&first), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(counter(&second), 1);
  EXPECT_GE(second - first, 2000000);
  EXPECT_EQ(counter(nullptr), 0);
  std::uint64_t fileTime = 0;
  shim<void MS_ABI(std::uint64_t*)>("GetSystemTimeAsFileTime")(&fileTime);
  const auto unixSeconds = static_cast<std::int64_t>(fileTime / 10000000 - 11644473600);
  EXPECT_LE(std::llabs(unixSeconds - std::time(nullptr)), 2);
}

}  // namespace
}  // namespace quarry
#endif
