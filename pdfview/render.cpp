#include "render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "image.h"
#include "lexer.h"
#include "pdf_limits.h"

namespace skan::pdfview {

namespace {

// x' = a x + c y + e, y' = b x + d y + f
struct TMatrix {
  double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
  // This transformation, then `next`.
  TMatrix Then(const TMatrix& n) const {
    return {a * n.a + b * n.c, a * n.b + b * n.d,       c * n.a + d * n.c,
            c * n.b + d * n.d, e * n.a + f * n.c + n.e, e * n.b + f * n.d + n.f};
  }
  bool Invert(TMatrix& out) const {
    double det = a * d - b * c;
    if (!(std::fabs(det) > 1e-12) || !std::isfinite(det)) return false;
    out = {d / det, -b / det, -c / det, a / det, (c * f - d * e) / det, (b * e - a * f) / det};
    return true;
  }
};

uint32_t Pack(uint32_t r, uint32_t g, uint32_t b) { return (r << 16) | (g << 8) | b; }

struct TColor {
  uint8_t r = 0, g = 0, b = 0;
};

struct TState {
  TMatrix ctm;
  TColor fill;
  int textRender = 0;
};

// Weights of an area-averaging reduction from `from` samples to `to`: each
// output sample is the mean of the source samples it covers, fractions
// included. Weights are 16-bit fixed point summing to 65536, so sums stay in
// 32 bits (this runs as a 32-bit program too, where 64-bit division is slow).
struct TTaps {
  std::vector<int> first, count;
  std::vector<uint32_t> weights;
  // The same with `span` taps for every output sample (the most any has):
  // the missing ones repeat the first sample with weight 0, which adds
  // nothing, so a loop of fixed length gives the same sums.
  int span = 0;
  std::vector<int> spanFirst;
  std::vector<uint32_t> spanWeights;
};

TTaps ShrinkTaps(int from, int to) {
  TTaps t;
  t.first.resize(to);
  t.count.resize(to);
  for (int x = 0; x < to; ++x) {
    int64_t lo = static_cast<int64_t>(x) * from, hi = lo + from;  // in 1/to source samples
    int s0 = static_cast<int>(lo / to), s1 = std::min(from, static_cast<int>((hi + to - 1) / to));
    t.first[x] = s0;
    t.count[x] = s1 - s0;
    uint32_t sum = 0;
    for (int s = s0; s < s1; ++s) {
      int64_t a = std::max<int64_t>(lo, static_cast<int64_t>(s) * to);
      int64_t b = std::min<int64_t>(hi, static_cast<int64_t>(s + 1) * to);
      uint32_t w = static_cast<uint32_t>((b - a) * 65536 / from);
      t.weights.push_back(w);
      sum += w;
    }
    if (s1 > s0) t.weights.back() += 65536 - sum;  // rounding goes to the last tap
    t.span = std::max(t.span, s1 - s0);
  }
  t.spanFirst.resize(static_cast<size_t>(to) * t.span);
  t.spanWeights.assign(static_cast<size_t>(to) * t.span, 0);
  const uint32_t* w = t.weights.data();
  for (int x = 0; x < to; ++x) {
    for (int k = 0; k < t.span; ++k)
      t.spanFirst[static_cast<size_t>(x) * t.span + k] = t.first[x] + (k < t.count[x] ? k : 0);
    std::copy(w, w + t.count[x], &t.spanWeights[static_cast<size_t>(x) * t.span]);
    w += t.count[x];
  }
  return t;
}

// The same for taps of a fixed span.
template <int Ch, int Span>
void ShrinkRowSpan(const uint8_t* row, const TTaps& taps, int dw, uint8_t* out) {
  const int* first = taps.spanFirst.data();
  const uint32_t* w = taps.spanWeights.data();
  for (int x = 0; x < dw; ++x, first += Span, w += Span, out += Ch) {
    uint32_t acc[Ch];
    for (int c = 0; c < Ch; ++c) acc[c] = 32768;
    for (int k = 0; k < Span; ++k) {
      const uint8_t* p = row + static_cast<size_t>(first[k]) * Ch;
      for (int c = 0; c < Ch; ++c) acc[c] += p[c] * w[k];
    }
    for (int c = 0; c < Ch; ++c) out[c] = static_cast<uint8_t>(acc[c] >> 16);
  }
}

// One row averaged across from `sw` samples to `dw` (`taps` from ShrinkTaps).
template <int Ch>
void ShrinkRowOf(const uint8_t* row, const TTaps& taps, int dw, uint8_t* out) {
  switch (taps.span) {
    case 1: return ShrinkRowSpan<Ch, 1>(row, taps, dw, out);
    case 2: return ShrinkRowSpan<Ch, 2>(row, taps, dw, out);
    case 3: return ShrinkRowSpan<Ch, 3>(row, taps, dw, out);
    case 4: return ShrinkRowSpan<Ch, 4>(row, taps, dw, out);
    default: break;
  }
  const uint32_t* w = taps.weights.data();
  for (int x = 0; x < dw; ++x) {
    uint32_t acc[Ch] = {};
    const uint8_t* p = row + static_cast<size_t>(taps.first[x]) * Ch;
    for (int k = 0; k < taps.count[x]; ++k, p += Ch)
      for (int c = 0; c < Ch; ++c) acc[c] += p[c] * w[k];
    w += taps.count[x];
    for (int c = 0; c < Ch; ++c) out[x * Ch + c] = static_cast<uint8_t>((acc[c] + 32768) >> 16);
  }
}

// Averages a w x h image down to nw x nh one output row at a time: the
// source rows under it are each averaged across (to 8 bits), then averaged
// down. Output rows do not depend on each other, so threads can share them.
class TReducer {
 public:
  TReducer(int w, int h, int ch, int nw, int nh)
      : w_(w),
        h_(h),
        ch_(ch),
        nw_(nw),
        nh_(nh),
        across_(ShrinkTaps(w, nw)),
        down_(ShrinkTaps(h, nh)),
        firstWeight_(nh + 1, 0) {
    for (int y = 0; y < nh; ++y) firstWeight_[y + 1] = firstWeight_[y] + down_.count[y];
  }

