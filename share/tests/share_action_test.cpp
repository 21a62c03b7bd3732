// "Confirm and send" with a stand-in window: what the peer is told, what is
// logged, where the server listens and what it answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <regex>

#include "app/share_action.h"
#include "share/errors.h"
#include "share/snapshot.h"
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

// The secret of message 7: 64 lower-case hex digits, the port before it.
struct TShared {
  std::uint16_t port = 0;
  std::string secret;
};

TShared ParseShared(const std::string& body) {
  static const std::regex kMessage7(
      R"re(\{"POL": "Shared_complite","port":"(\d+)","filename":"scan\.pdf","secret":"([0-9a-f]{64})" \})re");
  std::smatch m;
  if (!std::regex_match(body, m, kMessage7)) return {};
  return {static_cast<std::uint16_t>(std::stoi(m[1])), m[2]};
}

std::string Get(const std::string& secret, const std::string& target = "/scan.pdf") {
  return "GET " + target + " HTTP/1.1\r\nHost: a\r\nAuthorization: Bearer " + secret + "\r\n\r\n";
}

// A refusal: 403, no body, no document, nothing that lets a page read it.
void ExpectRefused(const THttpAnswer& a, const std::string& document) {
  EXPECT_EQ(a.statusLine, "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(a.Header("Content-Length"), "0");
  EXPECT_TRUE(a.body.empty()) << a.body.substr(0, 80);
  EXPECT_EQ(a.body.find(document.substr(0, 9)), std::string::npos);
  for (const auto& h : a.headers) EXPECT_NE(h.first.rfind("Access-Control-", 0), 0u) << h.first;
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

TEST(ShareAction, SharesOnLoopbackWithASecretTheLogNeverShows) {
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
  ASSERT_EQ(w.messages.size(), 1u);
  const TShared shared = ParseShared(w.messages[0]);
  ASSERT_EQ(shared.port, w.port) << w.messages[0];
  const std::string& secret = shared.secret;
  ASSERT_EQ(w.log.size(), 1u);
  EXPECT_EQ(w.log[0], L"{\"POL\": \"Shared_complite\",\"port\":\"" + std::to_wstring(w.port) +
                          L"\",\"filename\":\"scan.pdf\",\"secret\":\"\u2026\" }");
  for (std::size_t i = 0; i < action.HTTPServer1.Bindings().Count(); ++i) {
    const std::string& ip = action.HTTPServer1.Bindings()[i].IP;
    EXPECT_TRUE(ip == "127.0.0.1" || ip == "::1") << ip;
  }

  // With the secret: the document and today's header lines, whatever the
  // path, the method among HEAD, GET and POST, or the spelling of the names.
  const std::string auth = "Authorization: Bearer " + secret + "\r\n";
  for (const std::string& request :
       {Get(secret, "/"), Get(secret), Get(secret, "/anything?x=1"),
        "GET / HTTP/1.1\r\nHost: a\r\nauthorization: Bearer " + secret + "\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: a\r\nAUTHORIZATION: bearer " + secret + "\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: a\r\nAuthorization:   BEARER   " + secret + "  \r\n\r\n",
        "POST / HTTP/1.1\r\nHost: a\r\n" + auth +
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=b"}) {
    SCOPED_TRACE(request);
    THttpAnswer a = Exchange(w.port, request);
    EXPECT_EQ(a.statusLine, "HTTP/1.1 200 OK");
    EXPECT_THAT(a.Names(), ElementsAre("Connection", "Content-Disposition", "Content-Type", "Content-Length", "Date",
                                       "Access-Control-Allow-Origin", "Access-Control-Allow-Methods",
                                       "Access-Control-Allow-Headers"));
    EXPECT_EQ(a.Header("Content-Disposition"), "attachment; filename=\"tmp5A3F.pdf\";");
    EXPECT_EQ(a.Header("Content-Type"), "application/pdf");
    EXPECT_EQ(a.Header("Content-Length"), std::to_string(bytes.size()));
    EXPECT_EQ(a.Header("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(a.Header("Access-Control-Allow-Methods"), "GET, POST, PUT, DELETE");
    EXPECT_EQ(a.Header("Access-Control-Allow-Headers"), "Origin, X-Requested-With, Content-Type, Accept");
    EXPECT_TRUE(a.body == bytes) << "body of " << a.body.size() << " bytes";
  }
  THttpAnswer head = Exchange(w.port, "HEAD / HTTP/1.1\r\nHost: a\r\n" + auth + "\r\n");
  EXPECT_EQ(head.Header("Content-Length"), std::to_string(bytes.size()));
  EXPECT_TRUE(head.body.empty());

  // Without it: 403 and nothing else, whatever else the request says.
  std::string wrong = secret;
  wrong[63] = wrong[63] == '0' ? '1' : '0';
  for (const std::string& request : {
           std::string("GET /scan.pdf HTTP/1.1\r\nHost: a\r\n\r\n"),
           std::string("GET / HTTP/1.0\r\n\r\n"),
           Get(wrong),
           Get(secret.substr(0, 63)),
           Get(secret + "0"),
           Get(std::string(64, '0')),
           Get(""),
           "GET / HTTP/1.1\r\nHost: a\r\nAuthorization: " + secret + "\r\n\r\n",
           "GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Bearer" + secret + "\r\n\r\n",
           std::string("GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n"),
           "GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Digest " + secret + "\r\n\r\n",
           "GET /?secret=" + secret + " HTTP/1.1\r\nHost: a\r\n\r\n",
           "GET / HTTP/1.1\r\nHost: a\r\nX-Authorization: Bearer " + secret + "\r\n\r\n",
           "GET / HTTP/1.1\r\nHost: a\r\nCookie: secret=" + secret + "\r\n\r\n",
           std::string("GET / HTTP/1.1\r\n\r\n"),  // no Host either
           std::string("HEAD / HTTP/1.1\r\nHost: a\r\n\r\n"),
           std::string("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\na=b"),
           std::string("OPTIONS / HTTP/1.1\r\nHost: a\r\nOrigin: http://x\r\n"
                       "Access-Control-Request-Headers: authorization\r\n\r\n"),
           std::string("PUT / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\n\r\nx"),
       }) {
    SCOPED_TRACE(request);
    ExpectRefused(Exchange(w.port, request), bytes);
  }

  if (LoopbackIPv6Available()) {
    TRawClient c6;
    ASSERT_TRUE(c6.Connect(w.port, "::1", TIPVersion::Id_IPv6)) << LastSocketError();
    c6.Send("GET / HTTP/1.0\r\n" + auth + "\r\n");
    std::string raw = c6.ReadAll();
    EXPECT_TRUE(ParseAnswer(raw, c6.Closed()).body == bytes) << raw.substr(0, 200);
  }
}

// One Confirm, one document: the copy taken at Confirm is served until the
// next Confirm, whatever happens to the file or to `filename` meanwhile, and
// each Confirm's secret replaces the one before.
TEST(ShareAction, EachConfirmSharesItsOwnDocumentUnderItsOwnSecret) {
  TTempDir dir;
  FakeWindow w;
  std::filesystem::path pdf = dir.Path() / "tmp5A3F.pdf";
  const std::string first = "%PDF-1.4\nfirst document\n%%EOF\n";
  WriteFileBytes(pdf, first);
  w.SetFilename(pdf);
  TShareAction action(w.Interface());
  action.ImageButton3Click();
  ASSERT_EQ(w.messages.size(), 1u);
  const TShared one = ParseShared(w.messages[0]);
  ASSERT_FALSE(one.secret.empty());

  // The file rewritten in place, then a later scan's page and PDF becoming
  // current, then the file gone: the confirmed bytes all along.
  WriteFileBytes(pdf, "%PDF-1.4\nrewritten without a Confirm\n%%EOF\n");
  EXPECT_EQ(Exchange(w.port, Get(one.secret)).body, first);
  std::filesystem::path page = dir.Path() / "page1.bmp";
  WriteFileBytes(page, "BMpage");
  w.SetFilename(page);
  THttpAnswer a = Exchange(w.port, Get(one.secret));
  EXPECT_EQ(a.body, first);
  EXPECT_EQ(a.Header("Content-Type"), "application/pdf");
  EXPECT_EQ(a.Header("Content-Disposition"), "attachment; filename=\"tmp5A3F.pdf\";");
  std::filesystem::remove(pdf);
  EXPECT_EQ(Exchange(w.port, Get(one.secret)).body, first);

  // A second Confirm: the same port, a new secret, the page now current.
  std::filesystem::path second = dir.Path() / "tmp77.pdf";
  const std::string secondBytes = "%PDF-1.4\nsecond document\n%%EOF\n";
  WriteFileBytes(second, secondBytes);
  w.SetFilename(second);
  const std::uint16_t port = w.port;
  action.ImageButton3Click();
  ASSERT_EQ(w.messages.size(), 2u);
  const TShared two = ParseShared(w.messages[1]);
  EXPECT_EQ(two.port, port);
  EXPECT_EQ(w.port, port);
  EXPECT_NE(two.secret, one.secret);
  ExpectRefused(Exchange(w.port, Get(one.secret)), first);
  a = Exchange(w.port, Get(two.secret));
  EXPECT_EQ(a.body, secondBytes);
  EXPECT_EQ(a.Header("Content-Disposition"), "attachment; filename=\"tmp77.pdf\";");

  // The current file deleted: a press does nothing, the last Confirm stands.
  std::filesystem::remove(second);
  action.ImageButton3Click();
  EXPECT_EQ(w.messages.size(), 2u);
  EXPECT_EQ(Exchange(w.port, Get(two.secret)).body, secondBytes);
}

// The copy is private and goes with its snapshot; a reader that has it open
// still gets every byte.
TEST(FileSnapshot, CopyStaysWhileTheSourceChangesAndGoesAfter) {
  TTempDir dir;
  std::filesystem::path source = dir.Path() / "doc.pdf";
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>(i * 7);
  WriteFileBytes(source, bytes);
  auto snapshot = std::make_unique<TFileSnapshot>(source);
  const std::filesystem::path copy = snapshot->Path();
  EXPECT_NE(copy, source);
  WriteFileBytes(source, "changed");
  {
    TFileForSending reader;
    ASSERT_TRUE(reader.Open(copy));
    EXPECT_EQ(reader.Size(), static_cast<std::int64_t>(bytes.size()));
    snapshot.reset();
    std::string got(bytes.size(), '\0');
    std::size_t have = 0;
    for (long n; have < got.size() && (n = reader.Read(got.data() + have, got.size() - have)) > 0;)
      have += static_cast<std::size_t>(n);
    EXPECT_EQ(have, bytes.size());
    EXPECT_TRUE(got == bytes);
  }
  std::error_code ec;
  EXPECT_FALSE(std::filesystem::exists(copy, ec)) << copy;
}

TEST(FileSnapshot, AMissingSourceIsAFailureNamingIt) {
  TTempDir dir;
  try {
    TFileSnapshot s(dir.Path() / "gone.pdf");
    FAIL() << "no failure";
  } catch (const TShareException& e) {
    EXPECT_NE(std::string(e.what()).find("gone.pdf"), std::string::npos) << e.what();
  }
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
