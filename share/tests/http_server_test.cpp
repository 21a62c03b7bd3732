// Raw requests against a real server on loopback: request reading, dispatch,
// early answers, default bodies and file serving.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/ioctl.h>
#include <sys/resource.h>
#endif

#include "share/http_server.h"
#include "share/tests/raw_client.h"
#include "share/text.h"

namespace skan::share {
namespace {

using ::testing::ElementsAre;

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_.Path() / "tmp5A3F.pdf";
    pdf_ = "%PDF-1.4\n" + std::string(100000, 'x') + "\n%%EOF\n";
    pdf_[20] = '\0';  // binary bytes pass through unchanged
    WriteFileBytes(file_, pdf_);
    server_.MIMETable().Unsafe().LoadTypesFromOS = false;
    server_.OnCommandGet = [this](TContext& c, THTTPRequestInfo& rq, THTTPResponseInfo& rs) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        ++calls_;
        last_ = rq;
      }
      if (!throwText_.empty()) throw std::runtime_error(throwText_);
      rs.CustomHeaders.push_back("Access-Control-Allow-Origin: *");
      rs.ServeFile(c, served_.empty() ? file_ : served_);
    };
    TSocketHandle& b = server_.Bindings().Add();
    b.IP = "127.0.0.1";
    b.Port = 0;
    server_.SetActive(true);
    port_ = server_.Bindings()[0].Port;
  }
  void TearDown() override { server_.SetActive(false); }

  THttpAnswer Get(std::string_view request) { return Exchange(port_, request); }
  int Calls() {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
  }
  THTTPRequestInfo Last() {
    std::lock_guard<std::mutex> guard(lock_);
    return last_;
  }

  TTempDir dir_;
  std::filesystem::path file_, served_;
  std::string pdf_;
  std::string throwText_;
  THTTPServer server_;
  std::uint16_t port_ = 0;
  std::mutex lock_;
  int calls_ = 0;
  THTTPRequestInfo last_;
};

const char kDefault200[] = "<HTML><BODY><B>200 OK</B></BODY></HTML>";
const char kDefault400[] = "<HTML><BODY><B>400 Bad Request</B></BODY></HTML>";

struct RequestCase {
  const char* name;
  std::string request;
  int status;        // 0: connection closed without an answer
  bool handler;      // the handler was called
  const char* body;  // expected body when not nullptr
};

