// "Confirm and send" with a stand-in window: what the peer is told, what is
// logged, where the server listens and what it answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "app/share_action.h"
#include "share/errors.h"
#include "share/tests/raw_client.h"

namespace skan::share {
namespace {

using ::testing::ElementsAre;

class FakeWindow {
 public:
  TShareWindow Interface() {
    TShareWindow w;
    w.filename = [this] {
      std::lock_guard<std::mutex> guard(lock_);
      return filename_;
    };
    w.WriteMessage = [this](const std::string& body) { messages.push_back(body); };
    w.Log = [this](const std::wstring& line) { log.push_back(line); };
    w.port = &port;
    return w;
  }
  void SetFilename(std::filesystem::path p) {
    std::lock_guard<std::mutex> guard(lock_);
    filename_ = std::move(p);
  }

  std::vector<std::string> messages;
  std::vector<std::wstring> log;
  std::uint16_t port = 0;

 private:
  std::mutex lock_;
  std::filesystem::path filename_;
};

TEST(ShareAction, MessageSevenText) {
  EXPECT_EQ(SharedMessage(2025), "{\"POL\": \"Shared_complite\",\"port\":\"2025\",\"filename\":\"scan.pdf\" }");
  EXPECT_EQ(SharedMessage(2025).size(), 63u);
  EXPECT_EQ(SharedMessage(65535), "{\"POL\": \"Shared_complite\",\"port\":\"65535\",\"filename\":\"scan.pdf\" }");
}

TEST(ShareAction, WithoutACurrentFileNothingHappens) {
  TTempDir dir;
  FakeWindow w;
  TShareAction action(w.Interface());
  action.ImageButton3Click();  // empty filename
  w.SetFilename(dir.Path() / "missing.pdf");
  action.ImageButton3Click();
  w.SetFilename(dir.Path());  // a folder is no file
  action.ImageButton3Click();
  EXPECT_TRUE(w.messages.empty());
  EXPECT_TRUE(w.log.empty());
  EXPECT_FALSE(action.HTTPServer1.Active());
}

TEST(ShareAction, SharesOnLoopbackAndServesTheCurrentFile) {
  TTempDir dir;
  FakeWindow w;
  std::filesystem::path pdf = dir.Path() / "tmp5A3F.pdf";
  std::string bytes = "%PDF-1.4\n" + std::string(5000, '\x7f') + "%%EOF\n";
  WriteFileBytes(pdf, bytes);
  w.SetFilename(pdf);
  TShareAction action(w.Interface());
  action.ImageButton3Click();

  ASSERT_TRUE(action.HTTPServer1.Active());
  EXPECT_GE(w.port, 2025);
  EXPECT_LE(w.port, 2224);
  std::string expected = SharedMessage(w.port);
  EXPECT_THAT(w.messages, ElementsAre(expected));
  EXPECT_THAT(w.log, ElementsAre(std::wstring(expected.begin(), expected.end())));
  for (std::size_t i = 0; i < action.HTTPServer1.Bindings().Count(); ++i) {
    const std::string& ip = action.HTTPServer1.Bindings()[i].IP;
    EXPECT_TRUE(ip == "127.0.0.1" || ip == "::1") << ip;
  }

  for (const char* request : {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", "GET /scan.pdf HTTP/1.1\r\nHost: a\r\n\r\n",
                              "GET /anything?x=1 HTTP/1.1\r\nHost: a\r\n\r\n",
                              "POST / HTTP/1.1\r\nHost: a\r\nContent-Type: "
                              "application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=b"}) {
    SCOPED_TRACE(request);
    THttpAnswer a = Exchange(w.port, request);
    EXPECT_EQ(a.statusLine, "HTTP/1.1 200 OK");
    EXPECT_THAT(a.Names(), ElementsAre("Connection", "Content-Disposition", "Content-Type", "Content-Length", "Date",
                                       "Access-Control-Allow-Origin", "Access-Control-Allow-Methods",
                                       "Access-Control-Allow-Headers"));
    EXPECT_EQ(a.Header("Content-Disposition"), "attachment; filename=\"tmp5A3F.pdf\";");
    EXPECT_EQ(a.Header("Content-Type"), "application/pdf");
    EXPECT_EQ(a.Header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(a.Header("Access-Control-Allow-Methods"), "GET, POST, PUT, DELETE");
    EXPECT_EQ(a.Header("Access-Control-Allow-Headers"), "Origin, X-Requested-With, Content-Type, Accept");
    EXPECT_TRUE(a.body == bytes) << "body of " << a.body.size() << " bytes";
  }
  THttpAnswer options = Exchange(w.port, "OPTIONS / HTTP/1.1\r\nHost: a\r\nOrigin: http://x\r\n\r\n");
  EXPECT_EQ(options.status, 200);
  EXPECT_EQ(options.body.size(), 39u);
  EXPECT_FALSE(options.HasHeader("Access-Control-Allow-Origin"));

  if (LoopbackIPv6Available()) {
    TRawClient c6;
    ASSERT_TRUE(c6.Connect(w.port, "::1", TIPVersion::Id_IPv6)) << LastSocketError();
    c6.Send("GET / HTTP/1.0\r\n\r\n");
    std::string raw = c6.ReadAll();
    EXPECT_TRUE(ParseAnswer(raw, c6.Closed()).body == bytes) << raw.substr(0, 200);
  }

  // A second press repeats the message and starts nothing new.
  std::uint16_t port = w.port;
  action.ImageButton3Click();
  EXPECT_EQ(w.port, port);
  EXPECT_THAT(w.messages, ElementsAre(expected, expected));

  // Each request serves what `filename` names at that moment.
  std::filesystem::path page = dir.Path() / "page1.bmp";
  WriteFileBytes(page, "BMpage");
  w.SetFilename(page);
  THttpAnswer a = Exchange(w.port, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(a.Header("Content-Type"), "image/bmp");
  EXPECT_EQ(a.body, "BMpage");

  // The current file deleted: a press does nothing, a request gets the short page.
  std::filesystem::remove(page);
  action.ImageButton3Click();
  EXPECT_EQ(w.messages.size(), 2u);
  EXPECT_EQ(Exchange(w.port, "GET / HTTP/1.0\r\n\r\n").body, "<HTML><BODY><B>200 OK</B></BODY></HTML>");
}

TEST(ShareAction, NoFreePortIsReportedAndThePeerIsNotTold) {
  TTempDir dir;
  FakeWindow w;
  WriteFileBytes(dir.Path() / "a.pdf", "x");
  w.SetFilename(dir.Path() / "a.pdf");
  for (int attempt = 0; attempt < 20; ++attempt) {
    THeldPort a, b;
    ASSERT_TRUE(a.Hold(0));
    if (a.Port() > 65000 || !b.Hold(static_cast<std::uint16_t>(a.Port() + 1))) continue;
    TShareAction action(w.Interface(), a.Port(), 2);
    try {
      action.ImageButton3Click();
      FAIL() << "no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "No free port from " + std::to_string(a.Port()) + " to " + std::to_string(a.Port() + 1) + ".");
    }
    EXPECT_TRUE(w.messages.empty());
    EXPECT_TRUE(w.log.empty());
    EXPECT_FALSE(action.HTTPServer1.Active());
    return;
  }
  GTEST_SKIP() << "no two neighbouring ports to hold";
}

}  // namespace
}  // namespace skan::share
