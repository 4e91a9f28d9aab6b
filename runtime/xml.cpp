#include "runtime/xml.h"

namespace rt {
namespace {

constexpr size_t npos = std::string_view::npos;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// GBK lead byte: the byte after it belongs to the same character whatever its value, so a trail byte
// such as '@', '[', '\\' or '|' never ends or splits a name.
bool IsLeadByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x81 && u <= 0xFE;
}

bool EndsName(char c) { return IsSpace(c) || c == '/' || c == '>' || c == '='; }

// Single bytes that cannot stand in a name; seeing one means the markup is broken.
bool BreaksName(char c) { return c == '<' || c == '"' || c == '\'' || c == '&'; }

size_t SkipSpace(std::string_view s, size_t i) {
  while (i < s.size() && IsSpace(s[i])) ++i;
  return i;
}

// End of the name starting at `i`, or npos when there is none.
size_t NameEnd(std::string_view s, size_t i) {
  const size_t start = i;
  while (i < s.size() && !EndsName(s[i])) {
    if (IsLeadByte(s[i]) && i + 1 < s.size()) {
      i += 2;
    } else if (BreaksName(s[i])) {
      return npos;
    } else {
      ++i;
    }
  }
  return i > start ? i : npos;
}

// Position after `terminator`, searched from `i`; npos when it never comes.
size_t SkipPast(std::string_view s, size_t i, std::string_view terminator) {
  const size_t at = s.find(terminator, i);
  return at == npos ? npos : at + terminator.size();
}

// `i` is just past "<!DOCTYPE". An internal subset may hold '>', '[' and ']' inside brackets, quoted
// literals, comments and processing instructions.
size_t SkipDoctype(std::string_view s, size_t i) {
  int depth = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (depth > 0 && s.substr(i, 4) == "<!--") {
      i = SkipPast(s, i + 4, "-->");
      if (i == npos) return npos;
      continue;
    }
    if (depth > 0 && s.substr(i, 2) == "<?") {
      i = SkipPast(s, i + 2, "?>");
      if (i == npos) return npos;
      continue;
    }
    if (c == '"' || c == '\'') {
      const size_t close = s.find(c, i + 1);
      if (close == npos) return npos;
      i = close + 1;
      continue;
    }
    if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (--depth < 0) return npos;
    } else if (c == '>' && depth == 0) {
      return i + 1;
    }
    ++i;
  }
  return npos;
}

// Position of the next '/' of a path that is not the second byte of a GBK character.
size_t SegmentEnd(std::string_view path, size_t i) {
  while (i < path.size() && path[i] != '/') i += IsLeadByte(path[i]) && i + 1 < path.size() ? 2 : 1;
  return i;
}

std::string DecodeValue(std::string_view raw) {
  static constexpr struct {
    std::string_view reference;
    char byte;
  } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}};
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    bool decoded = false;
    if (raw[i] == '&') {
      for (const auto& entity : kEntities) {
        if (raw.substr(i, entity.reference.size()) == entity.reference) {
          out += entity.byte;
          i += entity.reference.size();
          decoded = true;
          break;
        }
      }
    }
    if (!decoded) out += raw[i++];
  }
  return out;
}

}  // namespace

bool XmlReader::Load(std::string_view data) {
  Clear();
  text_.assign(data);
  if (!Parse()) {
    Clear();
    return false;
  }
  return true;
}

bool XmlReader::HasDocument() const { return !elements_.empty(); }

void XmlReader::Clear() {
  text_ = std::string();
  elements_ = std::vector<Element>();
  attrs_ = std::vector<Attr>();
}

