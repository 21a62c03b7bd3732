// Conversions between the system's wide text (UTF-16 on Windows, UTF-32 in the
// native build), UTF-8 and the ANSI code page. The Windows build converts with
// the system's own calls; the native build, which only tests use, with the
// portable code here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace skan::base {

// UTF-8 to wide text and back. Malformed input is no error: a byte that
// starts no sequence and an unpaired surrogate each become U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view text);

// The system's ANSI code page; the native build stands in Latin-1 (the
// usual Windows-1252's first half) with "?" for what it lacks.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view ansi);
// `text` in the ANSI code page only when every character has an exact
// equivalent there (no best fit, no default character); false otherwise.
bool ToAnsiExactly(std::wstring_view text, std::string& ansi);

// The next code point of UTF-8 text at `i`, and `i` moved past it. A byte
// that starts no complete sequence reads as U+FFFD and moves `i` by one.
char32_t NextCodePoint(std::string_view s, std::size_t& i);

}  // namespace skan::base
