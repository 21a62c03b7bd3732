// Why a document or a page cannot be shown.
#pragma once

#include <stdexcept>
#include <string>

namespace skan::pdfview {

enum class TErrorKind {
  Unreadable,   // the file cannot be opened or read
  NotPdf,       // no PDF header, no cross-reference: some other kind of file
  Damaged,      // a PDF whose structure is broken or truncated
  Unsupported,  // valid, but drawn with something this reader does not draw
  TooLarge,     // over one of the reader's limits
  Cancelled,    // the caller gave up on the work
};

class TPdfError : public std::runtime_error {
 public:
  TPdfError(TErrorKind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  TErrorKind Kind() const { return kind_; }

 private:
  TErrorKind kind_;
};

[[noreturn]] inline void Fail(TErrorKind kind, const std::string& what) { throw TPdfError(kind, what); }
[[noreturn]] inline void Damaged(const std::string& what) { Fail(TErrorKind::Damaged, what); }
[[noreturn]] inline void Unsupported(const std::string& what) { Fail(TErrorKind::Unsupported, what); }

// Polled by long loops; the caller sets it from another thread.
class TCancel {
 public:
  virtual ~TCancel() = default;
  virtual bool Cancelled() const = 0;
  void Check() const {
    if (Cancelled()) Fail(TErrorKind::Cancelled, "cancelled");
  }
};

class TNeverCancel final : public TCancel {
 public:
  bool Cancelled() const override { return false; }
};

}  // namespace skan::pdfview
