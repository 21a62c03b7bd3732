// The searchable text layer of a scanned page: recognised words written as
// invisible text (rendering mode 3) over the page's image, each word
// stretched horizontally to its box, in an embedded glyphless font whose
// ToUnicode map gives copy and search the words' own characters.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace skan::pdfwriter {

struct TCanvas;
class TSink;

// A word as the caller hands it: the box in pixels of a widthPx x heightPx
// image covering the whole canvas, from its top-left; baseline in the same
// pixels from the top, or -1 when unknown.
struct TWordBox {
  std::string utf8;
  int32_t left = 0, top = 0, width = 0, height = 0;
  int32_t baseline = -1;
};

// A word placed on a canvas: its baseline's start in points (origin at the
// canvas's bottom left), its size and the horizontal scaling (Tz, percent)
// that makes its glyphs span its box.
struct TPlacedWord {
  std::u32string text;
  double x = 0, y = 0, size = 0, scale = 100;
};

// Places `words` on `canvas`. Checks every word first, so a bad one leaves
// the canvas as it was: a missing or invalid UTF-8 text or a box without
// area is refused (kErrInvalidParameter, naming the word). Empty texts are
// left out.
void AddWords(TCanvas& canvas, uint32_t widthPx, uint32_t heightPx, const std::vector<TWordBox>& words);

// The text layer's font for one document: every character the document's
// words use gets a CID (1, 2, ... in order of first use); all CIDs show the
// font's one empty glyph.
class TTextFont {
 public:
  void Collect(const TCanvas& canvas);
  bool Empty() const { return cids_.empty(); }

  // The content stream's part for a canvas's words ("" without words).
  std::string Content(const TCanvas& canvas) const;

  // The font's objects, numbered from `first`: Type0 font (the one pages
  // name), CID font, descriptor, font program, ToUnicode map, CID-to-glyph
  // map.
  static constexpr uint32_t kObjectCount = 6;
  // Writes object `first + i` for i in 0..5; `begin` records each object's
  // offset and writes its "N 0 obj" line.
  template <class Begin>
  void Write(TSink& sink, uint32_t first, Begin begin) const {
    for (uint32_t i = 0; i < kObjectCount; ++i) {
      begin(first + i);
      WriteObject(sink, first, i);
    }
  }

 private:
  void WriteObject(TSink& sink, uint32_t first, uint32_t i) const;
  std::map<char32_t, uint16_t> cids_;
  std::vector<char32_t> order_;  // characters by CID - 1
};

// The resource name pages and forms give the text layer's font.
inline constexpr const char* kTextFontName = "/Tx";

// The font program: a TrueType font of two glyphs, .notdef (empty) and one
// that paints nothing but spans the em box, both 500 units wide in a
// 1000-unit em, ascent 800, descent -200.
std::string GlyphlessTrueType();

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF);
// false for anything else.
bool DecodeUtf8(const std::string& utf8, std::u32string& out);

}  // namespace skan::pdfwriter