  // How many source rows from the top output row `y` needs.
  int RowsNeeded(int y) const { return nh_ == h_ ? y + 1 : down_.first[y] + down_.count[y]; }

  // A thread's own working rows: the last two source rows averaged across
  // (neighbouring output rows share one), and the sums.
  struct TScratch {
    std::vector<uint8_t> rows[2];
    int which[2] = {-1, -1};
    int next = 0;
    std::vector<uint32_t> sums;
  };

  void Row(const uint8_t* src, int y, uint8_t* out, TScratch& s) const {
    const size_t rowLen = static_cast<size_t>(nw_) * ch_;
    if (nh_ == h_) {
      Across(src + static_cast<size_t>(y) * w_ * ch_, out);
      return;
    }
    s.sums.assign(rowLen, 32768u);
    const uint32_t* weight = down_.weights.data() + firstWeight_[y];
    for (int k = 0; k < down_.count[y]; ++k) {
      const uint32_t wgt = weight[k];
      const uint8_t* row = Across(src, down_.first[y] + k, s);
      for (size_t i = 0; i < rowLen; ++i) s.sums[i] += row[i] * wgt;
    }
    for (size_t i = 0; i < rowLen; ++i) out[i] = static_cast<uint8_t>(s.sums[i] >> 16);
  }

 private:
  void Across(const uint8_t* in, uint8_t* out) const {
    if (ch_ == 1)
      ShrinkRowOf<1>(in, across_, nw_, out);
    else
      ShrinkRowOf<3>(in, across_, nw_, out);
  }
  const uint8_t* Across(const uint8_t* src, int row, TScratch& s) const {
    const uint8_t* in = src + static_cast<size_t>(row) * w_ * ch_;
    if (nw_ == w_) return in;
    for (int k = 0; k < 2; ++k)
      if (s.which[k] == row) return s.rows[k].data();
    const int slot = s.next;
    s.next ^= 1;
    s.rows[slot].resize(static_cast<size_t>(nw_) * ch_);
    s.which[slot] = row;
    Across(in, s.rows[slot].data());
    return s.rows[slot].data();
  }

  int w_, h_, ch_, nw_, nh_;
  TTaps across_, down_;
  std::vector<size_t> firstWeight_;
};

// Takes an image's rows from its decoder and averages them down to the
// size `sizeFor` gives. A large image is averaged on a second thread while
// the decoder still runs, output rows from the top as their source rows
// arrive; when the decoder is done, this thread joins in from the bottom.
class TReducingRows final : public IImageRows {
 public:
  using TSizeFor = std::function<std::pair<int, int>(int width, int height)>;
  TReducingRows(TSizeFor sizeFor, TImageCache* cache, const TCancel& cancel)
      : sizeFor_(std::move(sizeFor)), cache_(cache), cancel_(cancel) {}
  TReducingRows(const TReducingRows&) = delete;
  TReducingRows& operator=(const TReducingRows&) = delete;
  ~TReducingRows() override { StopHelper(); }

