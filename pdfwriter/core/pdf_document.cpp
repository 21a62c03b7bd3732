#include "pdf_document.h"

#include "ccitt_g4.h"
#include "pdfa.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace skan::pdfwriter {

namespace {

std::string Ref(uint32_t object) { return std::to_string(object) + " 0 R"; }

// " r g b rg" or " v g": the fill colour a stencil mask is painted with.
std::string FillOperator(const TPlacement& p) {
  auto level = [](uint8_t v) { return ' ' + FormatReal(std::round(v / 255.0 * 1000) / 1000); };
  if (p.fillGrey) return level(p.fillColour.r) + " g";
  return level(p.fillColour.r) + level(p.fillColour.g) + level(p.fillColour.b) + " rg";
}

std::string ContentOf(const TCanvas& canvas) {
  std::string s;
  for (const TPlacement& p : canvas.items) {
    s += "q";
    if (p.fill) s += FillOperator(p);
    for (double v : p.matrix) {
      s += ' ';
      s += FormatReal(v);
    }
    s += " cm /";
    s += p.form ? "Fm" : "Im";
    s += std::to_string(p.index);
    s += " Do Q\n";
  }
  return s;
}

bool IsRegularNameChar(char c) { return c > ' ' && c <= '~' && !std::strchr("()<>[]{}/%#", c); }

// An image's dictionary up to its /Length.
std::string ImageDictionary(const TImageInfo& info) {
  std::string dict = "<< /Type /XObject /Subtype /Image /Width " + std::to_string(info.width) + " /Height " +
                     std::to_string(info.height) +
                     (info.imageMask ? std::string(" /ImageMask true") : " /ColorSpace " + info.colorSpace) +
                     " /BitsPerComponent " + std::to_string(info.bitsPerComponent);
  if (!info.decode.empty()) dict += " /Decode " + info.decode;
  dict += " /Filter " + info.filter;
  if (!info.decodeParms.empty()) dict += " /DecodeParms " + info.decodeParms;
  return dict;
}

// The rest of a PDF, written at the end of the store that holds its images.
class TStoreSink : public TSink {
 public:
  TStoreSink(TByteStore& store, uint64_t end) : store_(store) { position_ = end; }
  void Write(const void* data, size_t size) override {
    store_.Append(data, size);
    position_ += size;
  }
  using TSink::Write;

 private:
  TByteStore& store_;
};

}  // namespace

// Object numbers and, as they are written, offsets from the file's start.
struct TDocument::TLayout {
  uint32_t catalog = 0, pageTree = 0, info = 0, firstPage = 0, firstForm = 0, next = 1;
  uint32_t font = 0, metadata = 0, profile = 0;  // after the forms
  TTextFont text;
  TInfoEntries infoEntries;           // what the information dictionary holds
  std::vector<uint32_t> imageObject;  // 0 for an image drawn nowhere
  std::vector<uint64_t> offsets;
};

double PointsPerUnit(uint32_t unit) {
  switch (unit) {
    case 1: return 72.0 / 25.4;
    case 2: return 7.2 / 25.4;
    case 3: return 0.72 / 25.4;
    case 4: return 0.072 / 25.4;
    case 5: return 72.0;
    case 6: return 7.2;
    case 7: return 0.72;
    case 8: return 0.072;
    default: return 0;
  }
}

bool IsValidUnit(uint32_t unit) { return unit >= 1 && unit <= 8; }

std::string FormatReal(double value) {
  if (!std::isfinite(value)) throw TPdfError(kErrInvalidParameter, "pdfwriter: a number is not finite");
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
  if (ec != std::errc()) throw TPdfError(kErrInvalidParameter, "pdfwriter: a number is out of range");
  std::string s(buffer, end);
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0" || s.empty()) s.assign(1, '0');
  return s;
}

