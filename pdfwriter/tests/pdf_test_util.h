// Reading back what the library wrote: a strict check of the file's
// structure (every cross-reference offset lands on its object), the objects'
// texts, and their streams.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace skan::pdfwriter {

struct TPdf {
  std::map<int, std::string> objects;  // object number -> text from "N 0 obj" to "endobj"
  std::string trailer;
};

// Throws std::runtime_error naming the first structural fault.
TPdf ParsePdf(const std::string& bytes);

// The raw bytes between "stream" and "endstream", as /Length counts them.
std::string StreamOf(const std::string& object);
std::string Inflate(const std::string& data);

// The integer after "/Key " in an object's text, or -1.
long long IntAfter(const std::string& text, const std::string& key);
// The numbers of "/Kids [...]" in page order.
std::vector<int> PageObjects(const TPdf& pdf);

std::string ReadFileBytes(const std::string& path);

}  // namespace skan::pdfwriter
