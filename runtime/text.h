// Conversions between texts (GBK bytes) and numbers, the same on every platform and locale.
#pragma once
#include <string>
#include <string_view>

namespace rt {

// Optional white space, an optional sign, decimal digits up to the first non-digit. The digits
// accumulate in 32 bits and wrap; the sign is applied last. No digits give 0.
int TextToInt(std::string_view text);

// The longest leading decimal floating-point number (white space, sign, digits with an optional
// fraction, optional exponent); 0 when the text does not start with one.
double TextToNumber(std::string_view text);

// Every occurrence of `from` (non-empty) replaced by `to`, scanning from the start.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end inside a double-byte
// character (a lead byte of 0x81 or more always takes the byte after it).
std::string_view CutAtCharBoundary(std::string_view text, size_t maxBytes);

// The command that opens `address` through the program registered for ".htm" files: the registered
// command cut where its "%1" placeholder begins (with the placeholder's opening quote), then a blank
// and the address. A command without a placeholder stays whole.
std::string HtmOpenCommand(std::string_view registered, std::string_view address);

}  // namespace rt
