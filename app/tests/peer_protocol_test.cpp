#include "peer_protocol.h"

#include <gtest/gtest.h>

#include "json.h"

namespace skan {
namespace {

TEST(PeerProtocol, MessageBodiesAreExact) {
  struct Case {
    std::string body;
    std::string expected;
    size_t bytes;
  };
  const Case cases[] = {
      {InitScanReply("2025_03_07_09_05_02_045"), R"({"POL":"Init_SCAN","Initscan_id": "2025_03_07_09_05_02_045"})", 60},
      {IfScanedReply(""), R"({"POL":"IFSCANED","SCANED": ""})", 31},
      {IfScanedReply("Redy_SCAN"), R"({"POL":"IFSCANED","SCANED": "Redy_SCAN"})", 40},
      {EndReply(), R"({"POL":"SCANEDqq","SCANED": "Pa Pa"})", 36},
      {UnknownCommandReply("hello"), R"({"Nieznane polecenie ": "hello" })", 33},
      {UnknownCommandReply(""), R"({"Nieznane polecenie ": "" })", 28},
      {PreparingMessage(),
       "{\"Nieznane polecenie \": \"Dokument zeskanowany, przygotowuj\xC4\x99 do wysy\xC5\x82ki.\" }", 76},
      {PartMessage(), R"({"Czesc ": "1" })", 16},
      {SharedMessage(2025, std::string(64, 'a')),
       R"({"POL": "Shared_complite","port":"2025","filename":"scan.pdf","secret":")" + std::string(64, 'a') + R"(" })",
       139},
      {SharedMessage(65535, std::string(64, '0')),
       R"({"POL": "Shared_complite","port":"65535","filename":"scan.pdf","secret":")" + std::string(64, '0') + R"(" })",
       140},
      {SharedMessageForLog(2025),
       "{\"POL\": \"Shared_complite\",\"port\":\"2025\",\"filename\":\"scan.pdf\",\"secret\":\"\xE2\x80\xA6\" }", 78},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.body, c.expected);
    EXPECT_EQ(c.body.size(), c.bytes) << c.expected;
  }
}

TEST(PeerProtocol, UnknownCommandReplyStaysValidJson) {
  const std::string nasty =
      "a\"b\\c\n\r\t\x01\x1f"
      "d\xC5\x82";
  auto v = ParseJson(UnknownCommandReply(nasty));
  ASSERT_TRUE(v);
  EXPECT_EQ(MemberText(*v, "Nieznane polecenie "), nasty);
}

// Message 4 echoes the command text; the whole body must stay within the
// browsers' native-messaging limit and stay valid JSON in valid UTF-8.
TEST(PeerProtocol, UnknownCommandReplyIsCutToTheReplyLimit) {
  constexpr size_t kFrame = 28;  // {"Nieznane polecenie ": "" }
  constexpr size_t kRoom = kMaxReplyBody - kFrame;
  struct Case {
    const char* name;
    std::string command;
    std::string expectedEcho;  // what stands between the quotes
  };
  const std::string fits(kRoom, 'a');
  const std::string twoByte = "\xC5\x82";           // ł
  const std::string fourByte = "\xF0\x9F\x93\x84";  // a page facing up
  const Case cases[] = {
      {"exactly fits", fits, fits},
      {"one byte more", fits + "b", fits},
      {"two-byte character across the limit", std::string(kRoom - 1, 'a') + twoByte, std::string(kRoom - 1, 'a')},
      {"two-byte character that just fits", std::string(kRoom - 2, 'a') + twoByte,
       std::string(kRoom - 2, 'a') + twoByte},
      {"four-byte character across the limit", std::string(kRoom - 3, 'a') + fourByte, std::string(kRoom - 3, 'a')},
      {"quote whose escape would cross the limit", std::string(kRoom - 1, 'a') + "\"", std::string(kRoom - 1, 'a')},
      {"backslashes, then one more", std::string(kRoom / 2 + 1, '\\'), std::string(kRoom / 2 * 2, '\\')},
      {"control character whose \\u escape would cross", std::string(kRoom - 5, 'a') + "\x01",
       std::string(kRoom - 5, 'a')},
      {"control character that just fits", std::string(kRoom - 6, 'a') + "\x01",
       std::string(kRoom - 6, 'a') + "\\u0001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reply = UnknownCommandReply(c.command);
    EXPECT_LE(reply.size(), kMaxReplyBody);
    ASSERT_EQ(reply.substr(0, 25), R"({"Nieznane polecenie ": ")");
    ASSERT_EQ(reply.substr(reply.size() - 3), R"(" })");
    const std::string echo = reply.substr(25, reply.size() - kFrame);
    EXPECT_TRUE(echo == c.expectedEcho) << echo.size() << " bytes, expected " << c.expectedEcho.size();
    auto parsed = ParseJson(reply);  // the reader refuses invalid UTF-8 and bad escapes
    ASSERT_TRUE(parsed);
    EXPECT_EQ(c.command.substr(0, MemberText(*parsed, "Nieznane polecenie ").size()),
              MemberText(*parsed, "Nieznane polecenie "));
  }
  // A whole megabyte of quotes, far past the limit once escaped.
  const std::string reply = UnknownCommandReply(std::string(kMaxReplyBody, '"'));
  EXPECT_EQ(reply.size(), kMaxReplyBody);
  EXPECT_TRUE(ParseJson(reply));
}

TEST(PeerProtocol, CommandMatchingFoldsAsciiLettersOnly) {
  struct Case {
    std::string_view text, command;
    bool match;
  };
  const Case cases[] = {
      {"Init_SCAN", "Init_SCAN", true},
      {"init_scan", "Init_SCAN", true},
      {"INIT_SCAN", "Init_SCAN", true},
      {"ifscaned", "IFSCANED", true},
      {"end", "END", true},
      {" END", "END", false},
      {"END ", "END", false},
      {"EN", "END", false},
      {"\xC4\x98ND", "END", false},
      {"", "END", false},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandIs(c.text, c.command), c.match) << c.text;
}

TEST(PeerProtocol, ScanIdForm) {
  EXPECT_EQ(FormatScanId({2025, 3, 7, 9, 5, 2, 45}), "2025_03_07_09_05_02_045");
  EXPECT_EQ(FormatScanId({1999, 12, 31, 23, 59, 59, 999}), "1999_12_31_23_59_59_999");
}

}  // namespace
}  // namespace skan