  uint8_t* Start(int width, int height, int channels, bool stencil) override {
    if (image_) Damaged("an image decoded twice");
    w_ = width;
    h_ = height;
    auto [nw, nh] = sizeFor_(width, height);
    image_ = std::make_shared<TImage>();
    image_->width = nw;
    image_->height = nh;
    image_->channels = channels;
    image_->stencil = stencil;
    if (cache_) image_->pixels = cache_->TakeImageRoom();
    image_->pixels.resize(static_cast<size_t>(nw) * nh * channels);
    if (nw == width && nh == height) return image_->pixels.data();  // nothing to average
    reducer_ = std::make_unique<TReducer>(width, height, channels, nw, nh);
    const size_t size = static_cast<size_t>(width) * height * channels;
    if (cache_) {
      source_ = cache_->Room(size);
    } else {
      ownSource_.reset(new uint8_t[size]);
      source_ = ownSource_.get();
    }
    bottom_ = nh;
    if (static_cast<int64_t>(width) * height >= (512 << 10)) helper_ = std::thread([this] { Help(); });
    return source_;
  }

  void Ready(int rows) override {
    {
      std::lock_guard guard(lock_);
      ready_ = rows;
    }
    wake_.notify_all();
  }

  int SourceWidth() const { return w_; }
  int SourceHeight() const { return h_; }

  // Once the decoder has returned: the image averaged down.
  std::shared_ptr<const TImage> Finish() {
    if (!image_) Damaged("an image decodes to nothing");
    if (!reducer_) return image_;
    Ready(h_);
    TReducer::TScratch scratch;
    const size_t rowLen = static_cast<size_t>(image_->width) * image_->channels;
    for (int done = 0;; ++done) {
      int y;
      {
        std::lock_guard guard(lock_);
        if (bottom_ <= top_ || stop_) break;
        y = --bottom_;
      }
      if ((done & 63) == 63) cancel_.Check();
      reducer_->Row(source_, y, image_->pixels.data() + y * rowLen, scratch);
    }
    StopHelper();
    if (failure_) std::rethrow_exception(failure_);
    return image_;
  }

 private:
  void Help() {
    try {
      TReducer::TScratch scratch;
      const size_t rowLen = static_cast<size_t>(image_->width) * image_->channels;
      for (;;) {
        int y;
        {
          std::unique_lock guard(lock_);
          wake_.wait(guard, [&] { return stop_ || top_ >= bottom_ || ready_ >= reducer_->RowsNeeded(top_); });
          if (stop_ || top_ >= bottom_) return;
          y = top_++;
        }
        reducer_->Row(source_, y, image_->pixels.data() + y * rowLen, scratch);
      }
    } catch (...) {
      std::lock_guard guard(lock_);
      failure_ = std::current_exception();
      stop_ = true;
    }
  }

  void StopHelper() {
    if (!helper_.joinable()) return;
    {
      std::lock_guard guard(lock_);
      stop_ = stop_ || top_ < bottom_;  // gave up early: the helper need not finish
    }
    wake_.notify_all();
    helper_.join();
  }

  TSizeFor sizeFor_;
  TImageCache* cache_;
  const TCancel& cancel_;
  int w_ = 0, h_ = 0;
  std::shared_ptr<TImage> image_;
  std::unique_ptr<TReducer> reducer_;
  uint8_t* source_ = nullptr;
  std::unique_ptr<uint8_t[]> ownSource_;
  std::thread helper_;
  std::mutex lock_;
  std::condition_variable wake_;
  // Guarded by lock_: rows the decoder has finished, output rows not yet
  // taken [top_, bottom_), and whether the helper must stop.
  int ready_ = 0, top_ = 0, bottom_ = 0;
  bool stop_ = false;
  std::exception_ptr failure_;
};

class TPainter {
 public:
  TPainter(TDocument& doc, TRaster& raster, const TCancel& cancel, TImageCache* cache)
      : doc_(doc), raster_(raster), cancel_(cancel), cache_(cache) {}

