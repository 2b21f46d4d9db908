#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/containers.h"
#include "extract/paths.h"
#include "support/container_writer.h"

namespace quarry {
namespace {

using testing::Bytes;

// Containers of stored entries named names, in run order, their tables read from memory.
struct MemoryContainers {
  explicit MemoryContainers(const std::vector<std::vector<std::string>>& names) {
    for (const auto& container : names) {
      std::vector<testing::ContainerEntry> entries;
      for (const std::string& name : container) entries.push_back(testing::storedEntry(name, {1}));
      bytes.push_back(testing::buildContainer(entries).bytes);
    }
    for (const Bytes& container : bytes) {
      RunContainer& added = run.list.emplace_back();
      EXPECT_FALSE(readTables(ByteSpan(container), added.view.tables));
    }
  }
  // The replaced entries' indices, container by container.
  std::vector<std::vector<int>> replaced() const {
    std::vector<std::vector<int>> marks;
    for (const RunContainer& container : run.list) {
      std::vector<int>& indices = marks.emplace_back();
      for (std::uint32_t k = 0; k < container.view.tables.entryCount; ++k) {
        if (container.isReplaced(k)) indices.push_back(static_cast<int>(k));
      }
      EXPECT_EQ(container.replacedCount, indices.size());
    }
    return marks;
  }

  std::vector<Bytes> bytes;
  RunContainers run;
};

struct ReplaceCase {
  const char* what;
  std::vector<std::vector<std::string>> containers;
  std::vector<std::string> patterns;
  std::vector<std::vector<int>> replaced;
};

TEST(MarkReplaced, AnEntryIsReplacedOnlyByALaterContainerWritingTheSameFile) {
  const std::vector<std::vector<int>> caseFolded = WINDOWS_NAME_RULES
                                                       ? std::vector<std::vector<int>>{{0}, {}}
                                                       : std::vector<std::vector<int>>{{}, {}};
  const ReplaceCase cases[] = {
      {"a patch over its base", {{"a", "b", "c"}, {"c", "a"}}, {}, {{0, 2}, {}}},
      {"the last of three wins", {{"a", "b"}, {"a"}, {"b", "a"}}, {}, {{0, 1}, {0}, {}}},
      {"within one container both stay", {{"a", "a"}, {"b"}}, {}, {{}, {}}},
      {"a patch's own twice", {{"a"}, {"a", "a"}}, {}, {{0}, {}}},
      {"separators and dots", {{"x/y/z", "p/q"}, {"x\\y//z", "p/./q"}}, {}, {{0, 1}, {}}},
      {"case, as the platform compares", {{"Tex/A.dds"}, {"tex/a.DDS"}}, {}, caseFolded},
      {"refused names replace nothing", {{"../up", "d/"}, {"../up", "d/", "d"}}, {}, {{}, {}}},
      {"a folder's name is not its file", {{"d"}, {"d/"}}, {}, {{}, {}}},
      {"only what is selected", {{"a.txt", "b.dds"}, {"a.txt", "b.dds"}}, {"*.dds"}, {{1}, {}}},
      {"one container", {{"a", "a"}}, {}, {{}}},
  };
  for (const ReplaceCase& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryContainers containers(c.containers);
    PatternSet patterns(c.patterns);
    markReplaced(containers.run, patterns);
    EXPECT_EQ(containers.replaced(), c.replaced);
    EXPECT_TRUE(patterns.unmatched().empty());
  }
}

TEST(MarkReplaced, ManyNamesGrowTheTableAndEachIsFoundAgain) {
  std::vector<std::string> base;
  std::vector<std::string> patch;
  for (int k = 0; k < 5000; ++k) {
    base.push_back("f/" + std::to_string(k));
    if (k % 3 == 0) patch.push_back("f/" + std::to_string(k));
  }
  MemoryContainers containers({base, patch});
  PatternSet patterns({});
  markReplaced(containers.run, patterns);
  const auto replaced = containers.replaced();
  ASSERT_EQ(replaced[0].size(), patch.size());
  for (std::size_t k = 0; k < patch.size(); ++k) EXPECT_EQ(replaced[0][k], static_cast<int>(3 * k));
}

TEST(ContainerFiles, NamesWildcardsAndOrder) {
  EXPECT_TRUE(isContainerName(u"gameresources.resources"));
  EXPECT_TRUE(isContainerName(u"E1M1.ReSources"));
  EXPECT_FALSE(isContainerName(u"resources"));
  EXPECT_FALSE(isContainerName(u"a.resources.bak"));
  const std::tuple<const char16_t*, const char16_t*, bool> matches[] = {
      {u"*.resources", u"Base.RESOURCES", true},
      {u"game*_patch?.res*", u"game_patch1.resources", true},
      {u"game*_patch?.res*", u"game_patch12.res", false},
      {u"?", u"", false},
      {u"*", u"", true},
      {u"a*b*c", u"abcbc", true},
      {u"a*b*c", u"acb", false}};
  for (const auto& [wildcard, name, expected] : matches) {
    EXPECT_EQ(matchesWildcard(wildcard, name), expected)
        << ::testing::PrintToString(std::u16string(name));
  }
  EXPECT_EQ(wildcardStart(u"C:\\games\\base\\*.resources"), 14u);
  EXPECT_EQ(wildcardStart(u"C:*.resources"), 2u);
  EXPECT_EQ(wildcardStart(u"dir*\\x.resources"), std::u16string::npos);
  std::vector<ContainerFile> files = {{u"", "gameresources_patch1.resources"},
                                      {u"", "levels/e1.resources"},
                                      {u"", "gameresources.resources"},
                                      {u"", "Z.resources"}};
  sortContainerFiles(files);
  std::vector<std::string> order;
  for (const ContainerFile& file : files) order.push_back(file.shown);
  EXPECT_EQ(order,
            (std::vector<std::string>{"Z.resources", "gameresources.resources",
                                      "gameresources_patch1.resources", "levels/e1.resources"}));
}

}  // namespace
}  // namespace quarry
