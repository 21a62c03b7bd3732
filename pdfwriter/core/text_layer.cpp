#include "text_layer.h"

#include <algorithm>

#include "pdf_document.h"

namespace skan::pdfwriter {

namespace {

// The font's metrics, in its 1000-unit em.
constexpr int kAdvance = 500;
constexpr int kAscent = 800;
constexpr int kDescent = -200;
constexpr const char* kBaseFont = "/SkanGlyphless";

void Put16(std::string& s, uint32_t v) {
  s += static_cast<char>((v >> 8) & 0xFF);
  s += static_cast<char>(v & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v >> 16);
  Put16(s, v & 0xFFFF);
}

uint32_t TableSum(const std::string& t) {
  uint32_t sum = 0;
  for (size_t i = 0; i < t.size(); i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4; ++k) word = (word << 8) | (i + k < t.size() ? static_cast<uint8_t>(t[i + k]) : 0u);
    sum += word;
  }
  return sum;
}

const char kHex[] = "0123456789ABCDEF";

std::string Hex16(uint32_t v) {
  std::string s;
  for (int shift : {12, 8, 4, 0}) s += kHex[(v >> shift) & 15];
  return s;
}

// A character as UTF-16BE hexadecimal, a surrogate pair above U+FFFF.
std::string Utf16Hex(char32_t c) {
  if (c < 0x10000) return Hex16(c);
  const uint32_t v = c - 0x10000;
  return Hex16(0xD800 + (v >> 10)) + Hex16(0xDC00 + (v & 0x3FF));
}

std::string StreamObject(const std::string& dict, const std::string& data) {
  return "<< " + dict + (dict.empty() ? "" : " ") + "/Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
         "\nendstream\nendobj\n";
}

}  // namespace

