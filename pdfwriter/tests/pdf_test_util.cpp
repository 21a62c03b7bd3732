#include "pdf_test_util.h"

#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace skan::pdfwriter {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("bad PDF: " + what); }

}  // namespace

long long IntAfter(const std::string& text, const std::string& key) {
  const std::string needle = key + " ";
  size_t at = 0;
  while ((at = text.find(needle, at)) != std::string::npos) {
    const size_t end = at + key.size();
    // "/Length" must not match "/LengthX"; a key is followed by a space.
    at = end + 1;
    if (at < text.size() && (std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '-'))
      return std::strtoll(text.c_str() + at, nullptr, 10);
  }
  return -1;
}

TPdf ParsePdf(const std::string& bytes) {
  if (bytes.rfind("%PDF-1.", 0) != 0) Fail("no header");
  const size_t sx = bytes.rfind("startxref");
  if (sx == std::string::npos) Fail("no startxref");
  if (bytes.size() < 6 || bytes.compare(bytes.size() - 6, 6, "%%EOF\n") != 0) Fail("no %%EOF at the end");
  const size_t xref = std::strtoull(bytes.c_str() + sx + 9, nullptr, 10);
  if (bytes.compare(xref, 5, "xref\n") != 0) Fail("startxref does not point at the table");
  std::istringstream table(bytes.substr(xref + 5));
  int first = -1, count = -1;
  table >> first >> count;
  if (first != 0 || count < 1) Fail("xref subsection");
  table.get();
  TPdf pdf;
  for (int n = 0; n < count; ++n) {
    char line[21];
    if (!table.read(line, 20)) Fail("short xref table");
    if (line[18] != ' ' && line[18] != '\r') Fail("xref entry is not 20 bytes");
    if (line[17] == 'f') continue;
    const size_t offset = std::strtoull(line, nullptr, 10);
    const std::string head = std::to_string(n) + " 0 obj";
    if (bytes.compare(offset, head.size(), head) != 0) Fail("xref offset of object " + std::to_string(n));
    size_t end;
    const size_t dictEnd = bytes.find("endobj", offset);
    const size_t streamAt = bytes.find("\nstream\n", offset);
    if (streamAt != std::string::npos && streamAt < dictEnd) {
      const long long length = IntAfter(bytes.substr(offset, streamAt - offset), "/Length");
      if (length < 0) Fail("stream without /Length in object " + std::to_string(n));
      const size_t dataEnd = streamAt + 8 + static_cast<size_t>(length);
      if (bytes.compare(dataEnd, 17, "\nendstream\nendobj") != 0) Fail("/Length of object " + std::to_string(n));
      end = dataEnd + 17;
    } else {
      if (dictEnd == std::string::npos) Fail("object without endobj");
      end = dictEnd + 6;
    }
    pdf.objects[n] = bytes.substr(offset, end - offset);
  }
  const size_t trailer = bytes.find("trailer", xref);
  if (trailer == std::string::npos) Fail("no trailer");
  pdf.trailer = bytes.substr(trailer, sx - trailer);
  if (IntAfter(pdf.trailer, "/Size") != count) Fail("/Size differs from the table");
  return pdf;
}

std::string StreamOf(const std::string& object) {
  const size_t at = object.find("\nstream\n");
  if (at == std::string::npos) Fail("object has no stream");
  const long long length = IntAfter(object.substr(0, at), "/Length");
  return object.substr(at + 8, static_cast<size_t>(length));
}

std::string Inflate(const std::string& data) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) Fail("inflateInit");
  std::string out;
  char buffer[1 << 15];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) {
      inflateEnd(&z);
      Fail("inflate");
    }
    out.append(buffer, sizeof buffer - z.avail_out);
  } while (rc != Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

std::vector<int> PageObjects(const TPdf& pdf) {
  for (const auto& [n, text] : pdf.objects) {
    if (text.find("/Type /Pages") == std::string::npos) continue;
    const size_t kids = text.find("/Kids [");
    std::istringstream in(text.substr(kids + 7, text.find(']', kids) - kids - 7));
    std::vector<int> pages;
    int object, generation;
    std::string r;
    while (in >> object >> generation >> r) pages.push_back(object);
    return pages;
  }
  Fail("no page tree");
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace skan::pdfwriter
