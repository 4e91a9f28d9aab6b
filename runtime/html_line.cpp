#include "runtime/html_line.h"

#include <algorithm>
#include <functional>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace rt {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
// GBK trail bytes run from 0x40 to 0xFE, so they can look like '{', '}', '\\' or letters: a scanner
// that looks at punctuation must step over a lead byte and its trail together.
bool IsLeadByte(char c) { return uint8_t(c) >= 0x81 && uint8_t(c) <= 0xFE; }
bool IsTrailByte(char c) { return uint8_t(c) >= 0x40 && uint8_t(c) <= 0xFE && c != 0x7F; }

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

int HexDigit(char c) {
  c = Lower(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<uint32_t> ParseHexColour(std::string_view hex) {
  if (hex.size() != 3 && hex.size() != 6) return std::nullopt;
  uint8_t rgb[3];
  for (size_t k = 0; k < 3; ++k) {
    int hi, lo;
    if (hex.size() == 3) {
      hi = lo = HexDigit(hex[k]);
    } else {
      hi = HexDigit(hex[2 * k]);
      lo = HexDigit(hex[2 * k + 1]);
    }
    if (hi < 0 || lo < 0) return std::nullopt;
    rgb[k] = uint8_t(hi * 16 + lo);
  }
  return Rgb(rgb[0], rgb[1], rgb[2]);
}

// `bareHex`: old pages write <font color="ff0000"> and browsers accept it there, not in CSS.
std::optional<uint32_t> ParseColour(std::string_view text, bool bareHex = false) {
  static constexpr struct {
    std::string_view name;
    uint32_t colour;
  } kNames[] = {
      {"red", Rgb(255, 0, 0)},      {"black", Rgb(0, 0, 0)},      {"white", Rgb(255, 255, 255)},
      {"blue", Rgb(0, 0, 255)},     {"green", Rgb(0, 128, 0)},    {"gray", Rgb(128, 128, 128)},
      {"grey", Rgb(128, 128, 128)}, {"orange", Rgb(255, 165, 0)},
  };
  text = Trim(text);
  if (!text.empty() && text.front() == '#') return ParseHexColour(text.substr(1));
  for (const auto& entry : kNames)
    if (EqualsNoCase(text, entry.name)) return entry.colour;
  if (bareHex && text.size() == 6) return ParseHexColour(text);
  return std::nullopt;
}

// ---- character references ----

std::optional<std::string> EncodeGbk(char32_t cp) {
#ifdef _WIN32
  wchar_t wide[2];
  int units = 1;
  if (cp < 0x10000) {
    wide[0] = wchar_t(cp);
  } else {
    wide[0] = wchar_t(0xD800 + ((cp - 0x10000) >> 10));
    wide[1] = wchar_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
    units = 2;
  }
  char out[8];
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, units, out, sizeof out, nullptr, &usedDefault);
  if (n <= 0 || usedDefault) return std::nullopt;
  return std::string(out, size_t(n));
#else
  // glibc's CP936 is the Windows table (it has the euro sign at 0x80, its GBK does not).
  iconv_t cd = iconv_open("CP936", "UTF-32LE");
  if (cd == iconv_t(-1)) return std::nullopt;
  char in[4] = {char(cp & 0xFF), char((cp >> 8) & 0xFF), char((cp >> 16) & 0xFF), char(cp >> 24)};
  char out[8];
  char* inPtr = in;
  char* outPtr = out;
  size_t inLeft = sizeof in, outLeft = sizeof out;
  size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (done == size_t(-1) || inLeft != 0) return std::nullopt;
  return std::string(out, size_t(outPtr - out));
#endif
}

constexpr char32_t kNbsp = 0xA0;

struct Reference {
  char32_t cp;
  size_t length;  // from the '&' through the ';'
};

// The reference starting at s[i] == '&', if it is one this line understands.
std::optional<Reference> ReadReference(std::string_view s, size_t i) {
  static constexpr struct {
    std::string_view name;
    char32_t cp;
  } kNamed[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"nbsp;", kNbsp}, {"copy;", 0xA9}};
  std::string_view rest = s.substr(i + 1);
  for (const auto& entry : kNamed)
    if (rest.starts_with(entry.name)) return Reference{entry.cp, entry.name.size() + 1};
  if (rest.empty() || rest[0] != '#') return std::nullopt;
  size_t p = 1;
  bool hex = p < rest.size() && (rest[p] == 'x' || rest[p] == 'X');
  if (hex) ++p;
  const size_t digits = p;
  uint32_t cp = 0;
  for (; p < rest.size(); ++p) {
    int d = hex ? HexDigit(rest[p]) : (rest[p] >= '0' && rest[p] <= '9' ? rest[p] - '0' : -1);
    if (d < 0) break;
    cp = cp * (hex ? 16 : 10) + uint32_t(d);
    if (cp > 0x10FFFF) return std::nullopt;  // also keeps the sum from wrapping
  }
  if (p == digits || p >= rest.size() || rest[p] != ';') return std::nullopt;
  if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return Reference{cp, p + 2};
}

