// libFuzzer target: any bytes, opened as a document and its first pages
// drawn small. A TPdfError is the expected outcome for most inputs; anything
// else (a crash, a sanitizer report, another exception) is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "document.h"
#include "render.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    skan::pdfview::TDocument doc(
        std::make_unique<skan::pdfview::TMemorySource>(std::string(reinterpret_cast<const char*>(data), size)));
    for (size_t i = 0; i < doc.PageCount() && i < 3; ++i) {
      try {
        skan::pdfview::RenderPage(doc, i, 48, skan::pdfview::TNeverCancel());
      } catch (const skan::pdfview::TPdfError&) {
      }
    }
  } catch (const skan::pdfview::TPdfError&) {
  }
  return 0;
}
