// A Windows DLL beside the Linux program, loaded by Quarry's own loader: the libraries it
// must refuse, each with its line and the decoder's exit status, and never a crash; the ones
// Windows would take, and a library that stops while decoding.
#include <gtest/gtest.h>

#include "e2e/sandbox.h"

#if defined(QUARRY_WINDOWS_LOADER) && defined(QUARRY_BARE_DECODER)
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "container/layout.h"
#include "loader/kernel32-linux.h"
#include "loader/pe_format.h"
#include "support/decoder_log.h"
#include "support/pe_builder.h"

namespace quarry::testing {
namespace {

void putU16(Bytes& bytes, std::uint64_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The sound bare DLL with one field of its headers changed.
Bytes bareDllWith(std::uint64_t fieldFromNtHeaders, std::uint16_t value) {
  Bytes dll = readBytes(builtPath(QUARRY_BARE_DECODER));
  putU16(dll, readU32(dll.data() + pe::DOS_NEW_HEADER) + fieldFromNtHeaders, value);
  return dll;
}

// The DLL that imports functions Quarry does not provide, with its imports said to come from
// another module than KERNEL32: the same bytes, the module's name replaced in place.
Bytes importingFromMsvcrt() {
  Bytes dll = readBytes(builtPath(QUARRY_BARE_DECODER_EXTRA_IMPORT));
  const std::string from = "KERNEL32.dll";
  const auto at = std::search(dll.begin(), dll.end(), from.begin(), from.end());
  EXPECT_NE(at, dll.end());
  if (at != dll.end()) std::copy_n("msvcrt.dll\0\0", from.size(), at);
  return dll;
}

constexpr std::uint64_t MACHINE = pe::SIGNATURE_SIZE + pe::FILE_MACHINE;
constexpr std::uint64_t MAGIC = pe::SIGNATURE_SIZE + pe::FILE_HEADER_SIZE + pe::OPTIONAL_MAGIC;

struct RefusedLibrary {
  const char* name;
  Bytes (*library)();
  const char* reason;  // the second line holds it, after the library's path
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const RefusedLibrary& c, std::ostream* out) {
  *out << c.name;
}

class WindowsLibraryRefusal : public ::testing::TestWithParam<RefusedLibrary> {};

TEST_P(WindowsLibraryRefusal, SaysWhyAndEndsWithTheDecodersStatus) {
  Sandbox sandbox(false);
  writeBytes(sandbox.programFolder() / "oo2core_8_win64.dll", GetParam().library());
  sandbox.writeContainer({compressedEntry("a.txt", textBytes("never decoded"))});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER) << result.err;
  EXPECT_EQ(result.out, "");
  ASSERT_EQ(result.err.rfind(NO_DECODER_TEXT, 0), 0u) << result.err;
  const std::string rest = result.err.substr(sizeof NO_DECODER_TEXT - 1);
  EXPECT_NE(rest.find((sandbox.programFolder() / "oo2core_8_win64.dll").string()),
            std::string::npos)
      << rest;
  EXPECT_NE(rest.find(GetParam().reason), std::string::npos) << rest;
  EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 2) << rest;
  EXPECT_EQ(rest.substr(rest.size() - 2), "\n\n");
  EXPECT_FALSE(fs::exists(sandbox.output()));
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, WindowsLibraryRefusal,
    ::testing::Values(
        RefusedLibrary{"ThirtyTwoBitMachine", [] { return bareDllWith(MACHINE, pe::MACHINE_I386); },
                       " is a 32-bit Windows library; Quarry needs the 64-bit one\n"},
        RefusedLibrary{"ThirtyTwoBitHeader", [] { return bareDllWith(MAGIC, pe::MAGIC_PE32); },
                       " is a 32-bit Windows library; Quarry needs the 64-bit one\n"},
        RefusedLibrary{"Arm64", [] { return bareDllWith(MACHINE, pe::MACHINE_ARM64); },
                       " is a Windows library for ARM64; Quarry needs the one for 64-bit x86\n"},
        RefusedLibrary{"ImportsFromAnotherModule", importingFromMsvcrt,
                       " imports from msvcrt.dll ("},
        RefusedLibrary{"InitialisationFails",
                       [] { return readBytes(builtPath(QUARRY_BARE_DECODER_FAILING_INIT)); },
                       " failed to initialise: its DllMain answered FALSE\n"},
        RefusedLibrary{"WithoutTheExport",
                       [] { return readBytes(builtPath(QUARRY_BARE_DECODER_WITHOUT_EXPORT)); },
                       " has no entry point OodleLZ_Decompress\n"},
        RefusedLibrary{"TruncatedInItsSections",
                       [] {
                         Bytes dll = readBytes(builtPath(QUARRY_BARE_DECODER));
                         dll.resize(dll.size() / 2);
                         return dll;
                       },
                       " but it could not be loaded: the Windows library is damaged (section "},
        RefusedLibrary{"TruncatedInItsHeaders",
                       [] {
                         Bytes dll = readBytes(builtPath(QUARRY_BARE_DECODER));
                         dll.resize(100);
                         return dll;
                       },
                       " but it could not be loaded: the Windows library is damaged (e_lfanew "
                       "points outside the file)\n"},
        // Each stand-in is a function of its own, and there are only so many.
        RefusedLibrary{"MoreMissingFunctionsThanStandIns",
                       [] { return ordinalImportsImage(STAND_IN_COUNT + 1); },
                       " but it could not be loaded: it needs what Quarry's loader does not "
                       "offer: more than 256 KERNEL32 functions that Quarry does not provide\n"}),
    [](const ::testing::TestParamInfo<RefusedLibrary>& info) { return info.param.name; });

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<std::uint8_t>("quarry "[k % 7]);
  return bytes;
}

