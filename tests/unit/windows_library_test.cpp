// Quarry's own loader for Windows libraries, in this process: what it makes of the bare test
// DLL and of small built images, and what it refuses. These tests run foreign code (the
// images' entry points and exports) in the test process, the sanitizer build included: the
// loader registers each image with the leak checker, and no foreign code is instrumented.
#include "loader/windows_library-linux.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "app/messages.h"
#include "base/os_error.h"
#include "container/layout.h"
#include "decoder/decoder.h"
#include "decoder/windows_entry-linux.h"
#include "loader/pe_format.h"
#include "loader/thread_environment-linux.h"
#include "support/pe_builder.h"
#include "support/temp_folder.h"
#include "support/test_codec.h"

namespace quarry {
namespace {

using testing::Bytes;
using testing::PeImageOptions;

// The permissions ("r-xp", ...) of every mapping that starts inside [base, base + size).
std::vector<std::string> permissionsWithin(const std::uint8_t* base, std::uint64_t size) {
  const auto first = reinterpret_cast<std::uintptr_t>(base);
  std::ifstream maps("/proc/self/maps");
  std::vector<std::string> found;
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::uintptr_t start = 0, end = 0;
    char dash = 0;
    std::string permissions;
    fields >> std::hex >> start >> dash >> end >> permissions;
    if (start >= first && start - first < size) found.push_back(permissions);
  }
  return found;
}

WindowsLibrary loadBuilt(const PeImageOptions& options,
                         void (*damage)(testing::BuiltPeImage&) = nullptr) {
  testing::BuiltPeImage built = testing::buildPeImage(options);
  if (damage != nullptr) damage(built);
  testing::TempFolder folder;
  const auto path = folder / "built.dll";
  testing::writeBytes(path, built.bytes);
  return loadWindowsLibrary(path.string(), DECODER_ENTRY_POINT);
}

void* gsField(std::uint64_t offset) {
  void* value;
  asm volatile("mov %%gs:(%1), %0" : "=r"(value) : "r"(offset));
  return value;
}

TEST(WindowsLibrary, AnImageIsRelocatedProtectedAndCalledWithMicrosoftsConvention) {
  const testing::BuiltPeImage built = testing::buildPeImage({.withTls = true});
  const WindowsLibrary library = loadBuilt({.withTls = true});
  ASSERT_FALSE(library.failure) << imageCheckText(library.failure->refusal);
  EXPECT_NE(reinterpret_cast<std::uint64_t>(library.base), built.preferredBase);
  EXPECT_EQ(readU64(library.base + built.absolutePointer),
            reinterpret_cast<std::uint64_t>(library.base) + built.exportedCode);
  const auto answer = reinterpret_cast<WindowsDecompressFn>(library.exported);
  EXPECT_EQ(answer(nullptr, 1, nullptr, 4444, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), 4444)
      << "the fourth argument arrives where Microsoft's convention puts it";
}

// Without relocations an image can only sit at its preferred base: it is refused as needing
// what the loader does not offer while something else holds that address (not failed as the
// system's error), and loaded there once the address is free.
TEST(WindowsLibrary, AnImageWithoutRelocationsSitsAtItsPreferredBaseOrIsRefused) {
  const auto withoutRelocations = [](testing::BuiltPeImage& b) {
    const std::uint64_t directory = b.optionalHeader + pe::OPTIONAL_DIRECTORIES +
                                    pe::DIRECTORY_RELOCATIONS * pe::DIRECTORY_SIZE;
    testing::putU32(b.bytes, directory, 0);
    testing::putU32(b.bytes, directory + 4, 0);
  };
  const testing::BuiltPeImage built = testing::buildPeImage({});
  void* const preferred = reinterpret_cast<void*>(built.preferredBase);
  void* taken =
      mmap(preferred, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  // Taken by this test, or already held by something else (the sanitizers' shadow memory
  // covers it): either way the image cannot have it.
  const bool reserved = taken == preferred;
  if (taken != MAP_FAILED && !reserved) munmap(taken, 4096);
  const WindowsLibrary refused = loadBuilt({}, withoutRelocations);
  if (reserved) munmap(taken, 4096);
  ASSERT_TRUE(refused.failure);
  EXPECT_EQ(refused.failure->problem, LoadProblem::UnsupportedImage);
  EXPECT_EQ(refused.failure->refusal.check, ImageCheck::NoRelocationsForMove);
  if (!reserved) GTEST_SKIP() << "the preferred base is another's; the load there is untried";

  const WindowsLibrary placed = loadBuilt({}, withoutRelocations);
  ASSERT_FALSE(placed.failure) << imageCheckText(placed.failure->refusal);
  EXPECT_EQ(placed.base, preferred);
}

TEST(WindowsLibrary, TheTebIsReachedThroughGsAndHoldsTheModulesTls) {
  const testing::BuiltPeImage built = testing::buildPeImage({.withTls = true});
  const WindowsLibrary library = loadBuilt({.withTls = true});
  ASSERT_FALSE(library.failure) << imageCheckText(library.failure->refusal);
  const auto* self = static_cast<const std::uint8_t*>(gsField(TEB_SELF));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(readU64(self + TEB_SELF), reinterpret_cast<std::uintptr_t>(self));
  const std::uint8_t marker = 0;
  EXPECT_LT(static_cast<const void*>(gsField(TEB_STACK_LIMIT)), &marker);
  EXPECT_GT(static_cast<const void*>(gsField(TEB_STACK_BASE)), &marker);
  EXPECT_EQ(readU32(library.base + built.tlsIndex), MODULE_TLS_INDEX);
  const auto* blocks = static_cast<std::uint8_t**>(gsField(TEB_TLS_POINTER));
  const std::uint8_t* block = blocks[MODULE_TLS_INDEX];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block)), "template");
  EXPECT_EQ(Bytes(block + 8, block + 16), Bytes(8, 0)) << "the zero fill";
}

