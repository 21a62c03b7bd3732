// The texts exchanged with the peer: the outbound message bodies, command
// matching and the scan request identifier.
#pragma once

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

// Outbound bodies (UTF-8). Numbers match the protocol's message table.
std::string InitScanReply(std::string_view scanId);         // 1
std::string IfScanedReply(std::string_view status);         // 2
std::string EndReply();                                     // 3
std::string UnknownCommandReply(std::string_view command);  // 4
std::string PreparingMessage();                             // 5
std::string HelloMessage();                                 // 6
std::string SharedMessage(unsigned port);                   // 7

// Escapes text as JSON string content (quotation mark, backslash and control
// characters), so a reply that carries peer text stays valid JSON.
std::string JsonEscape(std::string_view text);

// Whole-text comparison ignoring the case of A-Z only.
bool CommandIs(std::string_view text, std::string_view command);

struct TLocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

// "yyyy_mm_dd_hh_mm_ss_zzz", e.g. 2025_03_07_09_05_02_045.
std::string FormatScanId(const TLocalTime& t);

}  // namespace skan
