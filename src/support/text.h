#pragma once
// Conversion between the 8-bit wire text and the wide texts shown to the operator.
// Narrow text is ISO-8859-1: every byte is the code point of the same value. Wide text
// narrows the same way; a code point above 255 becomes '?'. Nothing else converts text, but for
// Utf8: the hub's health texts, which leave the program as UTF-8.

#include <string>
#include <string_view>

namespace tessamer {

std::wstring Widen(std::string_view narrow);
std::string Narrow(std::wstring_view wide);
// `wide` as UTF-8; a value that is no code point becomes U+FFFD.
std::string Utf8(std::wstring_view wide);

}  // namespace tessamer
