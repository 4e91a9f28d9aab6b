#include "runtime/html_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace rt {
namespace {

constexpr uint32_t kRed = Rgb(255, 0, 0);
constexpr uint32_t kD = kDefaultColour;

struct Run {
  std::string text;
  uint32_t colour = kD;
  bool bold = false;
  std::string href = {};
  std::string target = {};
  bool operator==(const Run&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Run& run) {
  return out << "{\"" << run.text << "\" colour=" << std::hex << run.colour << std::dec << " bold=" << run.bold
             << " href=\"" << run.href << "\" target=\"" << run.target << "\"}";
}

std::vector<Run> Runs(std::string_view html) {
  std::vector<Run> runs;
  for (const HtmlRun& run : ParseHtmlLine(html, "").runs)
    runs.push_back({run.text, run.colour, run.bold, run.href, run.target});
  return runs;
}

// Test names carry the input; GBK bytes are written as escapes to keep them readable in any log.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (uint8_t(c) >= 0x20 && uint8_t(c) < 0x7F) {
      out += c;
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += {'\\', 'x', kHex[uint8_t(c) >> 4], kHex[uint8_t(c) & 15]};
    }
  }
  return out;
}

struct MarkupCase {
  const char* html;
  std::vector<Run> runs;
  friend void PrintTo(const MarkupCase& c, std::ostream* out) { *out << Printable(c.html); }
};

class Markup : public testing::TestWithParam<MarkupCase> {};

// Cases are named by their place in the table.
template <typename T>
std::string CaseNumber(const testing::TestParamInfo<T>& info) {
  return std::to_string(info.index);
}

TEST_P(Markup, GivesRuns) { EXPECT_EQ(Runs(GetParam().html), GetParam().runs); }

INSTANTIATE_TEST_SUITE_P(
    Tags, Markup,
    testing::Values(
        MarkupCase{"本站公告", {{"本站公告"}}},
        MarkupCase{"<a href=\"http://a.example/新闻.htm\" target=\"_blank\">新闻</a>",
                   {{"新闻", kLinkColour, false, "http://a.example/新闻.htm", "_blank"}}},
        MarkupCase{"<A HREF='u' TARGET=main>大写</A>", {{"大写", kLinkColour, false, "u", "main"}}},
        // A colour set inside the link wins; one set around it gives way to the link colour.
        MarkupCase{"<a href=u><font color=red>红</font>蓝</a>",
                   {{"红", kRed, false, "u"}, {"蓝", kLinkColour, false, "u"}}},
        MarkupCase{"<font color=\"#f00\">甲<a href=u>乙</a>丙</font>",
                   {{"甲", kRed}, {"乙", kLinkColour, false, "u"}, {"丙", kRed}}},
        MarkupCase{"<a href=u style=\"color: #00ff00\">绿</a>", {{"绿", Rgb(0, 255, 0), false, "u"}}},
        MarkupCase{"<a name=top>锚</a>", {{"锚"}}},
        MarkupCase{"<span style='font-size:9pt; color:GREY'>灰</span>", {{"灰", Rgb(128, 128, 128)}}},
        MarkupCase{"<b>粗</b><strong>体</strong><em>斜</em><i>体</i>", {{"粗体", kD, true}, {"斜体"}}},
        MarkupCase{"<font color=00ff00>a</font><font color=\"#12\">b</font><font color=orange>c</font>",
                   {{"a", Rgb(0, 255, 0)}, {"b"}, {"c", Rgb(255, 165, 0)}}},
        MarkupCase{"<p>段<img src=x.gif>落<br/>尾</p>", {{"段落尾"}}},
        // Closing an element closes what is still open inside it; a close with no open element does nothing.
        MarkupCase{"<b>a<font color=red>b</b>c</font>d</i>e", {{"a", kD, true}, {"b", kRed, true}, {"cde"}}},
        MarkupCase{"<a href=1>x<a href=2>y</a>z",
                   {{"x", kLinkColour, false, "1"}, {"y", kLinkColour, false, "2"}, {"z"}}},
        MarkupCase{"<a href=\"list.asp?a=1&amp;b=2\">链</a>", {{"链", kLinkColour, false, "list.asp?a=1&b=2"}}},
        MarkupCase{"前<!-- <b>注释</b> -->后<!DOCTYPE html>", {{"前后"}}}),
    CaseNumber<MarkupCase>);

