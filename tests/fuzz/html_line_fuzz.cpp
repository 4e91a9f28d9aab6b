// Any fragment and style sheet parse into a line whose plain text is no longer than the input
// allows (entities expand to at most a few bytes each).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/html_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t split = bytes.find('\0');
  const std::string_view html = bytes.substr(0, split);
  const std::string_view css = split == std::string_view::npos ? std::string_view() : bytes.substr(split + 1);
  const rt::HtmlLine line = rt::ParseHtmlLine(html, css);
  if (rt::PlainText(line).size() > 4 * html.size() + 4) std::abort();
  return 0;
}