  // User space of the page to device pixels; `reduceDevice` the same for the
  // drawing whose size images are averaged down to.
  void SetDevice(const TMatrix& device, const TMatrix& reduceDevice) {
    device_ = device;
    reduceDevice_ = reduceDevice;
  }
  void Run(const std::string& content, const TDict& resources, const TMatrix& ctm, int depth);

 private:
  void DrawXObject(const std::string& name, const TDict& resources, const TState& state, int depth);
  // Draws an image or a solid colour (when `image` is null) through
  // `toDevice`, which maps the w x h pixel grid onto the page.
  void Paint(const TImage* image, TColor color, int w, int h, const TMatrix& toDevice);
  void FillRects(const std::vector<std::array<double, 4>>& rects, const TState& state);

  TDocument& doc_;
  TRaster& raster_;
  const TCancel& cancel_;
  TImageCache* cache_;
  TMatrix device_, reduceDevice_;
  size_t operators_ = 0;
};

TColor GrayColor(double g) {
  uint8_t v = static_cast<uint8_t>(std::clamp(std::lround(g * 255), 0L, 255L));
  return {v, v, v};
}

TColor RgbColor(double r, double g, double b) {
  auto c = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v * 255), 0L, 255L)); };
  return {c(r), c(g), c(b)};
}

TColor CmykColor(double c, double m, double y, double k) {
  return RgbColor(1 - std::min(1.0, c + k), 1 - std::min(1.0, m + k), 1 - std::min(1.0, y + k));
}

void TPainter::Run(const std::string& content, const TDict& resources, const TMatrix& ctm, int depth) {
  TInput input(content);
  TLexer lexer(input, 0);
  TParser parser(lexer);
  std::vector<TState> stack;
  TState state;
  state.ctm = ctm;
  std::vector<TObject> operands;
  std::vector<std::array<double, 4>> rects;  // the current path, when it is only rectangles
  bool otherPath = false;
  bool inText = false;
  TObject object;
  std::string op;
  auto num = [&](size_t i) { return i < operands.size() ? operands[i].Number() : 0.0; };
  while (parser.Item(object, op)) {
    if (op.empty()) {
      if (operands.size() < 64) operands.push_back(std::move(object));
      continue;
    }
    if (++operators_ > limits::kMaxOperators) Fail(TErrorKind::TooLarge, "a page has too many operators");
    if ((operators_ & 1023) == 0) cancel_.Check();
    const size_t n = operands.size();
    if (op == "q") {
      if (stack.size() >= static_cast<size_t>(limits::kMaxGraphicsStates)) Damaged("graphics states nested too deeply");
      stack.push_back(state);
    } else if (op == "Q") {
      if (!stack.empty()) {
        state = stack.back();
        stack.pop_back();
      }
    } else if (op == "cm") {
      if (n >= 6) state.ctm = TMatrix{num(0), num(1), num(2), num(3), num(4), num(5)}.Then(state.ctm);
    } else if (op == "Do") {
      if (n >= 1 && operands[0].IsName()) DrawXObject(operands[0].Name(), resources, state, depth);
    } else if (op == "g") {
      state.fill = GrayColor(num(0));
    } else if (op == "rg") {
      state.fill = RgbColor(num(0), num(1), num(2));
    } else if (op == "k") {
      state.fill = CmykColor(num(0), num(1), num(2), num(3));
    } else if (op == "sc" || op == "scn") {
      if (n == 1)
        state.fill = GrayColor(num(0));
      else if (n == 3)
        state.fill = RgbColor(num(0), num(1), num(2));
      else if (n == 4)
        state.fill = CmykColor(num(0), num(1), num(2), num(3));
    } else if (op == "cs") {
      state.fill = {};
    } else if (op == "BT") {
      inText = true;
    } else if (op == "ET") {
      inText = false;
    } else if (op == "Tr") {
      state.textRender = static_cast<int>(operands.empty() ? 0 : operands[0].IntValue());
    } else if (op == "Tj" || op == "TJ" || op == "'" || op == "\"") {
      // Invisible text (mode 3) is the searchable layer of a scan: nothing to draw.
      if (state.textRender != 3) Unsupported("the page holds text");
    } else if (op == "re") {
      if (n >= 4) rects.push_back({num(0), num(1), num(2), num(3)});
    } else if (op == "m" || op == "l" || op == "c" || op == "v" || op == "y" || op == "h") {
      otherPath = true;
    } else if (op == "n") {
      rects.clear();
      otherPath = false;
    } else if (op == "f" || op == "F" || op == "f*") {
      if (otherPath) Unsupported("the page holds vector graphics");
      FillRects(rects, state);
      rects.clear();
    } else if (op == "S" || op == "s" || op == "B" || op == "B*" || op == "b" || op == "b*") {
      Unsupported("the page holds vector graphics");
    } else if (op == "sh") {
      Unsupported("the page holds a shading");
    } else if (op == "BI") {
      Unsupported("the page holds an inline image");
    }
    // Everything else (text positioning, line styles, marked content,
    // clipping, graphics state parameters) changes nothing that is drawn here.
    (void)inText;
    operands.clear();
  }
}

