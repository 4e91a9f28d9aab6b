#include "runtime/text.h"

#include <charconv>
#include <cstdint>

namespace rt {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

size_t SkipSpace(std::string_view text, size_t i) {
  while (i < text.size() && IsSpace(text[i])) ++i;
  return i;
}

size_t SkipDigits(std::string_view text, size_t i) {
  while (i < text.size() && IsDigit(text[i])) ++i;
  return i;
}

}  // namespace

int TextToInt(std::string_view text) {
  size_t i = SkipSpace(text, 0);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) value = value * 10u + uint32_t(text[i] - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

double TextToNumber(std::string_view text) {
  size_t start = SkipSpace(text, 0);
  size_t i = start;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t mantissa = i;
  size_t end = SkipDigits(text, i);
  bool digits = end > mantissa;
  if (end < text.size() && text[end] == '.') {
    size_t fraction = SkipDigits(text, end + 1);
    if (digits || fraction > end + 1) {
      digits = true;
      end = fraction;
    }
  }
  if (!digits) return 0.0;
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    size_t e = end + 1;
    if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
    size_t exponentEnd = SkipDigits(text, e);
    if (exponentEnd > e) end = exponentEnd;
  }
  double value = 0.0;
  std::from_chars(text.data() + mantissa, text.data() + end, value, std::chars_format::general);
  return negative ? -value : value;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (true) {
    size_t hit = from.empty() ? std::string_view::npos : text.find(from, i);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(i, hit - i)).append(to);
    i = hit + from.size();
  }
  out.append(text.substr(i));
  return out;
}

std::string_view CutAtCharBoundary(std::string_view text, size_t maxBytes) {
  size_t end = 0;
  while (end < text.size()) {
    const size_t width = (static_cast<unsigned char>(text[end]) >= 0x81 && end + 1 < text.size()) ? 2 : 1;
    if (end + width > maxBytes) break;
    end += width;
  }
  return text.substr(0, end);
}

std::string HtmOpenCommand(std::string_view registered, std::string_view address) {
  std::string_view program = registered;
  if (size_t placeholder = registered.find("%1"); placeholder != std::string_view::npos) {
    if (placeholder > 0 && registered[placeholder - 1] == '"') --placeholder;
    program = registered.substr(0, placeholder);
  }
  std::string command(program);
  command.append(" ").append(address);
  return command;
}

}  // namespace rt