// One pass with an explicit stack of open elements: nesting depth costs heap, never call stack, and
// every search moves forward, so the time is linear in the size of the document.
bool XmlReader::Parse() {
  const std::string_view s = text_;
  const size_t n = s.size();
  size_t i = 0;
  // A byte-order mark some editors put in front of a document.
  if (s.substr(0, 3) == "\xEF\xBB\xBF") i = 3;

  std::vector<size_t> open;       // indices of the open elements, innermost last
  std::vector<size_t> lastChild;  // per open element, its latest child so far
  bool rootClosed = false;
  bool doctypeSeen = false;

  for (;;) {
    if (open.empty()) {
      i = SkipSpace(s, i);
      if (i == n) return rootClosed;
      if (s[i] != '<') return false;
    } else {
      i = s.find('<', i);  // element text is of no interest
      if (i == npos) return false;
    }
    const std::string_view rest = s.substr(i);

    if (rest.starts_with("<?")) {
      i = SkipPast(s, i + 2, "?>");
    } else if (rest.starts_with("<!--")) {
      i = SkipPast(s, i + 4, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      if (open.empty()) return false;
      i = SkipPast(s, i + 9, "]]>");
    } else if (rest.starts_with("<!DOCTYPE")) {
      if (doctypeSeen || !elements_.empty()) return false;
      doctypeSeen = true;
      i = SkipDoctype(s, i + 9);
    } else if (rest.starts_with("<!")) {
      return false;
    } else if (rest.starts_with("</")) {
      if (open.empty()) return false;
      const size_t nameEnd = NameEnd(s, i + 2);
      if (nameEnd == npos) return false;
      if (s.substr(i + 2, nameEnd - (i + 2)) != Text(elements_[open.back()].name)) return false;
      i = SkipSpace(s, nameEnd);
      if (i == n || s[i] != '>') return false;
      ++i;
      open.pop_back();
      lastChild.pop_back();
      rootClosed = open.empty();
    } else {
      if (rootClosed) return false;  // a second root
      const size_t nameEnd = NameEnd(s, i + 1);
      if (nameEnd == npos) return false;
      Element element;
      element.name = {i + 1, nameEnd - (i + 1)};
      element.firstAttr = attrs_.size();
      size_t j = nameEnd;
      bool selfClosing = false;
      for (;;) {
        const size_t afterSpace = SkipSpace(s, j);
        const bool separated = afterSpace > j;
        j = afterSpace;
        if (j == n) return false;
        if (s[j] == '>') {
          ++j;
          break;
        }
        if (s[j] == '/') {
          if (j + 1 == n || s[j + 1] != '>') return false;
          j += 2;
          selfClosing = true;
          break;
        }
        if (!separated) return false;
        const size_t attrNameEnd = NameEnd(s, j);
        if (attrNameEnd == npos) return false;
        size_t k = SkipSpace(s, attrNameEnd);
        if (k == n || s[k] != '=') return false;
        k = SkipSpace(s, k + 1);
        if (k == n || s[k] != '"') return false;
        const size_t close = s.find('"', k + 1);
        if (close == npos) return false;
        attrs_.push_back({{j, attrNameEnd - j}, {k + 1, close - (k + 1)}});
        j = close + 1;
      }
      element.attrCount = attrs_.size() - element.firstAttr;
      const size_t index = elements_.size();
      elements_.push_back(element);
      if (!open.empty()) {
        size_t& previous = lastChild.back();
        if (previous == kNone) {
          elements_[open.back()].firstChild = index;
        } else {
          elements_[previous].nextSibling = index;
        }
        previous = index;
      }
      if (selfClosing) {
        rootClosed = open.empty();
      } else {
        open.push_back(index);
        lastChild.push_back(kNone);
      }
      i = j;
    }
    if (i == npos) return false;
  }
}

std::string XmlReader::Attribute(std::string_view path, std::string_view name) const {
  if (elements_.empty()) return {};
  size_t current = 0;
  size_t pos = 0;
  for (bool first = true;; first = false) {
    const size_t end = SegmentEnd(path, pos);
    const std::string_view segment = path.substr(pos, end - pos);
    if (first) {
      if (segment != Text(elements_[0].name)) return {};
    } else {
      size_t child = elements_[current].firstChild;
      while (child != kNone && Text(elements_[child].name) != segment) child = elements_[child].nextSibling;
      if (child == kNone) return {};
      current = child;
    }
    if (end == path.size()) break;
    pos = end + 1;
  }
  const Element& element = elements_[current];
  for (size_t a = element.firstAttr; a < element.firstAttr + element.attrCount; ++a) {
    if (Text(attrs_[a].name) == name) return DecodeValue(Text(attrs_[a].value));
  }
  return {};
}

}  // namespace rt
