// The output side's decisions, over the in-memory file system: create or replace, what is
// refused, what a failure or a stop leaves behind, and the folders it knows and keeps open.
#include "extract/output_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/stop.h"
#include "support/memory_file_system.h"
#include "support/payloads.h"

namespace quarry::testing {
namespace {

PathString p(const std::string& ascii) {
  return PathString(ascii.begin(), ascii.end());
}

// A failure's path with slashes, however the platform joins.
std::string slashed(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

const Bytes OLD = textBytes("what was there");
const Bytes NEW(10000, 'n');

// An output tree over a memory file system whose output folder is "out".
struct Fixture {
  Fixture() { clearStop(); }
  ~Fixture() { clearStop(); }

  std::optional<OutputFailure> extract(const std::string& name, const Bytes& content = NEW,
                                       ExistingFiles existing = ExistingFiles::Replace) {
    OutputPath target;
    if (outputPathFor(tree.folder(), name, target)) {
      ADD_FAILURE() << "the name is refused: " << name;
      return std::nullopt;
    }
    if (auto failure = tree.ensureParentDirectories(target)) return failure;
    return tree.writeWholeFile(target, decodedPayload(content), existing, outcome);
  }

  MemoryFileSystem files;
  std::vector<ProtectedFile> protectedFiles;
  OutputTree tree{files, p("out"), {}};
  WriteOutcome outcome = WriteOutcome::Written;
};

// While the content is written, nothing stands at the name: a run killed then leaves none;
// only a file smaller than the file system's in-place limit is written at its name.
TEST(OutputTree, ANewNameAppearsOnlyWholeAndNothingIsAskedFirst) {
  const struct {
    bool unnamed;
    std::uint64_t inPlaceLimit;
    bool seen;
  } cases[] = {
      {false, 0, false}, {true, 0, false}, {true, NEW.size(), false}, {true, NEW.size() + 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inPlaceLimit);
    Fixture fixture;
    fixture.files.useUnnamedTemporaries(c.unnamed);
    fixture.files.createInPlaceUpTo(c.inPlaceLimit);
    bool seenDuringWrite = true;
    fixture.files.plan({FsCall::WritePayload, {}, FsOutcome::Done, 0, 0, 0, [&] {
                          fixture.files.addFolder(p("out/a/b"));
                          seenDuringWrite = fixture.files.exists(p("out/a/b/new.bin"));
                        }});
    EXPECT_FALSE(fixture.extract("a/b/new.bin"));
    EXPECT_EQ(seenDuringWrite, c.seen);
    EXPECT_EQ(fixture.files.contentOf(p("out/a/b/new.bin")), NEW);
    EXPECT_EQ(fixture.files.namesIn(p("out/a/b")), std::vector<PathString>{p("new.bin")});
    const auto& calls = fixture.files.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), FsCall::Inspect), 0);
  }
}

// Temporaries of a process that runs no longer are removed when the run enters their folder;
// a live process's, and anything else, are left.
TEST(OutputTree, AKilledRunsTemporariesAreRemovedAndCounted) {
  Fixture fixture;
  const std::string own = std::to_string(currentProcessId());
  const std::vector<std::string> left = {".quarry-" + own + "-1.part", ".quarry-x-1.part",
                                         ".quarry-4000000000-1.partial", "mine.part"};
  for (const std::string& name : left) fixture.files.addFile(p("out/d/" + name), OLD);
  fixture.files.addFile(p("out/.quarry-4000000000-7.part"), OLD);
  fixture.files.addFile(p("out/d/.quarry-4000000001-2.part"), OLD);
  fixture.files.addFolder(p("out/d/.quarry-4000000002-3.part"));
  EXPECT_FALSE(fixture.extract("d/f"));
  EXPECT_FALSE(fixture.extract("d/g"));
  EXPECT_EQ(fixture.tree.staleTemporariesRemoved(), 2u);
  EXPECT_FALSE(fixture.files.exists(p("out/.quarry-4000000000-7.part")));
  for (const std::string& name : left) EXPECT_TRUE(fixture.files.exists(p("out/d/" + name)));
  EXPECT_TRUE(fixture.files.exists(p("out/d/.quarry-4000000002-3.part")));
}

