// PNG pictures with transparency, decoded with the Windows imaging component
// into premultiplied 32-bit bitmaps ready for AlphaBlend.
#pragma once

#include <windows.h>

#include <cstddef>

namespace skan::ui {

class TPicture {
 public:
  TPicture() = default;
  TPicture(const TPicture&) = delete;
  TPicture& operator=(const TPicture&) = delete;
  ~TPicture() { Clear(); }

  // Decodes `png` scaled to side x side pixels; false when it cannot be read.
  bool Load(const void* png, size_t size, int side);
  // An RCDATA resource of the executable.
  bool LoadResource(const wchar_t* name, int side);

  int Side() const { return side_; }
  // Draws the picture with its transparency at (x, y); the disabled look is
  // a grey, half-transparent copy.
  void Draw(HDC dc, int x, int y, bool disabled) const;

 private:
  void Clear();
  HBITMAP normal_ = nullptr;
  HBITMAP grey_ = nullptr;
  int side_ = 0;
};

}  // namespace skan::ui
