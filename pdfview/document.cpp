#include "document.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string_view>

#include "filters.h"
#include "lexer.h"
#include "pdf_limits.h"

namespace skan::pdfview {

namespace {

constexpr uint8_t kUnknown = 0, kAtOffset = 1, kInStream = 2, kFree = 3;

struct TDepthGuard {
  std::vector<uint32_t>& stack;
  TDepthGuard(std::vector<uint32_t>& s, uint32_t num) : stack(s) {
    if (std::find(stack.begin(), stack.end(), num) != stack.end()) Damaged("objects refer to each other in a cycle");
    if (stack.size() >= static_cast<size_t>(limits::kMaxResolveDepth)) Damaged("objects nested too deeply");
    stack.push_back(num);
  }
  ~TDepthGuard() { stack.pop_back(); }
};

bool ReadBox(const TObject& o, std::array<double, 4>& box) {
  const TArray& a = o.ArrayValue();
  if (a.size() != 4) return false;
  for (const TObject& v : a)
    if (!v.IsNumber()) return false;
  double x0 = a[0].Number(), y0 = a[1].Number(), x1 = a[2].Number(), y1 = a[3].Number();
  box = {std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1)};
  // Sizes from 1 point to 200 inches by 200 inches (the format's own limit
  // is 14400 user units).
  double w = box[2] - box[0], h = box[3] - box[1];
  return w >= 1 && h >= 1 && w <= 14400 && h <= 14400;
}

}  // namespace

TDocument::TDocument(std::unique_ptr<IByteSource> source, const TCancel& cancel, TPageReading reading)
    : source_(std::move(source)), input_(*source_) {
  // However reading ends, the file is left closed.
  struct TCloser {
    IByteSource& source;
    ~TCloser() { source.Close(); }
  } closer{*source_};
  ReadXref(cancel);
  if (trailer_.Has("Encrypt")) Unsupported("the document is encrypted");
  StartPageTree();
  WalkPageTree(cancel, reading == TPageReading::First);
}

void TDocument::ReadRemainingPages(const TCancel& cancel) {
  struct TCloser {
    IByteSource& source;
    ~TCloser() { source.Close(); }
  } closer{*source_};
  WalkPageTree(cancel, false);
}

size_t TDocument::ExpectedPageCount() const {
  if (treeDone_ || treeCount_ < static_cast<int64_t>(pages_.size()) ||
      treeCount_ > static_cast<int64_t>(limits::kMaxPages))
    return pages_.size();
  return static_cast<size_t>(treeCount_);
}

uint64_t TDocument::FindStartXref() {
  const uint64_t size = input_.Size();
  std::string head = input_.Read(0, 1024);
  if (head.find("%PDF-") == std::string::npos) Fail(TErrorKind::NotPdf, "no PDF header");
  uint64_t tailStart = size > limits::kTailBytes ? size - limits::kTailBytes : 0;
  std::string tail = input_.Read(tailStart, limits::kTailBytes);
  size_t at = tail.rfind("startxref");
  if (at == std::string::npos) Damaged("no startxref: the file is truncated or damaged");
  TLexer lexer(input_, tailStart + at + 9);
  TToken t = lexer.Next();
  if (t.type != TToken::Int || t.i < 0 || static_cast<uint64_t>(t.i) >= size)
    Damaged("startxref gives no valid offset");
  // An update's objects after this end of file: the update's own end was cut
  // off, and reading on from here would show an older revision as if whole.
  const size_t eof = tail.find("%%EOF", at);
  if (eof != std::string::npos) {
    const std::string_view after = std::string_view(tail).substr(eof);
    for (const char* keyword : {"obj", "xref", "trailer"})
      if (after.find(keyword) != std::string_view::npos) Damaged("the file ends inside an update: it is truncated");
  }
  return static_cast<uint64_t>(t.i);
}

void TDocument::SetEntry(uint64_t num, TEntry entry) {
  if (num >= limits::kMaxObjects) Fail(TErrorKind::TooLarge, "too many objects");
  if (num >= xref_.size()) xref_.resize(num + 1);
  // Sections are read newest first: an entry already known stays.
  if (xref_[num].type == kUnknown) xref_[num] = entry;
}

