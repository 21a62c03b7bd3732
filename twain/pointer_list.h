// A growable list of pointers that does not own them (the manager's source
// list).
#pragma once

#include <memory>

namespace skan::twain {

class TPointerList {
 public:
  TPointerList();

  void Add(void* value);
  void Clear();

  int Count() const { return Count_; }
  void SetCount(int n);
  int Allocated() const { return Allocated_; }
  void SetAllocated(int n);
  int AdditionalBlock() const { return AdditionalBlock_; }
  void SetAdditionalBlock(int n) {
    if (n > 0) AdditionalBlock_ = n;
  }

  // The pointer in slot index, or null outside 0..Count-1. Throws
  // std::out_of_range while the list is empty or holds more than 256 entries;
  // callers test the count first.
  void* Item(int index) const;
  void SetItem(int index, void* value);

 private:
  void CheckLookupRange() const;

  std::unique_ptr<void*[]> Data_;
  int AdditionalBlock_ = 10;
  int Count_ = 0;
  int Allocated_ = 0;
};

}  // namespace skan::twain
