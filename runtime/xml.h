// A small XML reader over bytes: enough to pick attributes out of the version document, which is stored
// in GBK. No character-set conversion happens anywhere; names and values stay the document's bytes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rt {

class XmlReader {
 public:
  // Parses `data`, replacing any document held. Fails (and then holds no document) on empty or
  // malformed data.
  bool Load(std::string_view data);
  bool HasDocument() const;
  void Clear();
  // `path`: element names separated by "/"; the first must be the root's name, each further name
  // selects the FIRST child element of that name. Returns the attribute's decoded value, or "" when
  // there is no document, the path leads nowhere, or the attribute is missing.
  std::string Attribute(std::string_view path, std::string_view name) const;

 private:
  struct Span {
    size_t begin = 0;
    size_t size = 0;
  };
  struct Attr {
    Span name;
    Span value;  // raw, entities still encoded
  };
  struct Element {
    Span name;
    size_t firstAttr = 0;
    size_t attrCount = 0;
    size_t firstChild = kNone;
    size_t nextSibling = kNone;
  };
  static constexpr size_t kNone = static_cast<size_t>(-1);

  std::string_view Text(Span span) const { return std::string_view(text_).substr(span.begin, span.size); }
  bool Parse();

  std::string text_;               // the document's bytes; every Span points into it
  std::vector<Element> elements_;  // elements_[0] is the root once a document is held
  std::vector<Attr> attrs_;
};

}  // namespace rt