void TDocument::ReadXref(const TCancel& cancel) {
  uint64_t offset = FindStartXref();
  std::set<uint64_t> seen;
  bool first = true;
  std::vector<uint64_t> pending{offset};
  while (!pending.empty()) {
    cancel.Check();
    uint64_t at = pending.back();
    pending.pop_back();
    if (!seen.insert(at).second) continue;  // a /Prev loop
    if (seen.size() > static_cast<size_t>(limits::kMaxXrefSections)) Damaged("too many cross-reference sections");
    bool isStream = false;
    TDict trailer = ReadXrefSection(at, isStream);
    if (first) {
      trailer_ = trailer;
      first = false;
    } else if (!trailer_.Has("Root") && trailer.Has("Root")) {
      trailer_.Set("Root", trailer.Get("Root"));
    }
    // Read next: the hybrid file's stream before the older sections.
    const TObject& prev = trailer.Get("Prev");
    if (prev.IsInt() && prev.IntValue() >= 0) pending.push_back(static_cast<uint64_t>(prev.IntValue()));
    const TObject& stm = trailer.Get("XRefStm");
    if (!isStream && stm.IsInt() && stm.IntValue() >= 0) pending.push_back(static_cast<uint64_t>(stm.IntValue()));
  }
  if (!trailer_.Get("Root").IsRef()) Damaged("the trailer names no document catalog");
}

TDict TDocument::ReadXrefSection(uint64_t offset, bool& isStream) {
  TLexer lexer(input_, offset);
  TToken t = lexer.Next();
  if (t.type == TToken::Keyword && t.text == "xref") {
    isStream = false;
    return ReadXrefTable(lexer.Pos());
  }
  isStream = true;
  return ReadXrefStream(offset);
}

TDict TDocument::ReadXrefTable(uint64_t offset) {
  TLexer lexer(input_, offset);
  for (;;) {
    TToken t = lexer.Next();
    if (t.type == TToken::Keyword && t.text == "trailer") {
      TParser parser(lexer);
      TObject trailer = parser.Object();
      if (!trailer.IsDict()) Damaged("the trailer is not a dictionary");
      return trailer.DictValue();
    }
    TToken count = lexer.Next();
    if (t.type != TToken::Int || count.type != TToken::Int || t.i < 0 || count.i < 0 ||
        static_cast<uint64_t>(t.i) + static_cast<uint64_t>(count.i) > limits::kMaxObjects)
      Damaged("a cross-reference table is damaged");
    for (int64_t k = 0; k < count.i; ++k) {
      TToken off = lexer.Next(), gen = lexer.Next(), kind = lexer.Next();
      if (off.type != TToken::Int || gen.type != TToken::Int || kind.type != TToken::Keyword ||
          (kind.text != "n" && kind.text != "f") || off.i < 0 || gen.i < 0)
        Damaged("a cross-reference entry is damaged");
      uint64_t num = static_cast<uint64_t>(t.i + k);
      if (kind.text == "n" && off.i > 0)
        SetEntry(num, {kAtOffset, static_cast<uint32_t>(gen.i & 0xFFFF), static_cast<uint64_t>(off.i)});
      else
        SetEntry(num, {kFree, 0, 0});
    }
  }
}

