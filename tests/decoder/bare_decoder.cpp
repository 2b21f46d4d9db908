// The test decoder as a bare Windows DLL, the shape of the game's library: built by mingw-w64
// without any C runtime, with an entry point and a TLS callback of its own, absolute pointers
// in its data, and imports from KERNEL32 only (those that Quarry's loader offers). It decodes
// the tests' own codec behind the closed library's entry point, and refuses to unless
// everything a Windows loader owes it is in place: its initialisation ran, its TLS block
// exists, gs points at a thread environment block whose stack bounds hold the stack, and the
// call came with the ten trailing arguments zero. Like code built by Microsoft's tools it reads
// the version from the shared user data page and takes its scratch memory with a commit-only
// VirtualAlloc. It honours QUARRY_TEST_DECODER_SKEW as the logging test decoder does, and
// QUARRY_TEST_DECODER_CRASH's "segv" and "import"; it cannot write a log, since it may not
// import a file function.
//
// Variants for the loader, chosen when it is built:
//   QUARRY_BARE_DLLMAIN_FAILS   DllMain answers FALSE
//   QUARRY_BARE_EXTRA_IMPORT    it also imports functions outside Quarry's table (CreateEventW
//                               among them) and one that fails as Windows fails it
//                               (CreateFileW); it calls CreateEventW only when asked to crash
//                               with "import", and CreateFileW on every call
//   QUARRY_BARE_EXPORT_NAME     the name it exports its decoder under
#include <windows.h>

#include <cstdint>
#include <optional>

#include "support/decoder_log.h"
#include "support/test_codec.h"

#ifndef QUARRY_BARE_EXPORT_NAME
#define QUARRY_BARE_EXPORT_NAME OodleLZ_Decompress
#endif

// Without a C runtime the compiler's own calls to these land here.
extern "C" {
void* memcpy(void* to, const void* from, std::size_t count) {
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  for (std::size_t k = 0; k < count; ++k) out[k] = in[k];
  return to;
}

void* memmove(void* to, const void* from, std::size_t count) {
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  if (out < in) return memcpy(to, from, count);
  for (std::size_t k = count; k > 0; --k) out[k - 1] = in[k - 1];
  return to;
}

void* memset(void* to, int value, std::size_t count) {
  auto* out = static_cast<unsigned char*>(to);
  for (std::size_t k = 0; k < count; ++k) out[k] = static_cast<unsigned char>(value);
  return to;
}

int memcmp(const void* a, const void* b, std::size_t count) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  for (std::size_t k = 0; k < count; ++k) {
    if (x[k] != y[k]) return x[k] < y[k] ? -1 : 1;
  }
  return 0;
}

std::size_t strlen(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

extern IMAGE_DOS_HEADER __ImageBase;  // the linker's: where this image starts
}

namespace {

constexpr std::uint64_t TLS_MARK = 0x5155415252590001;  // "QUARRY", then 1
constexpr std::size_t SKEW_TEXT_ROOM = 32;

struct State {
  CRITICAL_SECTION lock;
  DWORD slot;
  bool initialised;
};

State* state = nullptr;
bool tlsCallbackSawItsBlock = false;

struct Call {
  const std::uint8_t* compressed;
  std::int64_t compressedSize;
  std::uint8_t* output;
  std::int64_t expectedSize;
  bool trailingZero;
  std::int64_t skew;
  quarry::testing::CrashRequest crash;
};

// KUSER_SHARED_DATA, where every Windows process has it: NtMajorVersion.
constexpr std::uintptr_t SHARED_MAJOR_VERSION = 0x7FFE026C;
constexpr std::size_t SCRATCH_SIZE = 64 * 1024;

}  // namespace

// The module's TLS template, its index and its callbacks, laid out as a Windows linker does
// for the loader to find through the TLS directory.
extern "C" {
__attribute__((section(".tls$A"))) std::uint64_t tlsTemplateStart = TLS_MARK;
__attribute__((section(".tls$Z"))) std::uint8_t tlsTemplateEnd = 0;
ULONG tlsIndex = 0xFFFFFFFF;
void NTAPI tlsCallback(PVOID module, DWORD reason, PVOID);
PIMAGE_TLS_CALLBACK tlsCallbacks[] = {tlsCallback, nullptr};

struct TlsDirectory {
  void* templateStart;
  void* templateEnd;
  ULONG* index;
  PIMAGE_TLS_CALLBACK* callbacks;
  DWORD zeroFill;
  DWORD characteristics;
};
extern const TlsDirectory _tls_used = {
    &tlsTemplateStart, &tlsTemplateEnd, &tlsIndex, tlsCallbacks, 0, 0};
}

