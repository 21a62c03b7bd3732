// Conversions between the system's UTF-16 text and 8-bit text.
#pragma once

#include <string>
#include <string_view>

namespace ui {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view text);   // UTF-8
std::string ToAnsi(std::wstring_view text);   // the system ANSI code page
std::wstring FromAnsi(std::string_view ansi);

// The system's text for an error code (UTF-8), without the trailing line
// break and full stop, as the failure box shows it.
std::string SystemMessage(unsigned long code);

}  // namespace ui