TDict TDocument::ReadXrefStream(uint64_t offset) {
  TObject object = ParseIndirectObject(input_, offset, {});
  const TStream* stream = object.StreamValue();
  if (!stream || !stream->dict->Get("Type").IsName("XRef")) Damaged("no cross-reference at startxref");
  const TDict& dict = *stream->dict;
  const TArray& w = dict.Get("W").ArrayValue();
  if (w.size() != 3) Damaged("a cross-reference stream has no valid /W");
  int widths[3];
  for (int i = 0; i < 3; ++i) {
    widths[i] = static_cast<int>(w[i].IntValue());
    if (widths[i] < 0 || widths[i] > 8) Damaged("a cross-reference stream has no valid /W");
  }
  const size_t entryBytes = static_cast<size_t>(widths[0] + widths[1] + widths[2]);
  if (entryBytes == 0) Damaged("a cross-reference stream has no valid /W");
  std::vector<int64_t> index;
  for (const TObject& v : dict.Get("Index").ArrayValue()) index.push_back(v.IntValue());
  if (index.empty()) index = {0, dict.Get("Size").IntValue()};
  if (index.size() % 2) Damaged("a cross-reference stream has an odd /Index");

  TNeverCancel never;
  std::string data = StreamData(object, never,
                                limits::kMaxObjects * 20ull > limits::kMaxDecodedBytes ? limits::kMaxDecodedBytes
                                                                                       : limits::kMaxObjects * 20ull)
                         .bytes;
  size_t pos = 0;
  auto field = [&](int width, uint64_t fallback) {
    if (width == 0) return fallback;
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(data[pos++]);
    return v;
  };
  for (size_t i = 0; i < index.size(); i += 2) {
    int64_t start = index[i], count = index[i + 1];
    if (start < 0 || count < 0 || static_cast<uint64_t>(start) + static_cast<uint64_t>(count) > limits::kMaxObjects)
      Damaged("a cross-reference stream's /Index is out of range");
    for (int64_t k = 0; k < count; ++k) {
      if (pos + entryBytes > data.size()) Damaged("a cross-reference stream is cut off");
      uint64_t type = field(widths[0], 1), a = field(widths[1], 0), b = field(widths[2], 0);
      uint64_t num = static_cast<uint64_t>(start + k);
      if (type == 1 && a > 0)
        SetEntry(num, {kAtOffset, static_cast<uint32_t>(b & 0xFFFF), a});
      else if (type == 2 && b <= UINT32_MAX)
        SetEntry(num, {kInStream, static_cast<uint32_t>(b), a});
      else
        SetEntry(num, {kFree, 0, 0});
    }
  }
  return dict;
}

TObject TDocument::Get(TRef ref) {
  auto cached = cache_.find(ref.num);
  if (cached != cache_.end()) return cached->second;
  if (cache_.size() >= limits::kObjectCacheEntries) cache_.clear();
  TObject object = Load(ref);
  cache_.emplace(ref.num, object);
  return object;
}

TObject TDocument::Load(TRef ref) {
  if (ref.num >= xref_.size()) return TObject();
  const TEntry entry = xref_[ref.num];
  TDepthGuard guard(loading_, ref.num);
  if (entry.type == kAtOffset) {
    if (entry.offset >= input_.Size()) Damaged("an object lies beyond the end of the file");
    return ParseIndirectObject(input_, entry.offset, ref);
  }
  if (entry.type == kInStream) {
    if (entry.offset >= UINT32_MAX) Damaged("an object stream number is out of range");
    return LoadFromObjectStream(static_cast<uint32_t>(entry.offset), entry.gen, ref.num);
  }
  return TObject();
}

TObject TDocument::LoadFromObjectStream(uint32_t streamNum, uint32_t index, uint32_t num) {
  if (objStmNum_ != streamNum || streamNum == 0) {
    objStmNum_ = 0;
    objStmIndex_.clear();
    TObject stream = Get(TRef{streamNum, 0});
    if (!stream.IsStream()) Damaged("an object stream is missing");
    const TDict& dict = stream.DictValue();
    int64_t n = dict.Get("N").IntValue(), first = dict.Get("First").IntValue();
    if (n < 0 || n > static_cast<int64_t>(limits::kMaxObjects) || first < 0)
      Damaged("an object stream's header is damaged");
    TNeverCancel never;
    objStmData_ = StreamData(stream, never, limits::kMaxDecodedBytes).bytes;
    TInput header(objStmData_);
    TLexer lexer(header, 0, std::min<uint64_t>(static_cast<uint64_t>(first), objStmData_.size()));
    for (int64_t k = 0; k < n; ++k) {
      TToken objNum = lexer.Next(), objOffset = lexer.Next();
      if (objNum.type != TToken::Int || objOffset.type != TToken::Int || objNum.i < 0 || objOffset.i < 0)
        Damaged("an object stream's header is damaged");
      objStmIndex_.emplace_back(static_cast<uint32_t>(objNum.i), static_cast<uint64_t>(objOffset.i));
    }
    objStmFirst_ = static_cast<uint64_t>(first);
    objStmNum_ = streamNum;
  }
  if (index >= objStmIndex_.size() || objStmIndex_[index].first != num) {
    // The index is only a hint: look the number up.
    auto it = std::find_if(objStmIndex_.begin(), objStmIndex_.end(), [&](auto& e) { return e.first == num; });
    if (it == objStmIndex_.end()) return TObject();
    index = static_cast<uint32_t>(it - objStmIndex_.begin());
  }
  TInput data(objStmData_);
  TLexer lexer(data, objStmFirst_ + objStmIndex_[index].second);
  TParser parser(lexer);
  return parser.Object();
}

