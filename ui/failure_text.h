// Texts of the failure message box.
#pragma once

#include <string>
#include <string_view>

namespace skan::ui {

// The application title: the executable's file name without its folder and
// without everything from its first "." on, first character unchanged and
// the rest in lower case ("C:\App\SKANOWANIE.EXE" gives "Skanowanie").
std::wstring ApplicationTitle(std::wstring_view exePath);

// The box text: the message, with "." appended when its last character's
// code is above that of ".".
std::wstring FailureBoxText(std::wstring_view message);

}  // namespace skan::ui