INSTANTIATE_TEST_SUITE_P(
    WhiteSpace, Markup,
    testing::Values(MarkupCase{" \t\r\n 一 \n\t 二  ", {{"一 二"}}},
                    MarkupCase{"a <b> b</b> c", {{"a "}, {"b", kD, true}, {" c"}}},
                    // The blank that survives is the first of the row, with its element's properties.
                    MarkupCase{"<a href=u>链接 </a> 后", {{"链接 ", kLinkColour, false, "u"}, {"后"}}},
                    MarkupCase{"&nbsp;a&nbsp; &nbsp;b&nbsp;", {{" a   b "}}},
                    MarkupCase{"a&#32;&#32;&#10;b", {{"a b"}}}, MarkupCase{" <b> </b> ", {}}),
    CaseNumber<MarkupCase>);

INSTANTIATE_TEST_SUITE_P(
    Entities, Markup,
    testing::Values(MarkupCase{"&amp;&lt;&gt;&quot;", {{"&<>\""}}}, MarkupCase{"&copy; 2008", {{"(C) 2008"}}},
                    MarkupCase{"&#65;&#x42;&#X63;&#20013;&#x6587;", {{"ABc中文"}}},
                    MarkupCase{"AT&T &foo; &amp &#; &#x; &#12a; &AMP;", {{"AT&T &foo; &amp &#; &#x; &#12a; &AMP;"}}},
                    // Out of range (2^32 + 65 must not wrap to 'A'), surrogates, NUL, and characters GBK cannot hold
                    // stay as written.
                    MarkupCase{"&#4294967361; &#xD800; &#0; &#128512;", {{"&#4294967361; &#xD800; &#0; &#128512;"}}}),
    CaseNumber<MarkupCase>);

INSTANTIATE_TEST_SUITE_P(
    Malformed, Markup,
    testing::Values(MarkupCase{"a < b", {{"a < b"}}}, MarkupCase{"x<", {{"x<"}}},
                    MarkupCase{"1<2 且 3>2", {{"1<2 且 3>2"}}},
                    MarkupCase{"<a href=\"u>未闭合", {{"<a href=\"u>未闭合"}}},
                    MarkupCase{"<b>未闭合", {{"未闭合", kD, true}}}, MarkupCase{"<!-- 注释", {{"<!-- 注释"}}},
                    MarkupCase{"<<b>>", {{"<"}, {">", kD, true}}}, MarkupCase{"</> <", {{"</> <"}}},
                    MarkupCase{"<a href=\"u\" title", {{"<a href=\"u\" title"}}}, MarkupCase{"半\xB0", {{"半\xB0"}}}),
    CaseNumber<MarkupCase>);

TEST(HtmlLine, PlainTextJoinsTheRuns) {
  EXPECT_EQ(PlainText(ParseHtmlLine("<b>欢迎</b> 访问 <a href=u>本站</a>&nbsp;!", "")), "欢迎 访问 本站 !");
}

// Whatever the input, the parser ends and keeps its promise about the runs.
TEST(HtmlLine, EveryPrefixOfAFragmentParses) {
  const std::string fragments[] = {
      "<font color=#f00>欢迎<a href=\"x.asp?a=1&amp;b=2\" target=_blank>访&#x95EE;</a></font> &nbsp;<b>本站</b><!-- c "
      "-->",
      "<a href='u' style=\"color:blue\"><span style=\"color:red\">x</span></a><em>y</em></b></a>&#20013;&copy;",
  };
  for (const std::string& fragment : fragments) {
    for (size_t n = 0; n <= fragment.size(); ++n) {
      HtmlLine line = ParseHtmlLine(fragment.substr(0, n), "");
      for (size_t k = 0; k < line.runs.size(); ++k) {
        const HtmlRun& run = line.runs[k];
        ASSERT_FALSE(run.text.empty()) << n;
        if (k > 0) {
          const HtmlRun& before = line.runs[k - 1];
          ASSERT_FALSE(before.colour == run.colour && before.bold == run.bold && before.href == run.href &&
                       before.target == run.target)
              << n;
        }
      }
    }
  }
}

