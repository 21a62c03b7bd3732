#include "share/http_response.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/encoding.h"
#include "share/errors.h"
#include "share/http_request.h"
#include "share/io_handler.h"
#include "share/mime_table.h"
#include "share/socket.h"
#include "share/tcp_server.h"
#include "share/text.h"

namespace skan::share {

const char* StatusText(int code) {
  switch (code) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Moved Temporarily";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method not allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Long";
    case 414: return "Request-URI Too Long. 256 Chars max";
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway timeout";
    case 505: return "HTTP version not supported";
    case 511: return "Network Authentication Required";
    default: return "Unknown Response Code";
  }
}

std::string PathText(const std::filesystem::path& p) {
#ifdef _WIN32
  return base::Narrow(p.native());
#else
  return p.native();
#endif
}

namespace {

// A charset value with a space or an RFC 2045 "tspecial" must be quoted.
std::string QuotedIfNeeded(const std::string& v) {
  for (char c : v)
    if (c <= ' ' || std::string_view("()<>@,;:\\\"/[]?=").find(c) != std::string_view::npos) return "\"" + v + "\"";
  return v;
}

}  // namespace

THTTPResponseInfo::THTTPResponseInfo(TIOHandler& io, const THTTPRequestInfo& request, TThreadSafeMimeTable& mimeTable)
    : io_(io), request_(request), mimeTable_(mimeTable) {}

THTTPResponseInfo::~THTTPResponseInfo() = default;

void THTTPResponseInfo::SetResponseNo(int code) {
  responseNo_ = code;
  ResponseText = StatusText(code);
  if (code == 404) {
    CloseConnection = true;
    Connection = "close";
  }
}