// GBK bytes for a referenced character; none when GBK cannot say it. U+00A0 is the caller's.
std::optional<std::string> CharacterBytes(char32_t cp) {
  if (cp < 0x80) return std::string(1, char(cp));
  if (cp == 0xA9) return std::string("(C)");  // GBK has no copyright sign
  return EncodeGbk(cp);
}

// Attribute values take references too (an href with "&amp;"); white space there is kept as is.
std::string DecodeAttribute(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size();) {
    if (value[i] == '&') {
      if (auto ref = ReadReference(value, i)) {
        auto bytes = ref->cp == kNbsp ? std::optional<std::string>(" ") : CharacterBytes(ref->cp);
        if (bytes) {
          out += *bytes;
          i += ref->length;
          continue;
        }
      }
    }
    out += value[i++];
  }
  return out;
}

// ---- style sheet ----

// Next index after the character at s[i], a GBK pair or a quoted string counting as one.
size_t Step(std::string_view s, size_t i) {
  if (IsLeadByte(s[i]) && i + 1 < s.size() && IsTrailByte(s[i + 1])) return i + 2;
  if (s[i] == '"' || s[i] == '\'') {
    size_t close = s.find(s[i], i + 1);
    return close == std::string_view::npos ? s.size() : close + 1;
  }
  return i + 1;
}

std::string StripComments(std::string_view css) {
  std::string out;
  for (size_t i = 0; i < css.size();) {
    if (css.substr(i, 2) == "/*") {
      size_t close = css.find("*/", i + 2);
      i = close == std::string_view::npos ? css.size() : close + 2;
      out += ' ';
      continue;
    }
    size_t next = Step(css, i);
    out.append(css.substr(i, next - i));
    i = next;
  }
  return out;
}

// Splits at `separator` outside quotes and GBK pairs.
std::vector<std::string_view> Split(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); i = Step(s, i)) {
    if (s[i] == separator) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(s.substr(start));
  return parts;
}

using DeclarationFn = std::function<void(const std::string& property, std::string_view value)>;

void ForEachDeclaration(std::string_view block, const DeclarationFn& fn) {
  for (std::string_view declaration : Split(block, ';')) {
    size_t colon = declaration.find(':');
    if (colon == std::string_view::npos) continue;
    std::string property = LowerAscii(Trim(declaration.substr(0, colon)));
    std::string_view value = Trim(declaration.substr(colon + 1));
    size_t bang = value.rfind('!');
    if (bang != std::string_view::npos && EqualsNoCase(Trim(value.substr(bang + 1)), "important"))
      value = Trim(value.substr(0, bang));
    fn(property, value);
  }
}

// Calls `fn` with the prelude and block of every top-level rule. An at-rule's block is passed whole
// (its prelude matches no selector), so the rules nested in @media never apply.
void ForEachRule(std::string_view css, const std::function<void(std::string_view, std::string_view)>& fn) {
  size_t i = 0;
  while (i < css.size()) {
    size_t p = i;
    while (p < css.size() && css[p] != '{' && css[p] != ';' && css[p] != '}') p = Step(css, p);
    if (p >= css.size()) return;
    std::string_view prelude = Trim(css.substr(i, p - i));
    if (css[p] != '{') {
      i = p + 1;
      continue;
    }
    size_t q = p + 1;
    for (int depth = 1; q < css.size(); q = Step(css, q)) {
      if (css[q] == '{') ++depth;
      if (css[q] == '}' && --depth == 0) break;
    }
    fn(prelude, css.substr(p + 1, std::min(q, css.size()) - p - 1));
    i = q + 1;
  }
}

std::string Unquote(std::string_view s) {
  s = Trim(s);
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) s = s.substr(1, s.size() - 2);
  return std::string(Trim(s));
}