namespace {

template <unsigned offset>
void* threadEnvironmentField() {
  void* value;
  asm volatile("mov %%gs:%c1, %0" : "=r"(value) : "i"(offset));
  return value;
}

// This thread's copy of the template's first 8 bytes, through ThreadLocalStoragePointer.
std::uint64_t threadLocalMark() {
  auto** blocks = static_cast<std::uint8_t**>(threadEnvironmentField<0x58>());
  if (blocks == nullptr || tlsIndex == 0xFFFFFFFF || blocks[tlsIndex] == nullptr) return 0;
  std::uint64_t mark;
  memcpy(&mark, blocks[tlsIndex], sizeof mark);
  return mark;
}

}  // namespace

extern "C" void NTAPI tlsCallback(PVOID module, DWORD reason, PVOID) {
  if (reason != DLL_PROCESS_ATTACH) return;
  tlsCallbackSawItsBlock = module == &__ImageBase && threadLocalMark() == TLS_MARK;
}

namespace {

bool allZero(const void* bytes, std::size_t size) {
  const auto* at = static_cast<const unsigned char*>(bytes);
  for (std::size_t k = 0; k < size; ++k) {
    if (at[k] != 0) return false;
  }
  return true;
}

bool initialisationRan(Call&) {
  return state != nullptr && state->initialised && tlsCallbackSawItsBlock &&
         threadLocalMark() == TLS_MARK && TlsGetValue(state->slot) == state &&
         HeapSize(GetProcessHeap(), 0, state) == sizeof(State);
}

// gs points at the TEB (its Self field names the block that gs reads), and the stack lies
// within the bounds that stack probes trust.
bool threadEnvironmentSound(Call&) {
  auto* self = static_cast<std::uint8_t*>(threadEnvironmentField<0x30>());
  auto* stackBase = static_cast<std::uint8_t*>(threadEnvironmentField<0x08>());
  auto* stackLimit = static_cast<std::uint8_t*>(threadEnvironmentField<0x10>());
  std::uint8_t* stackPointer;
  asm volatile("mov %%rsp, %0" : "=r"(stackPointer));
  void* selfThroughMemory = nullptr;
  if (self != nullptr) memcpy(&selfThroughMemory, self + 0x30, sizeof selfThroughMemory);
  return self != nullptr && selfThroughMemory == self && stackLimit < stackPointer &&
         stackPointer < stackBase;
}

bool trailingArgumentsZero(Call& call) {
  return call.trailingZero;
}

bool sizesAndPointersSound(Call& call) {
  return call.compressedSize >= 0 && call.expectedSize >= 0 &&
         (call.compressed != nullptr || call.compressedSize == 0) &&
         (call.output != nullptr || call.expectedSize == 0);
}

std::size_t wideLength(const WCHAR* text) {
  std::size_t length = 0;
  while (text[length] != L'\0') ++length;
  return length;
}

// The value of the "name=value" entry, or null when the entry is another variable's.
const WCHAR* valueOf(const WCHAR* entry, const char* name) {
  for (; *name != '\0'; ++entry, ++name) {
    if (*entry != static_cast<WCHAR>(*name)) return nullptr;
  }
  return *entry == L'=' ? entry + 1 : nullptr;
}

// The variable's value from the process's environment block, as ASCII in text (null when the
// variable is not set); false when it is too long or not ASCII.
bool environmentValue(const WCHAR* block, const char* name, char* text, const char*& value) {
  value = nullptr;
  for (const WCHAR* entry = block; *entry != L'\0'; entry += wideLength(entry) + 1) {
    const WCHAR* wide = valueOf(entry, name);
    if (wide == nullptr) continue;
    std::size_t k = 0;
    for (; wide[k] != L'\0'; ++k) {
      if (wide[k] > 0x7F || k + 1 == SKEW_TEXT_ROOM) return false;
      text[k] = static_cast<char>(wide[k]);
    }
    text[k] = '\0';
    value = text;
  }
  return true;
}

bool controlsReadable(Call& call) {
  HANDLE heap = GetProcessHeap();
  auto* text = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 2 * SKEW_TEXT_ROOM));
  WCHAR* block = GetEnvironmentStringsW();
  const char* value = nullptr;
  const char* crash = nullptr;
  const bool read = text != nullptr && allZero(text, 2 * SKEW_TEXT_ROOM) && block != nullptr &&
                    environmentValue(block, quarry::testing::DECODER_SKEW_VARIABLE, text, value) &&
                    environmentValue(block, quarry::testing::DECODER_CRASH_VARIABLE,
                                     text + SKEW_TEXT_ROOM, crash);
  const std::optional<std::int64_t> skew =
      read ? quarry::testing::parseDecoderSkew(value) : std::nullopt;
  call.crash = read ? quarry::testing::parseDecoderCrash(crash) : quarry::testing::CrashRequest{};
  if (block != nullptr) FreeEnvironmentStringsW(block);
  if (text != nullptr) HeapFree(heap, 0, text);
  call.skew = skew.value_or(0);
  return skew.has_value();
}

