// Time, the machine, the process and its failures, for a Windows library that Quarry loaded.
// Windows' structured exceptions have no Linux counterpart: a library that raises one, unwinds
// or asks to end the process stops the call in progress, and the run says so.
#include <cpuid.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/guarded_call.h"
#include "loader/kernel32-linux.h"
#include "loader/kernel32_parts-linux.h"
#include "loader/pe_format.h"

namespace quarry::kernel32 {
namespace {

constexpr std::int64_t COUNTER_FREQUENCY = 1000000000;  // the counter counts nanoseconds

// SYSTEM_INFO as Windows lays it out for x64.
struct SystemInfo {
  std::uint16_t architecture;
  std::uint16_t reserved;
  std::uint32_t pageSize;
  std::uint64_t lowestAddress;
  std::uint64_t highestAddress;
  std::uint64_t processorMask;
  std::uint32_t processorCount;
  std::uint32_t processorType;
  std::uint32_t allocationGranularity;
  std::uint16_t processorLevel;
  std::uint16_t processorRevision;
};
static_assert(sizeof(SystemInfo) == 48);
constexpr std::uint16_t PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr std::uint32_t PROCESSOR_AMD_X8664 = 8664;

// CONTEXT (x64): only the control registers are captured.
constexpr std::size_t CONTEXT_SIZE = 0x4D0;
constexpr std::size_t CONTEXT_FLAGS = 0x30;
constexpr std::size_t CONTEXT_RSP = 0x98;
constexpr std::size_t CONTEXT_RIP = 0xF8;
constexpr Dword CONTEXT_CONTROL = 0x00100001;

const Handle CURRENT_PROCESS = reinterpret_cast<Handle>(-1);
constexpr std::int32_t EXCEPTION_EXECUTE_HANDLER = 1;

std::uint64_t nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

QUARRY_WINAPI void GetSystemTimeAsFileTime(void* fileTime) {
  if (fileTime == nullptr) return;
  putField(fileTime, 0, windows::fileTimeNow());
}

QUARRY_WINAPI Bool QueryPerformanceCounter(std::int64_t* count) {
  if (count == nullptr) return failWith(ERROR_NOACCESS, BOOL_FALSE);
  *count = static_cast<std::int64_t>(nanoseconds(CLOCK_MONOTONIC));
  return BOOL_TRUE;
}

QUARRY_WINAPI Bool QueryPerformanceFrequency(std::int64_t* frequency) {
  if (frequency == nullptr) return failWith(ERROR_NOACCESS, BOOL_FALSE);
  *frequency = COUNTER_FREQUENCY;
  return BOOL_TRUE;
}

QUARRY_WINAPI void GetSystemInfo(void* info) {
  if (info == nullptr) return;
  const long processors = std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L);
  SystemInfo system{};
  system.architecture = PROCESSOR_ARCHITECTURE_AMD64;
  system.pageSize = pe::PAGE_SIZE;
  system.lowestAddress = 0x10000;
  system.highestAddress = 0x7FFFFFFEFFFF;
  system.processorMask =
      processors >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << processors) - 1;
  system.processorCount = static_cast<std::uint32_t>(processors);
  system.processorType = PROCESSOR_AMD_X8664;
  system.allocationGranularity = 0x10000;
  system.processorLevel = 6;
  std::memcpy(info, &system, sizeof system);
}

bool cpuidBit(unsigned leaf, unsigned Register, unsigned bit) {
  unsigned registers[4] = {};
  if (!__get_cpuid_count(leaf, 0, &registers[0], &registers[1], &registers[2], &registers[3])) {
    return false;
  }
  return (registers[Register] >> bit & 1) != 0;
}

constexpr unsigned ECX = 2;