void TPainter::DrawXObject(const std::string& name, const TDict& resources, const TState& state, int depth) {
  TObject xobjects = doc_.Get(resources, "XObject");
  const TObject& entry = xobjects.DictValue().Get(name);
  TObject xobject = doc_.Resolve(entry);
  if (!xobject.IsStream()) return;  // a missing resource draws nothing
  const TDict& dict = xobject.DictValue();
  const TObject subtype = doc_.Get(dict, "Subtype");
  if (subtype.IsName("Image")) {
    const uint32_t number = entry.IsRef() ? entry.RefValue().num : 0;
    // Pixel (i, j) of a w x h image, row 0 at the top, onto the unit square,
    // then the CTM and the device.
    auto place = [&](int w, int h, const TMatrix& device) {
      TMatrix toUnit{1.0 / w, 0, 0, -1.0 / h, 0, 1};
      return toUnit.Then(state.ctm).Then(device);
    };
    // Averaged down to about one source pixel per device pixel along each axis.
    auto sizeFor = [&](int w, int h) {
      const TMatrix m = place(w, h, reduceDevice_);
      const double sx = std::hypot(m.a, m.b), sy = std::hypot(m.c, m.d);
      int nw = w, nh = h;
      if (sx * w < w - 0.5) nw = std::max(1, static_cast<int>(std::ceil(sx * w)));
      if (sy * h < h - 0.5) nh = std::max(1, static_cast<int>(std::ceil(sy * h)));
      return std::pair{nw, nh};
    };
    TImageCache::TEntry image;
    const TImageCache::TEntry* kept = cache_ ? cache_->Find(number) : nullptr;
    if (kept && sizeFor(kept->sourceWidth, kept->sourceHeight) == std::pair{kept->image->width, kept->image->height}) {
      image = *kept;
    } else {
      TReducingRows rows(sizeFor, cache_, cancel_);
      DecodeImage(doc_, xobject, resources, cancel_, rows, cache_ ? &cache_->RawRoom() : nullptr);
      image = {number, rows.SourceWidth(), rows.SourceHeight(), rows.Finish()};
      if (cache_ && number) cache_->Keep(image);
    }
    const int w = image.sourceWidth, h = image.sourceHeight, nw = image.image->width, nh = image.image->height;
    TMatrix m = place(w, h, device_);
    // The same page area, covered by the smaller grid.
    if (nw != w || nh != h) m = TMatrix{static_cast<double>(w) / nw, 0, 0, static_cast<double>(h) / nh, 0, 0}.Then(m);
    Paint(image.image.get(), state.fill, nw, nh, m);
    return;
  }
  if (subtype.IsName("Form")) {
    if (depth >= limits::kMaxFormDepth) Damaged("forms nested too deeply");
    TMatrix matrix;
    const TArray& m = doc_.Get(dict, "Matrix").ArrayValue();
    if (m.size() == 6)
      matrix = {m[0].Number(), m[1].Number(), m[2].Number(), m[3].Number(), m[4].Number(), m[5].Number()};
    TObject own = doc_.Get(dict, "Resources");
    TDocument::TData data = doc_.StreamData(xobject, cancel_, limits::kMaxDecodedBytes);
    if (!data.codec.empty()) Damaged("a form compressed as an image");
    Run(data.bytes, own.IsDict() ? own.DictValue() : resources, matrix.Then(state.ctm), depth + 1);
    return;
  }
  // PostScript XObjects and unknown kinds are skipped, as the format allows.
}