TEST_F(HttpServerTest, RequestTable) {
  std::string lines1025, lines1026;
  for (int i = 0; i < 1024; ++i) lines1025 += "X-" + std::to_string(i) + ": v\r\n";
  lines1026 = lines1025 + "X-Last: v\r\n";
  const std::string host = "Host: a\r\n";
  const std::vector<RequestCase> cases = {
      {"GET 1.1 with Host", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 200, true, nullptr},
      {"keep-alive asked, closed anyway", "GET / HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", 200, true,
       nullptr},
      {"GET 1.0 without Host", "GET / HTTP/1.0\r\n\r\n", 200, true, nullptr},
      {"GET 1.1 without Host", "GET / HTTP/1.1\r\n\r\n", 400, false, kDefault400},
      {"GET 1.1 with empty Host", "GET / HTTP/1.1\r\nHost:\r\n\r\n", 400, false, kDefault400},
      {"HEAD", "HEAD / HTTP/1.1\r\n" + host + "\r\n", 200, true, ""},
      {"POST with a form body",
       "POST /x HTTP/1.1\r\n" + host +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\na=1&b=2",
       200, true, nullptr},
      {"lower-case method", "post / HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", 200, true, nullptr},
      {"OPTIONS", "OPTIONS / HTTP/1.1\r\n" + host + "\r\n", 200, false, kDefault200},
      {"PUT", "PUT / HTTP/1.1\r\n" + host + "Content-Length: 2\r\n\r\nab", 200, false, kDefault200},
      {"DELETE", "DELETE / HTTP/1.1\r\n" + host + "\r\n", 200, false, kDefault200},
      {"TRACE", "TRACE / HTTP/1.1\r\n" + host + "\r\n", 200, false, kDefault200},
      {"PATCH", "PATCH / HTTP/1.1\r\n" + host + "\r\n", 200, false, kDefault200},
      {"POST overridden to DELETE",
       "POST / HTTP/1.1\r\n" + host + "X-HTTP-Method-Override: delete\r\nContent-Length: 0\r\n\r\n", 200, false,
       kDefault200},
      {"Expect other than 100-continue", "GET / HTTP/1.1\r\n" + host + "Expect: fancy\r\n\r\n", 417, false,
       "<HTML><BODY><B>417 Expectation Failed</B></BODY></HTML>"},
      {"POST body without a length", "POST / HTTP/1.1\r\n" + host + "\r\nbody bytes", 411, false,
       "<HTML><BODY><B>411 Length Required</B></BODY></HTML>"},
      {"POST without a body or length", "POST / HTTP/1.1\r\n" + host + "\r\n", 200, true, nullptr},
      {"chunked body",
       "POST / HTTP/1.1\r\n" + host +
           "Transfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nTrailer: t\r\n\r\n",
       200, true, nullptr},
      {"unsupported Transfer-Encoding", "POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: gzip\r\n\r\n", 400, false,
       kDefault400},
      {"Basic authorization", "GET / HTTP/1.1\r\n" + host + "Authorization: Basic dXNlcjpwYSs6c3M=\r\n\r\n", 200, true,
       nullptr},
      {"Bearer authorization, left to the handler", "GET / HTTP/1.1\r\n" + host + "Authorization: Bearer abc\r\n\r\n",
       200, true, nullptr},
      {"other authorization scheme", "GET / HTTP/1.1\r\n" + host + "Authorization: Negotiate abc\r\n\r\n", 401, false,
       "Unsupported authorization scheme."},
      {"1025 header lines", "GET / HTTP/1.1\r\n" + host + lines1025 + "\r\n", 200, true, nullptr},
      {"1026 header lines", "GET / HTTP/1.1\r\n" + host + lines1026 + "\r\n", 0, false, nullptr},
      {"16383-character line", "GET /" + std::string(16383 - 14, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 200, true,
       nullptr},
      {"16384-character line", "GET /" + std::string(16384 - 14, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 0, false,
       nullptr},
      {"16384-byte header line with a bare LF",
       "GET / HTTP/1.1\n" + host + "X: " + std::string(16384 - 3, 'b') + "\n\n", 200, true, nullptr},
      {"target with a space", "GET /a b HTTP/1.1\r\n" + host + "\r\n", 200, true, nullptr},
      {"request line without a space", "GARBAGE\r\n\r\n", 0, false, nullptr},
      {"empty first line", "\r\nGET / HTTP/1.1\r\n\r\n", 0, false, nullptr},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    int before = Calls();
    THttpAnswer a = Get(c.request);
    EXPECT_TRUE(a.closed);
    EXPECT_EQ(a.status, c.status) << a.statusLine;
    EXPECT_EQ(Calls() - before, c.handler ? 1 : 0);
    if (c.status != 0) {
      EXPECT_EQ(a.Header("Connection"), "close");
      if (c.body) {
        EXPECT_EQ(a.body, c.body);
      }
      if (c.handler && !c.body) {
        EXPECT_TRUE(a.body == pdf_) << "body of " << a.body.size() << " bytes";
      }
      EXPECT_EQ(a.Header("Content-Length"), std::to_string(a.status == 200 && c.handler ? pdf_.size() : a.body.size()));
    } else {
      EXPECT_FALSE(a.received);
    }
  }
}

TEST_F(HttpServerTest, RequestFieldsReachTheHandler) {
  Get("POST /dir/a%20b.pdf?x=1&y=a+b HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded; "
      "charset=x\r\n"
      "Content-Length: 9\r\nCookie: c1=v1; c2=v2\r\nAuthorization: Basic dXNlcjpwYSs6c3M=\r\n\r\nf=%41&g=2");
  THTTPRequestInfo r = Last();
  EXPECT_EQ(r.Command, "POST");
  EXPECT_EQ(r.CommandType, hcPOST);
  EXPECT_EQ(r.Version, "HTTP/1.1");
  EXPECT_EQ(r.VersionMajor, 1);
  EXPECT_EQ(r.VersionMinor, 1);
  EXPECT_EQ(r.URI, "/dir/a%20b.pdf");
  EXPECT_EQ(r.Document, "/dir/a b.pdf");
  EXPECT_EQ(r.QueryParams, "x=1&y=a+b");
  EXPECT_EQ(r.PostStream, "f=%41&g=2");
  EXPECT_EQ(r.UnparsedParams, "f=%41&g=2&x=1&y=a+b");
  EXPECT_THAT(
      r.Params,
      ElementsAre(std::pair<std::string, std::string>("f", "A"), std::pair<std::string, std::string>("g", "2"),
                  std::pair<std::string, std::string>("x", "1"), std::pair<std::string, std::string>("y", "a b")));
  EXPECT_THAT(r.Cookies, ElementsAre(std::pair<std::string, std::string>("c1", "v1"),
                                     std::pair<std::string, std::string>("c2", "v2")));
  EXPECT_TRUE(r.AuthExists);
  EXPECT_EQ(r.AuthUsername, "user");
  EXPECT_EQ(r.AuthPassword, "pa+:ss");
  EXPECT_EQ(r.RemoteIP, "127.0.0.1");

  Get("GET /a b HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(Last().URI, "/a b");
  EXPECT_EQ(Last().Version, "HTTP/1.1");

  Get("POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
  EXPECT_EQ(Last().PostStream, "hello world");

  Get("GET http://other:8/p?q HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Last().Host, "other:8");
  EXPECT_EQ(Last().Document, "/p");

  Get("GET / HTTP/x.y\r\n\r\n");
  EXPECT_EQ(Last().VersionMajor, -1);
  EXPECT_EQ(Last().VersionMinor, -1);
}

TEST_F(HttpServerTest, HeadAnswersLikeGetWithoutBody) {
  THttpAnswer get = Get("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  THttpAnswer head = Get("HEAD / HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(get.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(head.statusLine, get.statusLine);
  EXPECT_EQ(head.Names(), get.Names());
  for (const char* name : {"Connection", "Content-Disposition", "Content-Type", "Content-Length"})
    EXPECT_EQ(head.Header(name), get.Header(name)) << name;
  EXPECT_TRUE(get.body == pdf_) << "body of " << get.body.size() << " bytes";
  EXPECT_EQ(head.body, "");
}

TEST_F(HttpServerTest, FileAnswerHeaderLinesInOrder) {
  THttpAnswer a = Get("GET /scan.pdf HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_THAT(a.Names(), ElementsAre("Connection", "Content-Disposition", "Content-Type", "Content-Length", "Date",
                                     "Access-Control-Allow-Origin"));
  EXPECT_EQ(a.Header("Content-Disposition"), "attachment; filename=\"tmp5A3F.pdf\";");
  EXPECT_EQ(a.Header("Content-Type"), "application/pdf");
  EXPECT_EQ(a.Header("Content-Length"), std::to_string(pdf_.size()));
  EXPECT_TRUE(std::regex_match(a.Header("Date"), std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-9]{2} "
                                                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                            "[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT")))
      << a.Header("Date");
  EXPECT_TRUE(a.body == pdf_) << "body of " << a.body.size() << " bytes";
}

TEST_F(HttpServerTest, FileCases) {
  struct Case {
    const char* name;
    std::filesystem::path file;
    bool create;
    const char* method;
    std::string type, length, disposition, body;
  };
  std::filesystem::path nonAscii = dir_.Path() / std::filesystem::path(u8"skan \u017C.pdf");
  const std::vector<Case> cases = {
      {"0-byte file", dir_.Path() / "empty.pdf", true, "GET", "application/pdf", "0",
       "attachment; filename=\"empty.pdf\";", ""},
      {"missing file", dir_.Path() / "gone.pdf", false, "GET", "text/html; charset=utf-8", "39",
       "attachment; filename=\"gone.pdf\";", kDefault200},
      {"missing file, HEAD", dir_.Path() / "gone.pdf", false, "HEAD", "application/pdf", "0",
       "attachment; filename=\"gone.pdf\";", ""},
      {"a folder", dir_.Path(), false, "GET", "text/html; charset=utf-8", "39", "", kDefault200},
      {"no extension", dir_.Path() / "noext", true, "GET", "application/octet-stream", "0",
       "attachment; filename=\"noext\";", ""},
      {"page bitmap", dir_.Path() / "page1.BMP", true, "GET", "image/bmp", "0", "attachment; filename=\"page1.BMP\";",
       ""},
      {"name outside ASCII", nonAscii, true, "GET", "application/pdf", "0", "attachment; filename=\"skan ?.pdf\";", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.create) WriteFileBytes(c.file, "");
    served_ = c.file;
    THttpAnswer a = Get(std::string(c.method) + " / HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.Header("Content-Type"), c.type);
    EXPECT_EQ(a.Header("Content-Length"), c.length);
    if (!c.disposition.empty()) {
      EXPECT_EQ(a.Header("Content-Disposition"), c.disposition);
    }
    EXPECT_EQ(a.body, c.body);
  }
}

TEST_F(HttpServerTest, HandlerFailureBecomes500) {
  throwText_ = "X";
  THttpAnswer a = Get("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(a.statusLine, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(a.Header("Content-Type"), "text/html; charset=ISO-8859-1");
  EXPECT_EQ(a.Header("Content-Length"), "1");
  EXPECT_EQ(a.body, "X");
}

TEST_F(HttpServerTest, UnsupportedAuthorizationAnswer) {
  THttpAnswer a = Get("GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Digest x\r\n\r\n");
  EXPECT_EQ(a.statusLine, "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(a.Header("WWW-Authenticate"), "Basic");
  EXPECT_EQ(a.body, "Unsupported authorization scheme.");
}

// A request refused once its header lines are read gets a bare 403 whatever
// else it would have got, and never reaches a handler.
TEST_F(HttpServerTest, RefusedRequestGetsAnEmptyForbidden) {
  std::atomic<int> asked{0};
  server_.OnHeadersAvailable = [&asked](TContext&, const THTTPRequestInfo& rq) {
    ++asked;
    return rq.Header("X-Let-In") == "yes";
  };
  const int before = Calls();
  for (const char* request :
       {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", "GET / HTTP/1.1\r\n\r\n",
        "POST / HTTP/1.1\r\nHost: a\r\n\r\nbody without a length", "GET / HTTP/1.1\r\nHost: a\r\nExpect: fancy\r\n\r\n",
        "OPTIONS / HTTP/1.1\r\nHost: a\r\n\r\n", "GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Digest x\r\n\r\n"}) {
    SCOPED_TRACE(request);
    THttpAnswer a = Get(request);
    EXPECT_EQ(a.statusLine, "HTTP/1.1 403 Forbidden");
    EXPECT_THAT(a.Names(), ElementsAre("Connection", "Content-Length", "Date"));
    EXPECT_EQ(a.Header("Content-Length"), "0");
    EXPECT_EQ(a.body, "");
  }
  EXPECT_EQ(asked, 6);
  EXPECT_EQ(Calls(), before);
  THttpAnswer a = Get("GET / HTTP/1.1\r\nHost: a\r\nX-Let-In: yes\r\n\r\n");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(Calls(), before + 1);
}

TEST_F(HttpServerTest, ExpectContinueSendsInterimAnswerFirst) {
  TRawClient c;
  ASSERT_TRUE(c.Connect(port_));
  c.Send("POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-Continue\r\nContent-Length: 4\r\n\r\n");
  EXPECT_EQ(c.ReadUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
  c.Send("body");
  THttpAnswer a = ParseAnswer(c.ReadAll(), c.Closed());
  EXPECT_EQ(a.status, 200);
  EXPECT_TRUE(a.body == pdf_) << "body of " << a.body.size() << " bytes";
  EXPECT_EQ(Last().PostStream, "body");
}

TEST_F(HttpServerTest, PeerThatDisappearsMidRequestEndsQuietly) {
  {
    TRawClient c;
    ASSERT_TRUE(c.Connect(port_));
    c.Send("GET / HTTP/1.1\r\nHost: a\r\nX-Half");
  }
  {
    TRawClient c;
    ASSERT_TRUE(c.Connect(port_));
    c.Send("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\nonly part");
  }
  EXPECT_EQ(Get("GET / HTTP/1.0\r\n\r\n").status, 200);
}

TEST_F(HttpServerTest, ClientThatSendsNothingKeepsItsThreadUntilStop) {
  std::vector<TRawClient> idle(5);
  for (auto& c : idle) ASSERT_TRUE(c.Connect(port_));
  EXPECT_TRUE(Get("GET / HTTP/1.0\r\n\r\n").body == pdf_);  // others still served
  auto start = std::chrono::steady_clock::now();
  server_.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(server_.ConnectionThreadCount(), 0u);
  for (auto& c : idle) {
    c.ReadAll(5000);
    EXPECT_TRUE(c.Closed());
  }
}

// With a 2 MiB stack per connection thread, a 32-bit process ran out of
// address space at about 580 idle clients, and every later client was accepted
// and closed unanswered.
TEST_F(HttpServerTest, ThousandIdleClientsDoNotShutOutAGet) {
  constexpr std::size_t kIdle = 1000;
#ifndef _WIN32
  // Both ends of every connection live in this process.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 3 * kIdle) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 3 * kIdle);
    setrlimit(RLIMIT_NOFILE, &files);
  }
#endif
  std::vector<TRawClient> idle(kIdle);
  ASSERT_EQ(ConnectPaced(idle, port_, [this] { return server_.ConnectionThreadCount(); }), kIdle);
  for (int i = 0; i < 1200 && server_.ConnectionThreadCount() < kIdle; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(server_.ConnectionThreadCount(), kIdle) << "every idle client has a thread of its own";
  const THttpAnswer a = Get("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(a.status, 200);
  EXPECT_TRUE(a.body == pdf_) << "got " << a.body.size() << " of " << pdf_.size() << " bytes";
  auto start = std::chrono::steady_clock::now();
  server_.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(server_.ConnectionThreadCount(), 0u);
  for (auto& c : idle) {
    c.ReadAll(5000);
    EXPECT_TRUE(c.Closed());
  }
}

// Bytes that have arrived at a socket and wait to be read; -1 on an error.
long QueuedBytes(socket_t s) {
#ifdef _WIN32
  u_long n = 0;
  if (ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &n) != 0) return -1;
  return static_cast<long>(n);
#else
  int n = 0;
  if (ioctl(s, FIONREAD, &n) != 0) return -1;
  return n;
#endif
}

TEST_F(HttpServerTest, StopWhileAClientDoesNotReadTheFile) {
  const long size = 32 * 1024 * 1024;
  served_ = dir_.Path() / "big.pdf";
  WriteFileBytes(served_, std::string(static_cast<size_t>(size), 'b'));
  TRawClient c;
  ASSERT_TRUE(c.Connect(port_));
  c.Send("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  ASSERT_THAT(c.ReadUntil("\r\n\r\n"), ::testing::EndsWith("\r\n\r\n"));
  // The body fills the buffers between server and client until the server's
  // send blocks: then what waits at the client stops growing, short of the
  // whole file.
  long queued = -1;
  int unchanged = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (unchanged < 6 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long now = QueuedBytes(c.Handle());
    ASSERT_GE(now, 0);
    unchanged = now > 0 && now == queued ? unchanged + 1 : 0;
    queued = now;
  }
  ASSERT_EQ(unchanged, 6) << "the body kept coming: " << queued << " bytes";
  ASSERT_LT(queued, size) << "the whole file arrived: no send was left to stall";
  auto start = std::chrono::steady_clock::now();
  server_.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(server_.ConnectionThreadCount(), 0u);
}

}  // namespace
}  // namespace skan::share