// Features looked up on this processor, by Windows' PF_* number.
struct ProcessorFeature {
  Dword number;
  bool (*present)();
};
constexpr ProcessorFeature LOOKED_UP[] = {
    {13, [] { return __builtin_cpu_supports("sse3") != 0; }},     // PF_SSE3_...
    {14, [] { return cpuidBit(1, ECX, 13); }},                    // PF_COMPARE_EXCHANGE128
    {17, [] { return cpuidBit(1, ECX, 27); }},                    // PF_XSAVE_ENABLED
    {36, [] { return __builtin_cpu_supports("ssse3") != 0; }},    // PF_SSSE3_...
    {37, [] { return __builtin_cpu_supports("sse4.1") != 0; }},   // PF_SSE4_1_...
    {38, [] { return __builtin_cpu_supports("sse4.2") != 0; }},   // PF_SSE4_2_...
    {39, [] { return __builtin_cpu_supports("avx") != 0; }},      // PF_AVX_...
    {40, [] { return __builtin_cpu_supports("avx2") != 0; }},     // PF_AVX2_...
    {41, [] { return __builtin_cpu_supports("avx512f") != 0; }},  // PF_AVX512F_...
};

// Features that every 64-bit x86 has are present; fast-fail is not, because its interrupt
// does not end a Linux process in order: the C runtime falls back to TerminateProcess.
// Writing the gs base is not, because gs holds the TEB.
bool featurePresent(Dword feature) {
  switch (feature) {
    case 2:   // PF_COMPARE_EXCHANGE_DOUBLE
    case 3:   // PF_MMX_INSTRUCTIONS_AVAILABLE
    case 6:   // PF_XMMI_INSTRUCTIONS_AVAILABLE
    case 8:   // PF_RDTSC_INSTRUCTION_AVAILABLE
    case 9:   // PF_PAE_ENABLED
    case 10:  // PF_XMMI64_INSTRUCTIONS_AVAILABLE
    case 12:  // PF_NX_ENABLED
      return true;
    default:
      break;
  }
  for (const ProcessorFeature& known : LOOKED_UP) {
    if (known.number == feature) return known.present();
  }
  return false;
}

QUARRY_WINAPI Bool IsProcessorFeaturePresent(Dword feature) {
  return featurePresent(feature) ? BOOL_TRUE : BOOL_FALSE;
}

// A Linux debugger is not one that Windows code could talk to; the PEB says the same.
QUARRY_WINAPI Bool IsDebuggerPresent() {
  return BOOL_FALSE;
}

QUARRY_WINAPI Handle GetCurrentProcess() {
  return CURRENT_PROCESS;
}

// The library asks to end the process: the call in progress stops, and the run with it.
QUARRY_WINAPI Bool TerminateProcess(Handle process, unsigned) {
  if (process != CURRENT_PROCESS) return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
  leaveGuardedCall("TerminateProcess");
}

QUARRY_WINAPI void ExitProcess(unsigned) {
  leaveGuardedCall("ExitProcess");
}

// No handler of the library's could be found for it here: the exception ends the call.
QUARRY_WINAPI void RaiseException(Dword, Dword, Dword, const void*) {
  leaveGuardedCall("RaiseException");
}

QUARRY_WINAPI void RtlUnwindEx(void*, void*, void*, void*, void*, void*) {
  leaveGuardedCall("RtlUnwindEx");
}

// Without a debugger Windows drops the text.
QUARRY_WINAPI void OutputDebugStringA(const char*) {}

// The caller's instruction and stack pointers: enough for the C runtime's failure report,
// which looks up no unwind data here and so reads its return address from the stack.
QUARRY_WINAPI void RtlCaptureContext(void* context) {
  if (context == nullptr) return;
  std::memset(context, 0, CONTEXT_SIZE);
  putField(context, CONTEXT_FLAGS, CONTEXT_CONTROL);
  putField(context, CONTEXT_RIP, __builtin_return_address(0));
  putField(context, CONTEXT_RSP, static_cast<std::uint8_t*>(__builtin_frame_address(0)) + 16);
}

