#include "app/messages.h"

#include <gtest/gtest.h>

namespace quarry {
namespace {

struct LineCase {
  const char* name;
  DecoderProblem problem;
  const char* detail;
  const char* line;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const LineCase& c, std::ostream* out) {
  *out << c.name;
}

class DecoderProblemLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(DecoderProblemLine, SaysWhatIsWrongWithTheLibrary) {
  DecoderBinding binding;
  binding.problem = GetParam().problem;
  binding.file = "/opt/q/oo2core_8_win64.dll";
  binding.detail = GetParam().detail;
  EXPECT_EQ(decoderProblemLine(binding), GetParam().line);
}

using P = DecoderProblem;

// The first three sentences are older than the loader, and tests and users know them.
INSTANTIATE_TEST_SUITE_P(
    Problems, DecoderProblemLine,
    ::testing::Values(
        LineCase{"Missing", P::missing, "", ""},
        LineCase{"NotLoadable", P::notLoadable, "invalid ELF header",
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: invalid ELF header"},
        LineCase{"NoEntryPoint", P::noEntryPoint, "",
                 "The library /opt/q/oo2core_8_win64.dll has no entry point OodleLZ_Decompress"},
        LineCase{"ThirtyTwoBit", P::wrongMachine, "32-bit",
                 "/opt/q/oo2core_8_win64.dll is a 32-bit Windows library; Quarry needs the "
                 "64-bit one"},
        LineCase{"Arm64", P::wrongMachine, "ARM64",
                 "/opt/q/oo2core_8_win64.dll is a Windows library for ARM64; Quarry needs the "
                 "one for 64-bit x86"},
        LineCase{"Damaged", P::damagedImage, "the PE signature is missing",
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: the Windows "
                 "library is damaged (the PE signature is missing)"},
        LineCase{"Unsupported", P::unsupportedImage, "relocations of type 3",
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it needs what "
                 "Quarry's loader does not offer: relocations of type 3"},
        LineCase{"MissingImportEscaped", P::missingImport, "KERNEL32.dll!Evil\x1B[2J",
                 "/opt/q/oo2core_8_win64.dll imports KERNEL32.dll!Evil\\x1B[2J, which Quarry "
                 "does not provide"},
        LineCase{"InitialisationFailed", P::initialisationFailed, "",
                 "/opt/q/oo2core_8_win64.dll failed to initialise: its DllMain answered FALSE"},
        LineCase{"NotRunnableHere", P::notRunnableHere, "",
                 "/opt/q/oo2core_8_win64.dll is a Windows library, and Quarry runs one only on "
                 "64-bit x86 Linux, not on this machine"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quarry
