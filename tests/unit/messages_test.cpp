#include "app/messages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <string>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

#include "base/os_error.h"

namespace quarry {
namespace {

struct LineCase {
  const char* name;
  LoadProblem problem;
  ImageCheck check;  // the loader's check, where one refused the library
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
  binding.refusal.check = GetParam().check;
  if (GetParam().more != nullptr) GetParam().more(binding);
  EXPECT_EQ(decoderProblemLine(binding), GetParam().line);
}

using P = LoadProblem;
using C = ImageCheck;

// The first three sentences are older than the loader, and tests and users know them.
INSTANTIATE_TEST_SUITE_P(
    Problems, DecoderProblemLine,
    ::testing::Values(
        LineCase{"Missing", P::Missing, C::None, ""},
        LineCase{"NotLoadable", P::NotLoadable, C::None,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: invalid ELF header",
                 [](DecoderBinding& b) { b.systemWords = "invalid ELF header"; }},
        LineCase{"NotLoadableEscaped", P::NotLoadable, C::None,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: bad\\x1B[2J",
                 [](DecoderBinding& b) { b.systemWords = "bad\x1B[2J"; }},
        LineCase{"NotLoadableWithoutWords", P::NotLoadable, C::None,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: unknown reason"},
        LineCase{"NoEntryPoint", P::NoEntryPoint, C::None,
                 "The library /opt/q/oo2core_8_win64.dll has no entry point OodleLZ_Decompress"},
        LineCase{"ThirtyTwoBit", P::WrongMachine, C::Machine32Bit,
                 "/opt/q/oo2core_8_win64.dll is a 32-bit Windows library; Quarry needs the "
                 "64-bit one"},
        LineCase{"Arm64", P::WrongMachine, C::MachineArm64,
                 "/opt/q/oo2core_8_win64.dll is a Windows library for ARM64; Quarry needs the "
                 "one for 64-bit x86"},
        LineCase{"OtherMachine", P::WrongMachine, C::MachineOther,
                 "/opt/q/oo2core_8_win64.dll is a Windows library for machine type 0x01C4; "
                 "Quarry needs the one for 64-bit x86",
                 [](DecoderBinding& b) { b.refusal.number = 0x01C4; }},
        LineCase{"Damaged", P::DamagedImage, C::PeSignatureMissing,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: the Windows "
                 "library is damaged (the PE signature is missing)"},
        // A section's name comes from the image: escaped like any other outside text.
        LineCase{"DamagedSectionEscaped", P::DamagedImage, C::SectionOverlaps,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: the Windows "
                 "library is damaged (section .t\\x07xt: it overlaps the headers or the "
                 "section before)",
                 [](DecoderBinding& b) { b.refusal.name = ".t\axt"; }},
        LineCase{"Unsupported", P::UnsupportedImage, C::RelocationTypeUnsupported,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it needs what "
                 "Quarry's loader does not offer: relocations of type 3",
                 [](DecoderBinding& b) { b.refusal.number = 3; }},
        LineCase{"Forwarded", P::UnsupportedImage, C::ExportForwarded,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it needs what "
                 "Quarry's loader does not offer: OodleLZ_Decompress forwarded to NTDLL.Decode",
                 [](DecoderBinding& b) {
                   b.refusal.name = "OodleLZ_Decompress";
                   b.refusal.target = "NTDLL.Decode";
                 }},
        LineCase{"Directory", P::NotAFile, C::FileIsADirectory,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it is a directory"},
        LineCase{"Fifo", P::NotAFile, C::FileNotRegular,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it is not a "
                 "regular file"},
        LineCase{"TooLarge", P::TooLarge, C::FileTooLarge,
                 "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: it is 2147483648 "
                 "bytes long, larger than any decoder library",
                 [](DecoderBinding& b) { b.refusal.number = std::uint64_t{1} << 31; }},
        LineCase{"OneForeignModule", P::ForeignImports, C::None,
                 "/opt/q/oo2core_8_win64.dll imports from msvcrt.dll (1 function), which Quarry "
                 "does not provide",
                 [](DecoderBinding& b) {
                   b.modules = {{"msvcrt.dll", 1}};
                 }},
        LineCase{
            "ForeignModulesEscaped", P::ForeignImports, C::None,
            "/opt/q/oo2core_8_win64.dll imports from msvcrt.dll (12 functions), "
            "USER\\x1B[2J.dll (2 functions) and VCRUNTIME140.dll (3 functions), which Quarry "
            "does not provide",
            [](DecoderBinding& b) {
              b.modules = {{"msvcrt.dll", 12}, {"USER\x1B[2J.dll", 2}, {"VCRUNTIME140.dll", 3}};
            }},
#ifndef _WIN32
        LineCase{"InitialisationCrashed", P::InitialisationStopped, C::None,
                 "/opt/q/oo2core_8_win64.dll failed to initialise: it crashed (SIGSEGV at "
                 "oo2core_8_win64.dll+0x1a2b3)",
                 [](DecoderBinding& b) {
                   b.fault = {SIGSEGV, {0x1a2b3, true}, ""};
                 }},
#endif
        LineCase{"InitialisationCalledAStandIn", P::InitialisationStopped, C::None,
                 "/opt/q/oo2core_8_win64.dll failed to initialise: it called "
                 "KERNEL32.dll!CreateFileW, which Quarry does not provide",
                 [](DecoderBinding& b) {
                   b.fault = {0, {}, "KERNEL32.dll!CreateFileW"};
                 }},
        LineCase{"InitialisationFailed", P::InitialisationFailed, C::None,
                 "/opt/q/oo2core_8_win64.dll failed to initialise: its DllMain answered FALSE"},
        LineCase{"NotRunnableHere", P::NotRunnableHere, C::None,
                 "/opt/q/oo2core_8_win64.dll is a Windows library, and Quarry runs one only on "
                 "64-bit x86 Linux, not on this machine"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

// The system's refusal arrives as its number, on either system, and is worded here.
TEST(DecoderProblemLine, SaysTheSystemsWordsForItsErrorNumber) {
  DecoderBinding binding;
  binding.problem = LoadProblem::NotLoadable;
  binding.file = "/opt/q/oo2core_8_win64.dll";
  binding.refusal.check = ImageCheck::SystemRefused;
  binding.refusal.osError = EACCES;
  EXPECT_EQ(decoderProblemLine(binding),
            "Found /opt/q/oo2core_8_win64.dll but it could not be loaded: " + osErrorText(EACCES));
}

// Every check the loader has, from the first number to the last, has words of its own: none
// is left empty and none says what another says.
TEST(ImageCheckText, EveryCheckHasWordsOfItsOwn) {
  std::map<std::string, int> seen;
  for (int number = 1; number <= static_cast<int>(LAST_IMAGE_CHECK); ++number) {
    LoadRefusal refusal;
    refusal.check = static_cast<ImageCheck>(number);
    refusal.name = ".text";
    refusal.target = "NTDLL.Decode";
    refusal.number = 3;
    refusal.osError = EACCES;
    const std::string words = imageCheckText(refusal);
    EXPECT_FALSE(words.empty()) << "check " << number;
    const auto [at, isNew] = seen.emplace(words, number);
    EXPECT_TRUE(isNew) << "checks " << at->second << " and " << number << " both say " << words;
  }
  EXPECT_EQ(imageCheckText({}), "") << "no check, no words";
}

struct EntryCase {
  EntryFailure failure;
  const char* line;
};

OutputFailure outputFailure(OutputProblem problem, int error = 0) {
  return OutputFailure(problem, error, "out/a");
}

DecodeFailure outOfMemory(std::uint64_t size) {
  DecodeFailure failure(DecodeProblem::OutOfMemory);
  failure.size = size;
  return failure;
}

NameFailure pathTooLong(std::uint64_t limit) {
  NameFailure failure(NameProblem::PathTooLong);
  failure.limit = limit;
  return failure;
}

// Every problem of an entry has its own words; the ones about the records or the bytes leave
// the name out. A problem that fell through to another's words would show here.
TEST(EntryFailureLine, WordsEveryProblemOfAnEntry) {
  const std::string units = pathUnits();
  const std::string tooLong =
      "File #7 \"a/b\" is refused: its path would be longer than 260 " + units;
  const EntryCase cases[] = {
      {RecordProblem::NameIndexOutsideTable,
       "File #7 has a name index past the end of the string table"},
      {RecordProblem::NameStartsOutsideFile, "File #7 has a name that starts outside the file"},
      {RecordProblem::NameRunsPastFile, "File #7 has a name that runs past the end of the file"},
      {RecordProblem::StoredBytesOutsideFile, "File #7 has stored bytes outside the file"},
      {DecodeFailure(DecodeProblem::DecompressionFailed), "File #7 failed decompression :("},
      {NameFailure(NameProblem::NotUtf8),
       "File #7 \"a/b\" is refused: its name is not valid UTF-8"},
      {NameFailure(NameProblem::HasPrefix),
       "File #7 \"a/b\" is refused: its name has a drive, device or server prefix"},
      {NameFailure(NameProblem::StartsWithSeparator),
       "File #7 \"a/b\" is refused: its name starts with a separator"},
      {NameFailure(NameProblem::HasParentComponent),
       "File #7 \"a/b\" is refused: its name has a '..' component"},
      {NameFailure(NameProblem::HasDeviceName),
       "File #7 \"a/b\" is refused: its name has a reserved device name"},
      {NameFailure(NameProblem::HasColon),
       "File #7 \"a/b\" is refused: its name has a colon inside a component"},
      {NameFailure(NameProblem::HasTrailingDotOrSpace),
       "File #7 \"a/b\" is refused: its name has a component that ends in a dot or a space"},
      {pathTooLong(260), tooLong.c_str()},
      {outputFailure(OutputProblem::LinkInTheWay),
       "File #7 \"a/b\" is refused: a link stands in the way at out/a"},
      {outputFailure(OutputProblem::NotARegularFile),
       "File #7 \"a/b\" is refused: something other than a regular file stands at out/a"},
      {outputFailure(OutputProblem::IsTheContainer),
       "File #7 \"a/b\" is refused: out/a is the resources file being extracted"},
      {outputFailure(OutputProblem::IsTheDecoder),
       "File #7 \"a/b\" is refused: out/a is the decoder library in use"},
      {outputFailure(OutputProblem::IsQuarrysOutput),
       "File #7 \"a/b\" is refused: out/a is where Quarry's own output goes"},
      {outOfMemory(4096),
       "File #7 \"a/b\" needs 4096 bytes of memory to decode, which cannot be had"},
  };
  for (const EntryCase& c : cases) {
    EXPECT_EQ(entryFailureLine(7, "a/b", c.failure), c.line) << c.failure.index();
  }
}

// The problems that carry the system's error end in its words, after the path where one is.
TEST(EntryFailureLine, EndsInTheSystemsWordsWhereTheSystemRefused) {
  const struct {
    EntryFailure failure;
    std::string start;
  } cases[] = {
      {NameFailure(NameProblem::NotConvertible, ENOSPC),
       "File #7 \"a/b\" is refused: its name cannot be converted: "},
      {outputFailure(OutputProblem::CannotCreateDirectory, ENOSPC),
       "File #7 \"a/b\" cannot create directory out/a: "},
      {outputFailure(OutputProblem::CannotWrite, ENOSPC), "File #7 \"a/b\" cannot write out/a: "},
      {outputFailure(OutputProblem::OutputFolderUnusable, ENOSPC),
       "File #7 \"a/b\" cannot write out/a: "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(entryFailureLine(7, "a/b", c.failure), c.start + osErrorText(ENOSPC)) << c.start;
  }
}

#ifdef _WIN32
// The system's words arrive without their inserts: each open one says "it", and a number the
// system has no words for is still said.
TEST(OsErrorText, LeavesNoPlaceholderAndNoNumberUnsaid) {
  // "%1 is not a valid Win32 application." on Windows, "Bad EXE format for %1." under Wine
  const std::string badImage = osErrorText(ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(badImage.find('%'), std::string::npos) << badImage;
  EXPECT_TRUE(badImage.starts_with("it ") || badImage.ends_with(" it")) << badImage;
  EXPECT_EQ(osErrorText(0x2000FFFF), "error 536936447");
}

// Exceptions are named where a library is likely to stop on them, else shown by their code.
TEST(FaultName, NamesTheExceptionsALibraryStopsOn) {
  const struct {
    unsigned code;
    const char* name;
  } cases[] = {
      {22, "abort"},
      {0xC0000005, "access violation"},
      {0xC00000FD, "stack overflow"},
      {0xC0000094, "integer division by zero"},
      {0xE06D7363, "exception 0xE06D7363"},
      {0x80000003, "exception 0x80000003"},
  };
  for (const auto& c : cases) EXPECT_EQ(faultName(static_cast<int>(c.code)), c.name);
}
#endif

// An interrupt is named as the user knows it, in both of the run's interrupted lines.
TEST(InterruptedLine, NamesTheInterruptAsThePlatformDoes) {
#ifdef _WIN32
  const std::pair<int, std::string> cases[] = {{CTRL_C_EVENT, "Ctrl+C"},
                                               {CTRL_BREAK_EVENT, "Ctrl+Break"},
                                               {CTRL_CLOSE_EVENT, "the console closing"},
                                               {CTRL_SHUTDOWN_EVENT, "the session ending"}};
#else
  const std::pair<int, std::string> cases[] = {
      {SIGINT, "SIGINT"},
      {SIGTERM, "SIGTERM"},
      {SIGHUP, "SIGHUP"},
      {SIGQUIT, "SIGQUIT"},
      {SIGUSR1, "SIGUSR1"},
      {SIGUSR2, "SIGUSR2"},
      {SIGALRM, "SIGALRM"},
      {SIGVTALRM, "SIGVTALRM"},
      {SIGPROF, "SIGPROF"},
      {SIGXCPU, "SIGXCPU"},
      {SIGCHLD, "a signal"},
#ifdef __linux__
      {SIGIO, "SIGIO"},
      {SIGPWR, "SIGPWR"},
      {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGRTMIN
      {SIGRTMIN, "SIGRTMIN"},
      {SIGRTMIN + 3, "SIGRTMIN+3"},
      {SIGRTMAX, "SIGRTMIN+" + std::to_string(SIGRTMAX - SIGRTMIN)},
      {SIGRTMAX + 1, "a signal"},
#endif
  };
#endif
  for (const auto& [interrupt, name] : cases) {
    EXPECT_EQ(interruptedLine(interrupt),
              std::string("Interrupted by ") + name + "; the run stops here");
    EXPECT_EQ(interruptedEntryLine({4, "a/b"}, interrupt),
              std::string("File #4 \"a/b\" was interrupted by ") + name +
                  " and its unfinished file removed; the run stops here");
    EXPECT_EQ(interruptedEntryLine({4, "a/b", "p/x\x1B.resources"}, interrupt),
              std::string("File #4 \"a/b\" in p/x\\x1B.resources was interrupted by ") + name +
                  " and its unfinished file removed; the run stops here");
  }
}

#ifndef _WIN32
struct StopCase {
  const char* name;
  int signal;
  FaultPlace where;  // a signal's
  const char* call;  // without a signal
  const char* line;
};

void PrintTo(const StopCase& c, std::ostream* out) {
  *out << c.name;
}

class DecoderStopLine : public ::testing::TestWithParam<StopCase> {};

TEST_P(DecoderStopLine, NamesTheEntryAndWhatStoppedTheLibrary) {
  DecodeFailure failure(DecodeProblem::DecoderFault);
  failure.fault = {GetParam().signal, GetParam().where, GetParam().call};
  EXPECT_EQ(entryFailureLine(3, "x.bin", failure), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, DecoderStopLine,
    ::testing::Values(
        StopCase{"CrashInsideTheLibrary",
                 SIGSEGV,
                 {0x1a2b3, true},
                 "",
                 "File #3 \"x.bin\" stops the run: the decoder library crashed (SIGSEGV at "
                 "oo2core_8_win64.dll+0x1a2b3)"},
        StopCase{"AbortOutsideIt",
                 SIGABRT,
                 {0x7f1200001234, false},
                 "",
                 "File #3 \"x.bin\" stops the run: the decoder library crashed (SIGABRT at "
                 "0x7f1200001234)"},
        StopCase{
            "OtherSignal",
            SIGUSR1,
            {0x10, false},
            "",
            "File #3 \"x.bin\" stops the run: the decoder library crashed (signal 10 at 0x10)"},
        StopCase{"ImportNotProvided",
                 0,
                 {},
                 "KERNEL32.dll!CreateFileW",
                 "File #3 \"x.bin\" stops the run: the decoder library called "
                 "KERNEL32.dll!CreateFileW, which Quarry does not provide"},
        StopCase{"EndOfProcess",
                 0,
                 {},
                 "ExitProcess",
                 "File #3 \"x.bin\" stops the run: the decoder library called ExitProcess"},
        StopCase{"ImportNameEscaped",
                 0,
                 {},
                 "KERNEL32.dll!\x1B[2J",
                 "File #3 \"x.bin\" stops the run: the decoder library called "
                 "KERNEL32.dll!\\x1B[2J, which Quarry does not provide"}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });
#endif

}  // namespace
}  // namespace quarry
