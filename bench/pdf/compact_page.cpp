// Stores BMP pages as A4 pages of one PDF through the library's portable core,
// compact or lossless, and prints per page the form chosen, the bytes it took
// and the time; then the whole PDF's size.
//   compact_page <compact|lossless> <out.pdf> <page.bmp>...
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dib_reader.h"
#include "mrc.h"
#include "pdf_document.h"

using namespace skan::pdfwriter;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: compact_page <compact|lossless> <out.pdf> <page.bmp>...\n");
    return 2;
  }
  const bool compact = std::string(argv[1]) == "compact";
  try {
    TDocument doc(std::make_unique<TMemoryStore>());
    double total = 0;
    for (int i = 3; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const skan::dib::TPlainBitmap b = skan::dib::ReadBmpFile(file.data(), file.size());
      TRaster r;
      r.width = b.width;
      r.height = b.height;
      r.bitsPerPixel = b.bitsPerPixel;
      r.stride = b.stride;
      r.topDown = b.topDown;
      r.bits = b.bits;
      for (const skan::dib::TQuad& q : b.palette) r.palette.push_back({q.red, q.green, q.blue});
      doc.InsertPage(doc.PageCount(), 595.2756, 841.8898);
      TCanvas& page = doc.Page(doc.PageCount() - 1);
      const auto start = std::chrono::steady_clock::now();
      const char* form = "lossless";
      if (compact) {
        const TCompactResult res = AddCompactImage(doc, page, r);
        form = res.form == TCompactForm::Photo ? "photo" : res.form == TCompactForm::Layered ? "layered" : "bilevel";
        std::printf("%s: %s, %u masks", argv[i], form, res.masks);
      } else {
        TDocument::CoverWithImage(page, doc.AddImage(r));
        std::printf("%s: lossless", argv[i]);
      }
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      total += s;
      std::printf(", %.3f s\n", s);
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) throw std::runtime_error(std::string("cannot write ") + argv[2]);
    {
      TFileSink sink(out, argv[2]);
      doc.Save(sink);
    }
    const long size = std::ftell(out);
    std::fclose(out);
    std::printf("pdf %ld bytes, pages %.3f s\n", size, total);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
}
