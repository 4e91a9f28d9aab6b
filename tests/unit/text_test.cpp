#include "runtime/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextToInt, ReadsLeadingIntegerWrappingIn32Bits) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"3000", 3000},
      {" 1500ms", 1500},
      {"\t\r\n\v\f42", 42},
      {"2.9", 2},
      {"+7", 7},
      {"-10", -10},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"+-5", 0},
      {"- 5", 0},
      {"4294967296", 0},  // 2^32 wraps to 0
      {"4294967297", 1},
      {"2147483647", 2147483647},
      {"2147483648", -2147483647 - 1},  // wraps negative
      {"-2147483648", -2147483647 - 1},
      {"99999999999", 1215752191},  // 99999999999 mod 2^32
      {"-4294967295", 1},           // sign applied after the wrap
      {"１２", 0},                  // full-width digits are not digits
  };
  for (const Case& c : cases) EXPECT_EQ(rt::TextToInt(c.text), c.expected) << '"' << c.text << '"';
}

TEST(TextToNumber, TakesLongestLeadingDecimalNumber) {
  struct Case {
    const char* text;
    double expected;
  } cases[] = {
      {"1.2", 1.2},  {"1.10", 1.1}, {"1.1.5", 1.1}, {"1.1 beta", 1.1}, {"  -2.5e1x", -25.0},
      {"+.5", 0.5},  {"5.", 5.0},   {"1e", 1.0},    {"1e+", 1.0},      {"2E-1", 0.2},
      {"abc", 0.0},  {"", 0.0},     {".", 0.0},     {"-", 0.0},        {"1.10000001", 1.10000001},
      {"0x10", 0.0}, {"inf", 0.0},  {"1,5", 1.0},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(rt::TextToNumber(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ReplaceAll, ReplacesEveryOccurrenceCaseSensitively) {
  EXPECT_EQ(rt::ReplaceAll("a#HHFb#HHF#hhf", "#HHF", "\r\n"), "a\r\nb\r\n#hhf");
  EXPECT_EQ(rt::ReplaceAll("#HHF#HHF", "#HHF", ""), "");
  EXPECT_EQ(rt::ReplaceAll("aaa", "aa", "b"), "ba");  // scans on after each replacement
  EXPECT_EQ(rt::ReplaceAll("abc", "", "x"), "abc");
}

}  // namespace

namespace {

TEST(CutAtCharBoundary, NeverSplitsADoubleByteCharacter) {
  const std::string text = "ab中文";  // 2 + 2 + 2 bytes
  EXPECT_EQ(rt::CutAtCharBoundary(text, 6), text);
  EXPECT_EQ(rt::CutAtCharBoundary(text, 5), "ab中");
  EXPECT_EQ(rt::CutAtCharBoundary(text, 4), "ab中");
  EXPECT_EQ(rt::CutAtCharBoundary(text, 3), "ab");
  EXPECT_EQ(rt::CutAtCharBoundary("a\x81", 2), "a\x81");  // a lone lead byte at the end counts as one
  EXPECT_EQ(rt::CutAtCharBoundary("", 62), "");
}

TEST(HtmOpenCommand, CutsAtThePlaceholder) {
  struct Case {
    const char* registered;
    const char* expected;
  } cases[] = {
      {"\"C:\\Browser\\browser.exe\" -nohome \"%1\"", "\"C:\\Browser\\browser.exe\" -nohome  http://x/?KORVA"},
      {"C:\\Browser\\browser.exe %1", "C:\\Browser\\browser.exe  http://x/?KORVA"},
      {"C:\\Browser\\browser.exe", "C:\\Browser\\browser.exe http://x/?KORVA"},
      {"\"%1\"", " http://x/?KORVA"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(rt::HtmOpenCommand(c.registered, "http://x/?KORVA"), c.expected) << c.registered;
}

}  // namespace
