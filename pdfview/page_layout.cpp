#include "page_layout.h"

#include <algorithm>
#include <cmath>

namespace skan::pdfview {

void TPageLayout::SetPages(std::vector<std::pair<double, double>> sizes) {
  sizes_ = std::move(sizes);
  tops_.assign(sizes_.size(), 0);
  heights_.assign(sizes_.size(), 0);
  total_ = 0;
}

void TPageLayout::Arrange(int viewWidth, int margin, int gap) {
  margin_ = margin;
  gap_ = gap;
  pageWidth_ = PageWidthFor(viewWidth, margin);
  int y = margin;
  for (size_t i = 0; i < sizes_.size(); ++i) {
    const auto [w, h] = sizes_[i];
    double height = w > 0 ? pageWidth_ * h / w : pageWidth_;
    // A page is never taller than 100 000 pixels: the sum must fit an int.
    heights_[i] = std::clamp(static_cast<int>(std::lround(std::min(height, 1e5))), 1, 100000);
    tops_[i] = y;
    y += heights_[i] + (i + 1 < sizes_.size() ? gap : 0);
    if (y > 1'000'000'000) y = 1'000'000'000;
  }
  total_ = sizes_.empty() ? 0 : y + margin;
}

int TPageLayout::PageWidthFor(int viewWidth, int margin) { return std::max(1, viewWidth - 2 * margin); }

int TPageLayout::MaxScroll(int viewHeight) const { return std::max(0, total_ - viewHeight); }

int TPageLayout::ClampScroll(int scroll, int viewHeight) const { return std::clamp(scroll, 0, MaxScroll(viewHeight)); }

size_t TPageLayout::PageAt(int y) const {
  if (tops_.empty()) return 0;
  auto it = std::upper_bound(tops_.begin(), tops_.end(), y);
  return it == tops_.begin() ? 0 : static_cast<size_t>(it - tops_.begin() - 1);
}

std::pair<size_t, size_t> TPageLayout::Visible(int scroll, int viewHeight) const {
  if (tops_.empty()) return {1, 0};
  size_t first = PageAt(scroll);
  if (tops_[first] + heights_[first] <= scroll && first + 1 < tops_.size()) ++first;  // in the gap below it
  size_t last = PageAt(scroll + std::max(0, viewHeight - 1));
  return {first, std::max(first, last)};
}

size_t TPageLayout::CurrentPage(int scroll, int viewHeight) const {
  if (tops_.empty()) return 0;
  if (scroll > 0 && scroll >= MaxScroll(viewHeight)) return tops_.size() - 1;
  return PageAt(scroll + viewHeight / 2);
}

std::pair<size_t, double> TPageLayout::Anchor(int scroll) const {
  if (tops_.empty()) return {0, 0.0};
  size_t page = PageAt(scroll);
  return {page, static_cast<double>(scroll - tops_[page]) / heights_[page]};
}

int TPageLayout::ScrollFor(std::pair<size_t, double> anchor) const {
  if (tops_.empty()) return 0;
  size_t page = std::min(anchor.first, tops_.size() - 1);
  return tops_[page] + static_cast<int>(std::lround(anchor.second * heights_[page]));
}

std::wstring PageIndicatorText(size_t page, size_t count) {
  return std::to_wstring(page + 1) + L" / " + std::to_wstring(count);
}

}  // namespace skan::pdfview
