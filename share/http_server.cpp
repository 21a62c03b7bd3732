#include "share/http_server.h"

#include <cstdint>

#include "share/errors.h"
#include "share/text.h"

namespace skan::share {

THTTPCommandType CommandTypeOf(std::string_view method) {
  static const char* const kMethods[] = {"UNKNOWN", "HEAD", "GET", "POST", "DELETE", "PUT", "TRACE", "OPTIONS"};
  for (int i = 1; i < 8; ++i)
    if (IEquals(method, kMethods[i])) return static_cast<THTTPCommandType>(i);
  return hcUnknown;
}

std::string THTTPRequestInfo::Header(std::string_view name) const {
  for (const auto& h : RawHeaders)
    if (IEquals(h.first, name)) return h.second;
  return {};
}

bool THTTPRequestInfo::HasHeader(std::string_view name) const {
  for (const auto& h : RawHeaders)
    if (IEquals(h.first, name)) return true;
  return false;
}

namespace {

// A whole decimal number of 0 or more; -1 for anything else, overflow included.
std::int64_t ParseLength(std::string_view s) {
  s = Trim(s);
  if (s.empty() || s.size() > 18) return -1;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

int ParseVersionNumber(std::string_view s) {
  if (s.empty() || s.size() > 9) return -1;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Chunk size: hexadecimal text before any ";", blanks removed; text that is
// no hexadecimal number counts as 0.
std::int64_t ParseChunkSize(std::string_view line) {
  line = line.substr(0, line.find(';'));
  std::string digits;
  for (char c : line)
    if (c != ' ' && c != '\t') digits += c;
  if (digits.empty()) return 0;
  std::int64_t v = 0;
  for (char c : digits) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) return 0;
    // A size that does not fit is a broken request, not a chunk to wait for.
    if (v > (INT64_MAX >> 4)) throw TShareException("Chunk size too large.");
    v = v * 16 + d;
  }
  return v;
}

TNameValueList DecodeParams(std::string_view text) {
  TNameValueList out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t amp = text.find('&', start);
    std::string_view pair = text.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
    if (!pair.empty()) {
      std::size_t eq = pair.find('=');
      out.emplace_back(UrlDecode(pair.substr(0, eq), true),
                       eq == std::string_view::npos ? std::string() : UrlDecode(pair.substr(eq + 1), true));
    }
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  return out;
}

void DecodeCookies(const THTTPRequestInfo& request, TNameValueList& cookies) {
  for (const auto& h : request.RawHeaders) {
    if (!IEquals(h.first, "Cookie")) continue;
    std::string_view v(h.second);
    std::size_t start = 0;
    while (start <= v.size()) {
      std::size_t semi = v.find(';', start);
      std::string_view c =
          Trim(v.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
      if (!c.empty()) {
        std::size_t eq = c.find('=');
        cookies.emplace_back(std::string(Trim(c.substr(0, eq))),
                             eq == std::string_view::npos ? std::string() : std::string(Trim(c.substr(eq + 1))));
      }
      if (semi == std::string_view::npos) break;
      start = semi + 1;
    }
  }
}

// Writes an early answer ("400", "411", "417"): the header and the default body.
void AnswerEarly(THTTPResponseInfo& response, int code) {
  response.SetResponseNo(code);
  response.WriteContent();
}

}  // namespace

TCustomHTTPServer::TCustomHTTPServer() { SetDefaultPort(80); }

TCustomHTTPServer::~TCustomHTTPServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

THTTPServer::~THTTPServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TCustomHTTPServer::Startup() {
  TCustomTCPServer::Startup();
  // Sessions need a timeout; without one, session handling is off.
  if (SessionTimeOut == 0) SessionState = false;
}

void TCustomHTTPServer::Shutdown() { TCustomTCPServer::Shutdown(); }

void TCustomHTTPServer::DoCommandGet(TContext& context, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  if (OnCommandGet) OnCommandGet(context, request, response);
}

void TCustomHTTPServer::DoCommandOther(TContext& context, THTTPRequestInfo& request, THTTPResponseInfo& response) {
  if (OnCommandOther) OnCommandOther(context, request, response);
}

bool TCustomHTTPServer::DoHeaderExpectations(TContext&, const std::string& expectations) {
  return IEquals(expectations, "100-continue");
}

bool TCustomHTTPServer::DoExecute(TContext& context) {
  try {
    ReadAndAnswer(context);
  } catch (const TConnClosedGracefully&) {
  } catch (const TSocketException& e) {
    if (!IsConnectionGoneError(e.Code())) {
      context.Connection().Disconnect();
      throw;
    }
  } catch (...) {
    context.Connection().Disconnect();
    throw;
  }
  context.Connection().Disconnect();
  return false;
}

void TCustomHTTPServer::ReadAndAnswer(TContext& context) {
  TIOHandler& io = context.Connection().IOHandler();

  std::string line = AsciiFromBytes(io.ReadLn(kMaxLineLength));
  std::size_t lastSpace = line.rfind(' ');
  if (lastSpace == std::string::npos) throw TShareException("Error in parsing command.");

  THTTPRequestInfo request;
  THTTPResponseInfo response(io, request, mimeTable_);
  response.Server = std::string(Trim(ServerSoftware));

  request.Version = line.substr(lastSpace + 1);
  std::size_t slash = request.Version.find('/');
  if (slash != std::string::npos) {
    std::size_t dot = request.Version.find('.', slash + 1);
    std::string_view v(request.Version);
    request.VersionMajor =
        ParseVersionNumber(v.substr(slash + 1, dot == std::string::npos ? std::string::npos : dot - slash - 1));
    if (dot != std::string::npos) request.VersionMinor = ParseVersionNumber(v.substr(dot + 1));
  }
  request.RawHTTPCommand = line;
  std::string commandPart = line.substr(0, lastSpace);

  // Header lines up to an empty line; the count is checked before each line
  // is counted, so MaximumHeaderLineCount + 1 lines pass.
  int count = 0;
  for (;;) {
    std::string h = AsciiFromBytes(io.ReadLn(kMaxLineLength));
    if (h.empty()) break;
    if (count > MaximumHeaderLineCount) throw TShareException("Maximum number of line allowed exceeded");
    ++count;
    if ((h[0] == ' ' || h[0] == '\t') && !request.RawHeaders.empty()) {
      request.RawHeaders.back().second += " " + std::string(Trim(h));  // folded continuation
      continue;
    }
    std::size_t colon = h.find(':');
    std::string_view hv(h);
    request.RawHeaders.emplace_back(
        std::string(Trim(hv.substr(0, colon))),
        colon == std::string::npos ? std::string() : std::string(Trim(hv.substr(colon + 1))));
  }
  request.Host = request.Header("Host");
  request.Connection = request.Header("Connection");
  request.ContentType = request.Header("Content-Type");
  request.TransferEncoding = request.Header("Transfer-Encoding");
  request.Expect = request.Header("Expect");
  request.UserAgent = request.Header("User-Agent");
  request.Accept = request.Header("Accept");
  request.Referer = request.Header("Referer");
  request.ContentLength = request.HasHeader("Content-Length") ? ParseLength(request.Header("Content-Length")) : -1;

  response.CloseConnection = true;
  response.Connection = "close";

  std::size_t methodEnd = commandPart.find(' ');
  std::string method = AsciiUpper(std::string_view(commandPart).substr(0, methodEnd));
  if (method == "POST") {
    for (const char* name : {"X-HTTP-Method-Override", "X-HTTP-Method", "X-METHOD-OVERRIDE"}) {
      std::string v = request.Header(name);
      if (!v.empty()) {
        method = AsciiUpper(v);
        break;
      }
    }
  }
  request.Command = method;
  request.CommandType = CommandTypeOf(method);
  request.RemoteIP = context.RemoteIP();

  std::string target = methodEnd == std::string::npos ? std::string() : commandPart.substr(methodEnd + 1);
  std::size_t question = target.find('?');
  request.URI = target.substr(0, question);
  if (question != std::string::npos) request.QueryParams = target.substr(question + 1);
  if (request.URI == "*") {
    request.Document = "*";
  } else {
    std::string_view path(request.URI);
    if (IStartsWith(path, "http://") || IStartsWith(path, "https://")) {
      path.remove_prefix(path.find("//") + 2);
      std::size_t slashPos = path.find('/');
      if (request.Host.empty()) request.Host = std::string(path.substr(0, slashPos));
      path = slashPos == std::string_view::npos ? std::string_view("/") : path.substr(slashPos);
    }
    request.Document = UrlDecode(path);
  }

  // Checked before anything else of the request is read or answered: a
  // refused request learns nothing but the refusal.
  if (!DoHeadersAvailable(context, request)) {
    response.SetResponseNo(403);
    response.ContentLength = 0;
    response.WriteHeader();
    return;
  }
  bool http11 = request.VersionMajor > 1 || (request.VersionMajor == 1 && request.VersionMinor >= 1);
  if (http11 && request.Host.empty()) {
    AnswerEarly(response, 400);
    return;
  }
  if (http11 && !request.Expect.empty() && io.InputBufferIsEmpty() && !io.Readable(0)) {
    if (DoHeaderExpectations(context, request.Expect)) {
      io.Write(ToHeaderAscii(request.Version) + " 100 " + StatusText(100) + "\r\n\r\n");
    } else {
      AnswerEarly(response, 417);
      return;
    }
  }

  auto keep = [&request](std::string_view bytes) {
    std::size_t room = kMaxKeptBodyBytes - std::min(kMaxKeptBodyBytes, request.PostStream.size());
    request.PostStream.append(bytes.substr(0, room));
  };
  const std::string& te = request.TransferEncoding;
  if (te.empty() || IEquals(te, "identity")) {
    if (request.ContentLength >= 0) {
      io.ReadBytes(request.ContentLength, keep);
      request.HasPostStream = true;
    } else if (request.CommandType == hcPOST || request.CommandType == hcPUT) {
      if (io.Readable(1)) {
        AnswerEarly(response, 411);
        return;
      }
    }
  } else if (AsciiLower(te).find("chunked") != std::string::npos) {
    for (;;) {
      std::int64_t size = ParseChunkSize(io.ReadLn(kMaxLineLength));
      if (size == 0) break;
      io.ReadBytes(size, keep);
      io.ReadLn(kMaxLineLength);
    }
    while (!io.ReadLn(kMaxLineLength).empty()) {
    }
    request.HasPostStream = true;
  } else {
    AnswerEarly(response, 400);
    return;
  }

  std::string mediaType =
      AsciiLower(Trim(std::string_view(request.ContentType).substr(0, request.ContentType.find(';'))));
  bool form = mediaType == "application/x-www-form-urlencoded";
  if (form) request.FormParams = request.PostStream;
  if (request.FormParams.empty())
    request.UnparsedParams = request.QueryParams;
  else if (request.QueryParams.empty())
    request.UnparsedParams = request.FormParams;
  else
    request.UnparsedParams = request.FormParams + "&" + request.QueryParams;
  if (ParseParams) request.Params = DecodeParams(form ? request.UnparsedParams : request.QueryParams);
  DecodeCookies(request, request.Cookies);

  try {
    std::string auth = request.Header("Authorization");
    if (!auth.empty()) {
      std::string_view a = Trim(auth);
      std::size_t sp = a.find(' ');
      std::string_view scheme = a.substr(0, sp);
      // A bearer token is the handlers' to check (the share action's
      // secret); it is no user name and password.
      if (!IEquals(scheme, "Basic") && !IEquals(scheme, "Bearer")) throw TUnsupportedAuthScheme();
      if (IEquals(scheme, "Basic")) {
        std::string credentials =
            Base64Decode(sp == std::string_view::npos ? std::string_view() : Trim(a.substr(sp + 1)));
        std::size_t colon = credentials.find(':');
        request.AuthUsername = credentials.substr(0, colon);
        if (colon != std::string::npos) request.AuthPassword = credentials.substr(colon + 1);
        request.AuthExists = true;
      }
    }
    if (request.CommandType == hcHEAD || request.CommandType == hcGET || request.CommandType == hcPOST)
      DoCommandGet(context, request, response);
    else
      DoCommandOther(context, request, response);
  } catch (const TSocketException&) {
    throw;
  } catch (const TUnsupportedAuthScheme& e) {
    response.SetResponseNo(401);
    response.ContentText = e.what();
    bool listed = false;
    for (const std::string& c : response.WWWAuthenticate) listed = listed || IStartsWith(c, "Basic");
    if (!listed) response.WWWAuthenticate.push_back("Basic");
  } catch (const std::exception& e) {
    response.SetResponseNo(500);
    response.ContentText = e.what();
    DoCommandError(context, request, response, e);
  } catch (...) {
    response.SetResponseNo(500);
    response.ContentText = "Unknown failure.";
  }

  if (!response.HeaderHasBeenWritten()) response.WriteHeader();
  if (!response.ContentText.empty() || response.ContentStream) response.WriteContent();
}

}  // namespace skan::share
