#include "failure_text.h"

#include <cwctype>

namespace skan::ui {

std::wstring ApplicationTitle(std::wstring_view exePath) {
  size_t slash = exePath.find_last_of(L"\\/");
  std::wstring_view name = slash == std::wstring_view::npos ? exePath : exePath.substr(slash + 1);
  name = name.substr(0, name.find(L'.'));
  std::wstring title(name);
  for (size_t i = 1; i < title.size(); ++i)
    title[i] = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(title[i])));
  return title;
}

std::wstring FailureBoxText(std::wstring_view message) {
  std::wstring text(message);
  if (!text.empty() && text.back() > L'.') text += L'.';
  return text;
}

}  // namespace skan::ui
