// The compact form of scanned pages, read back by other readers: each page
// of the table is stored compact, checked by qpdf and by Preflight as PDF/A-1b,
// rendered by poppler at the page's own resolution and compared with the page
// it came from. Needs qpdf, pdftoppm and Preflight (tools/install-deps.sh
// installs them); without them it fails.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "mrc.h"
#include "pdf_document.h"

namespace skan::pdfwriter {
namespace {

constexpr uint32_t kDpi = 300;

// A page as the test draws it: top-down samples, 1 (grey) or 3 (RGB) per
// pixel, and per pixel the label of the stroke drawn there (0: none).
struct TPage {
  uint32_t width = 0, height = 0;
  int components = 3;
  std::vector<uint8_t> px;
  std::vector<uint8_t> label;

  TPage(uint32_t w, uint32_t h, int c) : width(w), height(h), components(c) {
    px.assign(size_t{w} * h * static_cast<size_t>(c), 0);
    label.assign(size_t{w} * h, 0);
  }
  uint8_t* At(uint32_t x, uint32_t y) { return px.data() + (size_t{y} * width + x) * static_cast<size_t>(components); }
  const uint8_t* At(uint32_t x, uint32_t y) const {
    return px.data() + (size_t{y} * width + x) * static_cast<size_t>(components);
  }
  void Set(uint32_t x, uint32_t y, TRgb c, uint8_t mark) {
    if (x >= width || y >= height) return;
    uint8_t* p = At(x, y);
    if (components == 1) {
      p[0] = static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b) >> 8);
    } else {
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
    label[size_t{y} * width + x] = mark;
  }
  void Fill(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, TRgb c, uint8_t mark) {
    for (uint32_t y = y0; y < y0 + h; ++y)
      for (uint32_t x = x0; x < x0 + w; ++x) Set(x, y, c, mark);
  }
};

// A small deterministic generator, so every run draws the same pages.
struct TRandom {
  uint32_t state;
  uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

// Lines of glyph-like marks: each glyph a random 5 x 7 pattern of 3 x 3 cells,
// about the size of 8-point text at 300 dpi.
void DrawText(TPage& page, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, TRgb ink, uint8_t mark, uint32_t seed) {
  TRandom rnd{seed};
  for (uint32_t y = y0; y + 21 <= y1; y += 36)
    for (uint32_t x = x0; x + 15 <= x1; x += 21) {
      if (rnd.Next() % 7 == 0) continue;  // a space between words
      for (uint32_t gy = 0; gy < 7; ++gy)
        for (uint32_t gx = 0; gx < 5; ++gx)
          if (rnd.Next() % 2) page.Fill(x + gx * 3, y + gy * 3, 3, 3, ink, mark);
    }
}

// A ring of the given radii and a bar across it, as a rubber stamp leaves.
void DrawStamp(TPage& page, uint32_t cx, uint32_t cy, uint32_t r0, uint32_t r1, TRgb ink, uint8_t mark) {
  for (uint32_t y = cy - r1; y <= cy + r1; ++y)
    for (uint32_t x = cx - r1; x <= cx + r1; ++x) {
      const double d = std::hypot(double(x) - cx, double(y) - cy);
      if ((d >= r0 && d <= r1) || (d < r0 && y >= cy - 12 && y <= cy + 12)) page.Set(x, y, ink, mark);
    }
}

// What a scanner adds: slightly soft edges (a [1 2 1] blur each way) and
// noise of a few levels on every sample.
void Scan(TPage& page, uint32_t seed) {
  const int c = page.components;
  const uint32_t w = page.width, h = page.height;
  std::vector<uint8_t> src = page.px;
  auto at = [&](uint32_t x, uint32_t y, int k) { return int{src[(size_t{y} * w + x) * c + k]}; };
  TRandom rnd{seed};
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (int k = 0; k < c; ++k) {
        const uint32_t xl = x ? x - 1 : x, xr = x + 1 < w ? x + 1 : x;
        const uint32_t yu = y ? y - 1 : y, yd = y + 1 < h ? y + 1 : y;
        const int v = (at(xl, yu, k) + 2 * at(x, yu, k) + at(xr, yu, k) + 2 * at(xl, y, k) + 4 * at(x, y, k) +
                       2 * at(xr, y, k) + at(xl, yd, k) + 2 * at(x, yd, k) + at(xr, yd, k) + 8) /
                      16;
        const int noise = static_cast<int>(rnd.Next() % 9) - 4;
        page.px[(size_t{y} * w + x) * c + k] = static_cast<uint8_t>(std::clamp(v + noise, 0, 255));
      }
}

constexpr TRgb kPaper{242, 240, 232};
constexpr TRgb kBlack{25, 25, 30};
constexpr TRgb kRed{200, 30, 35};
constexpr TRgb kBlue{30, 50, 170};

TPage Blank(uint32_t w, uint32_t h, int c) {
  TPage p(w, h, c);
  p.Fill(0, 0, w, h, kPaper, 0);
  return p;
}

// A photograph-like page: colour fields that change across the page, with
// fine texture everywhere (foliage, fabric).
TPage Photo(uint32_t w, uint32_t h, int c) {
  TPage p(w, h, c);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const double u = double(x) / w, v = double(y) / h;
      const double t = 0.5 + 0.25 * std::sin(x * 0.05 + std::sin(y * 0.03) * 3) * std::cos(y * 0.04);
      const double fine = 30 * std::sin(x * 0.3 + 2 * std::sin(y * 0.13)) * std::sin(y * 0.25 + x * 0.05);
      auto level = [](double l) { return static_cast<uint8_t>(std::clamp(l, 0.0, 255.0)); };
      p.Set(x, y,
            {level(40 + 170 * u * t + 30 * v + fine), level(60 + 140 * v * (1 - t * 0.5) + fine),
             level(50 + 150 * (1 - u) * t + fine)},
            0);
    }
  return p;
}

struct TCase {
  const char* name;
  int components;
  std::function<TPage()> make;
  TCompactForm form;
  double maxKiB;  // the compact page's size, for a page of 600 x 800
};

void PrintTo(const TCase& c, std::ostream* os) { *os << c.name << (c.components == 1 ? " (grey)" : " (colour)"); }

std::vector<TCase> Cases() {
  const uint32_t w = 600, h = 800;
  std::vector<TCase> cases;
  for (int c : {3, 1}) {
    const std::string kind = c == 3 ? "colour" : "grey";
    cases.push_back({"black text", c,
                     [=] {
                       TPage p = Blank(w, h, c);
                       DrawText(p, 40, 40, w - 40, h - 40, kBlack, 1, 7);
                       return p;
                     },
                     TCompactForm::Layered, 40});
    cases.push_back({"table grid", c,
                     [=] {
                       TPage p = Blank(w, h, c);
                       for (uint32_t y = 50; y < h - 50; y += 40) p.Fill(50, y, w - 100, 1, {90, 90, 90}, 1);
                       for (uint32_t x = 50; x < w - 50; x += 100) p.Fill(x, 50, 1, h - 100, {90, 90, 90}, 1);
                       return p;
                     },
                     TCompactForm::Layered, 15});
    cases.push_back({"blank page with speckles", c,
                     [=] {
                       TPage p = Blank(w, h, c);
                       TRandom rnd{3};
                       for (int i = 0; i < 40; ++i)
                         p.Fill(20 + rnd.Next() % (w - 40), 20 + rnd.Next() % (h - 40), 3, 3, kBlack, 1);
                       return p;
                     },
                     TCompactForm::Layered, 10});
    cases.push_back({"photograph", c, [=] { return Photo(w, h, c); }, TCompactForm::Photo, 1e9});
    if (c == 1) continue;
    cases.push_back({"coloured text", c,
                     [=] {
                       TPage p = Blank(w, h, c);
                       DrawText(p, 40, 40, w - 40, h / 2, kRed, 1, 11);
                       DrawText(p, 40, h / 2, w - 40, h - 40, kBlue, 2, 12);
                       return p;
                     },
                     TCompactForm::Layered, 50});
    cases.push_back({"stamp over text", c,
                     [=] {
                       TPage p = Blank(w, h, c);
                       DrawText(p, 40, 40, w - 40, h - 40, kBlack, 1, 13);
                       DrawStamp(p, w / 2, h / 2, 150, 170, kRed, 2);
                       return p;
                     },
                     TCompactForm::Layered, 50});
  }
  return cases;
}

TRaster RasterOf(const TPage& page, std::vector<uint8_t>& dib) {
  TRaster r;
  r.width = page.width;
  r.height = page.height;
  r.topDown = true;
  if (page.components == 1) {
    r.bitsPerPixel = 8;
    for (int i = 0; i < 256; ++i) r.palette.push_back({uint8_t(i), uint8_t(i), uint8_t(i)});
  } else {
    r.bitsPerPixel = 24;
  }
  r.stride = DibStride(page.width, r.bitsPerPixel);
  dib.assign(r.stride * page.height, 0);
  for (uint32_t y = 0; y < page.height; ++y)
    for (uint32_t x = 0; x < page.width; ++x) {
      const uint8_t* s = page.At(x, y);
      uint8_t* d = dib.data() + r.stride * y + size_t{x} * page.components;
      if (page.components == 1) {
        d[0] = s[0];
      } else {
        d[0] = s[2];  // DIBs hold blue, green, red
        d[1] = s[1];
        d[2] = s[0];
      }
    }
  r.bits = dib.data();
  return r;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A binary PGM or PPM as top-down samples.
TPage ReadPnm(const std::filesystem::path& path) {
  const std::string raw = ReadAll(path);
  size_t pos = 2;
  auto number = [&] {
    while (pos < raw.size() && std::isspace(static_cast<unsigned char>(raw[pos]))) ++pos;
    size_t v = 0;
    while (pos < raw.size() && std::isdigit(static_cast<unsigned char>(raw[pos])))
      v = v * 10 + size_t(raw[pos++] - '0');
    return v;
  };
  const int c = raw.compare(0, 2, "P6") == 0 ? 3 : 1;
  const auto w = static_cast<uint32_t>(number()), h = static_cast<uint32_t>(number());
  number();  // the maximum value, 255
  ++pos;
  TPage page(w, h, c);
  if (raw.size() >= pos + page.px.size()) std::copy_n(raw.data() + pos, page.px.size(), page.px.begin());
  return page;
}

struct TLab {
  double l, a, b;
};

TLab LabOf(double r, double g, double b) {
  auto lin = [](double v) {
    v /= 255;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  const double R = lin(r), G = lin(g), B = lin(b);
  const double X = (0.4124 * R + 0.3576 * G + 0.1805 * B) / 0.95047, Y = 0.2126 * R + 0.7152 * G + 0.0722 * B,
               Z = (0.0193 * R + 0.1192 * G + 0.9505 * B) / 1.08883;
  auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116; };
  return {116 * f(Y) - 16, 500 * (f(X) - f(Y)), 200 * (f(Y) - f(Z))};
}

double DeltaE(const double a[3], const double b[3]) {
  const TLab x = LabOf(a[0], a[1], a[2]), y = LabOf(b[0], b[1], b[2]);
  return std::sqrt((x.l - y.l) * (x.l - y.l) + (x.a - y.a) * (x.a - y.a) + (x.b - y.b) * (x.b - y.b));
}

int LumaAt(const TPage& p, uint32_t x, uint32_t y) {
  const uint8_t* s = p.At(x, y);
  return p.components == 1 ? s[0] : (77 * s[0] + 150 * s[1] + 29 * s[2]) >> 8;
}

// The mean structural similarity of two pages' luma averaged down 2 x 2,
// over 8 x 8 windows.
double Ssim150(const TPage& a, const TPage& b) {
  const uint32_t w = a.width / 2, h = a.height / 2;
  auto half = [&](const TPage& p) {
    std::vector<double> out(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x)
        out[size_t{y} * w + x] = (LumaAt(p, 2 * x, 2 * y) + LumaAt(p, 2 * x + 1, 2 * y) + LumaAt(p, 2 * x, 2 * y + 1) +
                                  LumaAt(p, 2 * x + 1, 2 * y + 1)) /
                                 4.0;
    return out;
  };
  const std::vector<double> x = half(a), y = half(b);
  const double c1 = 6.5025, c2 = 58.5225;  // (0.01 * 255)^2, (0.03 * 255)^2
  double total = 0;
  size_t windows = 0;
  for (uint32_t wy = 0; wy + 8 <= h; wy += 4)
    for (uint32_t wx = 0; wx + 8 <= w; wx += 4) {
      double mx = 0, my = 0, vx = 0, vy = 0, cxy = 0;
      for (uint32_t j = 0; j < 8; ++j)
        for (uint32_t i = 0; i < 8; ++i) {
          mx += x[size_t{wy + j} * w + wx + i];
          my += y[size_t{wy + j} * w + wx + i];
        }
      mx /= 64;
      my /= 64;
      for (uint32_t j = 0; j < 8; ++j)
        for (uint32_t i = 0; i < 8; ++i) {
          const double dx = x[size_t{wy + j} * w + wx + i] - mx, dy = y[size_t{wy + j} * w + wx + i] - my;
          vx += dx * dx;
          vy += dy * dy;
          cxy += dx * dy;
        }
      vx /= 63;
      vy /= 63;
      cxy /= 63;
      total += (2 * mx * my + c1) * (2 * cxy + c2) / ((mx * mx + my * my + c1) * (vx + vy + c2));
      ++windows;
    }
  return total / double(windows);
}

// Runs a command line; its exit status.
int RunCommand(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

class CompactPages : public ::testing::TestWithParam<TCase> {};

TEST_P(CompactPages, ReadBackByOtherReadersShowsThePage) {
  const TCase& tc = GetParam();
  TPage source = tc.make();
  const std::vector<uint8_t> labels = source.label;
  Scan(source, 5);
  source.label = labels;

  std::vector<uint8_t> dib;
  TDocument doc(std::make_unique<TMemoryStore>());
  doc.InsertPage(0, source.width * 72.0 / kDpi, source.height * 72.0 / kDpi);
  const TCompactResult result = AddCompactImage(doc, doc.Page(0), RasterOf(source, dib));
  EXPECT_EQ(static_cast<int>(result.form), static_cast<int>(tc.form));
  TStringSink pdf;
  doc.Save(pdf);
  EXPECT_LE(pdf.Data().size(), tc.maxKiB * 1024) << "compact page too large";
  for (const char* banned : {"/SMask", "/Group", "/JPXDecode", "/LZWDecode", "/Transparency"})
    EXPECT_EQ(pdf.Data().find(banned), std::string::npos) << banned << " has no place in an archival page";

  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("skan-compact-" + std::to_string(::getpid()) + "-" + std::to_string(rand()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / "page.pdf";
  std::ofstream(file, std::ios::binary) << pdf.Data();
  ASSERT_EQ(RunCommand("qpdf --check '" + file.string() + "'"), 0) << "qpdf refuses " << file;
  EXPECT_EQ(RunCommand("python3 '" SKAN_PREFLIGHT "' '" + file.string() + "'"), 0)
      << "Preflight finds the page no PDF/A-1b (run " SKAN_PREFLIGHT " on it)";
  ASSERT_EQ(RunCommand("pdftoppm -r " + std::to_string(kDpi) + (source.components == 1 ? " -gray" : "") +
                       " -singlefile '" + file.string() + "' '" + (dir / "out").string() + "'"),
            0)
      << "pdftoppm failed (is poppler-utils installed?)";
  const TPage shown = ReadPnm(dir / (source.components == 1 ? "out.pgm" : "out.ppm"));
  std::filesystem::remove_all(dir);
  ASSERT_EQ(shown.width, source.width);
  ASSERT_EQ(shown.height, source.height);
  ASSERT_EQ(shown.components, source.components);

  const uint32_t w = source.width, h = source.height;
  const int c = source.components;
  if (tc.form == TCompactForm::Photo) {
    // A photograph stays faithful: structural similarity of the luma at
    // half the resolution (150 dpi), over 8 x 8 windows.
    const double ssim = Ssim150(source, shown);
    EXPECT_GE(ssim, 0.95) << "photograph not faithful";
    std::printf("%s: SSIM %.3f at 150 dpi, %zu bytes\n", tc.name, ssim, pdf.Data().size());
    return;
  }

  // Per stroke colour: the stroke's mean colour (ΔE), and how much of the
  // stroke still shows as ink.
  auto labelAt = [&](uint32_t x, uint32_t y) { return labels[size_t{y} * w + x]; };
  for (uint8_t mark = 1; mark <= 2; ++mark) {
    double was[3] = {0, 0, 0}, now[3] = {0, 0, 0};
    uint64_t n = 0, kept = 0;
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        if (labelAt(x, y) != mark) continue;
        ++n;
        for (int k = 0; k < 3; ++k) {
          was[k] += source.At(x, y)[c == 1 ? 0 : k];
          now[k] += shown.At(x, y)[c == 1 ? 0 : k];
        }
        if (LumaAt(shown, x, y) < 200) ++kept;
      }
    if (!n) continue;
    for (int k = 0; k < 3; ++k) {
      was[k] /= double(n);
      now[k] /= double(n);
    }
    EXPECT_LE(DeltaE(was, now), 10) << "stroke " << int(mark) << " mean colour " << was[0] << "," << was[1] << ","
                                    << was[2] << " shown as " << now[0] << "," << now[1] << "," << now[2];
    EXPECT_GE(double(kept) / double(n), 0.95) << "stroke " << int(mark) << " lost: " << kept << " of " << n;
  }

  // Away from the strokes: the paper's tone, and no ink where there was none.
  uint64_t paper = 0, falseInk = 0;
  double error = 0;
  for (uint32_t y = 2; y + 2 < h; ++y)
    for (uint32_t x = 2; x + 2 < w; ++x) {
      bool near = false;
      for (uint32_t j = y - 2; j <= y + 2 && !near; ++j)
        for (uint32_t i = x - 2; i <= x + 2 && !near; ++i) near = labelAt(i, j) != 0;
      if (near) continue;
      ++paper;
      const int a = LumaAt(source, x, y), b = LumaAt(shown, x, y);
      error += std::abs(a - b);
      if (b < 160) ++falseInk;
    }
  EXPECT_LE(error / double(paper), 4) << "paper tone changed";
  EXPECT_LE(falseInk, paper / 2000) << "ink where there was none";
}

INSTANTIATE_TEST_SUITE_P(Table, CompactPages, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TCase>& param) {
                           std::string name =
                               std::string(param.param.name) + (param.param.components == 1 ? " grey" : " colour");
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

}  // namespace
}  // namespace skan::pdfwriter
