// A whole game in one run: a folder of containers, patches over their base, later wins.
#include <gtest/gtest.h>

#include "e2e/sandbox.h"
#include "support/decoder_log.h"
#include "support/json_line.h"

namespace quarry::testing {
namespace {

// A broken stream: decoding it fails, so a run that reads it says so.
ContainerEntry undecodable(std::string name) {
  ContainerEntry entry = compressedEntry(std::move(name), Bytes(500, 'u'));
  entry.stored.resize(entry.stored.size() / 2);
  return entry;
}

// A game's folder as games ship it: a base, two patches, a level, and what is not a container.
struct GameFolder {
  explicit GameFolder(const Sandbox& box) : sandbox(box), root(box.root() / "game") {
    add("gameresources.resources",
        {storedEntry("decls/english.lang", textBytes("base lang")),
         storedEntry("Textures/Stone.dds", textBytes("base stone")), undecodable("sound/wind.wem"),
         storedEntry("readme.txt", textBytes("base readme"))});
    add("gameresources_patch1.resources",
        {storedEntry("decls/english.lang", textBytes("patch1 lang")),
         compressedEntry("sound/wind.wem", Bytes(3000, 'w'))});
    add("gameresources_patch2.resources",
        {storedEntry("decls\\english.lang", textBytes("patch2 lang")),
         storedEntry("textures/stone.dds", textBytes("patch2 stone"))});
    add("levels/e1m1.RESOURCES", {storedEntry("maps/e1m1.map", textBytes("map")),
                                  storedEntry("readme.txt", textBytes("level readme"))});
    writeBytes(root / "notes.txt", textBytes("not a container"));
  }

  void add(const std::string& relative, const std::vector<ContainerEntry>& entries) const {
    fs::create_directories((root / relative).parent_path());
    writeBytes(root / relative, buildContainer(entries).bytes);
  }

  ProcessResult run(std::vector<std::string> arguments, const ProcessOptions& options = {}) const {
    return sandbox.run(arguments, options);
  }

