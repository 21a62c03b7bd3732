// The peer's optional fields: which origins are kept, and that only the first
// message may name one.
#include "peer_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "command_handler.h"

namespace skan {
namespace {

TEST(PeerFields, WellFormedOrigins) {
  struct Case {
    std::string text;
    bool kept;
  };
  const std::string longHost(255, 'a');
  const Case cases[] = {
      {"https://example.com", true},
      {"http://localhost:8080", true},
      {"https://sub.example.co.uk:443", true},
      {"http://127.0.0.1:2025", true},
      {"http://[::1]:8000", true},
      {"https://xn--zda-xfa.pl", true},
      {"https://" + longHost + ":65535", true},
      {"https://" + longHost + "a", false},  // host over 255
      {"", false},
      {"null", false},
      {"example.com", false},
      {"ftp://example.com", false},
      {"file://", false},
      {"https://", false},
      {"https://example.com/", false},
      {"https://example.com/path", false},
      {"https://example.com?q", false},
      {"https://example.com#f", false},
      {"https://user@example.com", false},
      {"https://example.com:", false},
      {"https://example.com:0", false},
      {"https://example.com:65536", false},
      {"https://example.com:80a", false},
      {"https://exa mple.com", false},
      {"https://example.com\n", false},
      {"https://\xC5\xBC\xC3\xB3\xC5\x82w.pl", false},  // not ASCII
      {"HTTPS://example.com", false},
      {"http://[::1", false},
      {"http://[]", false},
      {"http://[::1]x", false},
      {"http://[::g]", false},
  };
  for (const auto& c : cases) {
    std::optional<std::string> o = ParseOrigin(c.text);
    EXPECT_EQ(o.has_value(), c.kept) << c.text;
    if (o) {
      EXPECT_EQ(*o, c.text);
    }
  }
}

class Host : public ICommandHost {
 public:
  void Log(std::string_view line) override { log.emplace_back(line); }
  void Send(std::string_view body) override { sent.emplace_back(body); }
  void Quit() override {}
  TLocalTime Now() override { return {2025, 3, 7, 9, 5, 2, 45}; }
  std::string TempFolder() override { return "C:\\T\\"; }
  void EnsureFolder(const std::string&) override {}
  void OriginKnown(const std::string& origin) override { shown.push_back(origin); }

