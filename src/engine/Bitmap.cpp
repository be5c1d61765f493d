#include "engine/Bitmap.h"

namespace quenza {

void TBitmap::SetSize(int width, int height) {
  width_ = width > 0 ? width : 0;
  height_ = height > 0 ? height : 0;
  stride_ = RowBytes(width_);
  const size_t need = static_cast<size_t>(stride_) * height_;
  if (pixels_.size() < need) pixels_.resize(need);
}

}  // namespace quenza