std::string FormatTextString(const std::u16string& text) {
  bool ascii = true;
  for (char16_t c : text) ascii = ascii && c >= 0x20 && c < 0x7F;
  if (ascii) {
    std::string s = "(";
    for (char16_t c : text) {
      if (c == '(' || c == ')' || c == '\\') s += '\\';
      s += static_cast<char>(c);
    }
    return s + ")";
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = "<FEFF";
  for (char16_t c : text)
    for (int shift : {12, 8, 4, 0}) s += kHex[(c >> shift) & 15];
  return s + ">";
}

TDocument::TDocument(std::unique_ptr<TByteStore> store)
    : store_(std::move(store)),
      pdfFile_(dynamic_cast<TPdfFileStore*>(store_.get())),
      pending_(*store_, [this](size_t tag, uint64_t offset, uint64_t length) {
        images_[tag].offset = offset;
        images_[tag].length = length;
      }) {
  nonce_ = DocumentNonce(this);
}

uint32_t TDocument::AddImage(const TRaster& raster) {
  TStoredImage image;
  image.info = DescribeRaster(raster);
  if (raster.bitsPerPixel == 1) {
    pending_.Wait();  // the store is this thread's from here
    // Black-and-white: Group 4 fax coding, unless Flate does better (as it
    // can on halftoned pictures). Both are cheap at one bit per pixel.
    const std::string g4 = EncodeG4(raster.bits, raster.stride, raster.width, raster.height, raster.topDown);
    TMemoryStore flate;
    uint64_t flateOffset = 0;
    const uint64_t flateLength = deflater_.Deflate(raster, flate, &flateOffset);
    TStringSink flateBytes;
    std::string_view bytes = g4;
    if (g4.size() < flateLength) {
      image.info.filter = "/CCITTFaxDecode";
      image.info.decodeParms =
          "<< /K -1 /Columns " + std::to_string(raster.width) + " /Rows " + std::to_string(raster.height) + " >>";
    } else {
      flate.CopyTo(flateOffset, flateLength, flateBytes);
      bytes = flateBytes.Data();
    }
    image.length = bytes.size();
    images_.push_back(std::move(image));
    try {
      images_.back().offset = store_->AppendObject(FrameFor(images_.size() - 1), bytes.data(), bytes.size());
    } catch (...) {
      images_.pop_back();
      throw;
    }
    return static_cast<uint32_t>(images_.size() - 1);
  }
  images_.push_back(std::move(image));
  try {
    pending_.Post(raster, images_.size() - 1, FrameFor(images_.size() - 1));
  } catch (...) {
    images_.pop_back();
    throw;
  }
  return static_cast<uint32_t>(images_.size() - 1);
}

uint32_t TDocument::AddEncodedImage(const TImageInfo& info, const void* data, size_t size) {
  pending_.Wait();
  TStoredImage image;
  image.info = info;
  image.length = size;
  images_.push_back(std::move(image));
  try {
    images_.back().offset = store_->AppendObject(FrameFor(images_.size() - 1), data, size);
  } catch (...) {
    images_.pop_back();
    throw;
  }
  return static_cast<uint32_t>(images_.size() - 1);
}

void TDocument::InsertPage(size_t index, double widthPt, double heightPt) {
  if (index > pages_.size()) throw TPdfError(kErrInvalidParameter, "pdfwriter: page index out of range");
  if (!(widthPt > 0) || !(heightPt > 0) || widthPt > 14400 || heightPt > 14400)
    throw TPdfError(kErrInvalidParameter, "pdfwriter: page size must be above 0 and at most 200 inches");
  TCanvas page;
  page.width = widthPt;
  page.height = heightPt;
  pages_.insert(pages_.begin() + static_cast<std::ptrdiff_t>(index), std::move(page));
}

void TDocument::DeletePage(size_t index) {
  if (index >= pages_.size()) throw TPdfError(kErrInvalidParameter, "pdfwriter: page index out of range");
  pages_.erase(pages_.begin() + static_cast<std::ptrdiff_t>(index));
}

TCanvas& TDocument::Page(size_t index) {
  if (index >= pages_.size()) throw TPdfError(kErrInvalidParameter, "pdfwriter: page index out of range");
  return pages_[index];
}

void TDocument::CoverWithImage(TCanvas& canvas, uint32_t image) {
  TPlacement p;
  p.index = image;
  p.matrix = {canvas.width, 0, 0, canvas.height, 0, 0};
  canvas.items.push_back(p);
}

uint32_t TDocument::AddResource(TCanvas canvas) {
  forms_.push_back(std::move(canvas));
  return static_cast<uint32_t>(forms_.size());
}

const TCanvas& TDocument::Resource(uint32_t id) const {
  if (id == 0 || id > forms_.size()) throw TPdfError(kErrInvalidParameter, "pdfwriter: no resource with this ID");
  return forms_[id - 1];
}

void TDocument::SetInfo(const std::string& name, const std::u16string& value) {
  if (name.empty() || name.size() > 127)
    throw TPdfError(kErrInvalidParameter, "pdfwriter: document information name must be 1 to 127 characters");
  for (char c : name)
    if (!IsRegularNameChar(c))
      throw TPdfError(kErrInvalidParameter,
                      "pdfwriter: document information name has a character PDF names cannot hold");
  std::string xmpDate;
  if ((name == "CreationDate" || name == "ModDate") && !PdfDateToXmp(value, xmpDate))
    throw TPdfError(kErrInvalidParameter, "pdfwriter: " + name + " must be a PDF date such as D:20240131120000+01'00'");
  for (auto& entry : info_) {
    if (entry.first == name) {
      entry.second = value;
      return;
    }
  }
  info_.emplace_back(name, value);
}

const std::u16string* TDocument::FindInfo(const std::string& name) const {
  for (const auto& entry : info_)
    if (entry.first == name) return &entry.second;
  return nullptr;
}

TObjectFrame TDocument::FrameFor(size_t image) const {
  // In a file written as it is made every image is drawn, and the images
  // come first: image i is object i + 1, as Save numbers them.
  return {static_cast<uint32_t>(image + 1), ImageDictionary(images_[image].info)};
}

TDocument::TLayout TDocument::Prepare() {
  pending_.Wait();
  if (pages_.empty())
    throw TPdfError(kErrInvalidFunction, "pdfwriter: the document has no pages; a PDF needs at least one page");
  for (const TCanvas& form : forms_)
    for (const TPlacement& p : form.items)
      if (p.form && (p.index == 0 || p.index > forms_.size()))
        throw TPdfError(kErrInvalidParameter, "pdfwriter: a resource draws a resource that does not exist");

  // Object numbers: the images that are drawn, then the catalog, the page
  // tree, the information, two per page (dictionary, content), one per form.
  TLayout layout;
  layout.imageObject.assign(images_.size(), 0);
  auto markImages = [&](const TCanvas& c) {
    for (const TPlacement& p : c.items) {
      if (p.form) continue;
      if (p.index >= images_.size()) throw TPdfError(kErrInvalidParameter, "pdfwriter: a page draws a missing image");
      layout.imageObject[p.index] = 1;
    }
  };
  for (const TCanvas& c : pages_) markImages(c);
  for (const TCanvas& c : forms_) markImages(c);
  uint32_t& next = layout.next;
  for (uint32_t& object : layout.imageObject)
    if (object) object = next++;
  layout.catalog = next++;
  layout.pageTree = next++;
  layout.info = next++;
  layout.firstPage = next;
  next += static_cast<uint32_t>(pages_.size()) * 2;
  layout.firstForm = next;
  next += static_cast<uint32_t>(forms_.size());
  for (const TCanvas& c : pages_) layout.text.Collect(c);
  for (const TCanvas& c : forms_) layout.text.Collect(c);
  if (!layout.text.Empty()) {
    layout.font = next;
    next += TTextFont::kObjectCount;
  }
  layout.metadata = next++;
  layout.profile = next++;
  layout.infoEntries = EffectiveInfo(info_, created_);
  layout.offsets.assign(next, 0);
  return layout;
}

void TDocument::Save(TSink& sink) {
  TLayout layout = Prepare();
  const uint64_t base = sink.Position();
  sink.Write(kPdfHeader);
  for (size_t i = 0; i < images_.size(); ++i) {
    const uint32_t object = layout.imageObject[i];
    if (!object) continue;
    const TStoredImage& image = images_[i];
    layout.offsets[object] = sink.Position() - base;
    sink.Write(StreamObjectHead({object, ImageDictionary(image.info)}, image.length));
    store_->CopyTo(image.offset, image.length, sink);
    sink.Write(kStreamObjectTail);
  }
  WriteAfterImages(sink, base, layout);
}

bool TDocument::SaveInPlace() {
  if (!pdfFile_ || !pdfFile_->Intact()) return false;
  TLayout layout = Prepare();
  for (size_t i = 0; i < images_.size(); ++i)
    if (layout.imageObject[i] != i + 1) return false;
  for (size_t i = 0; i < images_.size(); ++i) layout.offsets[i + 1] = pdfFile_->ObjectOffset(i + 1);
  TStoreSink sink(*store_, pdfFile_->End());
  WriteAfterImages(sink, 0, layout);
  pdfFile_->Flush();
  return true;
}

void TDocument::WriteAfterImages(TSink& sink, uint64_t base, TLayout& layout) {
  const uint32_t catalog = layout.catalog, pageTree = layout.pageTree, info = layout.info;
  const uint32_t firstPage = layout.firstPage, firstForm = layout.firstForm, next = layout.next;
  const std::vector<uint32_t>& imageObject = layout.imageObject;
  std::vector<uint64_t>& offsets = layout.offsets;
  auto begin = [&](uint32_t object) {
    offsets[object] = sink.Position() - base;
    sink.Write(std::to_string(object) + " 0 obj\n");
  };
  auto resources = [&](const TCanvas& c) {
    std::string s = "<< /XObject <<";
    std::vector<std::pair<bool, uint32_t>> named;  // each name once, however often it is drawn
    for (const TPlacement& p : c.items) {
      if (std::find(named.begin(), named.end(), std::make_pair(p.form, p.index)) != named.end()) continue;
      named.emplace_back(p.form, p.index);
      s += p.form ? " /Fm" : " /Im";
      s += std::to_string(p.index) + " " + Ref(p.form ? firstForm + p.index - 1 : imageObject[p.index]);
    }
    s += " >>";
    if (!c.words.empty()) s += std::string(" /Font << ") + kTextFontName + " " + Ref(layout.font) + " >>";
    return s + " >>";
  };
  auto stream = [&](const std::string& dict, const std::string& data) {
    sink.Write("<< " + dict + " /Length " + std::to_string(data.size()) + " >>\nstream\n");
    sink.Write(data);
    sink.Write(kStreamObjectTail);
  };

  begin(catalog);
  sink.Write("<< /Type /Catalog /Pages " + Ref(pageTree) + " /Metadata " + Ref(layout.metadata) + " /OutputIntents " +
             OutputIntents(layout.profile) + " >>\nendobj\n");
  begin(pageTree);
  std::string kids;
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (i) kids += ' ';
    kids += Ref(firstPage + static_cast<uint32_t>(i) * 2);
  }
  sink.Write("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages_.size()) + " >>\nendobj\n");
  if (info) {
    begin(info);
    std::string s = "<<";
    for (const auto& [name, value] : layout.infoEntries) s += " /" + name + " " + FormatTextString(value);
    sink.Write(s + " >>\nendobj\n");
  }
  for (size_t i = 0; i < pages_.size(); ++i) {
    const TCanvas& page = pages_[i];
    const uint32_t object = firstPage + static_cast<uint32_t>(i) * 2;
    begin(object);
    sink.Write("<< /Type /Page /Parent " + Ref(pageTree) + " /MediaBox [0 0 " + FormatReal(page.width) + " " +
               FormatReal(page.height) + "] /Resources " + resources(page) + " /Contents " + Ref(object + 1) +
               " >>\nendobj\n");
    begin(object + 1);
    stream("", ContentOf(page) + layout.text.Content(page));
  }
  for (size_t i = 0; i < forms_.size(); ++i) {
    const TCanvas& form = forms_[i];
    begin(firstForm + static_cast<uint32_t>(i));
    stream("/Type /XObject /Subtype /Form /BBox [0 0 " + FormatReal(form.width) + " " + FormatReal(form.height) +
               "] /Resources " + resources(form),
           ContentOf(form) + layout.text.Content(form));
  }
  if (layout.font) layout.text.Write(sink, layout.font, begin);
  const std::string xmp = XmpPacket(layout.infoEntries);
  begin(layout.metadata);
  stream("/Type /Metadata /Subtype /XML", xmp);
  begin(layout.profile);
  sink.Write(SrgbProfileObject());
  const uint64_t xref = sink.Position() - base;
  std::string table = "xref\n0 " + std::to_string(next) + "\n0000000000 65535 f \n";
  for (uint32_t object = 1; object < next; ++object) {
    const std::string offset = std::to_string(offsets[object]);
    table += std::string(offset.size() < 10 ? 10 - offset.size() : 0, '0') + offset + " 00000 n \n";
  }
  table += "trailer\n<< /Size " + std::to_string(next) + " /Root " + Ref(catalog);
  if (info) table += " /Info " + Ref(info);
  std::string seed = xmp + std::to_string(nonce_) + "|" + std::to_string(pages_.size()) + "|" + std::to_string(xref);
  for (const TStoredImage& image : images_) seed += "|" + std::to_string(image.length);
  table += " /ID " + FormatFileId(MakeFileId(seed));
  table += " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  sink.Write(table);
}

}  // namespace skan::pdfwriter
