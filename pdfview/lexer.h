// Tokens and objects of PDF syntax, read from a TInput.
#pragma once

#include <cstdint>
#include <string>

#include "object.h"
#include "source.h"

namespace skan::pdfview {

struct TToken {
  enum Type { Eof, Int, Real, String, Name, Keyword, ArrayOpen, ArrayClose, DictOpen, DictClose };
  Type type = Eof;
  std::string text;  // string bytes, name, keyword
  int64_t i = 0;
  double r = 0;
};

class TLexer {
 public:
  TLexer(TInput& input, uint64_t pos, uint64_t end = UINT64_MAX);
  TToken Next();
  uint64_t Pos() const { return pos_; }
  void Seek(uint64_t pos) { pos_ = pos; }
  // Skips white space and comments.
  void SkipSpace();
  TInput& Input() { return input_; }

  static bool IsSpace(int c) { return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }
  static bool IsDelimiter(int c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' || c == '/' ||
           c == '%';
  }

 private:
  int Get() { return pos_ < end_ ? input_.At(pos_) : -1; }
  void Number(TToken& t);
  void LiteralString(TToken& t);
  void HexString(TToken& t);
  void NameToken(TToken& t);

  TInput& input_;
  uint64_t pos_;
  uint64_t end_;
};

// Objects from tokens. A keyword where an object was expected is returned to
// the caller (content streams are operands followed by an operator keyword).
class TParser {
 public:
  explicit TParser(TLexer& lexer) : lexer_(lexer) {}
  // The next object; when the next token is a keyword (other than true,
  // false, null) the object is null and `keyword` holds it. At the end of the
  // input both are empty and the result is false.
  bool Item(TObject& object, std::string& keyword);
  // The next object; a keyword or the end is a damaged file.
  TObject Object();

 private:
  TObject FromToken(TToken& t, int depth);
  TObject Container(TToken::Type close, int depth);
  TLexer& lexer_;
};

// "num gen obj" at `pos`, the object, and for a stream where its data begins.
// `expected.num` 0 takes any number. Throws TPdfError(Damaged) for anything else.
TObject ParseIndirectObject(TInput& input, uint64_t pos, TRef expected);

}  // namespace skan::pdfview
