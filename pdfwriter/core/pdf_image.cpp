#include "pdf_image.h"

#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <new>

namespace skan::pdfwriter {

namespace {

// libdeflate's level 2 already packs scanned pages tighter than zlib's
// default level does, at a small part of its time.
constexpr int kDeflateLevel = 2;
constexpr int kBilevelLevel = 9;

enum class TMode { Gray, GrayInverted, Indexed, Rgb };

bool PaletteIsRamp(const TRaster& r, bool inverted) {
  const size_t n = size_t{1} << r.bitsPerPixel;
  if (r.palette.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    const size_t level = inverted ? n - 1 - i : i;
    const auto v = static_cast<uint8_t>(level * 255 / (n - 1));
    const TRgb& c = r.palette[i];
    if (c.r != v || c.g != v || c.b != v) return false;
  }
  return true;
}

TMode ModeOf(const TRaster& r) {
  if (r.bitsPerPixel > 8) return TMode::Rgb;
  if (PaletteIsRamp(r, false)) return TMode::Gray;
  if (PaletteIsRamp(r, true)) return TMode::GrayInverted;
  return TMode::Indexed;
}

void CheckRaster(const TRaster& r) {
  if (!IsSupportedRaster(r.bitsPerPixel) || r.width == 0 || r.height == 0 || !r.bits)
    throw TPdfError(kErrInvalidParameter, "pdfwriter: unsupported bitmap format");
  if (r.stride < DibStride(r.width, r.bitsPerPixel))
    throw TPdfError(kErrInvalidParameter, "pdfwriter: bitmap rows are too short");
  if (r.bitsPerPixel <= 8 && (r.palette.empty() || r.palette.size() > (size_t{1} << r.bitsPerPixel)))
    throw TPdfError(kErrInvalidParameter, "pdfwriter: bitmap palette is missing or too large");
}

size_t PackedRowBytes(const TRaster& r) {
  return r.bitsPerPixel > 8 ? size_t{r.width} * 3 : (size_t{r.width} * r.bitsPerPixel + 7) / 8;
}

// One row of PDF samples from a DIB row.
void ConvertRow(const TRaster& r, const uint8_t* src, uint8_t* dst) {
  switch (r.bitsPerPixel) {
    case 24:
      for (uint32_t x = 0; x < r.width; ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      break;
    case 32:
      for (uint32_t x = 0; x < r.width; ++x, src += 4, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      break;
    default: std::memcpy(dst, src, PackedRowBytes(r)); break;
  }
}

std::string HexPalette(const std::vector<TRgb>& palette) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = "<";
  for (const TRgb& c : palette) {
    for (uint8_t v : {c.r, c.g, c.b}) {
      s += kHex[v >> 4];
      s += kHex[v & 15];
    }
  }
  s += ">";
  return s;
}

}  // namespace

size_t DibStride(uint32_t width, uint16_t bitsPerPixel) { return ((size_t{width} * bitsPerPixel + 31) / 32) * 4; }

bool IsSupportedRaster(uint16_t bitsPerPixel) {
  return bitsPerPixel == 1 || bitsPerPixel == 4 || bitsPerPixel == 8 || bitsPerPixel == 24 || bitsPerPixel == 32;
}

TImageInfo DescribeRaster(const TRaster& r) {
  CheckRaster(r);
  TImageInfo info;
  info.width = r.width;
  info.height = r.height;
  info.filter = "/FlateDecode";
  switch (ModeOf(r)) {
    case TMode::Rgb:
      info.colorSpace = "/DeviceRGB";
      info.bitsPerComponent = 8;
      break;
    case TMode::Gray:
      info.colorSpace = "/DeviceGray";
      info.bitsPerComponent = r.bitsPerPixel;
      break;
    case TMode::GrayInverted:
      info.colorSpace = "/DeviceGray";
      info.bitsPerComponent = r.bitsPerPixel;
      info.decode = "[1 0]";
      break;
    case TMode::Indexed:
      info.colorSpace =
          "[/Indexed /DeviceRGB " + std::to_string(r.palette.size() - 1) + " " + HexPalette(r.palette) + "]";
      info.bitsPerComponent = r.bitsPerPixel;
      break;
  }
  return info;
}

namespace {

int LevelFor(const TRaster& r) {
  // Black-and-white pages are small: a strong level costs little there.
  return r.bitsPerPixel == 1 ? kBilevelLevel : kDeflateLevel;
}

// The samples as the compressor takes them, whole: top-down, unpadded.
// Returns their size.
size_t PackSamples(const TRaster& r, TReusedBuffer& into, uint8_t** samples) {
  CheckRaster(r);
  const size_t rowBytes = PackedRowBytes(r);
  const size_t size = rowBytes * r.height;
  uint8_t* const out = into.Reserve(size);
  for (uint32_t y = 0; y < r.height; ++y) ConvertRow(r, r.Row(y), out + size_t{y} * rowBytes);
  *samples = out;
  return size;
}

}  // namespace

class TCompressor {
 public:
  explicit TCompressor(int level) : level_(level), c_(libdeflate_alloc_compressor(level)) {
    if (!c_) throw std::bad_alloc();
  }
  ~TCompressor() { libdeflate_free_compressor(c_); }
  TCompressor(const TCompressor&) = delete;
  TCompressor& operator=(const TCompressor&) = delete;

