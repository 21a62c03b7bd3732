// JPEG through the libjpeg interface: Debian's libjpeg-turbo natively, and on
// Windows libjpeg-turbo built from Debian's source package (several times
// faster than the imaging component under Wine).
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "image.h"

namespace skan::pdfview {

namespace {

struct TJpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<TJpegError*>(info->err)->jump, 1);
}

void OnJpegMessage(j_common_ptr, int) {}

}  // namespace

TImage DecodeJpeg(const std::string& data, const TCancel& cancel) {
  // Everything the error path needs lives outside the setjmp scope; nothing
  // with a destructor is created between setjmp and longjmp.
  jpeg_decompress_struct info{};
  TJpegError error{};
  TImage image;
  std::vector<uint8_t> row;
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = OnJpegError;
  error.mgr.emit_message = OnJpegMessage;
  bool cancelled = false;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    Damaged("a JPEG image is damaged");
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  if (cmyk) info.out_color_space = JCS_CMYK;
  else if (info.num_components == 1) info.out_color_space = JCS_GRAYSCALE;
  else info.out_color_space = JCS_RGB;
  if (static_cast<uint64_t>(info.image_width) * info.image_height > 50'000'000ull) {
    jpeg_destroy_decompress(&info);
    Fail(TErrorKind::TooLarge, "a JPEG image has too many pixels");
  }
  jpeg_start_decompress(&info);
  const int n = info.output_components;
  image.width = static_cast<int>(info.output_width);
  image.height = static_cast<int>(info.output_height);
  image.channels = n == 1 ? 1 : 3;
  image.pixels.resize(static_cast<size_t>(image.width) * image.height * image.channels);
  row.resize(static_cast<size_t>(image.width) * n);
  // Adobe's CMYK JPEGs store the components inverted.
  const bool inverted = cmyk && info.saw_Adobe_marker;
  while (info.output_scanline < info.output_height) {
    if ((info.output_scanline & 63) == 0 && cancel.Cancelled()) {
      cancelled = true;
      break;
    }
    uint8_t* out = &image.pixels[static_cast<size_t>(info.output_scanline) * image.width * image.channels];
    JSAMPROW rows[1] = {n == 4 ? row.data() : out};
    jpeg_read_scanlines(&info, rows, 1);
    if (n == 4) {
      for (int x = 0; x < image.width; ++x) {
        uint8_t* p = &row[static_cast<size_t>(x) * 4];
        int c = p[0], m = p[1], y = p[2], k = p[3];
        if (inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        out[x * 3] = static_cast<uint8_t>(255 - std::min(255, c + k));
        out[x * 3 + 1] = static_cast<uint8_t>(255 - std::min(255, m + k));
        out[x * 3 + 2] = static_cast<uint8_t>(255 - std::min(255, y + k));
      }
    }
  }
  if (cancelled) jpeg_abort_decompress(&info);
  else jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  cancel.Check();
  return image;
}

}  // namespace skan::pdfview