// What stands at the name already, and what becomes of it and of the entry.
struct ExistingCase {
  const char* what;
  std::function<void(MemoryFileSystem&)> plant;
  ExistingFiles existing;
  std::optional<OutputProblem> problem;  // none: the entry's content takes the name
  bool untouched;                        // what stood there is still there, as it was
};

void PrintTo(const ExistingCase& c, std::ostream* out) {
  *out << c.what;
}

class Existing : public ::testing::TestWithParam<ExistingCase> {};

TEST_P(Existing, IsReplacedWholeOrLeftAsItWas) {
  const ExistingCase& c = GetParam();
  Fixture fixture;
  fixture.files.addFile(p("outside/precious"), OLD);
  c.plant(fixture.files);
  const FileIdentity before =
      fixture.files.exists(p("out/f")) ? fixture.files.identityOf(p("out/f")) : FileIdentity{};
  const auto failure = fixture.extract("f", NEW, c.existing);
  EXPECT_EQ(failure ? std::optional(failure->problem) : std::nullopt, c.problem);
  if (c.untouched) {
    EXPECT_EQ(fixture.files.identityOf(p("out/f")), before);
  } else {
    EXPECT_EQ(fixture.files.contentOf(p("out/f")), NEW);
  }
  // A hard link's other name, outside, keeps its bytes whatever happened.
  EXPECT_EQ(fixture.files.contentOf(p("outside/precious")), OLD);
  EXPECT_EQ(fixture.files.namesIn(p("out")), std::vector<PathString>{p("f")});
}

INSTANTIATE_TEST_SUITE_P(
    OutputTree, Existing,
    ::testing::Values(ExistingCase{"PlainFile", [](auto& fs) { fs.addFile(p("out/f"), OLD); },
                                   ExistingFiles::Replace, std::nullopt, false},
                      ExistingCase{
                          "HardLinkToAFileOutside",
                          [](auto& fs) { fs.addHardLink(p("out/f"), p("outside/precious")); },
                          ExistingFiles::Replace, std::nullopt, false},
                      ExistingCase{"KeptWhenAsked", [](auto& fs) { fs.addFile(p("out/f"), OLD); },
                                   ExistingFiles::Keep, std::nullopt, true},
                      ExistingCase{"Link", [](auto& fs) { fs.addLink(p("out/f")); },
                                   ExistingFiles::Replace, OutputProblem::LinkInTheWay, true},
                      ExistingCase{"Folder", [](auto& fs) { fs.addFolder(p("out/f/inside")); },
                                   ExistingFiles::Replace, OutputProblem::CannotWrite, true},
                      ExistingCase{"Fifo", [](auto& fs) { fs.addOther(p("out/f")); },
                                   ExistingFiles::Replace, OutputProblem::NotARegularFile, true}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(OutputTree, ProtectedFilesAreRefusedByIdentityWhateverTheirName) {
  for (const OutputProblem problem : {OutputProblem::IsTheContainer, OutputProblem::IsTheDecoder,
                                      OutputProblem::IsQuarrysOutput}) {
    MemoryFileSystem files;
    files.addFile(p("game/c.resources"), OLD);
    files.addHardLink(p("out/alias"), p("game/c.resources"));
    OutputTree tree(files, p("out"), {{files.identityOf(p("game/c.resources")), problem}});
    OutputPath target;
    ASSERT_FALSE(outputPathFor(tree.folder(), "alias", target));
    ASSERT_FALSE(tree.ensureParentDirectories(target));
    WriteOutcome outcome;
    const auto failure =
        tree.writeWholeFile(target, decodedPayload(NEW), ExistingFiles::Replace, outcome);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->problem, problem);
    EXPECT_EQ(files.contentOf(p("out/alias")), OLD);
  }
}

// A write that fails, or that the stop cuts short, on a new name or a replaced one.
struct WriteFailureCase {
  const char* what;
  bool existed;
  bool unnamedTemporaries;
  FsFault fault;
  FsOutcome expectedOutcome;
};

void PrintTo(const WriteFailureCase& c, std::ostream* out) {
  *out << c.what;
}

class WriteFailure : public ::testing::TestWithParam<WriteFailureCase> {};

TEST_P(WriteFailure, LeavesNoPartOfTheNewContentAndTheOldOneWhole) {
  const WriteFailureCase& c = GetParam();
  Fixture fixture;
  fixture.files.useUnnamedTemporaries(c.unnamedTemporaries);
  if (c.existed) fixture.files.addFile(p("out/d/f"), OLD);
  fixture.files.plan(c.fault);
  const auto failure = fixture.extract("d/f");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->problem, OutputProblem::CannotWrite);
  if (c.existed) {
    EXPECT_EQ(fixture.files.contentOf(p("out/d/f")), OLD);
    EXPECT_EQ(fixture.files.namesIn(p("out/d")), std::vector<PathString>{p("f")});
  } else {
    EXPECT_FALSE(fixture.files.exists(p("out/d/f")));
  }
  EXPECT_LE(fixture.files.openHandles(), 3u);
}

