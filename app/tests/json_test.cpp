#include "json.h"

#include <gtest/gtest.h>

namespace skan {
namespace {

TEST(Json, AcceptsAndRejects) {
  struct Case {
    std::string_view text;
    bool ok;
  };
  const Case cases[] = {
      {R"({"POL":"END"})", true},
      {" \t\r\n{\"POL\":\"END\"} \n", true},
      {"{}", true},
      {"[1,2,3]", true},
      {R"("END")", true},
      {"-0.5e+10", true},
      {"", false},
      {" ", false},
      {"{", false},
      {R"({"POL":"END"}x)", false},
      {R"({"POL":"END"},)", false},
      {R"({"POL" "END"})", false},
      {R"({"POL":"END",})", false},
      {R"({POL:"END"})", false},
      {"[1,]", false},
      {"01", false},
      {"1.", false},
      {"+1", false},
      {"tru", false},
      {"nulls", false},
      {"\"a\x01\"", false},    // raw control character
      {"\"\\x\"", false},      // unknown escape
      {"\"\\ud800\"", false},  // lone surrogate
      {"\"\\udc00\"", false},
      {"\"\xC3\"", false},              // truncated UTF-8
      {"\"\xC0\xAF\"", false},          // overlong
      {"\"\xED\xA0\x80\"", false},      // encoded surrogate
      {"\"\xF4\x90\x80\x80\"", false},  // above U+10FFFF
      {"\xEF\xBB\xBF{}", false},        // byte-order mark
  };
  for (const auto& c : cases) EXPECT_EQ(ParseJson(c.text).has_value(), c.ok) << c.text;
}

TEST(Json, MemberTextFollowsValueKind) {
  auto v = ParseJson(R"({"s":"a\"b\\c\u0105\ud83d\ude00","n":-12.50e3,"t":true,"f":false,)"
                     R"("z":null,"o":{"x":1},"a":[1],"d":"first","d":"second"})");
  ASSERT_TRUE(v);
  EXPECT_EQ(MemberText(*v, "s"), "a\"b\\c\xC4\x85\xF0\x9F\x98\x80");
  EXPECT_EQ(MemberText(*v, "n"), "-12.50e3");
  EXPECT_EQ(MemberText(*v, "t"), "true");
  EXPECT_EQ(MemberText(*v, "f"), "false");
  EXPECT_EQ(MemberText(*v, "z"), "null");
  EXPECT_EQ(MemberText(*v, "o"), "");
  EXPECT_EQ(MemberText(*v, "a"), "");
  EXPECT_EQ(MemberText(*v, "d"), "first");  // first occurrence counts
  EXPECT_EQ(MemberText(*v, "S"), "");       // names are case-sensitive
  EXPECT_EQ(MemberText(*v, "missing"), "");
}

TEST(Json, DeepNestingIsRefusedNotOverflowed) {
  std::string deep(100000, '[');
  EXPECT_FALSE(ParseJson(deep));
  std::string ok = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  EXPECT_TRUE(ParseJson(ok));
  std::string tooDeep = "[" + ok + "]";
  EXPECT_FALSE(ParseJson(tooDeep));
}

}  // namespace
}  // namespace skan