// "9pt" -> 9; pixels at 96 per inch; anything else leaves the size alone.
std::optional<int> ParsePointSize(std::string_view value) {
  double number = 0, scale = 1;
  size_t i = 0;
  bool digits = false, fraction = false;
  for (; i < value.size() && i < 12; ++i) {
    char c = value[i];
    if (c == '.' && !fraction) {
      fraction = true;
    } else if (c >= '0' && c <= '9') {
      digits = true;
      if (fraction) scale /= 10;
      number = fraction ? number + (c - '0') * scale : number * 10 + (c - '0');
    } else {
      break;
    }
  }
  std::string unit = LowerAscii(Trim(value.substr(i)));
  if (!digits) return std::nullopt;
  if (unit == "px")
    number = number * 72 / 96;
  else if (unit != "pt")
    return std::nullopt;
  // Range-checked before the conversion: a size beyond int is no size at all.
  if (!(number + 0.5 >= 1) || number + 0.5 >= 1001) return std::nullopt;
  return int(number + 0.5);
}

HtmlBodyStyle ParseStyleSheet(std::string_view css) {
  HtmlBodyStyle body;
  std::string sheet = StripComments(css);
  ForEachRule(sheet, [&](std::string_view prelude, std::string_view block) {
    for (std::string_view selector : Split(prelude, ',')) {
      std::string name = LowerAscii(Trim(selector));
      if (name == "body") {
        ForEachDeclaration(block, [&](const std::string& property, std::string_view value) {
          if (property == "font-size") {
            if (auto points = ParsePointSize(value)) body.pointSize = *points;
          } else if (property == "font-family") {
            std::vector<std::string_view> families = Split(value, ',');
            body.face = Unquote(families[0]);
            body.fallbackFace = families.size() > 1 ? Unquote(families[1]) : std::string();
          } else if (property == "color") {
            if (auto colour = ParseColour(value)) body.colour = *colour;
          } else if (property == "background-color") {
            if (auto colour = ParseColour(value)) body.background = *colour;
          } else if (property == "background") {
            for (std::string_view part : Split(value, ' '))
              if (auto colour = ParseColour(part)) {
                body.background = *colour;
                break;
              }
          }
        });
      } else if (name == "a" || name == "a:link" || name == "a:visited" || name == "a:hover") {
        ForEachDeclaration(block, [&](const std::string& property, std::string_view value) {
          if (property != "text-decoration") return;
          for (std::string_view part : Split(value, ' '))
            if (EqualsNoCase(part, "none")) body.underlineLinks = false;
        });
      }
    }
  });
  return body;
}

// ---- markup ----

struct Style {
  uint32_t colour = kDefaultColour;
  bool bold = false;
  std::string href;
  std::string target;
};

struct Tag {
  std::string name;  // lower case; empty for comments and declarations
  bool closing = false;
  std::vector<std::pair<std::string, std::string>> attributes;
  size_t end = 0;  // index after the '>'

  const std::string* Attribute(std::string_view attribute) const {
    for (const auto& [key, value] : attributes)
      if (key == attribute) return &value;
    return nullptr;
  }
};

// The markup starting at s[i] == '<', or none when it is not one (it is then text).
std::optional<Tag> ReadTag(std::string_view s, size_t i) {
  Tag tag;
  if (s.substr(i, 4) == "<!--") {
    size_t close = s.find("-->", i + 4);
    if (close == std::string_view::npos) return std::nullopt;
    tag.end = close + 3;
    return tag;
  }
  size_t p = i + 1;
  if (p < s.size() && (s[p] == '!' || s[p] == '?')) {
    size_t close = s.find('>', p);
    if (close == std::string_view::npos) return std::nullopt;
    tag.end = close + 1;
    return tag;
  }
  if (p < s.size() && s[p] == '/') {
    tag.closing = true;
    ++p;
  }
  if (p >= s.size() || !IsAlpha(s[p])) return std::nullopt;
  while (p < s.size() && !IsSpace(s[p]) && s[p] != '>' && s[p] != '/') tag.name += Lower(s[p++]);
  auto isNameEnd = [&](size_t k) {
    return k >= s.size() || IsSpace(s[k]) || s[k] == '=' || s[k] == '>' || s[k] == '/';
  };
  while (true) {
    while (p < s.size() && (IsSpace(s[p]) || s[p] == '/')) ++p;
    if (p >= s.size()) return std::nullopt;
    if (s[p] == '>') {
      tag.end = p + 1;
      return tag;
    }
    std::string name;
    while (!isNameEnd(p)) name += Lower(s[p++]);
    while (p < s.size() && IsSpace(s[p])) ++p;
    std::string_view value;
    if (p < s.size() && s[p] == '=') {
      ++p;
      while (p < s.size() && IsSpace(s[p])) ++p;
      if (p < s.size() && (s[p] == '"' || s[p] == '\'')) {
        size_t close = s.find(s[p], p + 1);
        if (close == std::string_view::npos) return std::nullopt;
        value = s.substr(p + 1, close - p - 1);
        p = close + 1;
      } else {
        size_t start = p;
        while (p < s.size() && !IsSpace(s[p]) && s[p] != '>') ++p;
        value = s.substr(start, p - start);
      }
    }
    if (!name.empty()) tag.attributes.emplace_back(std::move(name), DecodeAttribute(value));
  }
}

