// Any bytes: the reader either holds a document or holds none, and never answers from a failed load.
// The version number is then read and converted as the refresher does (the names are the document's
// GBK bytes), and the conversion must agree with the C library's on every text both read alike.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "runtime/text.h"
#include "runtime/xml.h"

namespace {

// "最新版本/版本信息" and "版本号" in GBK.
constexpr std::string_view kInfoPath = "\xD7\xEE\xD0\xC2\xB0\xE6\xB1\xBE/\xB0\xE6\xB1\xBE\xD0\xC5\xCF\xA2";
constexpr std::string_view kVersionName = "\xB0\xE6\xB1\xBE\xBA\xC5";

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The conversion is always a finite number, and equals strtod's in the "C" locale wherever a decimal
// number starts the text and strtod neither overflows nor underflows. (strtod also reads hexadecimal,
// "inf" and "nan", which a version number never is: those texts are left out of the comparison.)
void CheckNumber(std::string_view text) {
  const double value = rt::TextToNumber(text);
  if (!std::isfinite(value)) std::abort();
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::string_view rest = text.substr(i);
  const bool decimal = (!rest.empty() && IsDigit(rest[0])) || (rest.size() > 1 && rest[0] == '.' && IsDigit(rest[1]));
  const bool hex = rest.size() > 1 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X');
  if (!decimal || hex) {
    if (value != 0.0) std::abort();  // no number, no value
    return;
  }
  if (text.find('\0') != std::string_view::npos) return;  // strtod would stop there
  const std::string copy(text);
  errno = 0;
  const double expected = std::strtod(copy.c_str(), nullptr);
  if (errno != ERANGE && value != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  rt::XmlReader reader;
  const bool loaded = reader.Load(bytes);
  if (loaded != reader.HasDocument()) std::abort();
  for (std::string_view path : {"a", "a/b", "最新版本/版本信息", ""}) {
    const std::string value = reader.Attribute(path, "版本号");
    if (!loaded && !value.empty()) std::abort();
    if (value.size() > size) std::abort();  // decoding only ever shortens
  }
  // The refresher's reading of the version document.
  const std::string version = reader.Attribute(kInfoPath, kVersionName);
  if (!loaded && !version.empty()) std::abort();
  CheckNumber(version);
  // The conversion alone, over the raw bytes, reaches the texts a document's markup would keep out.
  CheckNumber(bytes.substr(0, 64));

  // A failed load must drop an earlier document.
  rt::XmlReader again;
  again.Load("<a x=\"1\"/>");
  if (!again.Load(bytes) && (again.HasDocument() || !again.Attribute("a", "x").empty())) std::abort();
  return 0;
}