FsFault diskFullAfter(std::uint64_t bytes) {
  return {FsCall::WritePayload, {}, FsOutcome::Failed, ENOSPC, 0, bytes, {}};
}

FsFault stopDuringWrite() {
  return {FsCall::WritePayload,
          {},
          FsOutcome::Done,
          0,
          0,
          0,
          [] { requestStop(StopCause::Interrupted, 2); }};
}

INSTANTIATE_TEST_SUITE_P(
    OutputTree, WriteFailure,
    ::testing::Values(
        WriteFailureCase{"DiskFullOnANewName", false, false, diskFullAfter(5000), {}},
        WriteFailureCase{"DiskFullOnAReplacement", true, false, diskFullAfter(5000), {}},
        WriteFailureCase{"DiskFullOnAnUnnamedReplacement", true, true, diskFullAfter(0), {}},
        WriteFailureCase{"StoppedOnANewName", false, false, stopDuringWrite(), {}},
        WriteFailureCase{"StoppedOnAReplacement", true, false, stopDuringWrite(), {}},
        WriteFailureCase{"CloseReportsALateError",
                         false,
                         false,
                         FsFault{FsCall::CloseFile, {}, FsOutcome::Failed, EIO},
                         {}},
        WriteFailureCase{"RenameRefused",
                         true,
                         false,
                         FsFault{FsCall::NameFile, p("f"), FsOutcome::Failed, EACCES},
                         {}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(OutputTree, AFileAnotherRunPutInPlaceIsNotRemovedAfterAFailure) {
  Fixture fixture;
  // Another run replaces the name while this one is still writing it, then this one fails.
  fixture.files.plan({FsCall::WritePayload, {}, FsOutcome::Failed, ENOSPC, 0, 100, [&] {
                        fixture.files.addFile(p("out/f"), OLD);
                      }});
  ASSERT_TRUE(fixture.extract("f"));
  EXPECT_EQ(fixture.files.contentOf(p("out/f")), OLD);
}

// A folder that fails, once, for every entry below it.
struct FolderCase {
  const char* what;
  FsFault fault;
  OutputProblem problem;
  const char* path;  // as the failure names it
};

void PrintTo(const FolderCase& c, std::ostream* out) {
  *out << c.what;
}

class FolderFailure : public ::testing::TestWithParam<FolderCase> {};

TEST_P(FolderFailure, IsReportedAtItsPathAndRememberedForTheRun) {
  const FolderCase& c = GetParam();
  Fixture fixture;
  fixture.files.plan(c.fault);
  const auto failure = fixture.extract("a/b/c/f");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->problem, c.problem);
  EXPECT_EQ(slashed(failure->path), c.path);
  const std::size_t calls = fixture.files.calls().size();
  const auto again = fixture.extract("a/b/c/g");
  ASSERT_TRUE(again);
  EXPECT_EQ(slashed(again->path), c.path);
  EXPECT_EQ(fixture.files.calls().size(), calls);
  EXPECT_FALSE(fixture.extract("a/elsewhere"));
}

INSTANTIATE_TEST_SUITE_P(
    OutputTree, FolderFailure,
    ::testing::Values(FolderCase{"Refused",
                                 {FsCall::MakeFolder, p("b"), FsOutcome::Failed, EACCES},
                                 OutputProblem::CannotCreateDirectory,
                                 "out/a/b"},
                      FolderCase{"ALinkAppearsBetweenMakingAndEntering",
                                 {FsCall::OpenFolder, p("c"), FsOutcome::Link, ELOOP},
                                 OutputProblem::LinkInTheWay,
                                 "out/a/b/c"},
                      FolderCase{"AFileStandsThere",
                                 {FsCall::OpenFolder, p("b"), FsOutcome::NotAFolder, ENOTDIR},
                                 OutputProblem::CannotCreateDirectory,
                                 "out/a/b"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(OutputTree, RunningOutOfDescriptorsLetsTheKeptFoldersGoAndTriesAgain) {
  Fixture fixture;
  for (const char* name : {"x/1", "y/1", "z/1"}) ASSERT_FALSE(fixture.extract(name));
  fixture.files.plan({FsCall::OpenFolder, p("w"), FsOutcome::TooManyOpen, EMFILE});
  EXPECT_FALSE(fixture.extract("w/1"));
  fixture.files.plan({FsCall::CreateFile, {}, FsOutcome::TooManyOpen, EMFILE});
  EXPECT_FALSE(fixture.extract("x/2"));
  EXPECT_EQ(fixture.files.contentOf(p("out/w/1")), NEW);
  EXPECT_EQ(fixture.files.contentOf(p("out/x/2")), NEW);
}

TEST(OutputTree, HoldsAFewHandlesWhateverTheDepthAndOrder) {
  Fixture fixture;
  std::string deep;
  for (int level = 0; level < 200; ++level) deep += "d/";
  for (int k = 0; k < 50; ++k) {
    const std::string name =
        (k % 2 ? deep : "") + "e" + std::to_string(k % 7) + "/f" + std::to_string(k);
    ASSERT_FALSE(fixture.extract(name)) << name;
  }
  EXPECT_LE(fixture.files.mostOpenHandles(), 8u);
  // Folders kept open are not opened again, however deep.
  ASSERT_FALSE(fixture.extract(deep + "e1/warm"));
  ASSERT_FALSE(fixture.extract("e1/warm"));
  const auto opens = [&] {
    const auto& calls = fixture.files.calls();
    return std::count(calls.begin(), calls.end(), FsCall::OpenFolder);
  };
  const auto before = opens();
  for (int k = 0; k < 20; ++k) {
    ASSERT_FALSE(fixture.extract((k % 2 ? deep : "") + "e1/g" + std::to_string(k)));
  }
  EXPECT_EQ(opens(), before);
}

TEST(OutputTree, AFolderRemovedMidRunIsMadeAgain) {
  Fixture fixture;
  ASSERT_FALSE(fixture.extract("a/b/1"));
  fixture.files.removeFolder(p("out/a"));
  EXPECT_FALSE(fixture.extract("a/b/2"));
  EXPECT_EQ(fixture.files.contentOf(p("out/a/b/2")), NEW);
  EXPECT_FALSE(stopRequested());
}

// The output folder is the run's own: when it cannot be had, or goes, the run stops.
TEST(OutputTree, AnOutputFolderThatCannotBeUsedStopsTheRunOnce) {
  {
    Fixture fixture;
    fixture.files.plan({FsCall::OpenOutputFolder, {}, FsOutcome::NotAFolder, ENOTDIR});
    const auto failure = fixture.extract("a/f");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->problem, OutputProblem::OutputFolderUnusable);
    EXPECT_EQ(failure->osError, ENOTDIR);
    EXPECT_EQ(stopCause(), StopCause::OutputFolderUnusable);
    ASSERT_TRUE(fixture.tree.rootFailure());
    EXPECT_EQ(fixture.tree.rootFailure()->path, "out");
  }
  {
    Fixture fixture;
    ASSERT_FALSE(fixture.extract("a/1"));
    fixture.files.removeFolder(p("out"));
    const auto failure = fixture.extract("a/2");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->problem, OutputProblem::OutputFolderUnusable);
    EXPECT_EQ(stopCause(), StopCause::OutputFolderUnusable);
    EXPECT_FALSE(fixture.files.exists(p("out")));
  }
}

}  // namespace
}  // namespace quarry::testing
