// The OCR languages a request may name, and where their models are. Apart
// from the engine, so that the peer's commands can check them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace skan::ocr {

// The languages a request asks for when it names none.
inline constexpr std::string_view kDefaultLanguages = "pol+eng";

// True when `languages` is well formed: one or more codes joined by '+',
// each 3 to 16 of a-z, 0-9 and '_' (Tesseract's model names), at most 64
// bytes, no code twice. The empty text (no recognition) is not.
bool WellFormedLanguages(std::string_view languages);

// The codes of `languages` whose model is not in `dataPath`.
std::vector<std::string> MissingLanguages(const std::string& dataPath, std::string_view languages);

// A UTF-8 file name as a path: on Windows a folder the ANSI code page cannot
// spell is still found.
std::filesystem::path PathOf(const std::string& utf8);

}  // namespace skan::ocr
