#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace quarry {
namespace {

using P = UsageProblem;

struct LineCase {
  const char* name;
  std::vector<std::u16string> arguments;  // after the program
  Mode mode = Mode::Extract;
  std::u16string resources;
  std::u16string output;
  std::vector<std::string> patterns;
  bool plainRun = false;
  bool json = false;
  bool keepExisting = false;
  UsageProblem problem = P::None;
  std::string option;
  std::string other;
};

void PrintTo(const LineCase& c, std::ostream* out) {
  *out << c.name;
}

CommandLine parse(const std::vector<std::u16string>& arguments) {
  std::vector<std::u16string> all{u"quarry"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return parseCommandLine(static_cast<int>(all.size()), all.data());
}

class ParseCommandLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseCommandLine, ReadsTheModeOptionsAndOperands) {
  const LineCase& c = GetParam();
  const CommandLine line = parse(c.arguments);
  EXPECT_EQ(line.error.problem, c.problem);
  EXPECT_EQ(line.error.option, c.option);
  EXPECT_EQ(line.error.other, c.other);
  if (c.problem != P::None) return;
  EXPECT_EQ(line.mode, c.mode);
  EXPECT_EQ(line.resources, c.resources);
  EXPECT_EQ(line.output, c.output);
  EXPECT_EQ(line.patterns, c.patterns);
  EXPECT_EQ(line.plainRun, c.plainRun);
  EXPECT_EQ(line.json, c.json);
  EXPECT_EQ(line.keepExisting, c.keepExisting);
}

INSTANTIATE_TEST_SUITE_P(
    Runnable, ParseCommandLine,
    ::testing::Values(
        LineCase{.name = "PlainTwoArguments",
                 .arguments = {u"game.resources", u"out"},
                 .resources = u"game.resources",
                 .output = u"out",
                 .plainRun = true},
        LineCase{.name = "PlainEvenWhenTheyLookOdd",
                 .arguments = {u"-", u"-x"},
                 .resources = u"-",
                 .output = u"-x",
                 .plainRun = true},
        LineCase{.name = "PlainEmptyArguments", .arguments = {u"", u""}, .plainRun = true},
        LineCase{.name = "PatternsAfterTheFolder",
                 .arguments = {u"r", u"o", u"textures/**/*.dds", u"*.json"},
                 .resources = u"r",
                 .output = u"o",
                 .patterns = {"textures/**/*.dds", "*.json"}},
        LineCase{.name = "OptionAmongTheOperands",
                 .arguments = {u"r", u"--keep-existing", u"o", u"p"},
                 .resources = u"r",
                 .output = u"o",
                 .patterns = {"p"},
                 .keepExisting = true},
        LineCase{.name = "AnOptionMakesTwoOperandsNoLongerPlain",
                 .arguments = {u"--keep-existing", u"r", u"o"},
                 .resources = u"r",
                 .output = u"o",
                 .keepExisting = true},
        LineCase{
            .name = "List", .arguments = {u"--list", u"r"}, .mode = Mode::List, .resources = u"r"},
        LineCase{.name = "ListJsonWithPatternsInAnyOrder",
                 .arguments = {u"r", u"--json", u"a*", u"--list", u"b?"},
                 .mode = Mode::List,
                 .resources = u"r",
                 .patterns = {"a*", "b?"},
                 .json = true},
        LineCase{.name = "TestWithPattern",
                 .arguments = {u"--test", u"r", u"sound/*"},
                 .mode = Mode::Test,
                 .resources = u"r",
                 .patterns = {"sound/*"}},
        LineCase{.name = "RepeatedOptionIsHarmless",
                 .arguments = {u"--list", u"--list", u"r"},
                 .mode = Mode::List,
                 .resources = u"r"},
        LineCase{.name = "DashDashEndsOptions",
                 .arguments = {u"--", u"--list", u"out"},
                 .resources = u"--list",
                 .output = u"out"},
        LineCase{.name = "OptionsBeforeDashDashStillCount",
                 .arguments = {u"--list", u"--", u"--json", u"--help"},
                 .mode = Mode::List,
                 .resources = u"--json",
                 .patterns = {"--help"}},
        LineCase{.name = "SecondDashDashIsAnOperand",
                 .arguments = {u"--", u"r", u"--"},
                 .resources = u"r",
                 .output = u"--"},
        LineCase{.name = "PatternsBecomeUtf8",
                 .arguments = {u"--list", u"r", u"\u00E9*", u"\U0001F600"},
                 .mode = Mode::List,
                 .resources = u"r",
                 .patterns = {"\xC3\xA9*", "\xF0\x9F\x98\x80"}},
        LineCase{.name = "PatternBytesThatAreNotUtf8SurviveAsBytes",
                 .arguments = {u"--list", u"r", u"a\xDCFF"},
                 .mode = Mode::List,
                 .resources = u"r",
                 .patterns = {"a\xFF"}},
        LineCase{.name = "HelpWinsOverAnUnknownOption",
                 .arguments = {u"--bogus", u"--help"},
                 .mode = Mode::Help},
        LineCase{.name = "VersionWinsOverConflicts",
                 .arguments = {u"--list", u"--test", u"--version"},
                 .mode = Mode::Version},
        LineCase{.name = "HelpWinsOverVersion",
                 .arguments = {u"--version", u"--help"},
                 .mode = Mode::Help}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Refused, ParseCommandLine,
    ::testing::Values(LineCase{.name = "NoArguments", .problem = P::MissingResources},
                      LineCase{
                          .name = "OneArgument", .arguments = {u"r"}, .problem = P::MissingOutput},
                      LineCase{.name = "ListWithoutResources",
                               .arguments = {u"--list"},
                               .problem = P::MissingResources},
                      LineCase{.name = "TestWithoutResources",
                               .arguments = {u"--test", u"--"},
                               .problem = P::MissingResources},
                      LineCase{.name = "KeepExistingWithoutFolder",
                               .arguments = {u"--keep-existing", u"r"},
                               .problem = P::MissingOutput},
                      LineCase{.name = "HelpAfterDashDashIsAnOperand",
                               .arguments = {u"--", u"--help"},
                               .problem = P::MissingOutput},
                      LineCase{.name = "UnknownOption",
                               .arguments = {u"r", u"o", u"--bogus"},
                               .problem = P::UnknownOption,
                               .option = "--bogus"},
                      LineCase{.name = "FirstOfTwoUnknownOptions",
                               .arguments = {u"--list=x", u"--wat", u"r"},
                               .problem = P::UnknownOption,
                               .option = "--list=x"},
                      LineCase{.name = "UnknownOptionKeepsItsBytes",
                               .arguments = {u"--\u00E9\xDC80", u"r", u"o"},
                               .problem = P::UnknownOption,
                               .option = "--\xC3\xA9\x80"},
                      LineCase{.name = "TripleDashIsUnknown",
                               .arguments = {u"---", u"r", u"o"},
                               .problem = P::UnknownOption,
                               .option = "---"},
                      LineCase{.name = "JsonWithoutList",
                               .arguments = {u"--json", u"r", u"o"},
                               .problem = P::OptionNeedsMode,
                               .option = "--json",
                               .other = "--list"},
                      LineCase{.name = "JsonWithTest",
                               .arguments = {u"--test", u"--json", u"r"},
                               .problem = P::OptionNeedsMode,
                               .option = "--json",
                               .other = "--list"},
                      LineCase{.name = "KeepExistingWithList",
                               .arguments = {u"--keep-existing", u"--list", u"r"},
                               .problem = P::OptionsConflict,
                               .option = "--keep-existing",
                               .other = "--list"},
                      LineCase{.name = "KeepExistingWithTest",
                               .arguments = {u"--test", u"r", u"--keep-existing"},
                               .problem = P::OptionsConflict,
                               .option = "--keep-existing",
                               .other = "--test"},
                      LineCase{.name = "TestAfterList",
                               .arguments = {u"--list", u"--test", u"r"},
                               .problem = P::OptionsConflict,
                               .option = "--test",
                               .other = "--list"},
                      LineCase{.name = "ListAfterTest",
                               .arguments = {u"--test", u"--list", u"r"},
                               .problem = P::OptionsConflict,
                               .option = "--list",
                               .other = "--test"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quarry
