#include "ocr_engine.h"

#include "ocr_languages.h"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace skan::ocr {

namespace {

// A page that reads at least this well as it lies is taken as upright; one
// that does not is tried turned. Upright text pages, clean or degraded, read
// at 85-95; a turned page's marks read as noise far below.
constexpr float kUprightConfidence = 70;

// How the engine reads its model files.
bool ReadModelFile(const char* filename, std::vector<char>* data) {
  std::ifstream in(PathOf(filename), std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// How much readable text a reading holds: its characters, each counted by
// the confidence of its word.
double Score(const TPageText& page) {
  double score = 0;
  for (const TWord& w : page.words) score += w.confidence * static_cast<double>(w.text.size());
  return score;
}

// The layout analysis finds lines that run up or down the page and reads
// them, but gives their words in boxes on the page as it lies: tall boxes,
// one below the other. The turn that sets such text upright: three quarter
// turns clockwise for lines that run down (their tops face the right), one
// for lines that run up; 0 when most words lie across the page.
int StandingTurn(const TPageText& page) {
  size_t across = 0, standing = 0, down = 0, up = 0;
  const TWord* before = nullptr;
  for (const TWord& w : page.words) {
    const TWord* previous = w.lineStart ? nullptr : before;
    before = &w;
    if (w.text.size() < 3) continue;  // too short to have a shape
    const bool tall = w.height > w.width * 3 / 2;
    (tall ? standing : across) += w.text.size();
    if (tall && previous) (w.top > previous->top ? down : up) += w.text.size();
  }
  if (standing <= across) return 0;
  return down >= up ? 270 : 90;
}

}  // namespace

TGreyImage GreyOf(const dib::TPlainBitmap& bitmap) {
  TGreyImage grey;
  grey.width = bitmap.width;
  grey.height = bitmap.height;
  grey.pixels.resize(size_t{bitmap.width} * bitmap.height);
  const auto luma = [](unsigned r, unsigned g, unsigned b) {
    return static_cast<uint8_t>((r * 299 + g * 587 + b * 114 + 500) / 1000);
  };
  uint8_t lookup[256] = {};
  if (bitmap.bitsPerPixel <= 8)
    for (size_t i = 0; i < bitmap.palette.size() && i < 256; ++i)
      lookup[i] = luma(bitmap.palette[i].red, bitmap.palette[i].green, bitmap.palette[i].blue);
  const unsigned bpp = bitmap.bitsPerPixel;
  for (uint32_t y = 0; y < bitmap.height; ++y) {
    const uint8_t* row = bitmap.Row(y);
    uint8_t* out = &grey.pixels[size_t{y} * bitmap.width];
    for (uint32_t x = 0; x < bitmap.width; ++x) {
      if (bpp >= 24) {
        const uint8_t* p = row + size_t{x} * (bpp / 8);
        out[x] = luma(p[2], p[1], p[0]);
      } else {
        const size_t bit = size_t{x} * bpp;
        const unsigned index = (row[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
        out[x] = lookup[index];
      }
    }
  }
  return grey;
}

TGreyImage Turned(const TGreyImage& image, int degrees) {
  if (degrees == 0) return image;
  TGreyImage out;
  const bool quarter = degrees == 90 || degrees == 270;
  out.width = quarter ? image.height : image.width;
  out.height = quarter ? image.width : image.height;
  out.pixels.resize(image.pixels.size());
  const uint32_t w = image.width, h = image.height;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* row = &image.pixels[size_t{y} * w];
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t nx, ny;
      if (degrees == 90) {  // clockwise: the left column becomes the top row
        nx = h - 1 - y, ny = x;
      } else if (degrees == 180) {
        nx = w - 1 - x, ny = h - 1 - y;
      } else {
        nx = y, ny = w - 1 - x;
      }
      out.pixels[size_t{ny} * out.width + nx] = row[x];
    }
  }
  return out;
}

std::string PlainText(const TPageText& page) {
  std::string text;
  for (const TWord& w : page.words) {
    if (!text.empty()) text += w.lineStart ? '\n' : ' ';
    text += w.text;
  }
  return text;
}

TEngine::TEngine(const std::string& dataPath, std::string_view languages) {
  if (!WellFormedLanguages(languages)) throw TOcrError("malformed languages \"" + std::string(languages) + "\"");
  const std::vector<std::string> missing = MissingLanguages(dataPath, languages);
  if (!missing.empty()) throw TOcrError("no model for language \"" + missing.front() + "\" in " + dataPath);
  api_ = std::make_unique<tesseract::TessBaseAPI>();
  std::string folder = dataPath;
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  if (api_->Init(folder.c_str(), 0, std::string(languages).c_str(), tesseract::OEM_LSTM_ONLY, nullptr, 0, nullptr,
                 nullptr, false, ReadModelFile) != 0)
    throw TOcrError("the models of \"" + std::string(languages) + "\" failed to load");
  api_->SetPageSegMode(tesseract::PSM_AUTO);
}

TEngine::~TEngine() {
  if (api_) api_->End();
}

bool TEngine::SetParameter(const char* name, const char* value) { return api_->SetVariable(name, value); }

std::string TEngine::Parameter(const char* name) const {
  std::string value;
  api_->GetVariableAsString(name, &value);
  return value;
}

TPageText TEngine::RecogniseAsIs(const TGreyImage& image, uint32_t dpi, int* uprightTurn) {
  TPageText page;
  page.width = image.width;
  page.height = image.height;
  if (image.width == 0 || image.height == 0) return page;
  if (image.width > 0x7fff || image.height > 0x7fff) throw TOcrError("the page is too large to recognise");
  api_->SetImage(image.pixels.data(), static_cast<int>(image.width), static_cast<int>(image.height), 1,
                 static_cast<int>(image.width));
  api_->SetSourceResolution(static_cast<int>(std::clamp<uint32_t>(dpi, 70, 2400)));
  if (api_->Recognize(nullptr) != 0) {
    api_->Clear();
    throw TOcrError("recognition failed");
  }
  const std::unique_ptr<tesseract::ResultIterator> it(api_->GetIterator());
  double confidence = 0;
  if (it) {
    do {
      if (it->Empty(tesseract::RIL_WORD)) continue;
      const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
      if (!text || text[0] == 0) continue;
      TWord w;
      w.text = text.get();
      int l = 0, t = 0, r = 0, b = 0;
      it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b);
      w.left = l, w.top = t, w.width = r - l, w.height = b - t;
      int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
      if (it->Baseline(tesseract::RIL_WORD, &x1, &y1, &x2, &y2)) {
        // The baseline at the word's middle.
        const double mid = (l + r) / 2.0;
        w.baseline = x2 == x1 ? y1 : static_cast<int32_t>(std::lround(y1 + (y2 - y1) * (mid - x1) / (x2 - x1)));
        w.baseline = std::clamp(w.baseline, t, b);
      }
      w.confidence = it->Confidence(tesseract::RIL_WORD);
      w.lineStart = page.words.empty() || it->IsAtBeginningOf(tesseract::RIL_TEXTLINE);
      confidence += w.confidence;
      page.words.push_back(std::move(w));
    } while (it->Next(tesseract::RIL_WORD));
  }
  api_->Clear();
  if (!page.words.empty()) page.meanConfidence = static_cast<float>(confidence / page.words.size());
  if (uprightTurn) *uprightTurn = StandingTurn(page);
  return page;
}

TPageText TEngine::Recognise(const TGreyImage& image, uint32_t dpi) {
  // Lines running up or down the page are found by the layout analysis: the
  // page is read again turned so that its words lie in upright boxes. Text
  // upside down is not told apart by the layout, only by reading poorly: such
  // a page is tried turned, and the reading with the most confident
  // characters is kept.
  int upright = 0;
  TPageText best = RecogniseAsIs(image, dpi, &upright);
  if (upright != 0) {
    TPageText turned = RecogniseAsIs(Turned(image, upright), dpi, nullptr);
    turned.turn = upright;
    if (Score(turned) >= Score(best) * 0.9) return turned;
  }
  if (best.words.empty() || best.meanConfidence >= kUprightConfidence) return best;
  for (int turn : {180, 90, 270}) {
    TPageText turned = RecogniseAsIs(Turned(image, turn), dpi, nullptr);
    turned.turn = turn;
    const bool good = turned.meanConfidence >= kUprightConfidence;
    if (Score(turned) > Score(best)) best = std::move(turned);
    if (good) break;
  }
  return best;
}

std::vector<std::string> RunnableDotProducts() {
  std::vector<std::string> names{"generic", "native", "std::inner_product"};
#if defined(__i386__) || defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse4.1")) names.push_back("sse");
  if (__builtin_cpu_supports("avx")) names.push_back("avx");
  if (__builtin_cpu_supports("avx2")) names.push_back("avx2");
  if (__builtin_cpu_supports("fma")) names.push_back("fma");
#endif
  return names;
}

}  // namespace skan::ocr
