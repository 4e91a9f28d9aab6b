// One line of HTML as the notice line shows it: a fragment and its style sheet reduced to runs of
// text with the few properties the line draws. No HTML engine is needed (or available under Wine).
//
// Error policy: never throws on any input and always terminates; whatever cannot be read as markup
// (a stray '<', an unclosed tag, an unknown entity) stays in the text as written.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/layout.h"

namespace rt {

// Links without a colour of their own are drawn in this blue, as browsers draw unvisited links.
constexpr uint32_t kLinkColour = Rgb(0, 0, 255);

struct HtmlRun {
  std::string text;                  // GBK; white space already collapsed
  uint32_t colour = kDefaultColour;  // kDefaultColour: the body colour
  bool bold = false;
  std::string href;  // empty: not a link
  std::string target;
};

struct HtmlBodyStyle {
  std::string face;          // GBK, first family of the body's font-family, quotes stripped
  std::string fallbackFace;  // the second family, if any
  int pointSize = 12;        // a browser's "medium" when the sheet says nothing
  uint32_t colour = kDefaultColour;
  uint32_t background = kDefaultColour;
  bool underlineLinks = true;
};

struct HtmlLine {
  HtmlBodyStyle body;
  std::vector<HtmlRun> runs;  // no empty runs; neighbours always differ in some property
};

HtmlLine ParseHtmlLine(std::string_view html, std::string_view css);

// The runs' texts joined: what the line says, for WM_GETTEXT and for tools.
std::string PlainText(const HtmlLine& line);

}  // namespace rt
