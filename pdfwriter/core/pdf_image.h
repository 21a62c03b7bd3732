// Turning device-independent bitmap pixels into a PDF image stream.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pdf_store.h"

namespace skan::pdfwriter {

struct TRgb {
  uint8_t r, g, b;
};

// Pixels as a Windows DIB holds them: rows padded to 4 bytes, bottom-up
// unless `topDown`, 24 and 32 bits in blue-green-red(-unused) order, 1, 4 and
// 8 bits as indexes into `palette`.
struct TRaster {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bitsPerPixel = 0;
  const uint8_t* bits = nullptr;
  size_t stride = 0;
  bool topDown = false;
  std::vector<TRgb> palette;

  const uint8_t* Row(uint32_t y) const { return bits + stride * (topDown ? y : height - 1 - y); }
};

size_t DibStride(uint32_t width, uint16_t bitsPerPixel);
bool IsSupportedRaster(uint16_t bitsPerPixel);

// What the image dictionary says about the stored samples.
struct TImageInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bitsPerComponent = 8;
  std::string colorSpace;   // a name ("/DeviceRGB") or an inline array
  std::string decode;       // "" or an array such as "[1 0]"
  std::string filter;       // "/FlateDecode", "/CCITTFaxDecode" or "/DCTDecode"
  std::string decodeParms;  // "" or a dictionary
  // A stencil mask (/ImageMask true, one bit, no colour space): its 0
  // samples are painted with the fill colour of the placement that draws it.
  bool imageMask = false;
};

// The PDF colour model for a raster: grey ramps become DeviceGray (so a
// black-and-white scan stays 1 bit and a grey one 8 bits), other palettes
// Indexed, 24 and 32 bits DeviceRGB.
TImageInfo DescribeRaster(const TRaster& raster);

// Memory kept from one image to the next. A scanned page is tens of
// megabytes, and memory taken afresh from the system for every page costs a
// page fault per 4 KiB touched, which is a large part of a page's time.
class TReusedBuffer {
 public:
  // At least `n` bytes, not zeroed; the contents are not kept when it grows.
  uint8_t* Reserve(size_t n);

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
};

// libdeflate's compressor for one level, kept between images.
class TCompressor;

// Flate-compresses rasters one after another on the caller's thread.
class TDeflater {
 public:
  TDeflater();
  ~TDeflater();
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  // Flate-compresses the raster's samples into `store` as one zlib stream;
  // returns the stored length. Raises std::bad_alloc when memory runs out.
  uint64_t Deflate(const TRaster& raster, TByteStore& store, uint64_t* offset);

 private:
  TReusedBuffer samples_, out_;
  std::unique_ptr<TCompressor> compressor_;
};

// Flate-compresses rasters on a thread of its own, one at a time and in
// order, while the caller goes on (with the next page's drawing). Everything
// an image needs (its samples, the output buffer, the compressor) is taken
// on the caller's thread, so a want of memory fails the call that posts it
// and leaves the queue as it was; a failure on the thread (the store's
// writing) is raised by every later Post and Wait.
class TDeflateQueue {
 public:
  using TStoredFn = std::function<void(size_t tag, uint64_t offset, uint64_t length)>;
  // `stored` runs on the caller's thread, inside Post or Wait, once an image is in the store.
  TDeflateQueue(TByteStore& store, TStoredFn stored);
  // Waits for the image under way.
  ~TDeflateQueue();
  TDeflateQueue(const TDeflateQueue&) = delete;
  TDeflateQueue& operator=(const TDeflateQueue&) = delete;

  // Takes the raster's samples now; they are compressed into the store later.
  // `frame` describes the image's object, for a store that writes it.
  void Post(const TRaster& raster, size_t tag, TObjectFrame frame);
  // Returns when nothing is under way, the store being the caller's again.
  void Wait();

 private:
  struct TJob {
    const uint8_t* samples = nullptr;
    size_t size = 0;
    uint8_t* out = nullptr;
    size_t outSize = 0;
    size_t tag = 0;
    TObjectFrame frame;
  };
  void Run();

  TByteStore& store_;
  const TStoredFn stored_;
  TReusedBuffer samples_[2], out_;
  size_t next_ = 0;  // the samples buffer not under way
  std::unique_ptr<TCompressor> compressor_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  // Guarded by mutex_.
  bool hasJob_ = false, finished_ = false, stop_ = false;
  TJob job_;
  uint64_t offset_ = 0, length_ = 0;
  std::exception_ptr error_;
  std::thread worker_;  // started by the first Post
};

// One raster with a deflater of its own.
uint64_t DeflateRaster(const TRaster& raster, TByteStore& store, uint64_t* offset);

// The raster's samples as 8-bit grey or RGB rows, top-down, no padding, for
// encoders that take plain samples (JPEG). `components` is 1 or 3.
std::vector<uint8_t> ExpandRaster(const TRaster& raster, int* components);

}  // namespace skan::pdfwriter
