#include "pdfa.h"

#include <libdeflate.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>

#include "pdf_store.h"
#include "srgb_icc.h"  // generated at build time from the system's sRGB.icc

namespace skan::pdfwriter {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A calendar date and time of day from seconds since 1970 (UTC).
struct TCivil {
  int64_t year;
  int month, day, hour, minute, second;
};
TCivil ToCivil(std::time_t t) {
  int64_t days = static_cast<int64_t>(t) / 86400, secs = static_cast<int64_t>(t) % 86400;
  if (secs < 0) secs += 86400, --days;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2), month, day, static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
          static_cast<int>(secs % 60)};
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A text as XML character data: UTF-8, markup characters escaped, and the
// characters XML cannot hold at all (other controls, lone surrogates) left out.
std::string XmlText(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      continue;
    }
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
    if (c == 0xFFFE || c == 0xFFFF) continue;
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\r': out += "&#13;"; break;
      default: AppendUtf8(out, c);
    }
  }
  return out;
}

const std::u16string* Find(const TInfoEntries& info, const char* name) {
  for (const auto& [key, value] : info)
    if (key == name) return &value;
  return nullptr;
}

std::string Deflate(const std::string& data) {
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c(libdeflate_alloc_compressor(9),
                                                                                  &libdeflate_free_compressor);
  if (!c) throw std::bad_alloc();
  std::string out(libdeflate_zlib_compress_bound(c.get(), data.size()), '\0');
  const size_t n = libdeflate_zlib_compress(c.get(), data.data(), data.size(), out.data(), out.size());
  if (n == 0) throw std::bad_alloc();
  out.resize(n);
  return out;
}

uint64_t Fnv1a(const std::string& s, uint64_t h) {
  for (unsigned char c : s) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

}  // namespace

std::u16string PdfDate(std::time_t when) {
  const TCivil c = ToCivil(when);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "D:%04lld%02d%02d%02d%02d%02d+00'00'", static_cast<long long>(c.year), c.month,
                c.day, c.hour, c.minute, c.second);
  return std::u16string(buffer, buffer + std::char_traits<char>::length(buffer));
}

bool PdfDateToXmp(const std::u16string& date, std::string& xmp) {
  size_t i = date.starts_with(u"D:") ? 2 : 0;
  // Fields: year, month, day, hour, minute, second; each optional after the year.
  int field[6] = {0, 1, 1, 0, 0, 0};
  const int width[6] = {4, 2, 2, 2, 2, 2};
  const int limit[6] = {9999, 12, 31, 23, 59, 59};
  for (int f = 0; f < 6; ++f) {
    if (f > 0 && (i >= date.size() || !IsDigit(date[i]))) break;
    int v = 0;
    for (int k = 0; k < width[f]; ++k, ++i) {
      if (i >= date.size() || !IsDigit(date[i])) return false;
      v = v * 10 + (date[i] - u'0');
    }
    if (v > limit[f] || ((f == 1 || f == 2) && v == 0)) return false;
    field[f] = v;
  }
  std::string zone = "Z";
  if (i < date.size()) {
    const char16_t sign = date[i++];
    if (sign == u'Z') {
      // "Z" may be followed by "00'00'" in older writers' dates.
    } else if (sign == u'+' || sign == u'-') {
      int hours = 0, minutes = 0;
      for (int k = 0; k < 2; ++k, ++i) {
        if (i >= date.size() || !IsDigit(date[i])) return false;
        hours = hours * 10 + (date[i] - u'0');
      }
      if (i < date.size() && date[i] == u'\'') ++i;
      if (i < date.size()) {
        for (int k = 0; k < 2; ++k, ++i) {
          if (i >= date.size() || !IsDigit(date[i])) return false;
          minutes = minutes * 10 + (date[i] - u'0');
        }
        if (i < date.size() && date[i] == u'\'') ++i;
      }
      if (hours > 23 || minutes > 59) return false;
      char z[32];
      std::snprintf(z, sizeof z, "%c%02d:%02d", static_cast<char>(sign), hours, minutes);
      zone = z;
    } else {
      return false;
    }
    if (sign == u'Z') {
      for (; i < date.size(); ++i)
        if (!IsDigit(date[i]) && date[i] != u'\'') return false;
    }
    if (i != date.size()) return false;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%s", field[0], field[1], field[2], field[3],
                field[4], field[5], zone == "Z" ? "+00:00" : zone.c_str());
  xmp = buffer;
  return true;
}