#ifdef QUARRY_BARE_DECODER
TEST(WindowsLibrary, TheBareDllDecodesOnlyRelocatedAndNeverWritableAndExecutable) {
  const WindowsLibrary library = loadWindowsLibrary(QUARRY_BARE_DECODER, DECODER_ENTRY_POINT);
  ASSERT_FALSE(library.failure) << imageCheckText(library.failure->refusal);
  EXPECT_NE(reinterpret_cast<std::uint64_t>(library.base), 0x180000000u) << "its preferred base";
  Bytes content;
  for (int k = 0; k < 5000; ++k) content.push_back(static_cast<std::uint8_t>(k % 251 + k / 900));
  const Bytes stream = testing::encodeTestCodec(content.data(), content.size());
  Bytes out(content.size());
  const auto decode = reinterpret_cast<WindowsDecompressFn>(library.exported);
  const auto size = static_cast<std::int64_t>(content.size());
  const auto length = static_cast<std::int64_t>(stream.size());
  EXPECT_EQ(decode(stream.data(), length, out.data(), size, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), size);
  EXPECT_EQ(out, content);
  EXPECT_EQ(decode(stream.data(), length, out.data(), size, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1), -1);
  const std::vector<std::string> mappings = permissionsWithin(library.base, library.size);
  EXPECT_NE(std::find(mappings.begin(), mappings.end(), "r-xp"), mappings.end());
  for (const std::string& permissions : mappings) {
    EXPECT_FALSE(permissions[1] == 'w' && permissions[2] == 'x') << permissions;
  }
}
#endif

struct Refusal {
  const char* name;
  PeImageOptions options;
  LoadProblem problem;
  void (*damage)(testing::BuiltPeImage&) = nullptr;
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const Refusal& c, std::ostream* out) {
  *out << c.name;
}

class WindowsLibraryRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(WindowsLibraryRefusal, NamesWhatIsWrong) {
  const WindowsLibrary library = loadBuilt(GetParam().options, GetParam().damage);
  ASSERT_TRUE(library.failure);
  EXPECT_EQ(library.failure->problem, GetParam().problem);
  EXPECT_EQ(library.failure->refusal.check, ImageCheck::None) << "the problem says it all";
  EXPECT_EQ(library.base, nullptr);
  EXPECT_EQ(library.exported, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Images, WindowsLibraryRefusal,
    ::testing::Values(
        Refusal{
            "InitialisationFails", {.dllMainSucceeds = false}, LoadProblem::InitialisationFailed},
        Refusal{"ImportFromAnotherModule",
                {.importModule = "USER32.dll", .imports = {"MessageBoxA", "MessageBoxW"}},
                LoadProblem::ForeignImports},
        Refusal{"NoSuchExport", {.exportName = "OodleLZ_Compress"}, LoadProblem::NoEntryPoint},
        // Pages that no section covers end inaccessible; the export is read
        // before that.
        Refusal{"ExportsWhereNoSectionIs",
                {},
                LoadProblem::NoEntryPoint,
                [](testing::BuiltPeImage& b) {
                  const std::uint64_t data = testing::sectionHeaderAt(b, 2);
                  testing::putU32(b.bytes, data + pe::SECTION_VIRTUAL_SIZE, 0);
                  testing::putU32(b.bytes, data + pe::SECTION_RAW_SIZE, 0);
                  testing::putU32(b.bytes, b.optionalHeader + pe::OPTIONAL_DIRECTORIES, 0x3800);
                }}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST(WindowsLibrary, AnotherModuleIsNamedWithItsCountOfFunctions) {
  const WindowsLibrary library =
      loadBuilt({.importModule = "USER32.dll", .imports = {"MessageBoxA", "MessageBoxW"}});
  ASSERT_TRUE(library.failure);
  ASSERT_EQ(library.failure->modules.size(), 1u);
  EXPECT_EQ(library.failure->modules[0].name, "USER32.dll");
  EXPECT_EQ(library.failure->modules[0].functions, 2u);
}

// KERNEL32 under any case and through its API sets; what it does not offer gets a stand-in.
TEST(WindowsLibrary, KernelModulesAreTakenUnderEveryName) {
  for (const char* module : {"kernel32.DLL", "KERNEL32", "api-ms-win-core-synch-l1-2-0.dll",
                             "API-MS-WIN-CORE-FIBERS-L1-1-1.DLL"}) {
    SCOPED_TRACE(module);
    const WindowsLibrary library =
        loadBuilt({.importModule = module, .imports = {"GetLastError", "CreateEventW"}});
    EXPECT_FALSE(library.failure) << imageCheckText(library.failure->refusal);
  }
}

TEST(WindowsLibrary, ImportsMultipliedBySharedTablesAreRefused) {
  testing::TempFolder folder;
  const auto path = folder / "amplified.dll";
  testing::writeBytes(path, testing::importAmplifiedImage(1000, 1000));
  const WindowsLibrary library = loadWindowsLibrary(path.string(), DECODER_ENTRY_POINT);
  ASSERT_TRUE(library.failure);
  EXPECT_EQ(library.failure->problem, LoadProblem::DamagedImage);
  EXPECT_EQ(library.failure->refusal.check, ImageCheck::ImportsExceedImage);
}

TEST(WindowsLibrary, AFileThatCannotBeReadSaysWhy) {
  const WindowsLibrary library = loadWindowsLibrary("/nonexistent/x.dll", DECODER_ENTRY_POINT);
  ASSERT_TRUE(library.failure);
  EXPECT_EQ(library.failure->problem, LoadProblem::NotLoadable);
  EXPECT_EQ(library.failure->refusal.check, ImageCheck::SystemRefused);
  EXPECT_EQ(library.failure->refusal.osError, ENOENT) << "the number, worded only by the program";
  EXPECT_EQ(imageCheckText(library.failure->refusal), osErrorText(ENOENT));
}

}  // namespace
}  // namespace quarry
