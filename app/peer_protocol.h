// The texts exchanged with the peer: the outbound message bodies, command
// matching and the scan request identifier. Every message body the host
// sends is built here, and only here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