TInfoEntries EffectiveInfo(const TInfoEntries& info, std::time_t created) {
  TInfoEntries all = info;
  if (!Find(all, "Title")) all.emplace_back("Title", kDefaultTitle);
  if (!Find(all, "Producer")) all.emplace_back("Producer", kDefaultProducer);
  if (!Find(all, "CreationDate")) all.emplace_back("CreationDate", PdfDate(created));
  if (!Find(all, "ModDate")) all.emplace_back("ModDate", PdfDate(created));
  return all;
}

std::string XmpPacket(const TInfoEntries& info) {
  auto value = [&](const char* name) -> std::string {
    const std::u16string* v = Find(info, name);
    return v ? XmlText(*v) : std::string();
  };
  auto has = [&](const char* name) { return Find(info, name) != nullptr; };
  auto date = [&](const char* name) {
    std::string xmp;
    const std::u16string* v = Find(info, name);
    return v && PdfDateToXmp(*v, xmp) ? xmp : std::string();
  };
  std::string x =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "<rdf:Description rdf:about=\"\" xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\">\n"
      "<pdfaid:part>1</pdfaid:part>\n<pdfaid:conformance>B</pdfaid:conformance>\n"
      "</rdf:Description>\n"
      "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n"
      "<dc:format>application/pdf</dc:format>\n";
  if (has("Title"))
    x += "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">" + value("Title") + "</rdf:li></rdf:Alt></dc:title>\n";
  if (has("Author")) x += "<dc:creator><rdf:Seq><rdf:li>" + value("Author") + "</rdf:li></rdf:Seq></dc:creator>\n";
  if (has("Subject"))
    x += "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">" + value("Subject") +
         "</rdf:li></rdf:Alt></dc:description>\n";
  x += "</rdf:Description>\n<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\">\n";
  if (has("Creator")) x += "<xmp:CreatorTool>" + value("Creator") + "</xmp:CreatorTool>\n";
  if (const std::string d = date("CreationDate"); !d.empty()) x += "<xmp:CreateDate>" + d + "</xmp:CreateDate>\n";
  if (const std::string d = date("ModDate"); !d.empty()) x += "<xmp:ModifyDate>" + d + "</xmp:ModifyDate>\n";
  x += "</rdf:Description>\n<rdf:Description rdf:about=\"\" xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\">\n";
  if (has("Producer")) x += "<pdf:Producer>" + value("Producer") + "</pdf:Producer>\n";
  if (has("Keywords")) x += "<pdf:Keywords>" + value("Keywords") + "</pdf:Keywords>\n";
  x += "</rdf:Description>\n</rdf:RDF>\n</x:xmpmeta>\n";
  // Room for editors that rewrite the packet in place.
  x += std::string(1024, ' ') + "\n<?xpacket end=\"w\"?>";
  return x;
}

const std::string& SrgbProfile() {
  static const std::string profile(reinterpret_cast<const char*>(kSrgbIcc), sizeof kSrgbIcc);
  return profile;
}

std::string SrgbProfileObject() {
  const std::string data = Deflate(SrgbProfile());
  return "<< /N 3 /Filter /FlateDecode /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
         "\nendstream\nendobj\n";
}

std::string OutputIntents(uint32_t profileObject) {
  return "[<< /Type /OutputIntent /S /GTS_PDFA1 /OutputConditionIdentifier (sRGB IEC61966-2.1) /RegistryName "
         "(http://www.color.org) /Info (sRGB IEC61966-2.1) /DestOutputProfile " +
         std::to_string(profileObject) + " 0 R >>]";
}

uint64_t DocumentNonce(const void* where) {
  static std::atomic<uint64_t> counter{0};
  const auto now = std::chrono::system_clock::now().time_since_epoch().count();
  return Fnv1a(
      std::to_string(now) + "|" + std::to_string(++counter) + "|" + std::to_string(reinterpret_cast<uintptr_t>(where)),
      0xCBF29CE484222325ull);
}

std::array<uint8_t, 16> MakeFileId(const std::string& seed) {
  const uint64_t a = Fnv1a(seed, 0xCBF29CE484222325ull), b = Fnv1a(seed + "#", 0x84222325CBF29CE4ull);
  std::array<uint8_t, 16> id{};
  for (int k = 0; k < 8; ++k) {
    id[k] = static_cast<uint8_t>(a >> (56 - 8 * k));
    id[8 + k] = static_cast<uint8_t>(b >> (56 - 8 * k));
  }
  return id;
}

std::string FormatFileId(const std::array<uint8_t, 16>& id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (uint8_t v : id) hex += kHex[v >> 4], hex += kHex[v & 15];
  return "[<" + hex + "> <" + hex + ">]";
}

}  // namespace skan::pdfwriter