  const Sandbox& sandbox;
  fs::path root;
};

// What a game folder extracts to: the last container's version of every file, once.
Tree winners(bool caseFolds) {
  Tree tree{{"decls/english.lang", textBytes("patch2 lang")},
            {"sound/wind.wem", Bytes(3000, 'w')},
            {"textures/stone.dds", textBytes("patch2 stone")},
            {"maps/e1m1.map", textBytes("map")},
            {"readme.txt", textBytes("level readme")}};
  if (!caseFolds) tree["Textures/Stone.dds"] = textBytes("base stone");
  return tree;
}

#ifdef _WIN32
constexpr bool CASE_FOLDS = true;  // names that differ only in case land on one file
#else
constexpr bool CASE_FOLDS = false;
#endif

TEST(GameFolder, LaterContainersWinAndOnlyTheWinnersAreDecodedAndWritten) {
  Sandbox sandbox;
  const GameFolder game(sandbox);
#ifndef _WIN32
  // A link below the folder is not followed: its container would win over every other.
  fs::create_directories(sandbox.root() / "elsewhere");
  writeBytes(sandbox.root() / "elsewhere" / "zz.resources",
             buildContainer({storedEntry("readme.txt", textBytes("linked"))}).bytes);
  fs::create_directory_symlink(sandbox.root() / "elsewhere", game.root / "zz-linked");
  fs::create_symlink(sandbox.root() / "elsewhere" / "zz.resources", game.root / "zz.resources");
#endif
  const fs::path log = sandbox.root() / "decoder.log";
  ProcessOptions options;
  options.environment = {{DECODER_LOG_VARIABLE, log.string()}};
  const ProcessResult result = game.run({game.root.string(), sandbox.output().string()}, options);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "Found 10 files in 4 containers, extracting...\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(treeOf(sandbox.output()), winners(CASE_FOLDS));
  // The base's broken stream, replaced, is never decoded: one call, the patch's.
  if (fs::exists(log)) {
    EXPECT_EQ(readDecoderLog(log).size(), 1u);
  }

  // With an option, the summary counts the containers and what later ones replaced.
  const ProcessResult again =
      game.run({"--keep-existing", game.root.string(), sandbox.output().string()});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  const auto lines = linesOf(again.out);
  ASSERT_EQ(lines.size(), 2u) << again.out;
  const std::string winning = CASE_FOLDS ? "5" : "6";
  const std::string replaced = CASE_FOLDS ? "5" : "4";
  EXPECT_TRUE(startsWith(lines[1], "Extracted 0 of " + winning + " files from 4 containers in "))
      << lines[1];
  EXPECT_NE(lines[1].find("; " + winning + " kept, " + replaced + " replaced by later containers"),
            std::string::npos)
      << lines[1];
}

TEST(GameFolder, EveryEntryLineNamesItsContainerAndItsName) {
  Sandbox sandbox;
  const GameFolder game(sandbox);
  game.add("levels/e2.resources", {undecodable("maps/e2.map"), storedEntry("../up", {})});
  const ProcessResult result = game.run({game.root.string(), sandbox.output().string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err,
            "File #0 \"maps/e2.map\" in levels/e2.resources failed decompression :(\n"
            "File #1 \"../up\" in levels/e2.resources is refused: its name has a '..' "
            "component\n");
  // --test reads every entry of every container, the replaced ones too.
  const ProcessResult tested = game.run({"--test", game.root.string()});
  EXPECT_EQ(tested.exitCode, 1);
  EXPECT_TRUE(startsWith(tested.err,
                         "File #2 \"sound/wind.wem\" in gameresources.resources failed "
                         "decompression :(\n"))
      << tested.err;
  EXPECT_TRUE(startsWith(tested.out, "Tested 9 of 12 files from 5 containers")) << tested.out;
  EXPECT_NE(tested.out.find("; 3 failed"), std::string::npos) << tested.out;
}

TEST(GameFolder, ListShowsTheContainerAndWhatALaterOneReplaces) {
  Sandbox sandbox(false);
  const GameFolder game(sandbox);
  const ProcessResult text = game.run({"--list", game.root.string(), "decls/*.lang"});
  EXPECT_EQ(text.exitCode, 0) << text.err;
  const auto lines = linesOf(text.out);
  ASSERT_EQ(lines.size(), 5u) << text.out;
  const std::string start = "           9            9  stored            ";
  EXPECT_EQ(lines[0], start + "gameresources.resources         replaced  decls/english.lang");
  EXPECT_EQ(lines[1],
            "          11           11  stored            "
            "gameresources_patch1.resources  replaced  decls/english.lang");
  EXPECT_EQ(lines[2],
            "          11           11  stored            "
            "gameresources_patch2.resources            decls\\english.lang");
  EXPECT_TRUE(startsWith(lines[3], "          31           31  3 files in 4 containers"))
      << lines[3];
  EXPECT_TRUE(startsWith(lines[4], "Listed 3 files from 4 containers (31 B) in ")) << lines[4];
  EXPECT_NE(lines[4].find("; 2 replaced by later containers"), std::string::npos) << lines[4];

  const ProcessResult json = game.run({"--list", "--json", game.root.string()});
  EXPECT_EQ(json.exitCode, 0) << json.err;
  const auto objects = linesOf(json.out);
  ASSERT_EQ(objects.size(), 10u) << json.out;
  const auto last = readJsonObject(objects.back());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->at("container").text, "levels/e1m1.RESOURCES");
  EXPECT_EQ(last->at("index").number, 1u);
  EXPECT_EQ(last->count("replaced"), 0u);
  const auto first = readJsonObject(objects.front());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->at("container").text, "gameresources.resources");
  EXPECT_TRUE(first->at("replaced").isBoolean && first->at("replaced").number == 1);
}

TEST(GameFolder, WhatCannotBeReadStopsTheRunAtTheStart) {
  Sandbox sandbox;
  fs::create_directories(sandbox.root() / "empty" / "sub");
  writeBytes(sandbox.root() / "empty" / "sub" / "resources.txt", textBytes("x"));
  const GameFolder game(sandbox);
  writeBytes(game.root / "levels" / "e9.resources", Bytes(10, 0));
  struct Case {
    fs::path folder;
    std::string line;
  };
  const Case cases[] = {
      {sandbox.root() / "empty", "Cannot open " + (sandbox.root() / "empty").string() +
                                     ": the folder holds no .resources file\n"},
      {game.root, (game.root / "levels" / "e9.resources").string() + ": The header is cut short\n"},
  };
  for (const Case& c : cases) {
    const ProcessResult result = sandbox.run({c.folder.string(), sandbox.output().string()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, std::string(OPEN_FAILED_TEXT) + c.line);
    EXPECT_FALSE(fs::exists(sandbox.output()));
  }
}

TEST(GameFolder, ASecondContainerWhereTheFolderBelongsIsCaught) {
  Sandbox sandbox;
  const GameFolder game(sandbox);
  const fs::path base = game.root / "gameresources.resources";
  const fs::path patch = game.root / "gameresources_patch1.resources";
  fs::copy_file(patch, sandbox.root() / "patch-without-suffix");
  writeBytes(sandbox.root() / "x.resources", textBytes("not even a container"));
  const Bytes before = readBytes(patch);
  for (const fs::path& misread :
       {patch, sandbox.root() / "patch-without-suffix", sandbox.root() / "x.resources"}) {
    const ProcessResult result = sandbox.run({base.string(), misread.string(), "extra"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, misread.string() +
                              " is a resources file, not an output folder; several containers "
                              "are given as the folder that holds them\n");
  }
  EXPECT_EQ(readBytes(patch), before);
  // A file that is no container in the folder's place is the output folder that cannot be used.
  writeBytes(sandbox.root() / "notes", textBytes("notes"));
  const ProcessResult notes = sandbox.run({base.string(), (sandbox.root() / "notes").string()});
  EXPECT_EQ(notes.exitCode, 2);
  EXPECT_TRUE(startsWith(notes.err, "Cannot use the output folder ")) << notes.err;
}

#ifdef _WIN32
// cmd passes wildcards as typed; Quarry expands them in the same order as a folder's.
TEST(GameFolder, WindowsWildcardsAreExpandedInOrder) {
  Sandbox sandbox(false);
  const GameFolder game(sandbox);
  const ProcessResult result =
      game.run({"--list", "--json", (game.root / "gameresources*.RESOURCES").string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::vector<std::string> containers;
  for (const std::string& line : linesOf(result.out)) {
    const auto object = readJsonObject(line);
    ASSERT_TRUE(object) << line;
    containers.push_back(object->at("container").text);
  }
  const std::string folder = game.root.string() + "\\";
  EXPECT_EQ(
      containers,
      (std::vector<std::string>{
          folder + "gameresources.resources", folder + "gameresources.resources",
          folder + "gameresources.resources", folder + "gameresources.resources",
          folder + "gameresources_patch1.resources", folder + "gameresources_patch1.resources",
          folder + "gameresources_patch2.resources", folder + "gameresources_patch2.resources"}));
  const std::string none = (game.root / "patch?.resources").string();
  const ProcessResult nothing = game.run({"--list", none});
  EXPECT_EQ(nothing.exitCode, 2);
  EXPECT_EQ(nothing.err, std::string(OPEN_FAILED_TEXT) + "Cannot open " + none +
                             ": the wildcard matches no file\n");
}
#endif

}  // namespace
}  // namespace quarry::testing