TObject TDocument::Resolve(const TObject& object) {
  TObject current = object;
  for (int i = 0; current.IsRef(); ++i) {
    if (i >= limits::kMaxResolveDepth) Damaged("a chain of references is too long");
    current = Get(current.RefValue());
  }
  return current;
}

void TDocument::RawStreamData(const TStream& stream, std::string& out) {
  const uint64_t size = input_.Size();
  if (stream.offset > size) Damaged("a stream lies beyond the end of the file");
  TObject lengthObject = Resolve(stream.dict->Get("Length"));
  int64_t length = lengthObject.IntValue();
  if (!lengthObject.IsNumber() || length < 0) {
    // No usable length: the data ends at "endstream".
    input_.Read(stream.offset, std::min<uint64_t>(size - stream.offset, limits::kMaxDecodedBytes), out);
    size_t end = out.find("endstream");
    if (end == std::string::npos) Damaged("a stream does not end");
    out.resize(end);
    return;
  }
  if (static_cast<uint64_t>(length) > size - stream.offset) Damaged("a stream is cut off: the file is truncated");
  if (static_cast<uint64_t>(length) > limits::kMaxDecodedBytes) Fail(TErrorKind::TooLarge, "a stream is too large");
  input_.Read(stream.offset, static_cast<size_t>(length), out);
}

TDocument::TData TDocument::StreamData(const TObject& object, const TCancel& cancel, size_t maxOut) {
  const TStream* stream = object.StreamValue();
  if (!stream) Damaged("a stream was expected");
  TData out;
  RawStreamData(*stream, out.bytes);
  TObject filters = Resolve(stream->dict->Get("Filter"));
  TObject parms = Resolve(stream->dict->Get("DecodeParms"));
  TArray filterList = filters.IsName() ? TArray{filters} : filters.ArrayValue();
  TArray parmList = parms.IsDict() ? TArray{parms} : parms.ArrayValue();
  for (size_t i = 0; i < filterList.size(); ++i) {
    cancel.Check();
    std::string name = FilterName(Resolve(filterList[i]).Name());
    TObject p = i < parmList.size() ? Resolve(parmList[i]) : TObject();
    const TDict& pd = p.DictValue();
    if (IsImageCodec(name)) {
      if (i + 1 != filterList.size()) Unsupported("an image codec followed by another filter");
      out.codec = name;
      out.codecParms = pd;
      return out;
    }
    if (name == "FlateDecode") {
      out.bytes = Unpredict(FlateDecode(out.bytes, maxOut, cancel), pd);
    } else if (name == "LZWDecode") {
      bool early = !pd.Has("EarlyChange") || pd.Get("EarlyChange").IntValue() != 0;
      out.bytes = Unpredict(LzwDecode(out.bytes, early, maxOut), pd);
    } else if (name == "RunLengthDecode") {
      out.bytes = RunLengthDecode(out.bytes, maxOut);
    } else if (name == "ASCIIHexDecode") {
      out.bytes = AsciiHexDecode(out.bytes);
    } else if (name == "ASCII85Decode") {
      out.bytes = Ascii85Decode(out.bytes);
    } else if (name == "Crypt") {
      Unsupported("an encrypted stream");
    } else {
      Unsupported("the stream filter " + name);
    }
    if (out.bytes.size() > maxOut) Fail(TErrorKind::TooLarge, "a stream decodes to too many bytes");
  }
  return out;
}

