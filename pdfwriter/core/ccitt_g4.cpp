// CCITT Group 4 (ITU-T T.6) coding of bilevel rows, as PDF's CCITTFaxDecode
// filter reads it with K -1: two-dimensional coding against the line above,
// no end-of-line codes, the data ended by EOFB.
#include "ccitt_g4.h"

#include <cstring>
#include <vector>

namespace skan::pdfwriter {

namespace {

struct TCode {
  uint16_t bits;
  uint8_t length;
};

// Run-length codes of T.4: terminating codes for 0..63 and make-up codes for
// 64..1728 (steps of 64) per colour, and the shared make-up codes 1792..2560.
constexpr TCode kWhiteTerm[64] = {
    {0x35, 8}, {0x07, 6}, {0x07, 4}, {0x08, 4}, {0x0B, 4}, {0x0C, 4}, {0x0E, 4}, {0x0F, 4}, {0x13, 5}, {0x14, 5},
    {0x07, 5}, {0x08, 5}, {0x08, 6}, {0x03, 6}, {0x34, 6}, {0x35, 6}, {0x2A, 6}, {0x2B, 6}, {0x27, 7}, {0x0C, 7},
    {0x08, 7}, {0x17, 7}, {0x03, 7}, {0x04, 7}, {0x28, 7}, {0x2B, 7}, {0x13, 7}, {0x24, 7}, {0x18, 7}, {0x02, 8},
    {0x03, 8}, {0x1A, 8}, {0x1B, 8}, {0x12, 8}, {0x13, 8}, {0x14, 8}, {0x15, 8}, {0x16, 8}, {0x17, 8}, {0x28, 8},
    {0x29, 8}, {0x2A, 8}, {0x2B, 8}, {0x2C, 8}, {0x2D, 8}, {0x04, 8}, {0x05, 8}, {0x0A, 8}, {0x0B, 8}, {0x52, 8},
    {0x53, 8}, {0x54, 8}, {0x55, 8}, {0x24, 8}, {0x25, 8}, {0x58, 8}, {0x59, 8}, {0x5A, 8}, {0x5B, 8}, {0x4A, 8},
    {0x4B, 8}, {0x32, 8}, {0x33, 8}, {0x34, 8},
};
constexpr TCode kWhiteMakeUp[27] = {
    {0x1B, 5}, {0x12, 5}, {0x17, 6}, {0x37, 7}, {0x36, 8}, {0x37, 8}, {0x64, 8}, {0x65, 8}, {0x68, 8},
    {0x67, 8}, {0xCC, 9}, {0xCD, 9}, {0xD2, 9}, {0xD3, 9}, {0xD4, 9}, {0xD5, 9}, {0xD6, 9}, {0xD7, 9},
    {0xD8, 9}, {0xD9, 9}, {0xDA, 9}, {0xDB, 9}, {0x98, 9}, {0x99, 9}, {0x9A, 9}, {0x18, 6}, {0x9B, 9},
};
constexpr TCode kBlackTerm[64] = {
    {0x37, 10}, {0x02, 3},  {0x03, 2},  {0x02, 2},  {0x03, 3},  {0x03, 4},  {0x02, 4},  {0x03, 5},
    {0x05, 6},  {0x04, 6},  {0x04, 7},  {0x05, 7},  {0x07, 7},  {0x04, 8},  {0x07, 8},  {0x18, 9},
    {0x17, 10}, {0x18, 10}, {0x08, 10}, {0x67, 11}, {0x68, 11}, {0x6C, 11}, {0x37, 11}, {0x28, 11},
    {0x17, 11}, {0x18, 11}, {0xCA, 12}, {0xCB, 12}, {0xCC, 12}, {0xCD, 12}, {0x68, 12}, {0x69, 12},
    {0x6A, 12}, {0x6B, 12}, {0xD2, 12}, {0xD3, 12}, {0xD4, 12}, {0xD5, 12}, {0xD6, 12}, {0xD7, 12},
    {0x6C, 12}, {0x6D, 12}, {0xDA, 12}, {0xDB, 12}, {0x54, 12}, {0x55, 12}, {0x56, 12}, {0x57, 12},
    {0x64, 12}, {0x65, 12}, {0x52, 12}, {0x53, 12}, {0x24, 12}, {0x37, 12}, {0x38, 12}, {0x27, 12},
    {0x28, 12}, {0x58, 12}, {0x59, 12}, {0x2B, 12}, {0x2C, 12}, {0x5A, 12}, {0x66, 12}, {0x67, 12},
};
constexpr TCode kBlackMakeUp[27] = {
    {0x0F, 10}, {0xC8, 12}, {0xC9, 12}, {0x5B, 12}, {0x33, 12}, {0x34, 12}, {0x35, 12}, {0x6C, 13}, {0x6D, 13},
    {0x4A, 13}, {0x4B, 13}, {0x4C, 13}, {0x4D, 13}, {0x72, 13}, {0x73, 13}, {0x74, 13}, {0x75, 13}, {0x76, 13},
    {0x77, 13}, {0x52, 13}, {0x53, 13}, {0x54, 13}, {0x55, 13}, {0x5A, 13}, {0x5B, 13}, {0x64, 13}, {0x65, 13},
};
constexpr TCode kExtendedMakeUp[13] = {
    {0x08, 11}, {0x0C, 11}, {0x0D, 11}, {0x12, 12}, {0x13, 12}, {0x14, 12}, {0x15, 12},
    {0x16, 12}, {0x17, 12}, {0x1C, 12}, {0x1D, 12}, {0x1E, 12}, {0x1F, 12},
};

class TBitWriter {
 public:
  explicit TBitWriter(std::string& out) : out_(out) {}
  void Put(uint32_t bits, int length) {
    acc_ = (acc_ << length) | (bits & ((1u << length) - 1));
    count_ += length;
    while (count_ >= 8) {
      count_ -= 8;
      out_ += static_cast<char>((acc_ >> count_) & 0xFF);
    }
    acc_ &= (1u << count_) - 1;
  }
  void Put(TCode code) { Put(code.bits, code.length); }
  void Flush() {
    if (count_ > 0) Put(0, 8 - count_);
  }