bool DecodeUtf8(const std::string& utf8, std::u32string& out) {
  out.clear();
  const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    const uint8_t b = p[i];
    int extra;
    char32_t c, min;
    if (b < 0x80) {
      extra = 0, c = b, min = 0;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (n - i <= static_cast<size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out += c;
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

void AddWords(TCanvas& canvas, uint32_t widthPx, uint32_t heightPx, const std::vector<TWordBox>& words) {
  if (widthPx == 0 || heightPx == 0)
    throw TPdfError(kErrInvalidParameter, "pdfwriter: the text layer's image size must be above 0");
  const double sx = canvas.width / widthPx, sy = canvas.height / heightPx;
  std::vector<TPlacedWord> placed;
  for (size_t i = 0; i < words.size(); ++i) {
    const TWordBox& w = words[i];
    const std::string which = "pdfwriter: word " + std::to_string(i + 1) + " of the text layer ";
    TPlacedWord p;
    if (!DecodeUtf8(w.utf8, p.text)) throw TPdfError(kErrInvalidParameter, which + "is not valid UTF-8");
    if (w.width <= 0 || w.height <= 0) throw TPdfError(kErrInvalidParameter, which + "has a box without area");
    if (p.text.empty()) continue;
    p.size = w.height * sy;
    // Without a baseline the box spans the font's ascent and descent.
    const double baseline = w.baseline >= 0 ? w.baseline : w.top + w.height * (kAscent / double(kAscent - kDescent));
    p.x = w.left * sx;
    p.y = canvas.height - baseline * sy;
    const double natural = p.text.size() * p.size * kAdvance / 1000.0;
    p.scale = 100.0 * (w.width * sx) / natural;
    placed.push_back(std::move(p));
  }
  canvas.words.insert(canvas.words.end(), placed.begin(), placed.end());
}

void TTextFont::Collect(const TCanvas& canvas) {
  for (const TPlacedWord& w : canvas.words) {
    for (char32_t c : w.text) {
      if (cids_.count(c)) continue;
      if (order_.size() >= 0xFFFE)
        throw TPdfError(kErrInvalidParameter, "pdfwriter: the text layer uses more distinct characters than fit");
      order_.push_back(c);
      cids_[c] = static_cast<uint16_t>(order_.size());
    }
  }
}

std::string TTextFont::Content(const TCanvas& canvas) const {
  if (canvas.words.empty()) return {};
  std::string s = "q BT 3 Tr\n";
  for (const TPlacedWord& w : canvas.words) {
    s += std::string(kTextFontName) + " " + FormatReal(w.size) + " Tf " + FormatReal(w.scale) + " Tz 1 0 0 1 " +
         FormatReal(w.x) + " " + FormatReal(w.y) + " Tm <";
    for (char32_t c : w.text) s += Hex16(cids_.at(c));
    s += "> Tj\n";
  }
  return s + "ET Q\n";
}

void TTextFont::WriteObject(TSink& sink, uint32_t first, uint32_t i) const {
  auto ref = [&](uint32_t k) { return std::to_string(first + k) + " 0 R"; };
  switch (i) {
    case 0:
      sink.Write(std::string("<< /Type /Font /Subtype /Type0 /BaseFont ") + kBaseFont +
                 " /Encoding /Identity-H /DescendantFonts [" + ref(1) + "] /ToUnicode " + ref(4) + " >>\nendobj\n");
      break;
    case 1:
      sink.Write(std::string("<< /Type /Font /Subtype /CIDFontType2 /BaseFont ") + kBaseFont +
                 " /CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> /FontDescriptor " +
                 ref(2) + " /DW " + std::to_string(kAdvance) + " /CIDToGIDMap " + ref(5) + " >>\nendobj\n");
      break;
    case 2:
      sink.Write(std::string("<< /Type /FontDescriptor /FontName ") + kBaseFont + " /Flags 4 /FontBBox [0 " +
                 std::to_string(kDescent) + " " + std::to_string(kAdvance) + " " + std::to_string(kAscent) +
                 "] /ItalicAngle 0 /Ascent " + std::to_string(kAscent) + " /Descent " + std::to_string(kDescent) +
                 " /CapHeight " + std::to_string(kAscent) + " /StemV 80 /FontFile2 " + ref(3) + " >>\nendobj\n");
      break;
    case 3: {
      const std::string font = GlyphlessTrueType();
      sink.Write(StreamObject("/Length1 " + std::to_string(font.size()), font));
      break;
    }
    case 4: {
      std::string cmap =
          "/CIDInit /ProcSet findresource begin\n12 dict begin\nbegincmap\n"
          "/CIDSystemInfo << /Registry (Adobe) /Ordering (UCS) /Supplement 0 >> def\n"
          "/CMapName /Adobe-Identity-UCS def\n/CMapType 2 def\n"
          "1 begincodespacerange\n<0000> <FFFF>\nendcodespacerange\n";
      for (size_t from = 0; from < order_.size(); from += 100) {
        const size_t to = std::min(order_.size(), from + 100);
        cmap += std::to_string(to - from) + " beginbfchar\n";
        for (size_t k = from; k < to; ++k)
          cmap += "<" + Hex16(static_cast<uint32_t>(k + 1)) + "> <" + Utf16Hex(order_[k]) + ">\n";
        cmap += "endbfchar\n";
      }
      cmap += "endcmap\nCMapName currentdict /CMap defineresource pop\nend\nend\n";
      sink.Write(StreamObject("", cmap));
      break;
    }
    case 5: {
      // CID 0 stays .notdef; every CID in use shows glyph 1.
      std::string map(2, '\0');
      for (size_t k = 0; k < order_.size(); ++k) map += std::string{'\0', '\1'};
      sink.Write(StreamObject("", map));
      break;
    }
    default: break;
  }
}

std::string GlyphlessTrueType() {
  std::string head;
  Put32(head, 0x00010000);                     // version
  Put32(head, 0x00010000);                     // font revision
  Put32(head, 0);                              // checksum adjustment, set below
  Put32(head, 0x5F0F3CF5);                     // magic
  Put16(head, 0x0003);                         // baseline at y = 0, left side bearing at x = 0
  Put16(head, 1000);                           // units per em
  for (int k = 0; k < 4; ++k) Put32(head, 0);  // created, modified
  Put16(head, 0);
  Put16(head, static_cast<uint16_t>(kDescent));
  Put16(head, kAdvance);
  Put16(head, kAscent);
  Put16(head, 0);  // mac style
  Put16(head, 3);  // smallest readable size
  Put16(head, 2);  // direction hint
  Put16(head, 0);  // short loca offsets
  Put16(head, 0);  // glyph data format

  std::string hhea;
  Put32(hhea, 0x00010000);
  Put16(hhea, kAscent);
  Put16(hhea, static_cast<uint16_t>(kDescent));
  Put16(hhea, 0);                              // line gap
  Put16(hhea, kAdvance);                       // widest advance
  for (int k = 0; k < 3; ++k) Put16(hhea, 0);  // bearings, extent
  Put16(hhea, 1);                              // caret slope rise
  for (int k = 0; k < 7; ++k) Put16(hhea, 0);  // run, offset, reserved, metric format
  Put16(hhea, 2);                              // horizontal metrics

  // Glyph 1 is one contour of two points, the corners of the em box: it
  // encloses nothing, so it paints nothing in any rendering mode, yet its
  // bounds give each character a box (readers skip text whose glyphs have
  // no extent at all).
  std::string glyf;
  Put16(glyf, 1);  // contours
  Put16(glyf, 0);
  Put16(glyf, static_cast<uint16_t>(kDescent));
  Put16(glyf, kAdvance);
  Put16(glyf, kAscent);
  Put16(glyf, 1);                   // last point of the contour
  Put16(glyf, 0);                   // no instructions
  glyf += std::string{'\1', '\1'};  // both points on the curve, coordinates as 16-bit deltas
  Put16(glyf, 0);
  Put16(glyf, kAdvance);
  Put16(glyf, static_cast<uint16_t>(kDescent));
  Put16(glyf, kAscent - kDescent);

  std::string maxp;
  Put32(maxp, 0x00010000);
  Put16(maxp, 2);  // glyphs
  Put16(maxp, 2);  // points
  Put16(maxp, 1);  // contours
  for (int k = 0; k < 2; ++k) Put16(maxp, 0);
  Put16(maxp, 2);  // zones
  for (int k = 0; k < 8; ++k) Put16(maxp, 0);

  std::string hmtx;
  for (int g = 0; g < 2; ++g) Put16(hmtx, kAdvance), Put16(hmtx, 0);

  std::string loca;  // .notdef empty, glyph 1 the whole table
  Put16(loca, 0);
  Put16(loca, 0);
  Put16(loca, static_cast<uint32_t>(glyf.size() / 2));

  std::string post;
  Put32(post, 0x00030000);  // no glyph names
  Put32(post, 0);           // italic angle
  Put16(post, static_cast<uint16_t>(-100));
  Put16(post, 50);
  Put32(post, 1);  // fixed pitch
  for (int k = 0; k < 4; ++k) Put32(post, 0);

  // A Windows Unicode map that maps nothing (its one segment ends the table).
  std::string cmap;
  Put16(cmap, 0);
  Put16(cmap, 1);
  Put16(cmap, 3);
  Put16(cmap, 1);
  Put32(cmap, 12);
  for (uint32_t v : {4u, 24u, 0u, 2u, 2u, 0u, 0u, 0xFFFFu, 0u, 0xFFFFu, 1u, 0u}) Put16(cmap, v);

  const std::pair<const char*, std::string*> tables[] = {{"cmap", &cmap}, {"glyf", &glyf}, {"head", &head},
                                                         {"hhea", &hhea}, {"hmtx", &hmtx}, {"loca", &loca},
                                                         {"maxp", &maxp}, {"post", &post}};
  const uint16_t count = static_cast<uint16_t>(std::size(tables));
  std::string font;
  Put32(font, 0x00010000);
  Put16(font, count);
  Put16(font, 128);  // search range: 8 tables
  Put16(font, 3);
  Put16(font, count * 16 - 128);
  const std::string empty;
  uint32_t offset = 12 + 16u * count;
  std::string body;
  size_t headAt = 0;
  for (const auto& [tag, table] : tables) {
    const std::string& t = table ? *table : empty;
    font += tag;
    Put32(font, TableSum(t));
    Put32(font, offset);
    Put32(font, static_cast<uint32_t>(t.size()));
    if (table == &head) headAt = offset;
    std::string padded = t;
    padded.resize((t.size() + 3) & ~size_t{3}, '\0');
    body += padded;
    offset += static_cast<uint32_t>(padded.size());
  }
  font += body;
  const uint32_t adjustment = 0xB1B0AFBAu - TableSum(font);
  for (int k = 0; k < 4; ++k) font[headAt + 8 + k] = static_cast<char>((adjustment >> (24 - 8 * k)) & 0xFF);
  return font;
}

}  // namespace skan::pdfwriter