// Unwinding through the library's frames is not offered: a library that walks its stack
// stops, rather than walking a frame that never moves.
QUARRY_WINAPI void* RtlVirtualUnwind(Dword, std::uint64_t, std::uint64_t, void*, void*, void**,
                                     std::uint64_t*, void*) {
  leaveGuardedCall("RtlVirtualUnwind");
}

QUARRY_WINAPI Dword GetTickCount() {
  return static_cast<Dword>(nanoseconds(CLOCK_MONOTONIC) / 1000000);
}

QUARRY_WINAPI std::uint64_t GetTickCount64() {
  return nanoseconds(CLOCK_MONOTONIC) / 1000000;
}

// TIME_ZONE_INFORMATION (172 bytes): the bias in minutes west of UTC, without names or dates
// of a change, which Linux keeps as rules the C library does not hand out.
constexpr std::size_t TIME_ZONE_SIZE = 172;
constexpr Dword TIME_ZONE_ID_UNKNOWN = 0;
constexpr Dword TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

QUARRY_WINAPI Dword GetTimeZoneInformation(void* zone) {
  if (zone == nullptr) return failWith(ERROR_INVALID_PARAMETER, TIME_ZONE_ID_INVALID);
  std::memset(zone, 0, TIME_ZONE_SIZE);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return TIME_ZONE_ID_UNKNOWN;
  const long westOfUtc = -local.tm_gmtoff / 60 + (local.tm_isdst > 0 ? 60 : 0);
  putField(zone, 0, static_cast<std::int32_t>(westOfUtc));
  return TIME_ZONE_ID_UNKNOWN;
}

const Handle CURRENT_THREAD = reinterpret_cast<Handle>(-2);

QUARRY_WINAPI Handle GetCurrentThread() {
  return CURRENT_THREAD;
}

void* topLevelFilter = nullptr;

// Kept and handed back, as Windows does; no Linux fault ever reaches it.
QUARRY_WINAPI void* SetUnhandledExceptionFilter(void* filter) {
  void* previous = topLevelFilter;
  topLevelFilter = filter;
  return previous;
}

// With no debugger attached Windows ends the process: the caller is told to.
QUARRY_WINAPI std::int32_t UnhandledExceptionFilter(void*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(GetSystemTimeAsFileTime),
    QUARRY_KERNEL32_FUNCTION(QueryPerformanceCounter),
    QUARRY_KERNEL32_FUNCTION(QueryPerformanceFrequency),
    QUARRY_KERNEL32_FUNCTION(GetSystemInfo),
    QUARRY_KERNEL32_FUNCTION(IsProcessorFeaturePresent),
    QUARRY_KERNEL32_FUNCTION(IsDebuggerPresent),
    QUARRY_KERNEL32_FUNCTION(GetCurrentProcess),
    QUARRY_KERNEL32_FUNCTION(TerminateProcess),
    QUARRY_KERNEL32_FUNCTION(ExitProcess),
    QUARRY_KERNEL32_FUNCTION(RaiseException),
    QUARRY_KERNEL32_FUNCTION(RtlUnwindEx),
    QUARRY_KERNEL32_FUNCTION(GetTickCount),
    QUARRY_KERNEL32_FUNCTION(GetTickCount64),
    QUARRY_KERNEL32_FUNCTION(GetTimeZoneInformation),
    QUARRY_KERNEL32_FUNCTION(GetCurrentThread),
    QUARRY_KERNEL32_FUNCTION(OutputDebugStringA),
    QUARRY_KERNEL32_FUNCTION(RtlCaptureContext),
    QUARRY_KERNEL32_FUNCTION(RtlVirtualUnwind),
    QUARRY_KERNEL32_FUNCTION(SetUnhandledExceptionFilter),
    QUARRY_KERNEL32_FUNCTION(UnhandledExceptionFilter),
};

}  // namespace

std::span<const Function> systemFunctions() {
  return FUNCTIONS;
}

}  // namespace quarry::kernel32

bool quarry::processorFeaturePresent(std::uint32_t feature) {
  return kernel32::featurePresent(feature);
}
