// Small text helpers of the share server. Texts are UTF-8 in std::string.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace skan::share {

std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);
bool IEquals(std::string_view a, std::string_view b);
bool IStartsWith(std::string_view s, std::string_view prefix);
std::string_view Trim(std::string_view s);

// Received bytes as 7-bit ASCII text: a byte above 0x7F becomes U+FFFD.
std::string AsciiFromBytes(std::string_view bytes);
// UTF-8 text written as 7-bit ASCII: every UTF-16 code unit above 0x7F
// becomes "?" (a character beyond the basic plane, two of them).
std::string ToHeaderAscii(std::string_view utf8);
// UTF-8 text in the encoding a charset names: unchanged for "utf-8",
// ISO-8859-1 for that name and for names it does not know ("?" for what
// ISO-8859-1 lacks), 7-bit for "us-ascii".
std::string EncodeInCharSet(std::string_view utf8, std::string_view charSet);

// %XX decoding; with plusAsSpace a "+" reads as a space.
std::string UrlDecode(std::string_view s, bool plusAsSpace = false);
std::string Base64Decode(std::string_view s);

// RFC 1123 date in GMT, e.g. "Fri, 07 Mar 2025 08:05:02 GMT".
std::string FormatHTTPDate(std::time_t t);

}  // namespace skan::share