  // The one for `level`, made anew when `kept` is for another.
  static TCompressor& For(std::unique_ptr<TCompressor>& kept, int level) {
    if (!kept || kept->level_ != level) {
      kept.reset();
      kept = std::make_unique<TCompressor>(level);
    }
    return *kept;
  }
  size_t Bound(size_t size) const { return libdeflate_zlib_compress_bound(c_, size); }
  // The zlib stream's length; a failure (which the bound rules out) raises.
  size_t Compress(const uint8_t* in, size_t size, uint8_t* out, size_t outSize) const {
    const size_t length = libdeflate_zlib_compress(c_, in, size, out, outSize);
    if (length == 0) throw TPdfError(kErrInvalidFunction, "pdfwriter: the image cannot be compressed");
    return length;
  }

 private:
  const int level_;
  libdeflate_compressor* const c_;
};

uint8_t* TReusedBuffer::Reserve(size_t n) {
  if (n > size_) {
    data_.reset();  // the old buffer goes before the larger one is taken
    size_ = 0;
    data_.reset(new uint8_t[n]);
    size_ = n;
  }
  return data_.get();
}

TDeflater::TDeflater() = default;
TDeflater::~TDeflater() = default;

uint64_t TDeflater::Deflate(const TRaster& r, TByteStore& store, uint64_t* offset) {
  uint8_t* samples = nullptr;
  const size_t size = PackSamples(r, samples_, &samples);
  const TCompressor& compressor = TCompressor::For(compressor_, LevelFor(r));
  const size_t bound = compressor.Bound(size);
  uint8_t* const out = out_.Reserve(bound);
  const size_t length = compressor.Compress(samples, size, out, bound);
  *offset = store.Append(out, length);
  return length;
}

TDeflateQueue::TDeflateQueue(TByteStore& store, TStoredFn stored) : store_(store), stored_(std::move(stored)) {}

TDeflateQueue::~TDeflateQueue() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();  // after the image under way, which the worker finishes first
}

void TDeflateQueue::Post(const TRaster& r, size_t tag, TObjectFrame frame) {
  // Packed while the image before it is compressed: the other buffer.
  uint8_t* samples = nullptr;
  const size_t size = PackSamples(r, samples_[next_], &samples);
  Wait();
  const TCompressor& compressor = TCompressor::For(compressor_, LevelFor(r));
  const size_t outSize = compressor.Bound(size);
  uint8_t* const out = out_.Reserve(outSize);
  if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
  {
    std::lock_guard lock(mutex_);
    job_ = {samples, size, out, outSize, tag, std::move(frame)};
    hasJob_ = true;
  }
  next_ ^= 1;
  wake_.notify_all();
}

void TDeflateQueue::Wait() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return !hasJob_; });
  if (error_) std::rethrow_exception(error_);
  if (finished_) {
    finished_ = false;
    stored_(job_.tag, offset_, length_);
  }
}

void TDeflateQueue::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || hasJob_; });
    if (!hasJob_) return;    // stopped with nothing left
    const TJob& job = job_;  // stays until hasJob_ is cleared below
    lock.unlock();
    std::exception_ptr error;
    uint64_t offset = 0, length = 0;
    try {
      length = compressor_->Compress(job.samples, job.size, job.out, job.outSize);
      offset = store_.AppendObject(job.frame, job.out, length);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error) {
      error_ = error;
    } else {
      offset_ = offset;
      length_ = length;
      finished_ = true;
    }
    hasJob_ = false;
    done_.notify_all();
  }
}

uint64_t DeflateRaster(const TRaster& r, TByteStore& store, uint64_t* offset) {
  TDeflater deflater;
  return deflater.Deflate(r, store, offset);
}

std::vector<uint8_t> ExpandRaster(const TRaster& r, int* components) {
  CheckRaster(r);
  const TMode mode = ModeOf(r);
  const bool gray = mode == TMode::Gray || mode == TMode::GrayInverted;
  *components = gray ? 1 : 3;
  std::vector<uint8_t> out(size_t{r.width} * r.height * (gray ? 1 : 3));
  uint8_t* dst = out.data();
  for (uint32_t y = 0; y < r.height; ++y) {
    const uint8_t* src = r.Row(y);
    for (uint32_t x = 0; x < r.width; ++x) {
      if (r.bitsPerPixel >= 24) {
        const uint8_t* p = src + size_t{x} * (r.bitsPerPixel / 8);
        *dst++ = p[2];
        *dst++ = p[1];
        *dst++ = p[0];
        continue;
      }
      const unsigned bpp = r.bitsPerPixel;
      const size_t bit = size_t{x} * bpp;
      const unsigned index = (src[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
      const TRgb c = index < r.palette.size() ? r.palette[index] : TRgb{0, 0, 0};
      if (gray) {
        *dst++ = c.r;
      } else {
        *dst++ = c.r;
        *dst++ = c.g;
        *dst++ = c.b;
      }
    }
  }
  return out;
}

}  // namespace skan::pdfwriter
