#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <cmath>
#include <limits>
#include <regex>
#include <set>
#include <sstream>

#include "app/command_line.h"
#include "app/message_text.h"
#include "app/messages.h"
#include "support/json_line.h"

namespace quarry {
namespace {

using testing::bytesFromHex;
using testing::readJsonObject;

constexpr std::uint64_t MOST = std::numeric_limits<std::uint64_t>::max();

TEST(Storage, IsJudgedFromTheRecord) {
  struct Case {
    std::uint64_t storedSize, fullSize;
    std::uint32_t flags;
    Storage storage;
  };
  const Case cases[] = {{10, 10, 0, Storage::Stored},
                        {10, 10, FLAG_PREFIXED, Storage::Stored},
                        {0, 0, 0, Storage::Stored},
                        {5, 10, 0, Storage::Compressed},
                        {15, 10, 1, Storage::Compressed},
                        {5, 10, FLAG_PREFIXED, Storage::CompressedPrefixed},
                        {5, 10, FLAG_PREFIXED | 1, Storage::CompressedPrefixed}};
  for (const Case& c : cases) {
    EntryRef entry;
    entry.storedSize = c.storedSize;
    entry.fullSize = c.fullSize;
    entry.flags = c.flags;
    EXPECT_EQ(storageOf(entry), c.storage) << c.storedSize << "/" << c.fullSize << "/" << c.flags;
  }
}

TEST(ListingLine, ShowsSizesStorageAndTheEscapedName) {
  struct Case {
    ListedEntry entry;
    const char* line;
  };
  const Case cases[] = {
      {{0, "textures/a.dds", 1048576, 1048576, 104, Storage::Stored},
       "     1048576      1048576  stored            textures/a.dds"},
      {{1, "data/x.json", 5000, 1200, 0, Storage::Compressed},
       "        5000         1200  compressed        data/x.json"},
      {{2, "a", 70000, 30012, 0, Storage::CompressedPrefixed},
       "       70000        30012  compressed+prefix a"},
      {{3, "evil\x1B[2J.txt", 0, 0, 0, Storage::Stored},
       "           0            0  stored            evil\\x1B[2J.txt"},
      {{4, "big", MOST, 1, 0, Storage::Compressed},
       "18446744073709551615            1  compressed        big"},
      {{7, "", 10, 20, 0, Storage::Compressed, RecordProblem::NameIndexOutsideTable},
       "          10           20  damaged           File #7 has a name index past the end of "
       "the string table"}};
  for (const Case& c : cases) EXPECT_EQ(listingLine(c.entry), c.line);
}

TEST(ListingLine, TotalsInTheSameColumns) {
  EXPECT_EQ(listingTotalLine(3, 1123576, 1079212), "     1123576      1079212  3 files");
  EXPECT_EQ(listingTotalLine(1, 5, 5), "           5            5  1 file");
  EXPECT_EQ(listingTotalLine(0, 0, 0), "           0            0  0 files");
  EXPECT_EQ(listingTotalLine(1234567, 0, 0), "           0            0  1,234,567 files");
}

TEST(ListingLine, TakesTheEntryRecord) {
  EntryRef entry;
  entry.name = "x/y";
  entry.dataOffset = 4096;
  entry.storedSize = 100;
  entry.fullSize = 300;
  entry.flags = FLAG_PREFIXED;
  const ListedEntry listed = listedEntry(9, entry, std::nullopt);
  EXPECT_EQ(listed.index, 9u);
  EXPECT_EQ(listed.name, "x/y");
  EXPECT_EQ(listed.size, 300u);
  EXPECT_EQ(listed.storedSize, 100u);
  EXPECT_EQ(listed.offset, 4096u);
  EXPECT_EQ(listed.storage, Storage::CompressedPrefixed);
  EXPECT_FALSE(listed.problem.has_value());
}

struct JsonCase {
  const char* label;
  std::string name;
  std::string shownName;  // what "name" reads back as
};

void PrintTo(const JsonCase& c, std::ostream* out) {
  *out << c.label;
}

class ListingJson : public ::testing::TestWithParam<JsonCase> {};

// Read back as a tool would: every member there, the name exactly recoverable, and the line
// harmless on a terminal.
TEST_P(ListingJson, ReadsBackAsWritten) {
  const JsonCase& c = GetParam();
  const ListedEntry entry{42, c.name, MOST, 1200, 0x10000, Storage::CompressedPrefixed};
  const std::string line = listingJsonLine(entry);
  EXPECT_EQ(escapeForMessage(line), line);
  const auto object = readJsonObject(line);
  ASSERT_TRUE(object.has_value()) << line;
  const auto& members = *object;
  EXPECT_EQ(members.at("index").number, 42u);
  EXPECT_EQ(members.at("name").text, c.shownName);
  EXPECT_EQ(members.at("size").number, MOST);
  EXPECT_EQ(members.at("stored_size").number, 1200u);
  EXPECT_EQ(members.at("offset").number, 0x10000u);
  EXPECT_EQ(members.at("storage").text, "compressed+prefix");
  EXPECT_EQ(members.count("problem"), 0u);
  const bool valid = c.name == c.shownName;
  ASSERT_EQ(members.count("name_hex"), valid ? 0u : 1u);
  if (!valid) {
    EXPECT_EQ(bytesFromHex(members.at("name_hex").text), c.name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ListingJson,
    ::testing::Values(
        JsonCase{"Plain", "textures/a.dds", "textures/a.dds"}, JsonCase{"Empty", "", ""},
        JsonCase{"QuoteAndBackslash", "q\"b\\s", "q\"b\\s"},
        JsonCase{"Controls", "tab\tnew\nline\r\x01", "tab\tnew\nline\r\x01"},
        JsonCase{"Escape", "esc\x1B[31m", "esc\x1B[31m"}, JsonCase{"Delete", "del\x7F", "del\x7F"},
        JsonCase{"C1Control",
                 "c1\xC2\x9B"
                 "2J",
                 "c1\xC2\x9B"
                 "2J"},
        JsonCase{"LineSeparator", "ls\xE2\x80\xA8", "ls\xE2\x80\xA8"},
        JsonCase{"RightToLeftOverride", "rtl\xE2\x80\xAEgnp.exe", "rtl\xE2\x80\xAEgnp.exe"},
        JsonCase{"Emoji", "e\xF0\x9F\x98\x80", "e\xF0\x9F\x98\x80"},
        JsonCase{"InvalidBytes", "bad\xFF\xFEname", "bad\xEF\xBF\xBD\xEF\xBF\xBDname"},
        JsonCase{"CutSequence", "cut\xE2\x82", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
        JsonCase{"Surrogate", "s\xED\xA0\x80", "s\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return info.param.label; });

TEST(ListingJson, ADamagedEntryCarriesItsProblem) {
  const ListedEntry entry{
      5, "a\"b", 10, 20, 999999, Storage::Compressed, RecordProblem::StoredBytesOutsideFile};
  const auto object = readJsonObject(listingJsonLine(entry));
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ(object->at("problem").text, "File #5 \"a\"b\" has stored bytes outside the file");
  EXPECT_EQ(object->at("name").text, "a\"b");
  EXPECT_EQ(object->at("storage").text, "compressed");
  EXPECT_EQ(object->size(), 7u);
}

TEST(ListingJson, AnEntryOfSeveralContainersNamesItsOwnAndSaysWhenReplaced) {
  for (const bool replaced : {false, true}) {
    const ListedEntry entry{
        5, "a", 10, 10, 99, Storage::Stored, std::nullopt, "levels/e1.resources", 19, replaced};
    const auto object = readJsonObject(listingJsonLine(entry));
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->at("container").text, "levels/e1.resources");
    EXPECT_EQ(object->count("replaced"), replaced ? 1u : 0u);
    EXPECT_EQ(listingLine(entry),
              std::string("          10           10  stored            levels/e1.resources  ") +
                  (replaced ? "replaced  a" : "          a"));
  }
}

TEST(Numbers, ThousandsSeparators) {
  const std::pair<std::uint64_t, const char*> cases[] = {{0, "0"},
                                                         {999, "999"},
                                                         {1000, "1,000"},
                                                         {80002, "80,002"},
                                                         {100000, "100,000"},
                                                         {1234567, "1,234,567"},
                                                         {MOST, "18,446,744,073,709,551,615"}};
  for (const auto& [number, text] : cases) EXPECT_EQ(withThousands(number), text);
}

TEST(Numbers, ByteSizesWithOneDecimal) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {10188, "9.9 KiB"},
      {10189, "10.0 KiB"},
      {1048575, "1.0 MiB"},
      {1048576, "1.0 MiB"},
      {5476083302, "5.1 GiB"},
      {(std::uint64_t{1} << 40) * 1023 + (std::uint64_t{1} << 40) * 99 / 100, "1.0 PiB"},
      {std::uint64_t{1} << 60, "1.0 EiB"},
      {MOST, "16.0 EiB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(byteSize(bytes), text) << bytes;
}

TEST(Numbers, Durations) {
  const std::pair<double, const char*> cases[] = {{0, "0.0 s"},
                                                  {0.04, "0.0 s"},
                                                  {12.34, "12.3 s"},
                                                  {59.94, "59.9 s"},
                                                  {59.96, "1 min 0 s"},
                                                  {125, "2 min 5 s"},
                                                  {3599.4, "59 min 59 s"},
                                                  {3725, "1 h 2 min"},
                                                  {-1, "0.0 s"},
                                                  {std::nan(""), "0.0 s"},
                                                  {1e300, "277777777 h 46 min"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(durationText(seconds), text) << seconds;
}

TEST(SummaryLine, SaysWhatTheRunDid) {
  using K = RunKind;
  struct Case {
    RunTally tally;
    const char* line;
  };
  const Case cases[] = {
      {{K::Extracted, 80004, 80002, 0, 2, 5476083302, 12.34},
       "Extracted 80,002 of 80,004 files (5.1 GiB) in 12.3 s; 2 failed"},
      {{K::Extracted, 3, 3, 0, 0, 1536, 0.04}, "Extracted 3 files (1.5 KiB) in 0.0 s"},
      {{K::Extracted, 10, 6, 4, 0, 600, 1}, "Extracted 6 of 10 files (600 B) in 1.0 s; 4 kept"},
      {{K::Extracted, 10, 5, 4, 1, 600, 1},
       "Extracted 5 of 10 files (600 B) in 1.0 s; 4 kept, 1 failed"},
      {{K::Extracted, 1, 1, 0, 0, 1, 0.2}, "Extracted 1 file (1 B) in 0.2 s"},
      {{K::Extracted, 1, 0, 0, 1, 0, 0.1}, "Extracted 0 of 1 file in 0.1 s; 1 failed"},
      {{K::Extracted, 0, 0, 0, 0, 0, 0}, "Extracted 0 files in 0.0 s"},
      {{K::Extracted, 2, 2, 0, 0, 0, 0}, "Extracted 2 files in 0.0 s"},
      {{K::Extracted, 2000, 0, 2000, 0, 0, 0.5}, "Extracted 0 of 2,000 files in 0.5 s; 2,000 kept"},
      {{K::Listed, 300000, 0, 0, 2, std::uint64_t{3} << 30, 0.4},
       "Listed 300,000 files (3.0 GiB) in 0.4 s; 2 damaged"},
      {{K::Tested, 12, 11, 0, 1, 2048, 125},
       "Tested 11 of 12 files (2.0 KiB) in 2 min 5 s; 1 failed"},
      {{K::Tested, 12, 12, 0, 0, 2048, 1.25}, "Tested 12 files (2.0 KiB) in 1.2 s"}};
  for (const Case& c : cases) EXPECT_EQ(summaryLine(c.tally), c.line);
}

TEST(UsageWords, NameTheProblem) {
  using P = UsageProblem;
  const std::pair<UsageError, const char*> cases[] = {
      {{P::UnknownOption, "--bogus", ""}, "unknown option \"--bogus\""},
      {{P::UnknownOption, "--\x1B[2J", ""}, "unknown option \"--\\x1B[2J\""},
      {{P::OptionNeedsMode, "--json", "--list"}, "--json goes only with --list"},
      {{P::OptionsConflict, "--keep-existing", "--test"},
       "--keep-existing cannot be used with --test"},
      {{P::MissingResources, "", ""}, "missing the resources file"},
      {{P::MissingOutput, "", ""}, "missing the output folder"}};
  for (const auto& [error, line] : cases) EXPECT_EQ(usageProblemLine(error), line);
  EXPECT_EQ(noEntryMatchesLine("textures/**/*.dds"), "no entry matches \"textures/**/*.dds\"");
  EXPECT_EQ(noEntryMatchesLine("a\nb"), "no entry matches \"a\\x0Ab\"");
}

TEST(VersionWords, TheBuildsVersionAndTheDecoder) {
  EXPECT_EQ(versionLine(), std::string("Quarry ") + QUARRY_VERSION);
  EXPECT_TRUE(std::regex_match(QUARRY_VERSION, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
  const std::pair<DecoderKind, const char*> cases[] = {
      {DecoderKind::WindowsLibraryThroughLoader,
       "Decoder: /g/oo2core_8_win64.dll\\x1B (a Windows DLL, loaded by Quarry's own loader)"},
      {DecoderKind::NativeLibrary,
       "Decoder: /g/oo2core_8_win64.dll\\x1B (a native library, loaded by the system)"},
      {DecoderKind::NoneFound,
       "Decoder: none found; extracting and --test need oo2core_8_win64.dll from the game's "
       "folder beside Quarry"}};
  for (const auto& [kind, line] : cases) {
    EXPECT_EQ(decoderChoiceLine("/g/oo2core_8_win64.dll\x1B", kind), line);
  }
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The words of an example line as the shell would pass them: quotes removed, and nothing from
// a redirection on.
std::vector<std::u16string> exampleArguments(const std::string& line) {
  std::vector<std::u16string> arguments;
  std::istringstream words(line);
  for (std::string word; words >> word && word != ">";) {
    if (word.size() >= 2 && word.front() == '"') word = word.substr(1, word.size() - 2);
    arguments.emplace_back(word.begin(), word.end());
  }
  return arguments;
}

TEST(HelpText, FitsTheReadmeAndATerminal) {
  const std::string help = helpText();
  const std::vector<std::string> lines = linesOf(help);
  EXPECT_LE(lines.size(), 32u);  // with the shell prompt, on a 33-row screen
  EXPECT_EQ(help.back(), '\n');
  for (const std::string& line : lines) EXPECT_LE(line.size(), 80u) << line;
}

// The examples are what users copy: each must be a command line Quarry runs, and together
// they show every mode.
TEST(HelpText, EveryExampleParses) {
  const std::vector<std::string> lines = linesOf(helpText());
  std::set<Mode> modes;
  bool json = false;
  bool keepExisting = false;
  const auto examples = std::find(lines.begin(), lines.end(), "Examples:");
  ASSERT_NE(examples, lines.end());
  for (const std::string& line : std::vector<std::string>(examples + 1, lines.end())) {
    if (line.rfind("  quarry ", 0) != 0) continue;
    const std::vector<std::u16string> arguments = exampleArguments(line);
    const CommandLine parsed =
        parseCommandLine(static_cast<int>(arguments.size()), arguments.data());
    EXPECT_TRUE(parsed.usable()) << line;
    modes.insert(parsed.mode);
    json = json || parsed.json;
    keepExisting = keepExisting || parsed.keepExisting;
  }
  EXPECT_EQ(modes, (std::set<Mode>{Mode::Extract, Mode::List, Mode::Test}));
  EXPECT_TRUE(json);
  EXPECT_TRUE(keepExisting);
}

// Every option the help names is one Quarry knows, and every option Quarry knows has its line.
TEST(HelpText, NamesExactlyTheOptionsThatExist) {
  const std::string help = helpText();
  const std::regex option("--[a-z-]+");
  std::set<std::string> named;
  for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
       it != std::sregex_iterator(); ++it) {
    named.insert(it->str());
  }
  for (const std::string& name : named) {
    const std::u16string arguments[] = {u"quarry", std::u16string(name.begin(), name.end())};
    EXPECT_NE(parseCommandLine(2, arguments).error.problem, UsageProblem::UnknownOption) << name;
  }
  for (const char* known :
       {"--list", "--json", "--test", "--keep-existing", "--help", "--version"}) {
    EXPECT_NE(help.find(std::string("\n  ") + known + " "), std::string::npos) << known;
  }
}

// The README's "Everyday use" shows the help as it is.
TEST(HelpText, TheReadmeShowsItWordForWord) {
  std::string path = QUARRY_README;
#ifdef _WIN32
  path = "Z:" + path;  // Wine's drive for the build machine's root
#endif
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << path;
  const std::string readme((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
  EXPECT_NE(readme.find("```\n" + helpText() + "```\n"), std::string::npos)
      << "paste the output of quarry --help into the README";
}

}  // namespace
}  // namespace quarry
