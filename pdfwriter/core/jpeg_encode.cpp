#include "jpeg_encode.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "pdf_store.h"

namespace skan::pdfwriter {

namespace {

// libjpeg reports failures through error_exit, which must not return; no C++
// exception may pass through its C frames, so it jumps back to the caller.
struct TJumpError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JumpBack(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TJumpError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// The coding itself, with nothing that needs destroying on its frame, so the
// jump back from libjpeg skips no destructor. Returns false on failure.
bool Encode(jpeg_compress_struct* cinfo, TJumpError* err, const TJpegRowFn& rowAt, uint32_t width, uint32_t height,
            int components, int quality, unsigned char** out, unsigned long* outSize) {
  cinfo->err = jpeg_std_error(&err->mgr);
  err->mgr.error_exit = JumpBack;
  if (setjmp(err->jump)) {
    jpeg_destroy_compress(cinfo);
    return false;
  }
  jpeg_create_compress(cinfo);
  jpeg_mem_dest(cinfo, out, outSize);
  cinfo->image_width = width;
  cinfo->image_height = height;
  cinfo->input_components = components;
  cinfo->in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  cinfo->optimize_coding = TRUE;
  cinfo->dct_method = JDCT_ISLOW;
  jpeg_start_compress(cinfo, TRUE);
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rowAt(cinfo->next_scanline));
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  jpeg_destroy_compress(cinfo);
  return true;
}

}  // namespace

std::string EncodeJpeg8(const TJpegRowFn& row, uint32_t width, uint32_t height, int components, int quality) {
  if (width == 0 || height == 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION ||
      (components != 1 && components != 3))
    throw TPdfError(kErrInvalidParameter, "pdfwriter: the image cannot be coded as JPEG");
  jpeg_compress_struct cinfo;
  TJumpError err;
  std::memset(&cinfo, 0, sizeof cinfo);
  std::memset(&err, 0, sizeof err);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  const bool ok = Encode(&cinfo, &err, row, width, height, components, quality, &out, &outSize);
  if (!ok) {
    std::free(out);
    if (err.mgr.msg_code == JERR_OUT_OF_MEMORY)
      throw TPdfError(kErrNotEnoughMemory, "pdfwriter: out of memory while coding an image as JPEG");
    throw TPdfError(kErrNotSupported, std::string("pdfwriter: JPEG coding failed: ") + err.message);
  }
  std::string bytes;
  try {
    bytes.assign(reinterpret_cast<const char*>(out), outSize);
  } catch (...) {
    std::free(out);
    throw;
  }
  std::free(out);
  return bytes;
}

}  // namespace skan::pdfwriter
