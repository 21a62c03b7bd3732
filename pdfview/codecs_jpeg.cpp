// JPEG through the libjpeg interface: Debian's libjpeg-turbo natively, and on
// Windows libjpeg-turbo built from Debian's source package (several times
// faster than the imaging component under Wine).
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <vector>

#include <jpeglib.h>

#include "image.h"

namespace skan::pdfview {

namespace {

struct TJpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) { std::longjmp(reinterpret_cast<TJpegError*>(info->err)->jump, 1); }

void OnJpegMessage(j_common_ptr, int) {}

}  // namespace

void DecodeJpeg(const std::string& data, const TCancel& cancel, IImageRows& out) {
  // Everything the error path needs lives outside the setjmp scope; nothing
  // with a destructor is created between setjmp and longjmp.
  jpeg_decompress_struct info{};
  TJpegError error{};
  std::vector<uint8_t> cmykRows;
  std::exception_ptr failure;
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = OnJpegError;
  error.mgr.emit_message = OnJpegMessage;
  bool stopped = false;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    Damaged("a JPEG image is damaged");
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  if (cmyk)
    info.out_color_space = JCS_CMYK;
  else if (info.num_components == 1)
    info.out_color_space = JCS_GRAYSCALE;
  else
    info.out_color_space = JCS_RGB;
  if (static_cast<uint64_t>(info.image_width) * info.image_height > 50'000'000ull) {
    jpeg_destroy_decompress(&info);
    Fail(TErrorKind::TooLarge, "a JPEG image has too many pixels");
  }
  jpeg_start_decompress(&info);
  const int n = info.output_components;
  const int width = static_cast<int>(info.output_width);
  const size_t stride = static_cast<size_t>(width) * (n == 1 ? 1 : 3);
  uint8_t* pixels = nullptr;
  try {
    pixels = out.Start(width, static_cast<int>(info.output_height), n == 1 ? 1 : 3, false);
  } catch (...) {
    failure = std::current_exception();
    stopped = true;
  }
  // Rows are read a few at a time and handed on in batches.
  constexpr unsigned kBatch = 16;
  if (n == 4) cmykRows.resize(static_cast<size_t>(width) * 4 * kBatch);
  // Adobe's CMYK JPEGs store the components inverted.
  const bool inverted = cmyk && info.saw_Adobe_marker;
  unsigned published = 0, checked = 0;
  while (!stopped && info.output_scanline < info.output_height) {
    if (info.output_scanline - checked >= 64) {
      checked = info.output_scanline;
      if (cancel.Cancelled()) {
        stopped = true;
        break;
      }
    }
    const unsigned at = info.output_scanline;
    const unsigned want = std::min(kBatch, info.output_height - at);
    JSAMPROW rows[kBatch];
    for (unsigned i = 0; i < want; ++i)
      rows[i] = n == 4 ? &cmykRows[static_cast<size_t>(width) * 4 * i] : pixels + (at + i) * stride;
    const unsigned got = jpeg_read_scanlines(&info, rows, want);
    if (n == 4) {
      for (unsigned i = 0; i < got; ++i) {
        const uint8_t* p = rows[i];
        uint8_t* o = pixels + (at + i) * stride;
        for (int x = 0; x < width; ++x, p += 4, o += 3) {
          int c = p[0], m = p[1], y = p[2], k = p[3];
          if (inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
          o[0] = static_cast<uint8_t>(255 - std::min(255, c + k));
          o[1] = static_cast<uint8_t>(255 - std::min(255, m + k));
          o[2] = static_cast<uint8_t>(255 - std::min(255, y + k));
        }
      }
    }
    if (info.output_scanline - published >= kBatch || info.output_scanline == info.output_height) {
      published = info.output_scanline;
      try {
        out.Ready(static_cast<int>(published));
      } catch (...) {
        failure = std::current_exception();
        stopped = true;
      }
    }
  }
  if (stopped)
    jpeg_abort_decompress(&info);
  else
    jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  if (failure) std::rethrow_exception(failure);
  cancel.Check();
}

}  // namespace skan::pdfview
