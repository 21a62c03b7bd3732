// The texts exchanged with the peer: the outbound message bodies, command
// matching and the scan request identifier. Every message body the host
// sends is built here, and only here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scan_settings.h"

namespace skan {

// Values of the scan-request status reported by IFSCANED.
namespace scan_status {
inline constexpr std::string_view kInit = "Init_SCAN";
inline constexpr std::string_view kBegin = "Begin_SCAN";
inline constexpr std::string_view kPrepared = "Prepared_SCAN";
inline constexpr std::string_view kReady = "Redy_SCAN";
}  // namespace scan_status

// The largest body the host ever writes: the browsers' native-messaging
// limit for messages from a host. A longer one makes the browser drop the
// connection, so the only reply that carries peer text (message 4) is cut
// to fit.
inline constexpr std::size_t kMaxReplyBody = 1024 * 1024;

// Outbound bodies (UTF-8). Numbers match the protocol's message table.
std::string InitScanReply(std::string_view scanId);         // 1
std::string IfScanedReply(std::string_view status);         // 2
std::string EndReply();                                     // 3
std::string UnknownCommandReply(std::string_view command);  // 4, at most kMaxReplyBody bytes
std::string PreparingMessage();                             // 5
std::string PartMessage();                                  // 6
// 7: the share port and the secret a reader must present (64 hex digits).
std::string SharedMessage(std::uint16_t port, std::string_view secret);
// Message 7 as the log shows it: the secret left out.
std::string SharedMessageForLog(std::uint16_t port);

// --- Replies and events of the added commands and fields -------------------
// Only a peer that sends the added commands or fields ever sees these.

// A refusal: the "error" member added to a command's normal reply.
// `details` holds more members of the error object, already JSON.
struct TPeerError {
  std::string code;     // INVALID_ARGUMENT, UNSUPPORTED_SETTING, NO_SCANNER, ...
  std::string message;  // fit to show to the person
  std::string details;
};
TPeerError InvalidArgumentError(std::string_view field);
TPeerError UnsupportedSettingError(const TSettingProblem& problem);
TPeerError NoScannerError(std::string_view scanner);
TPeerError ScannerBusyError();
TPeerError NoRequestError();
// {"POL":"Init_SCAN","Initscan_id":"","error":{...}}: no request was started.
std::string InitScanErrorReply(const TPeerError& error);
// The reply of any command with an error and, before it, the command's own
// members (already JSON, may be empty): {"POL":"<command>",<members>,"error":{...}}.
std::string CommandErrorReply(std::string_view command, std::string_view members, const TPeerError& error);

std::string ListScannersReply(const std::vector<TScannerInfo>& scanners);
std::string ScannerCapsReply(std::string_view scanner, const TScannerCaps& caps);
std::string StartScanReply();                 // {"POL":"Start_SCAN","started":true}
std::string CancelScanReply(bool cancelled);  // {"POL":"Cancel_SCAN","cancelled":...}

// Events, pushed only to a peer that asked for them.
std::string StatusEvent(std::string_view status);
struct TPageEvent {
  int page = 0;
  unsigned pixelWidth = 0, pixelHeight = 0;
  int dpi = 0;
  std::string colour;     // "colour", "grey" or "bw"
  std::string thumbnail;  // Base64 of a JPEG
};
std::string PageEvent(const TPageEvent& page);
// `outcome`: "done" (with `document`), "cancelled" or "failed" (with `reason`).
std::string ScannedEvent(int pages, std::string_view outcome, std::string_view reason, std::string_view document);
// Message 7 for a peer that asked for events: the document's id added.
std::string SharedMessageWithDocument(std::uint16_t port, std::string_view secret, std::string_view document);
// A fresh document id: "d" and 32 lower-case hex digits from 16 random bytes.
std::string DocumentId(const unsigned char (&random)[16]);

// Escapes text as JSON string content (quotation mark, backslash and control
// characters), so a reply that carries peer text stays valid JSON.
std::string JsonEscape(std::string_view text);
// As JsonEscape, but stops before the first character whose escaped form
// would take the result past `maxBytes`: never inside a UTF-8 sequence or
// an escape.
std::string JsonEscapeCut(std::string_view text, std::size_t maxBytes);

// Whole-text comparison ignoring the case of A-Z only.
bool CommandIs(std::string_view text, std::string_view command);

struct TLocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

// "yyyy_mm_dd_hh_mm_ss_zzz", e.g. 2025_03_07_09_05_02_045.
std::string FormatScanId(const TLocalTime& t);

}  // namespace skan
