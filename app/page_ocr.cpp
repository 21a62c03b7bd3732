#include "page_ocr.h"

#include <windows.h>

#include "base/encoding.h"

namespace skan {

TPageOcr::TPageOcr(std::string dataFolder, std::string languages)
    : dataFolder_(std::move(dataFolder)), languages_(std::move(languages)) {}

TPageOcr::~TPageOcr() = default;

void TPageOcr::Note(std::string line) {
  std::lock_guard lock(mutex_);
  notes_.push_back(std::move(line));
}

std::vector<std::string> TPageOcr::TakeNotes() {
  std::lock_guard lock(mutex_);
  return std::move(notes_);
}

std::optional<ocr::TPageText> TPageOcr::Read(const dib::TPlainBitmap& bitmap, const std::string& page) noexcept {
  std::lock_guard lock(mutex_);
  try {
    if (engineFailed_) return std::nullopt;  // said once, at the first page
    if (!engine_) {
      try {
        engine_ = std::make_unique<ocr::TEngine>(dataFolder_, languages_);
      } catch (...) {
        engineFailed_ = true;
        throw;
      }
    }
    return engine_->Recognise(bitmap);
  } catch (const std::exception& e) {
    try {
      notes_.push_back("ocr: " + page + ": no text: " + e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      notes_.push_back("ocr: " + page + ": no text");
    } catch (...) {
    }
  }
  return std::nullopt;
}

std::string OcrDataFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "tessdata";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") + 1);
  return base::Narrow(path + L"tessdata");
}

}  // namespace skan
