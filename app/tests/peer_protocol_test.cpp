#include "peer_protocol.h"

#include <gtest/gtest.h>

#include "json.h"

namespace skan {
namespace {

TEST(PeerProtocol, MessageBodiesAreExact) {
  struct Case {
    std::string body;
    std::string_view expected;
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
      {HelloMessage(), R"({"Czesc ": "1" })", 16},
      {SharedMessage(2025), R"({"POL": "Shared_complite","port":"2025","filename":"scan.pdf" })", 63},
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