struct StopCase {
  const char* name;
  const char* library;  // built
  const char* crash;    // QUARRY_TEST_DECODER_CRASH, for the second entry
  DecoderFault fault;   // what the one line says stopped the library
};

void PrintTo(const StopCase& c, std::ostream* out) {
  *out << c.name;
}

class WindowsLibraryStop : public ::testing::TestWithParam<StopCase> {};

// The first entry is written, the second stops the run with its line, the third never starts.
TEST_P(WindowsLibraryStop, EndsTheRunAtTheEntryWithItsLine) {
  Sandbox sandbox(GetParam().library);
  sandbox.writeContainer({compressedEntry("a.txt", pattern(1000)),
                          compressedEntry("b.txt", pattern(2000)),
                          compressedEntry("c.txt", pattern(3000))});
  ProcessOptions options;
  options.environment = {{DECODER_CRASH_VARIABLE, GetParam().crash}};
  const ProcessResult result = sandbox.extract(options);
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER) << result.err;
  EXPECT_EQ(result.err.rfind(decoderStopLine(1, "b.txt", GetParam().fault), 0), 0u) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_EQ(treeOf(sandbox.output()), (std::map<std::string, Bytes>{{"a.txt", pattern(1000)}}));
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, WindowsLibraryStop,
    ::testing::Values(StopCase{"CallsAnImportNotProvided",
                               QUARRY_BARE_DECODER_EXTRA_IMPORT,
                               "import:2000",
                               {0, {}, "KERNEL32.dll!CreateEventW"}},
                      StopCase{
                          "Faults", QUARRY_BARE_DECODER, "segv:2000", {SIGSEGV, {0, true}, ""}}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// Imports it never calls are bound to stand-ins, as Windows binds them; it reads the shared
// user data page and allocates with a commit-only VirtualAlloc on every call.
TEST(WindowsLibrary, ImportsNeverCalledDoNotKeepALibraryFromDecoding) {
  Sandbox sandbox(QUARRY_BARE_DECODER_EXTRA_IMPORT);
  sandbox.writeContainer(
      {compressedEntry("a.txt", pattern(1000)), compressedEntry("b.txt", pattern(2000))});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(treeOf(sandbox.output()),
            (std::map<std::string, Bytes>{{"a.txt", pattern(1000)}, {"b.txt", pattern(2000)}}));
}

struct SpecialFile {
  const char* name;
  void (*make)(const fs::path& at);
  const char* reason;
};

void PrintTo(const SpecialFile& c, std::ostream* out) {
  *out << c.name;
}

class WindowsLibraryFile : public ::testing::TestWithParam<SpecialFile> {};

// Nothing waits on the file, and nothing of it is read that its kind or size already refuses.
TEST_P(WindowsLibraryFile, IsRefusedAtOnceWithItsLine) {
  Sandbox sandbox(false);
  const fs::path library = sandbox.programFolder() / "oo2core_8_win64.dll";
  GetParam().make(library);
  sandbox.writeContainer({compressedEntry("a.txt", pattern(100))});
  ProcessOptions options;
  options.timeoutSeconds = 10;
  const auto started = std::chrono::steady_clock::now();
  const ProcessResult result = sandbox.extract(options);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER) << result.err;
  EXPECT_NE(result.err.find("Found " + library.string() +
                            " but it could not be loaded: " + GetParam().reason + "\n"),
            std::string::npos)
      << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, WindowsLibraryFile,
    ::testing::Values(
        SpecialFile{"Fifo", [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); },
                    "it is not a regular file"},
        SpecialFile{"Directory", [](const fs::path& at) { fs::create_directory(at); },
                    "it is a directory"},
        SpecialFile{"SparseTwoGibibytes",
                    [](const fs::path& at) {
                      writeBytes(at, textBytes("MZ"));
                      fs::resize_file(at, std::uint64_t{2} << 30);
                    },
                    "it is 2147483648 bytes long, larger than any decoder library"}),
    [](const ::testing::TestParamInfo<SpecialFile>& info) { return std::string(info.param.name); });

