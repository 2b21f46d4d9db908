// The KERNEL32 functions that Quarry offers a Windows library, called as a library calls them:
// through the table, with Microsoft's calling convention.
#include "loader/kernel32-linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "loader/thread_environment-linux.h"
#include "unit/kernel32_calls.h"

namespace quarry {
namespace {

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
                               "SetEnvironmentVariableW",
                               "HeapCreate",
                               "HeapDestroy",
                               "GetStringTypeW",
                               "LCMapStringW",
                               "LCMapStringEx",
                               "CompareStringW",
                               "CompareStringEx",
                               "SetStdHandle",
                               "VirtualQuery"};
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
  ASSERT_TRUE(installThreadEnvironment({}).ok());
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
