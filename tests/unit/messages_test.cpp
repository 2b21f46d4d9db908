#include "app/messages.h"

#include <gtest/gtest.h>

#include <csignal>

namespace quarry {
namespace {

struct LineCase {
  const char* name;
  DecoderProblem problem;
  const char* detail;
  const char* line;
  void (*more)(DecoderBinding&) = nullptr;  // what else the binding says
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
  if (GetParam().more != nullptr) GetParam().more(binding);
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
        LineCase{"Directory", P::notAFile, "directory",
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it is a directory"},
        LineCase{"Fifo", P::notAFile, "",
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it is not a "
                 "regular file"},
        LineCase{"TooLarge", P::tooLarge, "",
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it is 2147483648 "
                 "bytes long, larger than any decoder library",
                 [](DecoderBinding& b) { b.size = std::uint64_t{1} << 31; }},
        LineCase{"OneForeignModule", P::foreignImports, "",
                 "/opt/q/oo2core_8_win64.dll imports from msvcrt.dll (1 function), which Quarry "
                 "does not provide",
                 [](DecoderBinding& b) {
                   b.modules = {{"msvcrt.dll", 1}};
                 }},
        LineCase{
            "ForeignModulesEscaped", P::foreignImports, "",
            "/opt/q/oo2core_8_win64.dll imports from msvcrt.dll (12 functions), "
            "USER\\x1B[2J.dll (2 functions) and VCRUNTIME140.dll (3 functions), which Quarry "
            "does not provide",
            [](DecoderBinding& b) {
              b.modules = {{"msvcrt.dll", 12}, {"USER\x1B[2J.dll", 2}, {"VCRUNTIME140.dll", 3}};
            }},
#ifndef _WIN32
        LineCase{"InitialisationCrashed", P::initialisationStopped, "",
                 "/opt/q/oo2core_8_win64.dll failed to initialise: it crashed (SIGSEGV at "
                 "oo2core_8_win64.dll+0x1a2b3)",
                 [](DecoderBinding& b) {
                   b.fault = {SIGSEGV, "oo2core_8_win64.dll+0x1a2b3", ""};
                 }},
#endif
        LineCase{"InitialisationCalledAStandIn", P::initialisationStopped, "",
                 "/opt/q/oo2core_8_win64.dll failed to initialise: it called "
                 "KERNEL32.dll!CreateFileW, which Quarry does not provide",
                 [](DecoderBinding& b) {
                   b.fault = {0, "", "KERNEL32.dll!CreateFileW"};
                 }},
        LineCase{"InitialisationFailed", P::initialisationFailed, "",
                 "/opt/q/oo2core_8_win64.dll failed to initialise: its DllMain answered FALSE"},
        LineCase{"NotRunnableHere", P::notRunnableHere, "",
                 "/opt/q/oo2core_8_win64.dll is a Windows library, and Quarry runs one only on "
                 "64-bit x86 Linux, not on this machine"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

#ifndef _WIN32
struct StopCase {
  const char* name;
  int signal;
  const char* detail;
  const char* line;
};

void PrintTo(const StopCase& c, std::ostream* out) {
  *out << c.name;
}

class DecoderStopLine : public ::testing::TestWithParam<StopCase> {};

TEST_P(DecoderStopLine, NamesTheEntryAndWhatStoppedTheLibrary) {
  EntryFailure failure(EntryProblem::DecoderFault, GetParam().signal);
  failure.detail = GetParam().detail;
  EXPECT_EQ(entryFailureLine(3, "x.bin", failure), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, DecoderStopLine,
    ::testing::Values(
        StopCase{"CrashInsideTheLibrary", SIGSEGV, "oo2core_8_win64.dll+0x1a2b3",
                 "File #3 \"x.bin\" stops the run: the decoder library crashed (SIGSEGV at "
                 "oo2core_8_win64.dll+0x1a2b3)"},
        StopCase{"AbortOutsideIt", SIGABRT, "0x7f1200001234",
                 "File #3 \"x.bin\" stops the run: the decoder library crashed (SIGABRT at "
                 "0x7f1200001234)"},
        StopCase{
            "OtherSignal", SIGUSR1, "0x10",
            "File #3 \"x.bin\" stops the run: the decoder library crashed (signal 10 at 0x10)"},
        StopCase{"ImportNotProvided", 0, "KERNEL32.dll!CreateFileW",
                 "File #3 \"x.bin\" stops the run: the decoder library called "
                 "KERNEL32.dll!CreateFileW, which Quarry does not provide"},
        StopCase{"EndOfProcess", 0, "ExitProcess",
                 "File #3 \"x.bin\" stops the run: the decoder library called ExitProcess"},
        StopCase{"ImportNameEscaped", 0, "KERNEL32.dll!\x1B[2J",
                 "File #3 \"x.bin\" stops the run: the decoder library called "
                 "KERNEL32.dll!\\x1B[2J, which Quarry does not provide"}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });
#endif

}  // namespace
}  // namespace quarry