 private:
  std::string& out_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

void PutRun(TBitWriter& w, uint32_t run, bool white) {
  while (run >= 2624) {  // the longest make-up code, 2560, and more to come
    w.Put(kExtendedMakeUp[12]);
    run -= 2560;
  }
  if (run >= 64) {
    const uint32_t makeUp = run / 64;  // 1..40
    if (makeUp <= 27)
      w.Put(white ? kWhiteMakeUp[makeUp - 1] : kBlackMakeUp[makeUp - 1]);
    else
      w.Put(kExtendedMakeUp[makeUp - 28]);
    run %= 64;
  }
  w.Put(white ? kWhiteTerm[run] : kBlackTerm[run]);
}

// Bit x of a row, 1 meaning white (so 0 is black, as PDF's default BlackIs1
// false reads it); beyond the row, white.
inline bool WhiteAt(const uint8_t* row, uint32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

// The positions where the colour changes, each with the colour it changes
// to, ending with `width` twice (the imaginary changes at the line's end).
void Changes(const uint8_t* row, uint32_t width, std::vector<uint32_t>& out) {
  out.clear();
  bool white = true;
  for (uint32_t x = 0; x < width; ++x) {
    // Whole bytes of the current colour are skipped at once.
    if ((x & 7) == 0 && x + 8 <= width) {
      const uint8_t b = row[x >> 3];
      if ((white && b == 0xFF) || (!white && b == 0x00)) {
        x += 7;
        continue;
      }
    }
    if (WhiteAt(row, x) != white) {
      out.push_back(x);
      white = !white;
    }
  }
  out.push_back(width);
  out.push_back(width);
}

}  // namespace

std::string EncodeG4(const uint8_t* bits, size_t stride, uint32_t width, uint32_t height, bool topDown) {
  std::string out;
  TBitWriter w(out);
  std::vector<uint32_t> ref{width, width}, cur;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = bits + stride * (topDown ? y : height - 1 - y);
    Changes(row, width, cur);
    // a0 starts on an imaginary white pixel before the line. Changes at even
    // indexes turn black, at odd ones white.
    int64_t a0 = -1;
    bool white = true;
    size_t ia = 0, ib = 0;
    while (a0 < static_cast<int64_t>(width)) {
      while (ia < cur.size() - 1 && static_cast<int64_t>(cur[ia]) <= a0) ++ia;
      const uint32_t a1 = cur[ia];
      // b1: the first change on the line above right of a0 to the colour
      // opposite a0's, b2 the change after it.
      while (ib < ref.size() - 1 && static_cast<int64_t>(ref[ib]) <= a0) ++ib;
      size_t jb = ib;
      if (jb < ref.size() - 2 && ((jb % 2 == 0) != white)) ++jb;  // same colour as a0: take the next
      const uint32_t b1 = ref[jb];
      const uint32_t b2 = ref[jb + 1 < ref.size() ? jb + 1 : jb];
      if (b2 < a1) {
        w.Put(0x1, 4);  // pass
        a0 = b2;
      } else if (const int64_t d = int64_t{a1} - b1; d >= -3 && d <= 3) {
        static constexpr TCode kVertical[7] = {{0x02, 7}, {0x02, 6}, {0x02, 3}, {0x1, 1},
                                               {0x03, 3}, {0x03, 6}, {0x03, 7}};
        w.Put(kVertical[d + 3]);
        a0 = a1;
        white = !white;
      } else {
        const uint32_t a2 = cur[ia + 1 < cur.size() ? ia + 1 : ia];
        const uint32_t start = a0 < 0 ? 0 : static_cast<uint32_t>(a0);
        w.Put(0x1, 3);  // horizontal
        PutRun(w, a1 - start, white);
        PutRun(w, a2 - a1, !white);
        a0 = a2;
      }
    }
    ref.swap(cur);
  }
  w.Put(0x001, 12);  // EOFB: two EOL codes
  w.Put(0x001, 12);
  w.Flush();
  return out;
}

}  // namespace skan::pdfwriter
