// Optional fields the peer may add to its messages, beyond the command's own
// members. Each is listed here with its type, bound and meaning (and in the
// table of app/README.md); a peer that sends none of them gets exactly the
// messages and flow it would get without this list.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"

namespace skan {

// One optional field of an inbound message.
struct TPeerField {
  std::string_view name;
  std::string_view type;     // the JSON type it must have
  std::size_t maxBytes;      // longest accepted value, in bytes
  std::string_view meaning;  // where it may appear and what it does
};

// "origin": the requesting web page's origin, as the browser serialises it
// ("https://host[:port]" or "http://host[:port]"). Added by the browser
// extension, never by the page. Bound: "https://" (8), a host of up to 255
// bytes, ":65535" (6).
inline constexpr TPeerField kOriginField{
    "origin", "string", 8 + 255 + 6,
    "the first message only; kept for the whole process; shown in the window and beside \"Confirm and send\""};

// "languages" of Init_SCAN: the OCR languages of the request's documents,
// '+'-joined codes of installed models ("pol+eng", "eng"); "" switches
// recognition off. Absent: "pol+eng".
inline constexpr TPeerField kLanguagesField{
    "languages", "string", 64,
    "Init_SCAN; the languages the request's pages are recognised in, until the next Init_SCAN"};

// "compression": how the request's colour and grey pages are stored.
// "compact" (the default): text and lines as coloured masks over a JPEG
// background, photographs as one JPEG; "lossless": every pixel as scanned.
// Black-and-white pages are lossless either way.
inline constexpr TPeerField kCompressionField{
    "compression", "string", 8,
    "Init_SCAN; \"compact\" (default when absent) or \"lossless\"; for that request's pages"};

// --- The page drives the scan ---
// "events": true on the first message (any command) asks the host to push
// Event messages (status, page, scanned) and to name the document in
// message 7, for the rest of the process.
inline constexpr TPeerField kEventsField{
    "events", "boolean", 5, "the first message only; true: Event messages are pushed and message 7 names the document"};
// "scan": settings negotiated with the source when Init_SCAN arrives
// (scan_settings.h); a refused or changed one fails the Init_SCAN. No bound
// of its own: each member is bounded and unknown members are refused.
inline constexpr TPeerField kScanField{
    "scan", "object", 0,
    "Init_SCAN only: {scanner, resolution, colour, duplex, source, paperSize, maxPages, showScannerUI}"};

// Every optional field, in one place.
inline constexpr TPeerField kPeerFields[] = {kOriginField, kLanguagesField, kCompressionField, kEventsField,
                                             kScanField};

// What the optional fields have set so far.
struct TPeerFields {
  // The origin of the page that asked, once a well-formed one arrived on the
  // first message.
  std::optional<std::string> origin;
  // Whether the first message (the first JSON object) has been taken.
  bool firstTaken = false;
  // The first message asked for Event messages.
  bool events = false;
};

// The origin as it is kept, or nullopt when `text` is no well-formed origin:
// ASCII, at most kOriginField.maxBytes, "http" or "https", "://", a host
// (letters, digits, ".", "-", "_", or an IPv6 literal in brackets) and an
// optional ":port" of 1 to 65535; no user, path, query or fragment.
std::optional<std::string> ParseOrigin(std::string_view text);

// Reads the optional fields of one inbound object: the origin of the first
// message is kept when well formed; anything else about it is logged and
// ignored. True when this message made the origin known. Never changes a
// reply.
bool TakePeerFields(const TJsonValue& message, TPeerFields& fields,
                    const std::function<void(std::string_view line)>& log);

// The OCR languages an Init_SCAN asks for: its "languages" when it is a
// well-formed list of models present in `dataFolder` (UTF-8; not looked at
// when empty) or "" (off); the default ("pol+eng") when absent. Anything
// else (another type, more than 64 bytes, not '+'-joined codes, a language
// without a model) is logged and gives nullopt: the Init_SCAN is refused.
std::optional<std::string> TakeLanguages(const TJsonValue& message, const std::string& dataFolder,
                                         const std::function<void(std::string_view line)>& log);

// Whether an Init_SCAN asks for compact pages: true when "compression" is
// absent or "compact", false for "lossless"; any other value is logged and
// gives nullopt: the Init_SCAN is refused.
std::optional<bool> TakeCompactImages(const TJsonValue& message, const std::function<void(std::string_view line)>& log);

}  // namespace skan
