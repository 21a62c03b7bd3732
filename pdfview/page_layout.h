// Where each page of a document lies in the pane: pages stacked top to
// bottom, all fitted to the pane's width, with a margin around and a gap
// between them. Positions are in device pixels from the top of the stack.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace skan::pdfview {

class TPageLayout {
 public:
  // Page sizes as shown (width, height), in any unit.
  void SetPages(std::vector<std::pair<double, double>> sizes);
  // Lays the pages out for a view `viewWidth` pixels wide.
  void Arrange(int viewWidth, int margin, int gap);

  size_t PageCount() const { return sizes_.size(); }
  const std::vector<std::pair<double, double>>& Sizes() const { return sizes_; }
  int PageWidth() const { return pageWidth_; }
  // The page width Arrange gives for a view `viewWidth` wide.
  static int PageWidthFor(int viewWidth, int margin);
  int Left() const { return margin_; }
  int Top(size_t page) const { return tops_[page]; }
  int Height(size_t page) const { return heights_[page]; }
  int TotalHeight() const { return total_; }

  // The largest scroll position for a view `viewHeight` pixels high.
  int MaxScroll(int viewHeight) const;
  int ClampScroll(int scroll, int viewHeight) const;
  // The page under the line `y` (the one above when `y` falls in a gap).
  size_t PageAt(int y) const;
  // First and last page that a view at `scroll` shows; empty when no pages.
  std::pair<size_t, size_t> Visible(int scroll, int viewHeight) const;
  // The page the indicator names: the one across the view's middle line, or
  // the last at the end of the stack.
  size_t CurrentPage(int scroll, int viewHeight) const;

  // A position expressed as a page and a fraction of its height, which
  // survives a new width; and back.
  std::pair<size_t, double> Anchor(int scroll) const;
  int ScrollFor(std::pair<size_t, double> anchor) const;

 private:
  std::vector<std::pair<double, double>> sizes_;
  std::vector<int> tops_, heights_;
  int pageWidth_ = 0, margin_ = 0, gap_ = 0, total_ = 0;
};

// "3 / 12": the page indicator's text for a zero-based page.
std::wstring PageIndicatorText(size_t page, size_t count);

}  // namespace skan::pdfview
