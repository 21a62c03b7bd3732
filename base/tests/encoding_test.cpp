// UTF-8, wide and ANSI text: the same table in the native build (portable
// code) and under Wine (the system's conversions), so the two agree.
#include <gtest/gtest.h>

#include <string>

#include "base/encoding.h"

namespace skan::base {

namespace {

TEST(Encoding, Utf8AndWideRoundTrip) {
  const struct {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"", L""},
      {"plain ascii", L"plain ascii"},
      {"sk\xC4\x85n \xC5\xBC\xC3\xB3\xC5\x82w", L"sk\u0105n \u017C\u00F3\u0142w"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xF0\x9F\x98\x80", L"\U0001F600"},                 // beyond the basic plane: a surrogate pair on Windows
      {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},  // an embedded NUL is text too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base::Narrow(c.wide), c.utf8) << c.utf8;
    EXPECT_EQ(base::Widen(c.utf8), c.wide) << c.utf8;
  }
}

TEST(Encoding, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(base::Widen("a\xFF"
                        "b"),
            L"a\uFFFDb");
  EXPECT_EQ(base::Widen("\x80"), L"\uFFFD");
  const wchar_t lone[] = {L'a', wchar_t(0xD800), L'b', wchar_t(0xDC00)};
  EXPECT_EQ(base::Narrow(std::wstring_view(lone, 4)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

TEST(Encoding, AnsiKeepsLatinLettersAndSaysWhenOneIsMissing) {
  EXPECT_EQ(base::FromAnsi(base::ToAnsi(L"Caf\u00E9 A-Z")), L"Caf\u00E9 A-Z");
  EXPECT_EQ(base::ToAnsi(L""), "");
  std::string ansi = "stale";
  EXPECT_TRUE(base::ToAnsiExactly(L"", ansi));
  EXPECT_EQ(ansi, "");
  EXPECT_TRUE(base::ToAnsiExactly(L"scan 1.bmp", ansi));
  EXPECT_EQ(ansi, "scan 1.bmp");
  // No single-byte code page holds a character beyond the basic plane.
  EXPECT_FALSE(base::ToAnsiExactly(L"page\U0001F600.bmp", ansi));
}

TEST(Encoding, NextCodePointSteps) {
  const std::string s = "A\xC4\x85\xE2\x82\xAC\xF0\x9F\x98\x80\xC5";  // the last sequence is cut short
  std::size_t i = 0;
  std::u32string got;
  while (i < s.size()) got += base::NextCodePoint(s, i);
  EXPECT_EQ(got, U"A\u0105\u20AC\U0001F600\uFFFD");
  EXPECT_EQ(i, s.size());
}

}  // namespace

}  // namespace skan::base