bool TDocument::DecodesInto(const TObject& object) {
  const TStream* stream = object.StreamValue();
  if (!stream) return false;
  TObject filters = Resolve(stream->dict->Get("Filter"));
  if (filters.IsNull()) return true;
  const TArray list = filters.IsName() ? TArray{filters} : filters.ArrayValue();
  if (list.size() != 1 || FilterName(Resolve(list[0]).Name()) != "FlateDecode") return false;
  TObject parms = Resolve(stream->dict->Get("DecodeParms"));
  if (parms.IsArray()) parms = parms.ArrayValue().empty() ? TObject() : Resolve(parms.ArrayValue()[0]);
  return parms.DictValue().Get("Predictor").IntValue() <= 1;
}

size_t TDocument::StreamDataInto(const TObject& object, const TCancel& cancel, uint8_t* out, size_t size,
                                 std::string& raw) {
  const TStream* stream = object.StreamValue();
  if (!stream) Damaged("a stream was expected");
  RawStreamData(*stream, raw);
  if (Resolve(stream->dict->Get("Filter")).IsNull()) {
    const size_t n = std::min(size, raw.size());
    std::memcpy(out, raw.data(), n);
    return n;
  }
  return FlateDecodeInto(raw, out, size, cancel);
}

void TDocument::StartPageTree() {
  TObject catalog = Get(trailer_.Get("Root").RefValue());
  if (!catalog.IsDict()) Damaged("the document catalog is missing");
  TObject rootRef = catalog.DictValue().Get("Pages");
  TObject root = Resolve(rootRef);
  if (!root.IsDict()) Damaged("the page tree is missing");
  const TObject count = Resolve(root.DictValue().Get("Count"));
  treeCount_ = count.IsInt() ? count.IntValue() : 0;
  if (rootRef.IsRef()) treeVisited_.insert(rootRef.RefValue().num);
  tree_.push_back({root, rootRef.RefValue(), 0, {}});
}

void TDocument::WalkPageTree(const TCancel& cancel, bool untilPage) {
  while (!tree_.empty()) {
    cancel.Check();
    TTreeFrame frame = std::move(tree_.back());
    tree_.pop_back();
    const TDict& node = frame.node.DictValue();
    TInherited inh = frame.inherited;
    if (node.Has("MediaBox")) inh.mediaBox = Resolve(node.Get("MediaBox"));
    if (node.Has("CropBox")) inh.cropBox = Resolve(node.Get("CropBox"));
    if (node.Has("Rotate")) inh.rotate = Resolve(node.Get("Rotate"));
    if (node.Has("Resources")) inh.resources = node.Get("Resources");
    TObject kids = Resolve(node.Get("Kids"));
    const bool isTree = node.Get("Type").IsName("Pages") || (kids.IsArray() && !node.Get("Type").IsName("Page"));
    if (isTree) {
      if (frame.depth >= limits::kMaxPageTreeDepth) Damaged("the page tree is too deep");
      const TArray& list = kids.ArrayValue();
      for (size_t i = list.size(); i-- > 0;) {
        const TObject& kid = list[i];
        if (!kid.IsRef()) continue;
        if (!treeVisited_.insert(kid.RefValue().num).second) Damaged("the page tree has a cycle");
        TObject child = Get(kid.RefValue());
        if (!child.IsDict()) continue;  // a missing page is left out
        tree_.push_back({child, kid.RefValue(), frame.depth + 1, inh});
      }
      continue;
    }
    TPage page;
    page.ref = frame.ref;
    std::array<double, 4> media;
    if (ReadBox(inh.mediaBox, media)) page.box = media;
    std::array<double, 4> crop;
    if (ReadBox(inh.cropBox, crop)) {
      std::array<double, 4> both{std::max(crop[0], page.box[0]), std::max(crop[1], page.box[1]),
                                 std::min(crop[2], page.box[2]), std::min(crop[3], page.box[3])};
      if (both[2] - both[0] >= 1 && both[3] - both[1] >= 1) page.box = both;
    }
    int64_t r = inh.rotate.IntValue() % 360;
    if (r < 0) r += 360;
    page.rotate = static_cast<int>(r / 90 * 90);
    page.resources = inh.resources;
    if (pages_.size() >= limits::kMaxPages) Fail(TErrorKind::TooLarge, "too many pages");
    pages_.push_back(std::move(page));
    if (untilPage) break;
  }
  if (!tree_.empty()) return;
  if (pages_.empty()) Damaged("the document has no pages");
  treeDone_ = true;
}

}  // namespace skan::pdfview
