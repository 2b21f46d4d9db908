// What a C runtime's start-up asks of KERNEL32 to build its character tables and case
// conversions: character classes, case mapping and comparison, called as a library calls them.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "unit/kernel32_calls.h"

namespace quarry {
namespace {

using Word = std::uint16_t;
using StringTypeCall = Bool MS_ABI(Dword, const char16_t*, int, Word*);

std::vector<Word> stringTypes(Dword kind, const std::u16string& text) {
  std::vector<Word> types(text.size(), 0xDEAD);
  const auto getStringType = shim<StringTypeCall>("GetStringTypeW");
  EXPECT_EQ(getStringType(kind, text.data(), static_cast<int>(text.size()), types.data()), 1);
  return types;
}

struct TypeCase {
  char16_t unit;
  Dword kind;
  Word types;
};

void PrintTo(const TypeCase& c, std::ostream* out) {
  *out << "U+" << std::hex << static_cast<unsigned>(c.unit) << " kind " << c.kind;
}

class GetStringTypeW : public ::testing::TestWithParam<TypeCase> {};

TEST_P(GetStringTypeW, ClassifiesAsWindowsDoes) {
  EXPECT_EQ(stringTypes(GetParam().kind, std::u16string(1, GetParam().unit))[0], GetParam().types);
}

// C1: upper 1, lower 2, digit 4, space 8, punct 0x10, cntrl 0x20, blank 0x40, xdigit 0x80,
// alpha 0x100, defined 0x200. C2: directions. C3: symbol 8, half width 0x40, alpha 0x8000.
INSTANTIATE_TEST_SUITE_P(
    Units, GetStringTypeW,
    ::testing::Values(TypeCase{0x00, 1, 0x220}, TypeCase{u'\t', 1, 0x268},
                      TypeCase{u'\n', 1, 0x228}, TypeCase{0x0B, 1, 0x228},
                      TypeCase{u'\r', 1, 0x228}, TypeCase{0x1B, 1, 0x220}, TypeCase{0x1C, 1, 0x228},
                      TypeCase{0x1F, 1, 0x228}, TypeCase{u' ', 1, 0x248}, TypeCase{u'!', 1, 0x210},
                      TypeCase{u'/', 1, 0x210}, TypeCase{u'0', 1, 0x284}, TypeCase{u'9', 1, 0x284},
                      TypeCase{u'@', 1, 0x210}, TypeCase{u'A', 1, 0x381}, TypeCase{u'F', 1, 0x381},
                      TypeCase{u'G', 1, 0x301}, TypeCase{u'Z', 1, 0x301}, TypeCase{u'`', 1, 0x210},
                      TypeCase{u'a', 1, 0x382}, TypeCase{u'f', 1, 0x382}, TypeCase{u'g', 1, 0x302},
                      TypeCase{u'z', 1, 0x302}, TypeCase{u'~', 1, 0x210}, TypeCase{0x7F, 1, 0x220},
                      TypeCase{0xC9, 1, 0x301}, TypeCase{0xE9, 1, 0x302}, TypeCase{0xDF, 1, 0x302},
                      TypeCase{0xAA, 1, 0x300}, TypeCase{0xD7, 1, 0x200}, TypeCase{0xF7, 1, 0x200},
                      TypeCase{0xA0, 1, 0x200}, TypeCase{0x4E00, 1, 0x200}, TypeCase{u'a', 2, 1},
                      TypeCase{u'5', 2, 3}, TypeCase{u'+', 2, 4}, TypeCase{u'%', 2, 5},
                      TypeCase{u',', 2, 7}, TypeCase{u'\n', 2, 8}, TypeCase{u'\t', 2, 9},
                      TypeCase{u' ', 2, 10}, TypeCase{u'!', 2, 11}, TypeCase{0x00, 2, 0},
                      TypeCase{0xE9, 2, 1}, TypeCase{u'a', 4, 0x8040}, TypeCase{u'7', 4, 0x40},
                      TypeCase{u'+', 4, 0x48}, TypeCase{u'.', 4, 0x40}, TypeCase{0xE9, 4, 0x8000},
                      TypeCase{0xD800, 4, 0x800}, TypeCase{0xDC00, 4, 0x1000},
                      TypeCase{0x01, 4, 0}));

// Over the whole ASCII range the classes agree with the C library's in its "C" locale, except
// that Windows also counts the separators 0x1C-0x1F as spaces; every unit is defined.
TEST(Kernel32, CharacterClassesOfAsciiAgreeWithTheCLocale) {
  std::u16string ascii;
  for (char16_t unit = 0; unit < 0x80; ++unit) ascii += unit;
  const std::vector<Word> types = stringTypes(1, ascii);
  for (int c = 0; c < 0x80; ++c) {
    const Word t = types[c];
    EXPECT_EQ((t & 0x1) != 0, std::isupper(c) != 0) << c;
    EXPECT_EQ((t & 0x2) != 0, std::islower(c) != 0) << c;
    EXPECT_EQ((t & 0x4) != 0, std::isdigit(c) != 0) << c;
    EXPECT_EQ((t & 0x8) != 0, std::isspace(c) != 0 || (c >= 0x1C && c <= 0x1F)) << c;
    EXPECT_EQ((t & 0x10) != 0, std::ispunct(c) != 0) << c;
    EXPECT_EQ((t & 0x20) != 0, std::iscntrl(c) != 0) << c;
    EXPECT_EQ((t & 0x40) != 0, std::isblank(c) != 0) << c;
    EXPECT_EQ((t & 0x80) != 0, std::isxdigit(c) != 0) << c;
    EXPECT_EQ((t & 0x100) != 0, std::isalpha(c) != 0) << c;
    EXPECT_NE(t & 0x200, 0) << c;
  }
}

TEST(Kernel32, StringTypesThroughTheNulCountItAndNoMore) {
  const auto getStringType = shim<StringTypeCall>("GetStringTypeW");
  Word types[4] = {0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD};
  EXPECT_EQ(getStringType(1, u"a ", -1, types), 1);
  EXPECT_EQ(types[0], 0x382);
  EXPECT_EQ(types[1], 0x248);
  EXPECT_EQ(types[2], 0x220) << "the NUL";
  EXPECT_EQ(types[3], 0xDEAD);
  struct Refusal {
    Dword kind;
    const char16_t* text;
    int length;
    Word* out;
    Dword error;
  };
  for (const Refusal& r : {Refusal{1, nullptr, 1, types, 87}, Refusal{1, u"a", 0, types, 87},
                           Refusal{1, u"a", -2, types, 87}, Refusal{1, u"a", 1, nullptr, 87},
                           Refusal{8, u"a", 1, types, 1004}}) {
    clearLastError();
    EXPECT_EQ(getStringType(r.kind, r.text, r.length, r.out), 0) << r.kind << " " << r.length;
    EXPECT_EQ(lastErrorAfterwards(), r.error) << r.kind << " " << r.length;
  }
}

struct MapCase {
  const char* name;
  Dword flags;
  const char16_t* input;
  int inputLength;  // -1: through the NUL
  int room;
  int answer;
  std::u16string output;
  Dword error;  // when answer is 0
};

void PrintTo(const MapCase& c, std::ostream* out) {
  *out << c.name;
}

class LCMapString : public ::testing::TestWithParam<MapCase> {};

// LCMapStringW and LCMapStringEx answer alike.
TEST_P(LCMapString, MapsCaseAndAnswersSizesAsWindowsDoes) {
  const MapCase& c = GetParam();
  const auto byId =
      shim<int MS_ABI(Dword, Dword, const char16_t*, int, char16_t*, int)>("LCMapStringW");
  const auto byName = shim<int MS_ABI(const char16_t*, Dword, const char16_t*, int, char16_t*, int,
                                      void*, void*, std::intptr_t)>("LCMapStringEx");
  for (const bool ex : {false, true}) {
    std::u16string out(16, u'#');
    clearLastError();
    const int answer = ex ? byName(u"en-US", c.flags, c.input, c.inputLength, out.data(), c.room,
                                   nullptr, nullptr, 0)
                          : byId(0x409, c.flags, c.input, c.inputLength, out.data(), c.room);
    EXPECT_EQ(answer, c.answer) << (ex ? "Ex" : "W");
    if (c.answer == 0) {
      EXPECT_EQ(lastErrorAfterwards(), c.error) << (ex ? "Ex" : "W");
    }
    if (c.answer > 0 && c.room > 0) {
      EXPECT_EQ(out.substr(0, c.answer), c.output);
    }
    if (c.room >= 0 && c.room < 16) {
      EXPECT_EQ(out[c.room], u'#') << "written past the room";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LCMapString,
    ::testing::Values(MapCase{"Lowercase", 0x100, u"MiXeD 9Z", -1, 16, 9,
                              std::u16string(u"mixed 9z\0", 9), 0},
                      MapCase{"Uppercase", 0x200, u"Stra\u00DFe \u00E9\u00FF", 9, 16, 9,
                              u"STRA\u00DFE \u00C9\u00FF", 0},
                      MapCase{"LowercaseLatin1", 0x100, u"\u00C0\u00D7\u00DE", 3, 16, 3,
                              u"\u00E0\u00D7\u00FE", 0},
                      MapCase{"Counted", 0x200, u"abcdef", 3, 16, 3, u"ABC", 0},
                      MapCase{"SizeOnly", 0x100, u"abc", -1, 0, 4, u"", 0},
                      MapCase{"ExactFit", 0x100, u"ABC", 3, 3, 3, u"abc", 0},
                      MapCase{"TooSmall", 0x100, u"abc", 3, 2, 0, u"", 122},
                      MapCase{"OtherFlagsCopy", 0x400000, u"AbC", 3, 16, 3, u"AbC", 0},
                      MapCase{"LinguisticUppercase", 0x01000200, u"ab", 2, 16, 2, u"AB", 0},
                      MapCase{"SortKeyRefused", 0x400, u"abc", 3, 16, 0, u"", 1004},
                      MapCase{"BothCasesRefused", 0x300, u"abc", 3, 16, 0, u"", 1004},
                      MapCase{"NullSource", 0x100, nullptr, 3, 16, 0, u"", 87},
                      MapCase{"EmptySource", 0x100, u"abc", 0, 16, 0, u"", 87},
                      MapCase{"NegativeRoom", 0x100, u"abc", 3, -1, 0, u"", 87}),
    [](const ::testing::TestParamInfo<MapCase>& info) { return std::string(info.param.name); });

struct CompareCase {
  const char* name;
  Dword flags;
  const char16_t* first;
  int firstLength;
  const char16_t* second;
  int secondLength;
  int answer;  // 1 less, 2 equal, 3 greater; 0 failed with ERROR_INVALID_PARAMETER
};

void PrintTo(const CompareCase& c, std::ostream* out) {
  *out << c.name;
}

class CompareString : public ::testing::TestWithParam<CompareCase> {};

// CompareStringW and CompareStringEx answer alike.
TEST_P(CompareString, OrdersByCodeUnitAsAsked) {
  const CompareCase& c = GetParam();
  const auto byId =
      shim<int MS_ABI(Dword, Dword, const char16_t*, int, const char16_t*, int)>("CompareStringW");
  const auto byName = shim<int MS_ABI(const char16_t*, Dword, const char16_t*, int, const char16_t*,
                                      int, void*, void*, std::intptr_t)>("CompareStringEx");
  clearLastError();
  EXPECT_EQ(byId(0x409, c.flags, c.first, c.firstLength, c.second, c.secondLength), c.answer);
  if (c.answer == 0) {
    EXPECT_EQ(lastErrorAfterwards(), 87u);
  }
  EXPECT_EQ(byName(nullptr, c.flags, c.first, c.firstLength, c.second, c.secondLength, nullptr,
                   nullptr, 0),
            c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompareString,
    ::testing::Values(CompareCase{"Equal", 0, u"abc", -1, u"abc", -1, 2},
                      CompareCase{"Less", 0, u"abc", -1, u"abd", -1, 1},
                      CompareCase{"Greater", 0, u"abd", -1, u"abc", -1, 3},
                      CompareCase{"PrefixFirst", 0, u"ab", -1, u"abc", -1, 1},
                      CompareCase{"PrefixSecond", 0, u"abc", -1, u"ab", -1, 3},
                      CompareCase{"CountedPrefixesEqual", 0, u"abcX", 3, u"abcY", 3, 2},
                      CompareCase{"CountedAgainstNul", 0, u"abcX", 3, u"abc", -1, 2},
                      CompareCase{"BothEmpty", 0, u"", 0, u"x", 0, 2},
                      CompareCase{"CaseCounts", 0, u"ABC", -1, u"abc", -1, 1},
                      CompareCase{"CaseIgnored", 1, u"ABC", -1, u"abc", -1, 2},
                      CompareCase{"CaseIgnoredLatin1", 1, u"\u00C9t\u00C9", -1, u"\u00E9t\u00E9",
                                  -1, 2},
                      CompareCase{"CaseIgnoredOrdersFolded", 1, u"a", -1, u"B", -1, 1},
                      CompareCase{"CaseCountedOrdersByUnit", 0, u"a", -1, u"B", -1, 3},
                      CompareCase{"NullFirst", 0, nullptr, -1, u"a", -1, 0},
                      CompareCase{"NullSecond", 0, u"a", -1, nullptr, 0, 0},
                      CompareCase{"BadLength", 0, u"a", -2, u"a", -1, 0}),
    [](const ::testing::TestParamInfo<CompareCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quarry
