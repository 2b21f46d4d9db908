// A Windows DLL beside the Linux program, loaded by Quarry's own loader: the libraries it
// must refuse, each with its line and the decoder's exit status, and never a crash.
#include <gtest/gtest.h>

#include "e2e/sandbox.h"

#if defined(QUARRY_WINDOWS_LOADER) && defined(QUARRY_BARE_DECODER)
#include "container/layout.h"
#include "loader/pe_format.h"

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
        RefusedLibrary{"ImportNotProvided",
                       [] { return readBytes(builtPath(QUARRY_BARE_DECODER_EXTRA_IMPORT)); },
                       " imports KERNEL32.dll!CreateFileW, which Quarry does not provide\n"},
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
                       "points outside the file)\n"}),
    [](const ::testing::TestParamInfo<RefusedLibrary>& info) { return info.param.name; });

}  // namespace
}  // namespace quarry::testing
#endif
