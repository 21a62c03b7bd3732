#include "filters.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "pdf_limits.h"

namespace skan::pdfview {

namespace {
[[noreturn]] void TooLarge() { Fail(TErrorKind::TooLarge, "a stream decodes to too many bytes"); }

// A large stream whose output fits the given bound, decoded at once by
// libdeflate (two to three times faster than zlib on a scanned page); false
// when it does not decode whole and intact that way, and zlib then decides.
constexpr size_t kAtOnceMinInput = 256 * 1024;
constexpr size_t kAtOnceMaxOutput = 128u << 20;

struct TFreeDecompressor {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

bool InflateAtOnce(const std::string& in, size_t maxOut, std::string& out) {
  if (in.size() < kAtOnceMinInput || maxOut > kAtOnceMaxOutput) return false;
  // Not zeroed: only the pages the output reaches are touched.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[maxOut]);
  const std::unique_ptr<libdeflate_decompressor, TFreeDecompressor> d(libdeflate_alloc_decompressor());
  if (!buffer || !d) return false;
  size_t size = 0;
  if (libdeflate_zlib_decompress(d.get(), in.data(), in.size(), buffer.get(), maxOut, &size) != LIBDEFLATE_SUCCESS)
    return false;
  out.assign(buffer.get(), size);
  return true;
}
}  // namespace

std::string FlateDecode(const std::string& in, size_t maxOut, const TCancel& cancel) {
  std::string out;
  cancel.Check();
  if (InflateAtOnce(in, maxOut, out)) return out;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) Fail(TErrorKind::TooLarge, "out of memory for the decompressor");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (out.size() >= maxOut) {
      inflateEnd(&z);
      TooLarge();
    }
    cancel.Check();
    size_t old = out.size();
    size_t chunk = std::min<size_t>(std::max<size_t>(old, 64 * 1024), maxOut - old);
    chunk = std::max<size_t>(chunk, 1);
    out.resize(old + chunk);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + old);
    z.avail_out = static_cast<uInt>(chunk);
    rc = inflate(&z, Z_NO_FLUSH);
    out.resize(old + chunk - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // input ends early: keep what came out
    if (rc == Z_BUF_ERROR && z.avail_out != 0) break;
    if (rc == Z_BUF_ERROR) rc = Z_OK;
  }
  inflateEnd(&z);
  // Damage after some output is common (a missing checksum); keep what
  // decoded and let the consumer judge whether it is enough.
  if (rc != Z_STREAM_END && rc != Z_OK && rc != Z_BUF_ERROR && out.empty()) Damaged("a compressed stream is damaged");
  return out;
}

size_t FlateDecodeInto(const std::string& in, uint8_t* out, size_t size, const TCancel& cancel) {
  cancel.Check();
  {
    const std::unique_ptr<libdeflate_decompressor, TFreeDecompressor> d(libdeflate_alloc_decompressor());
    size_t got = 0;
    if (d && libdeflate_zlib_decompress(d.get(), in.data(), in.size(), out, size, &got) == LIBDEFLATE_SUCCESS)
      return got;
  }
  // A stream longer than the room, cut short or damaged: zlib keeps what
  // decodes, as far as the room goes.
  z_stream z{};
  if (inflateInit(&z) != Z_OK) Fail(TErrorKind::TooLarge, "out of memory for the decompressor");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  size_t done = 0;
  int rc = Z_OK;
  while (rc == Z_OK && done < size) {
    cancel.Check();
    const size_t chunk = std::min<size_t>(size - done, 4u << 20);
    z.next_out = out + done;
    z.avail_out = static_cast<uInt>(chunk);
    rc = inflate(&z, Z_NO_FLUSH);
    done += chunk - z.avail_out;
    if (rc == Z_BUF_ERROR && z.avail_out == 0) rc = Z_OK;
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END && rc != Z_OK && rc != Z_BUF_ERROR && done == 0) Damaged("a compressed stream is damaged");
  return done;
}

std::string LzwDecode(const std::string& in, bool earlyChange, size_t maxOut) {
  std::vector<std::string> table;
  auto reset = [&] {
    table.assign(258, std::string());
    for (int i = 0; i < 256; ++i) table[i] = std::string(1, static_cast<char>(i));
  };
  reset();
  std::string out, previous;
  uint32_t bits = 0;
  int bitCount = 0, width = 9;
  size_t pos = 0;
  bool havePrevious = false;
  for (;;) {
    while (bitCount < width && pos < in.size()) {
      bits = (bits << 8) | static_cast<unsigned char>(in[pos++]);
      bitCount += 8;
    }
    if (bitCount < width) break;
    int code = static_cast<int>((bits >> (bitCount - width)) & ((1u << width) - 1));
    bitCount -= width;
    if (code == 256) {
      reset();
      width = 9;
      havePrevious = false;
      continue;
    }
    if (code == 257) break;
    std::string entry;
    if (code < static_cast<int>(table.size())) {
      entry = table[code];
      if (havePrevious) table.push_back(previous + entry[0]);
    } else if (code == static_cast<int>(table.size()) && havePrevious) {
      entry = previous + previous[0];
      table.push_back(entry);
    } else {
      Damaged("an LZW stream is damaged");
    }
    out += entry;
    if (out.size() > maxOut) TooLarge();
    previous = std::move(entry);
    havePrevious = true;
    size_t next = table.size() + (earlyChange ? 1 : 0);
    if (next >= 4096)
      width = 12;
    else if (next >= 2048)
      width = 12;
    else if (next >= 1024)
      width = 11;
    else if (next >= 512)
      width = 10;
    if (table.size() >= 4096) {  // full table without a clear code: stop growing
      table.resize(4095);
    }
  }
  return out;
}

