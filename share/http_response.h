// The answer side of the HTTP server: the response object, its header lines,
// default bodies, and ServeFile.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skan::share {

class TContext;
class THTTPRequestInfo;
class TIOHandler;
class TThreadSafeMimeTable;

// Reason text of a status code; "Unknown Response Code" for codes not listed.
const char* StatusText(int code);

class THTTPResponseInfo {
 public:
  // Writes go to io; mimeTable serves ServeFile's content types.
  THTTPResponseInfo(TIOHandler& io, const THTTPRequestInfo& request, TThreadSafeMimeTable& mimeTable);
  virtual ~THTTPResponseInfo();
  THTTPResponseInfo(const THTTPResponseInfo&) = delete;
  THTTPResponseInfo& operator=(const THTTPResponseInfo&) = delete;

  int ResponseNo() const { return responseNo_; }
  // Sets the code and its reason text; 404 also closes the connection.
  void SetResponseNo(int code);
  std::string ResponseText = "OK";

  const std::string& ContentType() const { return contentType_; }
  // Takes a "charset" parameter out into CharSet; a text type without one
  // gets a default charset.
  void SetContentType(std::string_view value);
  std::string CharSet;

  std::int64_t ContentLength = -1;  // -1: none
  std::string ContentDisposition, ContentEncoding, ContentLanguage, ContentVersion;
  std::string CacheControl, ETag, Pragma, TransferEncoding, AcceptPatch, AcceptRanges;
  std::string Server, Location, AuthRealm;
  std::string ContentText;                                      // body as UTF-8 text, sent in CharSet
  std::unique_ptr<std::istream> ContentStream;                  // body as a stream
  std::vector<std::string> CustomHeaders;                       // "Name: value" lines, appended as they are
  std::vector<std::pair<std::string, std::string>> RawHeaders;  // assembled for writing
  std::string Connection;
  bool CloseConnection = false;
  std::optional<std::time_t> Date, LastModified, Expires;
  std::vector<std::string> WWWAuthenticate, ProxyAuthenticate, Cookies;

  bool HeaderHasBeenWritten() const { return headerWritten_; }
  // Status line and header lines in one write; fails the second time.
  void WriteHeader();
  // The body (after the header, if that is still to be written).
  void WriteContent();
  // Assembles RawHeaders from the fields.
  virtual void SetHeaders();
  // Answers with a file: type from its extension, its length, an attachment
  // disposition with its name, then its bytes. Returns the body bytes sent.
  // With `shownAs`, type and disposition come from that name instead (a
  // private copy served under the original's name).
  virtual std::int64_t ServeFile(TContext& context, const std::filesystem::path& file,
                                 const std::filesystem::path& shownAs = {});

 private:
  bool BodyAllowed() const;
  void SetHeader(std::string_view name, std::string value);

  TIOHandler& io_;
  const THTTPRequestInfo& request_;
  TThreadSafeMimeTable& mimeTable_;
  int responseNo_ = 200;
  std::string contentType_;
  bool headerWritten_ = false;
};

// UTF-8 text of a path (file names on Windows are UTF-16).
std::string PathText(const std::filesystem::path& p);

}  // namespace skan::share