void THTTPResponseInfo::SetContentType(std::string_view value) {
  if (value.empty()) {
    contentType_.clear();
    CharSet.clear();
    return;
  }
  // Split off parameters; a charset parameter goes to CharSet, others stay.
  std::string type;
  std::string charset;
  std::size_t start = 0;
  bool first = true;
  while (start <= value.size()) {
    std::size_t semi = value.find(';', start);
    std::string_view part =
        Trim(value.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
    if (first) {
      type = std::string(part);
      first = false;
    } else if (IStartsWith(part, "charset=")) {
      std::string_view v = Trim(part.substr(8));
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      charset = std::string(v);
    } else if (!part.empty()) {
      type += "; ";
      type += part;
    }
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  contentType_ = type;
  if (!charset.empty()) {
    CharSet = charset;
  } else if (CharSet.empty() && IStartsWith(type, "text/")) {
    std::string sub = AsciiLower(
        std::string_view(type).substr(5, type.find(';') == std::string::npos ? std::string::npos : type.find(';') - 5));
    bool xml = sub == "xml" || sub == "xml-external-parsed-entity" ||
               (sub.size() >= 4 && sub.compare(sub.size() - 4, 4, "+xml") == 0);
    CharSet = xml ? "us-ascii" : "ISO-8859-1";
  }
}

bool THTTPResponseInfo::BodyAllowed() const {
  return request_.CommandType != hcHEAD && !(responseNo_ >= 100 && responseNo_ <= 199) && responseNo_ != 204 &&
         responseNo_ != 304;
}

void THTTPResponseInfo::SetHeader(std::string_view name, std::string value) {
  if (value.empty()) return;
  for (auto& h : RawHeaders) {
    if (IEquals(h.first, name)) {
      h.second = std::move(value);
      return;
    }
  }
  RawHeaders.emplace_back(std::string(name), std::move(value));
}

void THTTPResponseInfo::SetHeaders() {
  RawHeaders.clear();
  // Entity part.
  SetHeader("Connection", Connection);
  SetHeader("Content-Version", ContentVersion);
  SetHeader("Content-Disposition", ContentDisposition);
  SetHeader("Content-Encoding", ContentEncoding);
  SetHeader("Content-Language", ContentLanguage);
  if (!contentType_.empty())
    SetHeader("Content-Type", CharSet.empty() ? contentType_ : contentType_ + "; charset=" + QuotedIfNeeded(CharSet));
  if (ContentLength >= 0) SetHeader("Content-Length", std::to_string(ContentLength));
  SetHeader("Cache-control", CacheControl);
  if (Date) SetHeader("Date", FormatHTTPDate(*Date));
  SetHeader("ETag", ETag);
  if (Expires) SetHeader("Expires", FormatHTTPDate(*Expires));
  SetHeader("Pragma", Pragma);
  SetHeader("Transfer-Encoding", TransferEncoding);
  for (const std::string& line : CustomHeaders) {
    std::size_t colon = line.find(':');
    std::string_view l(line);
    RawHeaders.emplace_back(std::string(l.substr(0, colon)),
                            colon == std::string::npos ? std::string() : std::string(Trim(l.substr(colon + 1))));
  }
  // Response part.
  SetHeader("Accept-Patch", AcceptPatch);
  SetHeader("Accept-Ranges", AcceptRanges);
  if (LastModified) SetHeader("Last-Modified", FormatHTTPDate(*LastModified));
  // HTTP part.
  SetHeader("Server", Server);
  SetHeader("Location", Location);
  for (const std::string& c : WWWAuthenticate) RawHeaders.emplace_back("WWW-Authenticate", c);
  if (WWWAuthenticate.empty() && !AuthRealm.empty())
    RawHeaders.emplace_back("WWW-Authenticate", "Basic realm=\"" + AuthRealm + "\"");
  for (const std::string& c : ProxyAuthenticate) RawHeaders.emplace_back("Proxy-Authenticate", c);
}

void THTTPResponseInfo::WriteHeader() {
  if (headerWritten_) throw TShareException("Header has already been written.");
  headerWritten_ = true;
  if (!AuthRealm.empty()) SetResponseNo(401);
  bool hasBody = !ContentText.empty() || ContentStream;
  if (contentType_.empty() && hasBody)
    SetContentType("text/html; charset=" + (CharSet.empty() ? std::string("ISO-8859-1") : CharSet));
  if (ContentLength == -1 && (TransferEncoding.empty() || IEquals(TransferEncoding, "identity"))) {
    if (!BodyAllowed()) {
      ContentLength = 0;
    } else if (!ContentText.empty()) {
      ContentLength = static_cast<std::int64_t>(EncodeInCharSet(ContentText, CharSet).size());
    } else if (ContentStream) {
      ContentStream->clear();
      ContentStream->seekg(0, std::ios::end);
      ContentLength = static_cast<std::int64_t>(ContentStream->tellg());
      ContentStream->seekg(0);
    } else {
      SetContentType("text/html; charset=utf-8");
      ContentText = "<HTML><BODY><B>" + std::to_string(responseNo_) + " " + ResponseText + "</B></BODY></HTML>";
      ContentLength = static_cast<std::int64_t>(ContentText.size());
    }
  }
  if (!Date) Date = std::time(nullptr);
  SetHeaders();
  std::string head = "HTTP/1.1 " + std::to_string(responseNo_) + " " + ToHeaderAscii(ResponseText) + "\r\n";
  for (const auto& h : RawHeaders) head += ToHeaderAscii(h.first + ": " + h.second) + "\r\n";
  for (const std::string& c : Cookies) head += ToHeaderAscii("Set-Cookie: " + c) + "\r\n";
  head += "\r\n";
  io_.Write(head);
}

void THTTPResponseInfo::WriteContent() {
  if (!headerWritten_) WriteHeader();
  if (BodyAllowed()) {
    if (!ContentText.empty()) {
      io_.Write(EncodeInCharSet(ContentText, CharSet));
    } else if (ContentStream) {
      ContentStream->clear();
      ContentStream->seekg(0);
      std::vector<char> buf(64 * 1024);
      std::int64_t left = ContentLength >= 0 ? ContentLength : INT64_MAX;
      while (left > 0 && *ContentStream) {
        ContentStream->read(buf.data(), static_cast<std::streamsize>(
                                            std::min<std::int64_t>(left, static_cast<std::int64_t>(buf.size()))));
        std::streamsize n = ContentStream->gcount();
        if (n <= 0) break;
        io_.Write(std::string_view(buf.data(), static_cast<std::size_t>(n)));
        left -= n;
      }
    } else {
      io_.Write("<HTML><BODY><B>" + std::to_string(responseNo_) + " " + ResponseText + "</B></BODY></HTML>");
    }
  }
  ContentText.clear();
  ContentStream.reset();
}

std::int64_t THTTPResponseInfo::ServeFile(TContext&, const std::filesystem::path& file,
                                          const std::filesystem::path& shownAs) {
  const std::filesystem::path& shown = shownAs.empty() ? file : shownAs;
  std::string name = PathText(shown);
  if (contentType_.empty()) SetContentType(mimeTable_.GetFileMIMEType(name));
  // The file is opened before the header is written and its length taken
  // from the open file, so that the announced length is what gets sent.
  bool head = request_.CommandType == hcHEAD;
  TFileForSending f;
  bool opened = !head && f.Open(file);
  ContentLength = opened ? f.Size() : DirectoryEntrySize(file);
  if (ContentDisposition.empty()) ContentDisposition = "attachment; filename=\"" + PathText(shown.filename()) + "\";";
  WriteHeader();
  if (head || !opened || f.Size() == 0) return 0;
  return io_.WriteFile(f, f.Size()) ? f.Size() : 0;
}

}  // namespace skan::share
