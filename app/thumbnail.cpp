#include "thumbnail.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace skan {

namespace {

struct TJpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) { std::longjmp(reinterpret_cast<TJpegError*>(info->err)->jump, 1); }
void OnJpegMessage(j_common_ptr, int) {}

// JPEG bytes of 8-bit grey or RGB rows; empty on failure.
std::vector<unsigned char> EncodeJpeg(const std::vector<unsigned char>& pixels, unsigned width, unsigned height,
                                      int components, int quality) {
  // Nothing with a destructor is made between setjmp and longjmp.
  jpeg_compress_struct info{};
  TJpegError error{};
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = OnJpegError;
  error.mgr.emit_message = OnJpegMessage;
  if (setjmp(error.jump)) {
    jpeg_destroy_compress(&info);
    std::free(out);
    return {};
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &out, &outSize);
  info.image_width = width;
  info.image_height = height;
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < height) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + size_t(info.next_scanline) * width * size_t(components));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<unsigned char> bytes(out, out + outSize);
  std::free(out);
  return bytes;
}

std::string Base64(const std::vector<unsigned char>& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const unsigned n = unsigned(bytes[i]) << 16 | (i + 1 < bytes.size() ? unsigned(bytes[i + 1]) << 8 : 0) |
                       (i + 2 < bytes.size() ? unsigned(bytes[i + 2]) : 0);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += i + 1 < bytes.size() ? kAlphabet[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

// Blue, green and red of pixel x of a plain bitmap's row.
void PixelAt(const dib::TPlainBitmap& page, const uint8_t* row, uint32_t x, uint8_t& r, uint8_t& g, uint8_t& b) {
  switch (page.bitsPerPixel) {
    case 1:
    case 4:
    case 8: {
      const unsigned bits = page.bitsPerPixel;
      const unsigned perByte = 8 / bits;
      const unsigned shift = (perByte - 1 - x % perByte) * bits;
      const unsigned index = (row[x / perByte] >> shift) & ((1u << bits) - 1);
      const dib::TQuad q = index < page.palette.size() ? page.palette[index] : dib::TQuad{};
      r = q.red, g = q.green, b = q.blue;
      return;
    }
    default: {
      const uint8_t* p = row + size_t(x) * (page.bitsPerPixel / 8);
      b = p[0], g = p[1], r = p[2];
    }
  }
}

}  // namespace

TPageLook LookAtPage(const dib::TPlainBitmap& page) {
  TPageLook look;
  look.width = page.width;
  look.height = page.height;
  if (page.bitsPerPixel == 1) {
    look.colour = "bw";
  } else if (page.bitsPerPixel <= 8) {
    const bool grey = std::all_of(page.palette.begin(), page.palette.end(),
                                  [](const dib::TQuad& q) { return q.red == q.green && q.green == q.blue; });
    if (grey) look.colour = "grey";
  }
  if (!page.width || !page.height || !page.bits) return look;

  const double scale = std::min(1.0, double(kThumbnailSide) / std::max(page.width, page.height));
  const unsigned w = std::max(1u, unsigned(page.width * scale + 0.5));
  const unsigned h = std::max(1u, unsigned(page.height * scale + 0.5));
  const int components = look.colour == std::string_view("colour") ? 3 : 1;
  // Each thumbnail pixel averages a grid of up to 4 x 4 samples of its
  // area: smooth enough for a preview, and it reads a small part of a large page.
  std::vector<unsigned char> pixels(size_t(w) * h * size_t(components));
  constexpr unsigned kSamples = 4;
  for (unsigned ty = 0; ty < h; ++ty) {
    for (unsigned tx = 0; tx < w; ++tx) {
      unsigned sum[3] = {0, 0, 0}, n = 0;
      for (unsigned sy = 0; sy < kSamples; ++sy) {
        const uint32_t y = std::min<uint32_t>(page.height - 1, uint32_t((ty + (sy + 0.5) / kSamples) / scale));
        const uint8_t* row = page.Row(y);
        for (unsigned sx = 0; sx < kSamples; ++sx) {
          const uint32_t x = std::min<uint32_t>(page.width - 1, uint32_t((tx + (sx + 0.5) / kSamples) / scale));
          uint8_t r, g, b;
          PixelAt(page, row, x, r, g, b);
          sum[0] += r, sum[1] += g, sum[2] += b;
          ++n;
        }
      }
      unsigned char* out = &pixels[(size_t(ty) * w + tx) * size_t(components)];
      if (components == 3) {
        for (int c = 0; c < 3; ++c) out[c] = static_cast<unsigned char>(sum[c] / n);
      } else {
        out[0] = static_cast<unsigned char>((sum[0] * 299 + sum[1] * 587 + sum[2] * 114) / (1000 * n));
      }
    }
  }
  // Lower quality until it fits; a thumbnail too large even then is left out.
  for (int quality : {75, 50, 30, 15}) {
    std::string text = Base64(EncodeJpeg(pixels, w, h, components, quality));
    if (!text.empty() && text.size() <= kMaxThumbnailBytes) {
      look.thumbnailBase64 = std::move(text);
      break;
    }
  }
  return look;
}

}  // namespace skan