// Collects the runs. A collapsible blank is held back until something visible follows it, which
// drops blanks at the start and the end of the line and merges a row of them into the first.
class RunBuilder {
 public:
  void Space(const Style& style) {
    if (!runs_.empty() && !pending_) pending_ = style;
  }
  void Visible(std::string_view bytes, const Style& style) {
    if (pending_) {
      Append(" ", *pending_);
      pending_.reset();
    }
    Append(bytes, style);
  }
  std::vector<HtmlRun> Take() { return std::move(runs_); }

 private:
  void Append(std::string_view bytes, const Style& style) {
    if (runs_.empty() || runs_.back().colour != style.colour || runs_.back().bold != style.bold ||
        runs_.back().href != style.href || runs_.back().target != style.target)
      runs_.push_back({"", style.colour, style.bold, style.href, style.target});
    runs_.back().text.append(bytes);
  }

  std::vector<HtmlRun> runs_;
  std::optional<Style> pending_;
};

class MarkupReader {
 public:
  std::vector<HtmlRun> Read(std::string_view html) {
    for (size_t i = 0; i < html.size();) {
      char c = html[i];
      if (c == '<') {
        if (auto tag = ReadTag(html, i)) {
          Apply(*tag);
          i = tag->end;
          continue;
        }
      } else if (c == '&') {
        if (auto ref = ReadReference(html, i)) {
          if (ref->cp == kNbsp) {
            // A non-breaking space neither collapses nor is trimmed; GBK has no such byte.
            builder_.Visible(" ", Current());
            i += ref->length;
            continue;
          }
          if (auto bytes = CharacterBytes(ref->cp)) {
            // A referenced blank collapses like a written one, as browsers do.
            if (bytes->size() == 1 && IsSpace((*bytes)[0]))
              builder_.Space(Current());
            else
              builder_.Visible(*bytes, Current());
            i += ref->length;
            continue;
          }
        }
      } else if (IsSpace(c)) {
        builder_.Space(Current());
        ++i;
        continue;
      }
      size_t n = IsLeadByte(c) && i + 1 < html.size() && IsTrailByte(html[i + 1]) ? 2 : 1;
      builder_.Visible(html.substr(i, n), Current());
      i += n;
    }
    return builder_.Take();
  }

 private:
  struct Element {
    std::string name;
    Style style;
  };

  const Style& Current() const { return open_.empty() ? base_ : open_.back().style; }

  void CloseTo(std::string_view name) {
    for (size_t k = open_.size(); k-- > 0;)
      if (open_[k].name == name) {
        open_.resize(k);
        return;
      }
  }

  void Apply(const Tag& tag) {
    static constexpr std::string_view kKnown[] = {"a", "font", "span", "b", "strong", "em", "i"};
    if (std::find(std::begin(kKnown), std::end(kKnown), tag.name) == std::end(kKnown)) return;
    if (tag.closing) {
      CloseTo(tag.name);
      return;
    }
    if (tag.name == "a") CloseTo("a");  // links do not nest: a new one ends the open one
    Style style = Current();
    if (tag.name == "b" || tag.name == "strong") style.bold = true;
    if (tag.name == "a") {
      const std::string* href = tag.Attribute("href");
      if (href && !href->empty()) {
        style.href = *href;
        const std::string* target = tag.Attribute("target");
        style.target = target ? *target : std::string();
        // A link takes the link colour over what it inherits; only colours set inside it win.
        style.colour = kLinkColour;
      }
    }
    if (tag.name == "font")
      if (const std::string* colour = tag.Attribute("color"))
        if (auto parsed = ParseColour(*colour, true)) style.colour = *parsed;
    if (const std::string* inlineStyle = tag.Attribute("style"))
      ForEachDeclaration(*inlineStyle, [&](const std::string& property, std::string_view value) {
        if (property == "color")
          if (auto parsed = ParseColour(value)) style.colour = *parsed;
      });
    open_.push_back({tag.name, std::move(style)});
  }

  Style base_;
  std::vector<Element> open_;
  RunBuilder builder_;
};

}  // namespace

HtmlLine ParseHtmlLine(std::string_view html, std::string_view css) {
  HtmlLine line;
  line.body = ParseStyleSheet(css);
  line.runs = MarkupReader().Read(html);
  return line;
}

std::string PlainText(const HtmlLine& line) {
  std::string text;
  for (const HtmlRun& run : line.runs) text += run.text;
  return text;
}

}  // namespace rt
