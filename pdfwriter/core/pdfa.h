// What makes every file the library writes a PDF/A-1b document: the
// information dictionary's defaults, XMP metadata that repeats it, the sRGB
// output intent and the file identifier.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace skan::pdfwriter {

using TInfoEntries = std::vector<std::pair<std::string, std::u16string>>;

inline constexpr const char16_t* kDefaultProducer = u"Skanowanie pdfwriter 2.0";
inline constexpr const char16_t* kDefaultTitle = u"Skan";

// A PDF date ("D:20261211103000+00'00'") of a moment, in UTC.
std::u16string PdfDate(std::time_t when);

// The XMP form of a PDF date ("2026-12-11T10:30:00+00:00"), parts the PDF
// date leaves out filled in as readers assume them (January, the first,
// midnight, UTC); false when `date` is no PDF date.
bool PdfDateToXmp(const std::u16string& date, std::string& xmp);

// The information the file carries: the caller's entries, then a title,
// the producer and the two dates (`created`) where the caller set none.
TInfoEntries EffectiveInfo(const TInfoEntries& info, std::time_t created);

// The XMP packet (UTF-8, unfiltered) that declares PDF/A-1b and repeats
// the title, author, subject, keywords, creator tool, producer and dates of
// `info` exactly.
std::string XmpPacket(const TInfoEntries& info);

// The output intent's profile: sRGB (ICC version 2), as Debian's
// icc-profiles-free ships it, built into the library.
const std::string& SrgbProfile();

// The profile's stream, Flate-compressed: "<< ... >>\nstream ... endobj".
std::string SrgbProfileObject();

// The output intent array for the catalog, naming the profile's object.
std::string OutputIntents(uint32_t profileObject);

// A number drawn once per document from the clock, a per-process counter
// and `where` (the document's address), so two documents rarely share one.
uint64_t DocumentNonce(const void* where);

// A file identifier: a hash of what describes the document (`seed`, which
// holds its nonce). The same document saved twice gets the same one.
std::array<uint8_t, 16> MakeFileId(const std::string& seed);
std::string FormatFileId(const std::array<uint8_t, 16>& id);  // "[<hex> <hex>]"

}  // namespace skan::pdfwriter
