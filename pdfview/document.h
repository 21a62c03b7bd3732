// A PDF document read from a byte source: the cross-reference (tables,
// streams, hybrid files and incremental updates), objects (also inside object
// streams), stream data with its filters, and the page tree.
#pragma once

#include <array>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "object.h"
#include "source.h"

namespace skan::pdfview {

struct TPage {
  TRef ref;
  std::array<double, 4> box{0, 0, 612, 792};  // left, bottom, right, top in points
  int rotate = 0;                             // 0, 90, 180 or 270, clockwise
  TObject resources;                          // inherited from the page tree when absent
  // Size as shown, after the rotation.
  double Width() const { return rotate % 180 ? box[3] - box[1] : box[2] - box[0]; }
  double Height() const { return rotate % 180 ? box[2] - box[0] : box[3] - box[1]; }
};

// How much of the page tree a document reads when it opens: every page, or
// only as far as the first (the rest with ReadRemainingPages).
enum class TPageReading { All, First };

class TDocument {
 public:
  // Reads the cross-reference and the page tree. Throws TPdfError.
  explicit TDocument(std::unique_ptr<IByteSource> source, const TCancel& cancel = TNeverCancel(),
                     TPageReading reading = TPageReading::All);

  // The pages read so far (all of them once AllPagesRead).
  size_t PageCount() const { return pages_.size(); }
  bool AllPagesRead() const { return treeDone_; }
  // Reads the rest of the page tree; throws what the constructor would have
  // thrown had it read every page.
  void ReadRemainingPages(const TCancel& cancel);
  // The number of pages the page tree's root claims (/Count), when it is a
  // plausible one no smaller than the pages read; else the pages read.
  size_t ExpectedPageCount() const;
  // Ends a burst of reads (the file is closed until the next one).
  void CloseFile() { source_->Close(); }
  const TPage& Page(size_t index) const { return pages_.at(index); }

  // Follows references (a chain of them too); a missing object is null.
  TObject Resolve(const TObject& object);
  TObject Get(TRef ref);
  // A dictionary entry, resolved.
  TObject Get(const TDict& dict, std::string_view key) { return Resolve(dict.Get(key)); }

  // A stream's data with its filters undone, except a final image codec
  // (DCT, CCITT, JPX, JBIG2), whose name and parameters are returned.
  struct TData {
    std::string bytes;
    std::string codec;  // empty, or the image codec still to apply
    TDict codecParms;
  };
  TData StreamData(const TObject& stream, const TCancel& cancel, size_t maxOut);
  // True for a stream with no filter, or Flate alone without a predictor:
  // StreamDataInto can decode it in place.
  bool DecodesInto(const TObject& stream);
  // Decodes such a stream's first bytes (at most `size`) into `out`; returns
  // how many there were. `raw` holds the stream's bytes meanwhile (a room
  // the caller may keep for the next stream).
  size_t StreamDataInto(const TObject& stream, const TCancel& cancel, uint8_t* out, size_t size, std::string& raw);

 private:
  struct TEntry {
    uint8_t type = 0;     // 0 free or unknown, 1 at an offset, 2 inside an object stream
    uint32_t gen = 0;     // type 2: index inside the stream
    uint64_t offset = 0;  // type 2: number of the object stream
  };
  void ReadXref(const TCancel& cancel);
  uint64_t FindStartXref();
  // Reads one section at `offset`; returns its trailer.
  TDict ReadXrefSection(uint64_t offset, bool& isStream);
  TDict ReadXrefTable(uint64_t offset);
  TDict ReadXrefStream(uint64_t offset);
  void SetEntry(uint64_t num, TEntry entry);
  TObject Load(TRef ref);
  TObject LoadFromObjectStream(uint32_t streamNum, uint32_t index, uint32_t num);
  // Starts the page tree's walk at its root.
  void StartPageTree();
  // Walks on, in document order, until a page is found (`untilPage`) or the
  // tree ends.
  void WalkPageTree(const TCancel& cancel, bool untilPage);
  void RawStreamData(const TStream& stream, std::string& out);

  std::unique_ptr<IByteSource> source_;
  TInput input_;
  std::vector<TEntry> xref_;
  TDict trailer_;
  std::vector<TPage> pages_;
  // The page tree's walk: nodes still to visit, depth first, with what they
  // inherit; every node met so far (a node met twice is a cycle).
  struct TInherited {
    TObject mediaBox, cropBox, rotate, resources;
  };
  struct TTreeFrame {
    TObject node;
    TRef ref;
    int depth = 0;
    TInherited inherited;
  };
  std::vector<TTreeFrame> tree_;
  std::set<uint32_t> treeVisited_;
  bool treeDone_ = false;
  int64_t treeCount_ = 0;  // the root's /Count
  std::unordered_map<uint32_t, TObject> cache_;
  std::vector<uint32_t> loading_;  // objects being loaded: catches reference cycles
  // The last object stream read: its objects are usually wanted together.
  uint32_t objStmNum_ = 0;
  std::string objStmData_;
  std::vector<std::pair<uint32_t, uint64_t>> objStmIndex_;
  uint64_t objStmFirst_ = 0;
};

}  // namespace skan::pdfview
