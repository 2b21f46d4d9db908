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

// A create call that answers from a script (Created for anything not in it) and records
// every directory it was asked for.
struct ScriptedCreate {
  std::map<std::u16string, CreateResult> script;
  std::vector<std::string> asked;
  CreateDirectoryCall call() {
    return [this](const std::u16string& directory) {
      asked.push_back(encodeLossless(directory));
      auto found = script.find(directory);
      return found == script.end() ? CreateResult{} : found->second;
    };
  }
};

TEST(DirectoryChain, CreatesEveryComponentBelowTheRootPart) {
  struct Case {
    std::u16string outputPath;
    std::vector<std::string> asked;
  };
  const Case cases[] = {
      {u"out\\a/b/c.dat", {"out", "out\\a", "out\\a/b"}},
      {u"out\\a//c.dat", {"out", "out\\a"}},
      {u"/tmp/x/f", {"/tmp", "/tmp/x"}},
      {u"C:\\x\\f", {"C:\\x"}},
      {u"C:x\\f", {"C:x"}},
      {u"//host/share/d/f", {"//host/share", "//host/share/d"}},
      {u"//?/D:/x/f", {"//?/D:/x"}},
      {u"c.dat", {}},
      {u"/c.dat", {}},
      {u"out\\a/b/", {"out", "out\\a", "out\\a/b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(encodeLossless(c.outputPath));
    ScriptedCreate create;
    const DirectoryResult result = createParentChain(c.outputPath, create.call());
    EXPECT_EQ(create.asked, c.asked);
    EXPECT_EQ(result.code, 0);
  }
}

TEST(DirectoryChain, ReportsTheErrorThatExplainsTheFailure) {
  const CreateResult created{CreateOutcome::Created, 0};
  const CreateResult exists{CreateOutcome::AlreadyExists, 183};
  const CreateResult denied{CreateOutcome::Failed, DENIED};
  const CreateResult other{CreateOutcome::Failed, OTHER};
  const CreateResult missing{CreateOutcome::NotFound, NOT_FOUND};
  struct Case {
    const char* what;
    std::vector<CreateResult> answers;  // for out, out\a, out\a\b
    int code;
  };
  const Case cases[] = {
      {"all created", {created, created, created}, 0},
      {"all there already", {exists, exists, exists}, 0},
      {"denied above not-found gives the upper code", {created, denied, missing}, DENIED},
      {"the latest refusal wins", {other, denied, missing}, DENIED},
      {"last exists whatever happened above", {denied, missing, exists}, 0},
      {"last created after a refusal", {denied, other, created}, 0},
      {"only not-found: the last code", {missing, missing, missing}, NOT_FOUND},
      {"a refusal of the last itself", {created, created, other}, OTHER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedCreate create;
    create.script = {
        {u"out", c.answers[0]}, {u"out\\a", c.answers[1]}, {u"out\\a\\b", c.answers[2]}};
    const DirectoryResult result = createParentChain(u"out\\a\\b\\f.dat", create.call());
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.parent, u"out\\a\\b");
    EXPECT_EQ(create.asked.size(), 3u) << "every component is attempted";
  }
}

TEST(DirectoryChain, ALinkStopsTheWalkAndIsNamed) {
  ScriptedCreate create;
  create.script = {{u"out\\link", {CreateOutcome::LinkInTheWay, 0}}};
  const DirectoryResult result = createParentChain(u"out\\link\\a\\f", create.call());
  EXPECT_TRUE(result.linkInTheWay);
  EXPECT_EQ(result.link, u"out\\link");
  EXPECT_EQ(create.asked, (std::vector<std::string>{"out", "out\\link"}))
      << "nothing is made below the link";
}

}  // namespace
}  // namespace quarry