// The most a refused library may cost the run in memory. A sanitizer's shadow memory and
// redzones take about as much again as the program itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t REFUSAL_MEMORY_KIB = 128 * 1024;
#else
constexpr std::uint64_t REFUSAL_MEMORY_KIB = 64 * 1024;
#endif

// 100,000 descriptors sharing one table of 200,000 functions declare 2 x 10^10 imports in
// 3.6 MB; each needs a slot of its own, so the count is refused once it passes what the image
// can hold, quickly and in little memory (the release build peaks under 30 MB).
TEST(WindowsLibrary, ImportsMultipliedBySharedTablesAreRefusedInBoundedTimeAndMemory) {
  Sandbox sandbox(false);
  writeBytes(sandbox.programFolder() / "oo2core_8_win64.dll",
             testing::importAmplifiedImage(100000, 200000));
  sandbox.writeContainer({compressedEntry("a.txt", pattern(100))});
  const auto started = std::chrono::steady_clock::now();
  const ProcessResult result = sandbox.extract();
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER) << result.err;
  EXPECT_NE(result.err.find("the import tables declare more functions than the image has room "
                            "for"),
            std::string::npos)
      << result.err;
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_GT(result.peakKiB, 0u);
  EXPECT_LT(result.peakKiB, REFUSAL_MEMORY_KIB) << "KiB at most";
}

}  // namespace
}  // namespace quarry::testing
#endif

#ifdef _WIN32
namespace quarry::testing {
namespace {

// Windows looks for a library in the current folder and on PATH too; Quarry never takes one
// from there, so a library planted beside the container or on PATH is never run.
TEST(WindowsLibrary, OnlyTheProgramsOwnFolderIsSearched) {
  Sandbox sandbox(false);
  const fs::path planted = sandbox.root() / "planted";
  fs::create_directories(planted);
  fs::copy_file(builtPath(QUARRY_TEST_DECODER), planted / "oo2core_8_win64.dll");
  sandbox.writeContainer({compressedEntry("a.txt", textBytes("never decoded"))});
  ProcessOptions options;
  options.workingDirectory = planted.string();
  options.environment = {{"PATH", planted.string()}};
  const ProcessResult result = sandbox.extract(options);
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER) << result.err;
  EXPECT_EQ(result.err, std::string(NO_DECODER_TEXT) + "\n");
  EXPECT_FALSE(fs::exists(sandbox.output()));
}

}  // namespace
}  // namespace quarry::testing
#endif