void TPainter::FillRects(const std::vector<std::array<double, 4>>& rects, const TState& state) {
  for (const auto& r : rects) {
    // The unit square scaled to the rectangle, as a 1 x 1 image.
    TMatrix toRect{r[2], 0, 0, -r[3], r[0], r[1] + r[3]};
    Paint(nullptr, state.fill, 1, 1, toRect.Then(state.ctm).Then(device_));
  }
}

void TPainter::Paint(const TImage* image, TColor color, int w, int h, const TMatrix& toDevice) {
  const uint8_t* pixels = image ? image->pixels.data() : nullptr;
  const int ch = image ? image->channels : 0;
  const TMatrix& m = toDevice;
  TMatrix inverse;
  if (!m.Invert(inverse)) return;  // a degenerate placement covers no area
  // Bounding box of the four corners, clipped to the raster.
  double xs[4], ys[4];
  const double cx[4] = {0, static_cast<double>(w), 0, static_cast<double>(w)};
  const double cy[4] = {0, 0, static_cast<double>(h), static_cast<double>(h)};
  for (int k = 0; k < 4; ++k) {
    xs[k] = m.a * cx[k] + m.c * cy[k] + m.e;
    ys[k] = m.b * cx[k] + m.d * cy[k] + m.f;
    if (!std::isfinite(xs[k]) || !std::isfinite(ys[k])) return;
  }
  int x0 = static_cast<int>(std::floor(std::max(0.0, *std::min_element(xs, xs + 4))));
  int x1 = static_cast<int>(std::ceil(std::min<double>(raster_.width, *std::max_element(xs, xs + 4))));
  int y0 = static_cast<int>(std::floor(std::max(0.0, *std::min_element(ys, ys + 4))));
  int y1 = static_cast<int>(std::ceil(std::min<double>(raster_.height, *std::max_element(ys, ys + 4))));
  if (image && !image->stencil && inverse.b == 0 && inverse.c == 0 && x1 > x0) {
    // Not turned: every row samples the same columns (found by the same
    // steps as below), and each row one source row.
    std::vector<int> columns(static_cast<size_t>(x1 - x0));
    double u = inverse.a * (x0 + 0.5) + inverse.c * (y0 + 0.5) + inverse.e;
    for (int& column : columns) {
      column = u < 0 || u >= w ? -1 : static_cast<int>(u);
      u += inverse.a;
    }
    for (int y = y0; y < y1; ++y) {
      if ((y & 63) == 0) cancel_.Check();
      const double v = inverse.b * (x0 + 0.5) + inverse.d * (y + 0.5) + inverse.f;
      if (v < 0 || v >= h) continue;
      const uint8_t* row = pixels + static_cast<size_t>(v) * w * ch;
      uint32_t* out = &raster_.pixels[static_cast<size_t>(y) * raster_.width + x0];
      if (ch == 1) {
        for (int column : columns) {
          if (column >= 0) *out = row[column] * 0x010101u;
          ++out;
        }
      } else {
        for (int column : columns) {
          if (column >= 0) *out = Pack(row[column * 3], row[column * 3 + 1], row[column * 3 + 2]);
          ++out;
        }
      }
    }
    return;
  }
  for (int y = y0; y < y1; ++y) {
    if ((y & 63) == 0) cancel_.Check();
    // Source position of the pixel centre (x0 + 0.5, y + 0.5), then steps.
    double u = inverse.a * (x0 + 0.5) + inverse.c * (y + 0.5) + inverse.e;
    double v = inverse.b * (x0 + 0.5) + inverse.d * (y + 0.5) + inverse.f;
    uint32_t* out = &raster_.pixels[static_cast<size_t>(y) * raster_.width + x0];
    for (int x = x0; x < x1; ++x, u += inverse.a, v += inverse.b, ++out) {
      if (u < 0 || v < 0 || u >= w || v >= h) continue;
      if (!image) {
        *out = Pack(color.r, color.g, color.b);
        continue;
      }
      const uint8_t* p = pixels + (static_cast<size_t>(v) * w + static_cast<size_t>(u)) * ch;
      if (image->stencil) {
        const int a = p[0];
        auto blend = [&](int under, int fill) { return (under * (255 - a) + fill * a + 127) / 255; };
        *out =
            Pack(blend((*out >> 16) & 0xFF, color.r), blend((*out >> 8) & 0xFF, color.g), blend(*out & 0xFF, color.b));
      } else if (ch == 1) {
        *out = p[0] * 0x010101u;
      } else {
        *out = Pack(p[0], p[1], p[2]);
      }
    }
  }
}

}  // namespace

