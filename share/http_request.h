// The parsed HTTP request handed to a server's command handlers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skan::share {

// Method types, in the order of the server's method table.
enum THTTPCommandType {
  hcUnknown = 0,
  hcHEAD = 1,
  hcGET = 2,
  hcPOST = 3,
  hcDELETE = 4,
  hcPUT = 5,
  hcTRACE = 6,
  hcOPTION = 7,
};

THTTPCommandType CommandTypeOf(std::string_view method);

using TNameValueList = std::vector<std::pair<std::string, std::string>>;

class THTTPRequestInfo {
 public:
  std::string RawHTTPCommand;  // the request line as received
  std::string Command;         // the method, upper case
  THTTPCommandType CommandType = hcUnknown;
  std::string Version;
  int VersionMajor = -1, VersionMinor = -1;
  std::string URI, QueryParams, Document;
  TNameValueList RawHeaders;  // as received; look names up with Header()
  std::string Host, Connection, ContentType, TransferEncoding, Expect, UserAgent, Accept, Referer;
  std::int64_t ContentLength = -1;  // -1: none or not a number
  std::string RemoteIP;
  std::string PostStream;  // the body, as far as it is kept
  bool HasPostStream = false;
  std::string FormParams, UnparsedParams;
  TNameValueList Params, Cookies;
  bool AuthExists = false;
  std::string AuthUsername, AuthPassword;

  // The first value of a header, names compared ignoring case; empty if none.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

}  // namespace skan::share
