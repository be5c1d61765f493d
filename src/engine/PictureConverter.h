#pragma once
// Converts pictures to the 24-bit bitmap of hooks and previews and back, with cached
// scaler contexts (re-created only when size or format change) and a bitmap that only
// grows, so steady-state conversion allocates nothing.

#include "engine/AvPtr.h"
#include "engine/Bitmap.h"

namespace quenza {

class TPictureConverter {
 public:
  // Fills the bitmap from the picture; false when no scaler can be made.
  bool ToBitmap(const AVFrame* picture);
  // Writes the bitmap back into dst (same size; dst's format), which must be writable.
  // False when no scaler can be made.
  bool FromBitmap(AVFrame* dst);
  TBitmap& Bitmap() { return bitmap_; }
  void Reset();

 private:
  TBitmap bitmap_;
  SwsContext* toRGB_ = nullptr;    // owned; cached by sws_getCachedContext
  SwsContext* fromRGB_ = nullptr;  // owned
 public:
  TPictureConverter() = default;
  TPictureConverter(const TPictureConverter&) = delete;
  TPictureConverter& operator=(const TPictureConverter&) = delete;
  ~TPictureConverter() { Reset(); }
};

}  // namespace quenza
