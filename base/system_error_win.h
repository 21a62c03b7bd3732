// The system's text for a Windows error code.
#pragma once

#include <string>

namespace skan::base {

// FormatMessage's text for `code` without its trailing line break; empty when
// the system has none.
std::wstring SystemErrorText(unsigned long code);

// The text as the host's failure box shows it: UTF-8, without the trailing
// full stop, "System error <code>" when the system has none.
std::string SystemMessage(unsigned long code);

}  // namespace skan::base
