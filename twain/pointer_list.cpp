#include "pointer_list.h"

#include <algorithm>
#include <stdexcept>

namespace skan::twain {

namespace {
constexpr int kMaxLookupCount = 256;
}

TPointerList::TPointerList() { SetAllocated(10); }

void TPointerList::Add(void* value) {
  SetCount(Count_ + 1);
  Data_[Count_ - 1] = value;
}

void TPointerList::Clear() {
  Count_ = 0;
  SetAllocated(AdditionalBlock_);
}

void TPointerList::SetCount(int n) {
  if (n < 0) return;
  int allocated = Allocated_;
  while (allocated < n) allocated += AdditionalBlock_;
  if (allocated != Allocated_) SetAllocated(allocated);
  // Slots that come into use hold null until stored.
  for (int i = Count_; i < n; ++i) Data_[i] = nullptr;
  Count_ = n;
}

void TPointerList::SetAllocated(int n) {
  if (n <= 0 || n < Count_) return;
  auto data = std::make_unique<void*[]>(size_t(n));
  if (Data_) std::copy(Data_.get(), Data_.get() + Count_, data.get());
  Data_ = std::move(data);
  Allocated_ = n;
}

void TPointerList::CheckLookupRange() const {
  if (Count_ < 1 || Count_ > kMaxLookupCount) throw std::out_of_range("Range check error");
}

void* TPointerList::Item(int index) const {
  CheckLookupRange();
  return index >= 0 && index < Count_ ? Data_[index] : nullptr;
}

void TPointerList::SetItem(int index, void* value) {
  CheckLookupRange();
  if (index >= 0 && index < Count_) Data_[index] = value;
}

}  // namespace skan::twain
