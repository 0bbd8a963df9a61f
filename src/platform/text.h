// Text conversions at the edges: UI and log text is UTF-16, device strings and
// driver names are 8-bit.
#pragma once
#include <cstdarg>
#include <string>
#include <string_view>

std::u16string Utf8ToUtf16(std::string_view utf8);   // invalid sequences become U+FFFD
std::string Utf16ToUtf8(std::u16string_view utf16);  // unpaired surrogates become U+FFFD

// Byte-for-character conversions for 8-bit device text and 8-bit file output.
std::u16string Widen8(std::string_view bytes);
std::string Narrow8(std::u16string_view text);  // characters above 255 become '?'

// printf-style formatting (8-bit format, %s takes 8-bit/UTF-8 text); the result is
// converted from UTF-8.
std::u16string Format16(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format8(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat8(const char* format, va_list args);