  std::vector<std::string> log, sent, shown;
};

struct TPeer {
  Host host;
  TScanRequest request;
  std::string scanId;
  void Handle(std::string_view body) { HandleCommand(body, request, scanId, host); }
};

TEST(PeerFields, OriginOfTheFirstMessageIsKeptAndChangesNoReply) {
  TPeer with, without;
  with.Handle(R"({"POL":"IFSCANED","origin":"https://example.com"})");
  without.Handle(R"({"POL":"IFSCANED"})");
  with.Handle(R"({"POL":"hello","origin":"https://other.example"})");
  without.Handle(R"({"POL":"hello"})");
  EXPECT_EQ(with.host.sent, without.host.sent);
  EXPECT_EQ(with.host.shown, std::vector<std::string>{"https://example.com"});
  EXPECT_EQ(with.request.peer.origin, "https://example.com");
  EXPECT_EQ(with.host.log, (std::vector<std::string>{
                               "tekst: IFSCANED",
                               "origin: https://example.com",
                               R"(reply: {"POL":"IFSCANED","SCANED": ""})",
                               "tekst: hello",
                               "origin ignored: only the first message names it",
                           }));
  EXPECT_TRUE(without.host.shown.empty());
  EXPECT_FALSE(without.request.peer.origin);
}

TEST(PeerFields, OnlyTheFirstObjectMayNameTheOrigin) {
  struct Case {
    const char* name;
    std::vector<std::string> bodies;
  };
  const Case cases[] = {
      {"malformed first",
       {R"({"POL":"IFSCANED","origin":"https://example.com/x"})",
        R"({"POL":"IFSCANED","origin":"https://example.com"})"}},
      {"not a string",
       {R"({"POL":"IFSCANED","origin":["https://example.com"]})",
        R"({"POL":"IFSCANED","origin":"https://example.com"})"}},
      {"none on the first", {R"({"POL":"IFSCANED"})", R"({"POL":"IFSCANED","origin":"https://example.com"})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPeer run;
    for (const std::string& b : c.bodies) run.Handle(b);
    EXPECT_FALSE(run.request.peer.origin);
    EXPECT_TRUE(run.host.shown.empty());
    EXPECT_EQ(run.host.sent.size(), c.bodies.size());
  }
  // Input that is no JSON object is not a first message.
  TPeer run;
  run.Handle("not json");
  run.Handle(R"(["x"])");
  run.Handle(R"({"POL":"Init_SCAN","origin":"http://localhost:3000"})");
  EXPECT_EQ(run.request.peer.origin, "http://localhost:3000");
}

// The languages of Init_SCAN: kept when well formed and installed, "" turns
// recognition off; anything else refuses the Init_SCAN with INVALID_ARGUMENT
// naming "languages", starting no request and keeping the last languages.
TEST(PeerFields, LanguagesOfInitScan) {
  struct TModelsHost : Host {
    std::string OcrDataFolder() override { return folder; }
    std::string folder;
  };
  const std::string folder = ::testing::TempDir() + "/models-languages";
  std::filesystem::create_directories(folder);
  for (const char* lang : {"pol", "eng"}) std::ofstream(folder + "/" + lang + ".traineddata") << "model";
  struct Case {
    const char* member;  // the field as it appears in the message, or ""
    const char* kept;    // nullptr: refused
    const char* logged;
  };
  const Case cases[] = {
      {"", "pol+eng", nullptr},
      {R"(,"languages":"eng")", "eng", "languages: eng"},
      {R"(,"languages":"eng+pol")", "eng+pol", "languages: eng+pol"},
      {R"(,"languages":"")", "", "languages: none, no text recognition"},
      {R"(,"languages":"deu")", nullptr, "languages refused: no model for \"deu\""},
      {R"(,"languages":"pol+deu")", nullptr, "languages refused: no model for \"deu\""},
      {R"(,"languages":"pol+")", nullptr, "languages refused: not '+'-joined language codes"},
      {R"(,"languages":"pol+pol")", nullptr, "languages refused: not '+'-joined language codes"},
      {R"(,"languages":"../../x")", nullptr, "languages refused: not '+'-joined language codes"},
      {R"(,"languages":["pol"])", nullptr, "languages refused: not a string of up to 64 bytes"},
      {R"(,"languages":null)", nullptr, "languages refused: not a string of up to 64 bytes"},
      {R"(,"languages":"aaaa+aaab+aaac+aaad+aaae+aaaf+aaag+aaah+aaai+aaaj+aaak+aaal+aaam+aa")", nullptr,
       "languages refused: not a string of up to 64 bytes"},
  };
  std::vector<std::string> replies;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    TModelsHost host;
    host.folder = folder;
    TScanRequest request;
    request.languages = "stale";
    std::string scanId;
    HandleCommand(std::string(R"({"POL":"Init_SCAN","email":"a@b")") + c.member + "}", request, scanId, host);
    EXPECT_EQ(request.languages, c.kept ? c.kept : "stale");
    const bool logged = c.logged && std::find(host.log.begin(), host.log.end(), c.logged) != host.log.end();
    EXPECT_TRUE(!c.logged || logged) << ::testing::PrintToString(host.log);
    ASSERT_EQ(host.sent.size(), 1u);
    if (c.kept) {
      replies.push_back(host.sent[0]);
      EXPECT_EQ(request.ScanStatus, "Init_SCAN");
    } else {
      EXPECT_EQ(host.sent[0], R"({"POL":"Init_SCAN","Initscan_id":"","error":{"code":"INVALID_ARGUMENT",)"
                              R"("message":"Nieprawidłowa wartość pola languages.","field":"languages"}})");
      EXPECT_EQ(request.ScanStatus, "");
      EXPECT_EQ(request.email, "");
      EXPECT_TRUE(scanId.empty());
    }
  }
  for (const std::string& r : replies) EXPECT_EQ(r, replies.front());
  // Other commands leave the languages alone.
  TPeer run;
  run.request.languages = "eng";
  run.Handle(R"({"POL":"IFSCANED","languages":"pol"})");
  EXPECT_EQ(run.request.languages, "eng");
}

}  // namespace
}  // namespace skan