TImageCache::TImageCache() = default;
TImageCache::~TImageCache() = default;

uint8_t* TImageCache::Room(size_t size) {
  if (size > roomSize_) {
    room_.reset();  // the old room goes first: both at once could be too much
    room_.reset(new uint8_t[size]);
    roomSize_ = size;
  }
  return room_.get();
}

void TImageCache::Clear() { imageRoom_ = TakeImageRoom(); }

std::vector<uint8_t> TImageCache::TakeImageRoom() {
  std::vector<uint8_t> room = std::move(imageRoom_);
  if (entry_.image && entry_.image.use_count() == 1) room = std::move(const_cast<TImage&>(*entry_.image).pixels);
  entry_ = {};
  return room;
}

void TImageCache::GiveRaster(std::vector<uint32_t> pixels) {
  if (pixels.capacity() == 0) return;
  std::lock_guard guard(rastersLock_);
  rasters_.push_back(std::move(pixels));
  if (rasters_.size() > 2) rasters_.erase(rasters_.begin());  // the oldest goes
}

std::vector<uint32_t> TImageCache::TakeRaster(size_t size) {
  std::lock_guard guard(rastersLock_);
  for (auto it = rasters_.begin(); it != rasters_.end(); ++it)
    if (it->capacity() >= size) {
      std::vector<uint32_t> pixels = std::move(*it);
      rasters_.erase(it);
      return pixels;
    }
  return {};
}

int PageHeightFor(const TPage& page, int width) {
  double h = width * page.Height() / page.Width();
  return std::max(1, static_cast<int>(std::lround(std::min(h, 1e6))));
}

TRaster RenderPage(TDocument& doc, size_t index, int width, const TCancel& cancel, TImageCache* cache,
                   int reduceForWidth) {
  const TPage& page = doc.Page(index);
  if (width < 1) width = 1;
  if (reduceForWidth < 1) reduceForWidth = width;
  // The file stays open while the page is read, and no longer.
  struct TCloser {
    TDocument& doc;
    ~TCloser() { doc.CloseFile(); }
  } closer{doc};
  TRaster raster;
  raster.width = width;
  raster.height = PageHeightFor(page, width);
  if (static_cast<uint64_t>(raster.width) * raster.height > limits::kMaxPagePixels)
    Fail(TErrorKind::TooLarge, "the page is too large to draw at this size");
  const size_t size = static_cast<size_t>(raster.width) * raster.height;
  if (cache) raster.pixels = cache->TakeRaster(size);
  raster.pixels.assign(size, Pack(255, 255, 255));

  // User space to device pixels: the box's top left corner at (0, 0), y
  // down, then the page's rotation (clockwise), then the scale.
  const auto& b = page.box;
  const double bw = b[2] - b[0], bh = b[3] - b[1];
  auto deviceFor = [&](int w) {
    TMatrix device{1, 0, 0, -1, -b[0], b[3]};
    switch (page.rotate) {
      case 90: device = device.Then({0, 1, -1, 0, bh, 0}); break;
      case 180: device = device.Then({-1, 0, 0, -1, bw, bh}); break;
      case 270: device = device.Then({0, -1, 1, 0, 0, bw}); break;
      default: break;
    }
    const double scale = w / page.Width();
    return device.Then({scale, 0, 0, scale, 0, 0});
  };

  TObject pageObject = doc.Get(page.ref);
  TObject resources = doc.Resolve(page.resources);
  TObject contents = doc.Get(pageObject.DictValue(), "Contents");
  std::string content;
  TArray parts = contents.IsArray() ? contents.ArrayValue() : TArray{contents};
  for (const TObject& part : parts) {
    TObject stream = doc.Resolve(part);
    if (!stream.IsStream()) continue;
    TDocument::TData data = doc.StreamData(stream, cancel, limits::kMaxDecodedBytes);
    if (!data.codec.empty()) Damaged("page content compressed as an image");
    content += data.bytes;
    content += '\n';
    if (content.size() > limits::kMaxDecodedBytes) Fail(TErrorKind::TooLarge, "the page's content is too large");
  }
  TPainter painter(doc, raster, cancel, cache);
  painter.SetDevice(deviceFor(width), deviceFor(reduceForWidth));
  painter.Run(content, resources.DictValue(), TMatrix{}, 0);
  return raster;
}

}  // namespace skan::pdfview
