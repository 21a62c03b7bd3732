#include "failure_text.h"

#include <gtest/gtest.h>

namespace skan::ui {
namespace {

TEST(FailureText, ApplicationTitle) {
  struct Case {
    std::wstring_view path, title;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\Scan\\Skanowanie.exe", L"Skanowanie"},
      {L"C:\\x\\SKANOWANIE.EXE", L"Skanowanie"},
      {L"skanowanie.exe", L"skanowanie"},
      {L"C:\\x\\My.Tool.v2.exe", L"My"},
      {L"/unix/path/App.exe", L"App"},
      {L"C:\\x\\.hidden", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(ApplicationTitle(c.path), c.title);
}

TEST(FailureText, DotIsAppendedAfterCharactersAboveDot) {
  struct Case {
    std::wstring_view message, text;
  };
  const Case cases[] = {
      {L"Plik nie istnieje", L"Plik nie istnieje."},
      {L"Already ends.", L"Already ends."},
      {L"Low memory!", L"Low memory!"},
      {L"trailing space ", L"trailing space "},
      {L"ends with slash/", L"ends with slash/."},  // '/' is above '.'
      {L"ends with dash-", L"ends with dash-"},     // '-' is below '.'
      {L"zażółć", L"zażółć."},
      {L"", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(FailureBoxText(c.message), c.text);
}

}  // namespace
}  // namespace skan::ui