struct SheetCase {
  const char* css;
  HtmlBodyStyle body;
  friend void PrintTo(const SheetCase& c, std::ostream* out) { *out << Printable(c.css); }
};

class StyleSheet : public testing::TestWithParam<SheetCase> {};

TEST_P(StyleSheet, GivesBodyStyle) {
  HtmlBodyStyle got = ParseHtmlLine("x", GetParam().css).body;
  const HtmlBodyStyle& want = GetParam().body;
  EXPECT_EQ(got.face, want.face);
  EXPECT_EQ(got.fallbackFace, want.fallbackFace);
  EXPECT_EQ(got.pointSize, want.pointSize);
  EXPECT_EQ(got.colour, want.colour);
  EXPECT_EQ(got.background, want.background);
  EXPECT_EQ(got.underlineLinks, want.underlineLinks);
}

INSTANTIATE_TEST_SUITE_P(
    Sheets, StyleSheet,
    testing::Values(
        SheetCase{"", {"", "", 12, kD, kD, true}},
        SheetCase{"body { font-size: 9pt; font-family: \"宋体\", 'Arial', serif; color: #333;"
                  " background: url(bg.gif) #FFFFEE no-repeat; margin: 0 }",
                  {"宋体", "Arial", 9, Rgb(0x33, 0x33, 0x33), Rgb(0xFF, 0xFF, 0xEE), true}},
        SheetCase{"BODY{font-size:10.5pt;font-family:Tahoma;background-color:black;color:white!important}",
                  {"Tahoma", "", 11, Rgb(255, 255, 255), Rgb(0, 0, 0), true}},
        SheetCase{"html, body { font-size: 20px } body { font-size: large; color: #zzz }", {"", "", 15, kD, kD, true}},
        // Comments, at-rules and other selectors are read past, not applied.
        SheetCase{"/* body { color: red } */ @charset \"gbk\"; @import url(a.css);"
                  " @media print { body { color: red } a { text-decoration: none } }"
                  " td, .body, body p { color: red; font-size: 20pt } a.x, a:active { text-decoration: none }"
                  " body { color: blue }",
                  {"", "", 12, Rgb(0, 0, 255), kD, true}},
        SheetCase{"a:link { color: red; text-decoration: none } a:hover { text-decoration: underline }",
                  {"", "", 12, kD, kD, false}},
        SheetCase{"a:visited{text-decoration:underline}a:hover{TEXT-DECORATION:NONE}", {"", "", 12, kD, kD, false}},
        SheetCase{"a { text-decoration: underline overline }", {"", "", 12, kD, kD, true}},
        // GBK trail bytes 0x7B and 0x7D are '{' and '}': the names must not end the block.
        SheetCase{"body { font-family: 聖納, \"脈\"; color: red } p { color: blue }",
                  {"聖納", "脈", 12, kRed, kD, true}},
        // An unclosed block is closed at the end, as browsers do; stray braces are read past.
        SheetCase{"}} ; body { font-size: 8pt; color: red", {"", "", 8, kRed, kD, true}}),
    CaseNumber<SheetCase>);

// The `font` shorthand comes before font-family on purpose: it must not be taken for it.
TEST(HtmlLine, EveryPrefixOfASheetParses) {
  const std::string sheet =
      "/* x */ @media screen { a { color: red } } body { font: 9pt \"宋体\"; font-family: '納', 聖;"
      " background: #fff url(\"a;b.gif\") } a:link, a:visited { text-decoration: none }";
  for (size_t n = 0; n <= sheet.size(); ++n) {
    std::string prefix = sheet.substr(0, n);
    HtmlBodyStyle body = ParseHtmlLine("", prefix).body;
    if (!body.face.empty()) {
      ASSERT_NE(prefix.find("font-family"), std::string::npos) << n;
    }
    if (!body.underlineLinks) {
      ASSERT_NE(prefix.find("none"), std::string::npos) << n;
    }
  }
  HtmlBodyStyle body = ParseHtmlLine("", sheet).body;
  EXPECT_EQ(body.face, "納");
  EXPECT_EQ(body.fallbackFace, "聖");
  EXPECT_EQ(body.background, Rgb(255, 255, 255));
  EXPECT_FALSE(body.underlineLinks);
}

}  // namespace
}  // namespace rt