// Any Windows this runs on is NT 6 or later (Wine, by default, plays Windows 7).
bool sharedDataReadable(Call&) {
  return *reinterpret_cast<const volatile ULONG*>(SHARED_MAJOR_VERSION) >= 6;
}

using Check = bool (*)(Call&);

}  // namespace

// Absolute addresses in writable data: wrong until the loader relocates them.
extern "C" Check decodeChecks[];
Check decodeChecks[] = {initialisationRan,
                        threadEnvironmentSound,
                        trailingArgumentsZero,
                        sizesAndPointersSound,
                        controlsReadable,
                        sharedDataReadable,
                        nullptr};

namespace {

std::int64_t addSaturating(std::int64_t value, std::int64_t skew) {
  std::int64_t sum;
  if (!__builtin_add_overflow(value, skew, &sum)) return sum;
  return skew < 0 ? INT64_MIN : INT64_MAX;
}

// The crash asked for by the controls, if this call is the one.
void crashIfAsked(const Call& call) {
  using quarry::testing::DecoderCrash;
  if (call.crash.expectedSize != call.expectedSize) return;
  if (call.crash.how == DecoderCrash::segv) {
    volatile std::uintptr_t nowhere = 8;
    *reinterpret_cast<volatile int*>(nowhere) = 1;
  }
#ifdef QUARRY_BARE_EXTRA_IMPORT
  if (call.crash.how == DecoderCrash::import) {
    CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
#endif
}

std::int64_t decodeUnderLock(const Call& call) {
  // Scratch memory reserved and committed in one step, as Windows allows.
  auto* scratch =
      static_cast<std::uint8_t*>(VirtualAlloc(nullptr, SCRATCH_SIZE, MEM_COMMIT, PAGE_READWRITE));
  if (scratch == nullptr) return -1;
  scratch[SCRATCH_SIZE - 1] = 1;
  EnterCriticalSection(&state->lock);
  LARGE_INTEGER before, after;
  QueryPerformanceCounter(&before);
  const std::uint64_t produced = quarry::testing::decodeTestCodec(
      call.compressed, static_cast<std::uint64_t>(call.compressedSize), call.output,
      static_cast<std::uint64_t>(call.expectedSize));
  QueryPerformanceCounter(&after);
  LeaveCriticalSection(&state->lock);
  if (!VirtualFree(scratch, 0, MEM_RELEASE) || after.QuadPart < before.QuadPart) return -1;
  return addSaturating(static_cast<std::int64_t>(produced), call.skew);
}

}  // namespace

extern "C" __declspec(dllexport) std::int64_t
    QUARRY_BARE_EXPORT_NAME(const std::uint8_t* compressed, std::int64_t compressedSize,
                            std::uint8_t* output, std::int64_t expectedSize, std::int32_t a5,
                            std::int32_t a6, std::int32_t a7, std::int64_t a8, std::int64_t a9,
                            std::int64_t a10, std::int64_t a11, std::int64_t a12, std::int64_t a13,
                            std::int32_t a14) {
  Call call{compressed,
            compressedSize,
            output,
            expectedSize,
            (a5 | a6 | a7 | a8 | a9 | a10 | a11 | a12 | a13 | a14) == 0,
            0,
            {}};
  for (Check* check = decodeChecks; *check != nullptr; ++check) {
    if (!(*check)(call)) return -1;
  }
  crashIfAsked(call);
#ifdef QUARRY_BARE_EXTRA_IMPORT
  // A decoder has no business opening files; Windows' answer for one it may not open is kept.
  if (CreateFileW(L"C:\\never.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) !=
      INVALID_HANDLE_VALUE) {
    return -1;
  }
#endif
  return decodeUnderLock(call);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  if (module != reinterpret_cast<HINSTANCE>(&__ImageBase)) return FALSE;
  HANDLE heap = GetProcessHeap();
  state = static_cast<State*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(State)));
  if (state == nullptr || HeapSize(heap, 0, state) != sizeof(State) ||
      !allZero(state, sizeof(State))) {
    return FALSE;
  }
  state->slot = TlsAlloc();
  if (state->slot == TLS_OUT_OF_INDEXES || !TlsSetValue(state->slot, state) ||
      !InitializeCriticalSectionAndSpinCount(&state->lock, 4000)) {
    return FALSE;
  }
  state->initialised = true;
#ifdef QUARRY_BARE_EXTRA_IMPORT
  // Imported, as a C runtime's start-up imports them, and never called on the way to decoding.
  volatile bool never = false;
  if (never) {
    FlsAlloc(nullptr);
    FindFirstFileExW(L"*", FindExInfoBasic, nullptr, FindExSearchNameMatch, nullptr, 0);
    CreateEventW(nullptr, FALSE, FALSE, nullptr);
    GetStringTypeW(CT_CTYPE1, L"a", 1, nullptr);
  }
#endif
#ifdef QUARRY_BARE_DLLMAIN_FAILS
  return FALSE;
#else
  return TRUE;
#endif
}