std::string RunLengthDecode(const std::string& in, size_t maxOut) {
  std::string out;
  size_t i = 0;
  while (i < in.size()) {
    int n = static_cast<unsigned char>(in[i++]);
    if (n == 128) break;
    if (n < 128) {
      size_t count = std::min<size_t>(n + 1, in.size() - i);
      out.append(in, i, count);
      i += count;
    } else if (i < in.size()) {
      out.append(257 - n, in[i++]);
    }
    if (out.size() > maxOut) TooLarge();
  }
  return out;
}

std::string AsciiHexDecode(const std::string& in) {
  std::string out;
  int high = -1;
  for (char ch : in) {
    int c = static_cast<unsigned char>(ch), v;
    if (c == '>') break;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;  // white space
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>(high * 16 + v);
      high = -1;
    }
  }
  if (high >= 0) out += static_cast<char>(high * 16);
  return out;
}

std::string Ascii85Decode(const std::string& in) {
  std::string out;
  uint32_t group[5];
  int n = 0;
  auto flush = [&](int count) {
    uint64_t v = 0;
    for (int k = 0; k < 5; ++k) v = v * 85 + (k < count ? group[k] : 84);
    if (v > UINT32_MAX) Damaged("an ASCII85 stream is damaged");
    for (int k = 0; k < count - 1; ++k) out += static_cast<char>((v >> (24 - 8 * k)) & 0xFF);
  };
  for (size_t i = 0; i < in.size(); ++i) {
    int c = static_cast<unsigned char>(in[i]);
    if (c == '~') break;
    if (c == 'z' && n == 0) {
      out.append(4, '\0');
      continue;
    }
    if (c < '!' || c > 'u') continue;
    group[n++] = static_cast<uint32_t>(c - '!');
    if (n == 5) {
      flush(5);
      n = 0;
    }
  }
  if (n > 1) flush(n);
  return out;
}

std::string Unpredict(std::string in, const TDict& parms) {
  int64_t predictor = parms.Get("Predictor").IntValue();
  if (predictor <= 1) return in;
  int64_t colors = parms.Has("Colors") ? parms.Get("Colors").IntValue() : 1;
  int64_t bpc = parms.Has("BitsPerComponent") ? parms.Get("BitsPerComponent").IntValue() : 8;
  int64_t columns = parms.Has("Columns") ? parms.Get("Columns").IntValue() : 1;
  if (colors < 1 || colors > 32 || (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16) || columns < 1 ||
      columns > (1 << 24))
    Damaged("a predictor's parameters are out of range");
  const size_t bpp = static_cast<size_t>(std::max<int64_t>(1, colors * bpc / 8));
  const size_t rowBytes = static_cast<size_t>((colors * bpc * columns + 7) / 8);

  if (predictor == 2) {
    if (bpc != 8) Unsupported("a TIFF predictor with other than 8 bits");
    for (size_t row = 0; row + rowBytes <= in.size(); row += rowBytes)
      for (size_t i = bpp; i < rowBytes; ++i) in[row + i] = static_cast<char>(in[row + i] + in[row + i - bpp]);
    return in;
  }
  if (predictor < 10) Damaged("an unknown predictor");
  // PNG: every row starts with its own filter type byte.
  std::string out;
  out.reserve(in.size() / (rowBytes + 1) * rowBytes);
  std::vector<unsigned char> prior(rowBytes, 0), row(rowBytes);
  for (size_t pos = 0; pos + 1 <= in.size(); pos += rowBytes + 1) {
    int type = static_cast<unsigned char>(in[pos]);
    size_t avail = std::min(rowBytes, in.size() - pos - 1);
    std::memcpy(row.data(), in.data() + pos + 1, avail);
    std::fill(row.begin() + avail, row.end(), 0);
    for (size_t i = 0; i < rowBytes; ++i) {
      int a = i >= bpp ? row[i - bpp] : 0, b = prior[i], c = i >= bpp ? prior[i - bpp] : 0;
      int x = row[i];
      switch (type) {
        case 0: break;
        case 1: x += a; break;
        case 2: x += b; break;
        case 3: x += (a + b) / 2; break;
        case 4: {
          int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          x += (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
          break;
        }
        default: Damaged("an unknown PNG filter type");
      }
      row[i] = static_cast<unsigned char>(x);
    }
    out.append(reinterpret_cast<const char*>(row.data()), avail);
    prior = row;
  }
  return out;
}

bool IsImageCodec(const std::string& filter) {
  return filter == "DCTDecode" || filter == "CCITTFaxDecode" || filter == "JPXDecode" || filter == "JBIG2Decode";
}

std::string FilterName(const std::string& name) {
  if (name == "Fl") return "FlateDecode";
  if (name == "LZW") return "LZWDecode";
  if (name == "RL") return "RunLengthDecode";
  if (name == "AHx") return "ASCIIHexDecode";
  if (name == "A85") return "ASCII85Decode";
  if (name == "DCT") return "DCTDecode";
  if (name == "CCF") return "CCITTFaxDecode";
  return name;
}

}  // namespace skan::pdfview
