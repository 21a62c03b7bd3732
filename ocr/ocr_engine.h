// Text recognition of page images: the words of a page (UTF-8 text, pixel
// box, baseline, confidence), in reading order, with the page turned the
// right way up first when it was scanned turned by 90, 180 or 270 degrees.
// Portable: built natively and for Windows over the Tesseract library.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dib_reader.h"
#include "ocr_languages.h"

namespace tesseract {
class TessBaseAPI;
}

namespace skan::ocr {

// The engine could not start or recognise a page; what() says why.
class TOcrError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An 8-bit grey image, rows from the top, `width` bytes each.
struct TGreyImage {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

// The grey form of a plain bitmap (palette looked up, colour by luma).
TGreyImage GreyOf(const dib::TPlainBitmap& bitmap);

// `image` turned clockwise by `degrees` (0, 90, 180 or 270).
TGreyImage Turned(const TGreyImage& image, int degrees);

struct TWord {
  std::string text;  // UTF-8
  // Box in pixels of the upright image, from its top-left.
  int32_t left = 0, top = 0, width = 0, height = 0;
  int32_t baseline = -1;   // pixels from the image's top to the baseline, or -1
  float confidence = 0;    // 0-100
  bool lineStart = false;  // the first word of a text line
};

struct TPageText {
  // Clockwise turn (0, 90, 180, 270) that made the given image upright; the
  // boxes are in the turned image, of `width` x `height` pixels.
  int turn = 0;
  uint32_t width = 0, height = 0;
  std::vector<TWord> words;
  float meanConfidence = 0;  // over the words, 0 without any
};

// The words joined as text: a space between words, a newline between lines.
std::string PlainText(const TPageText& page);

// One recognition engine, for one thread at a time. Loading the models
// takes a moment, so one engine serves every page of a batch.
class TEngine {
 public:
  // Loads the models of `languages` ("pol+eng") from `dataPath`. Raises
  // TOcrError for malformed or missing languages or a model that fails.
  TEngine(const std::string& dataPath, std::string_view languages);
  ~TEngine();
  TEngine(const TEngine&) = delete;
  TEngine& operator=(const TEngine&) = delete;

  // The words of a page scanned at `dpi`, read the right way up: text found
  // running up or down the page is read again turned upright, and a page
  // whose text reads poorly as it lies is tried turned by 180, 90 and 270
  // degrees, keeping the turn whose words read best. Raises TOcrError when
  // the engine fails.
  TPageText Recognise(const TGreyImage& image, uint32_t dpi = 300);
  TPageText Recognise(const dib::TPlainBitmap& bitmap, uint32_t dpi = 300) { return Recognise(GreyOf(bitmap), dpi); }

  // Sets one of the engine's parameters ("dotproduct" to "generic", "sse",
  // "avx", "avx2", "fma" picks its arithmetic); false when it has none such.
  bool SetParameter(const char* name, const char* value);
  // One of the engine's parameters as text; empty when it has none such.
  std::string Parameter(const char* name) const;

 private:
  // `uprightTurn`, when given, receives the turn that sets most of the text
  // upright as the layout analysis found it standing.
  TPageText RecogniseAsIs(const TGreyImage& image, uint32_t dpi, int* uprightTurn);
  std::unique_ptr<tesseract::TessBaseAPI> api_;
};

// Which dot-product variants this processor can run, by the names the
// "dotproduct" parameter takes.
std::vector<std::string> RunnableDotProducts();

}  // namespace skan::ocr
