#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "base/unicode.h"
#include "extract/directories.h"

namespace quarry {
namespace {

constexpr int DENIED = 5;
constexpr int NOT_FOUND = 3;
constexpr int OTHER = 99;

// A make call that answers from a script (Done for anything not in it) and records every
// folder it was asked for.
struct ScriptedMake {
  std::map<std::u16string, FsResult> script;
  std::vector<std::string> asked;
  MakeFolderCall<char16_t> call() {
    return [this](const std::u16string& folder) {
      asked.push_back(encodeLossless(folder));
      auto found = script.find(folder);
      return found == script.end() ? FsResult{} : found->second;
    };
  }
};

TEST(FolderChain, MakesEveryComponentBelowTheRootPart) {
  struct Case {
    std::u16string folder;
    std::vector<std::string> asked;
  };
  const Case cases[] = {
      {u"out\\a/b", {"out", "out\\a", "out\\a/b"}},
      {u"out\\a//", {"out", "out\\a"}},
      {u"/tmp/x", {"/tmp", "/tmp/x"}},
      {u"C:\\x", {"C:\\x"}},
      {u"C:x", {"C:x"}},
      {u"//host/share/d", {"//host/share", "//host/share/d"}},
      {u"//?/D:/x", {"//?/D:/x"}},
      {u"", {}},
      {u"/", {}},
      {u"C:\\", {}},
      {u"out\\a/b/", {"out", "out\\a", "out\\a/b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(encodeLossless(c.folder));
    ScriptedMake make;
    EXPECT_TRUE(makeFolderPath(c.folder, make.call()).ok());
    EXPECT_EQ(make.asked, c.asked);
  }
}

TEST(FolderChain, ReportsTheErrorThatExplainsTheFailure) {
  const FsResult made{FsOutcome::Done, 0};
  const FsResult exists{FsOutcome::Exists, 183};
  const FsResult denied{FsOutcome::Failed, DENIED};
  const FsResult other{FsOutcome::Failed, OTHER};
  const FsResult missing{FsOutcome::Missing, NOT_FOUND};
  struct Case {
    const char* what;
    std::vector<FsResult> answers;  // for out, out\a, out\a\b
    int code;
  };
  const Case cases[] = {
      {"all made", {made, made, made}, 0},
      {"all there already", {exists, exists, exists}, 0},
      {"denied above not-found gives the upper code", {made, denied, missing}, DENIED},
      {"the latest refusal wins", {other, denied, missing}, DENIED},
      {"last exists whatever happened above", {denied, missing, exists}, 0},
      {"last made after a refusal", {denied, other, made}, 0},
      {"only not-found: the last code", {missing, missing, missing}, NOT_FOUND},
      {"a refusal of the last itself", {made, made, other}, OTHER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedMake make;
    make.script = {{u"out", c.answers[0]}, {u"out\\a", c.answers[1]}, {u"out\\a\\b", c.answers[2]}};
    const FsResult result = makeFolderPath(u"out\\a\\b", make.call());
    EXPECT_EQ(result.osError, c.code);
    EXPECT_EQ(result.ok(), c.code == 0);
    EXPECT_EQ(make.asked.size(), 3u) << "every component is attempted";
  }
}

}  // namespace
}  // namespace quarry
