#include "engine/Bitmap.h"

#include <algorithm>

namespace quenza {

void TBitmap::SetSize(int width, int height) {
  SetRowSource(nullptr, 0);
  width_ = width > 0 ? width : 0;
  height_ = height > 0 ? height : 0;
  stride_ = RowBytes(width_);
  const size_t need = static_cast<size_t>(stride_) * height_;
  if (pixels_.size() < need) pixels_.resize(need);
}

void TBitmap::SetRowSource(TBitmapRowSource* source, int blockRows) {
  source_ = blockRows > 0 ? source : nullptr;
  blockRows_ = source_ ? blockRows : 0;
  settled_ = 0;
  if (source_) blocks_.assign(static_cast<size_t>((height_ + blockRows_ - 1) / blockRows_), 0);
  if (source_ && blocks_.empty()) settled_ = kBlockMade | kBlockWritten;
}

uint8_t TBitmap::BlockState(int b) const {
  if (!source_) return kBlockMade | kBlockWritten;
  return b >= 0 && static_cast<size_t>(b) < blocks_.size() ? blocks_[static_cast<size_t>(b)] : 0;
}

uint8_t* TBitmap::Need(int y0, int y1, uint8_t access) const {
  y0 = std::clamp(y0, 0, height_);
  y1 = std::clamp(y1, y0, height_);
  uint8_t* const row = const_cast<uint8_t*>(pixels_.data()) + static_cast<size_t>(y0) * stride_;
  if (!source_ || y0 == y1 || ((kBlockMade | access) & ~settled_) == 0) return row;
  MakeBlocks(y0 / blockRows_, (y1 + blockRows_ - 1) / blockRows_, access);
  return row;
}

void TBitmap::MakeAll(uint8_t access) const {
  MakeBlocks(0, static_cast<int>(blocks_.size()), access);
  settled_ |= kBlockMade | access;
}

void TBitmap::MakeBlocks(int b0, int b1, uint8_t access) const {
  // Runs of blocks not made yet go to the source in one call each.
  for (int b = b0; b < b1;) {
    if (blocks_[static_cast<size_t>(b)] & kBlockMade) {
      ++b;
      continue;
    }
    int e = b + 1;
    while (e < b1 && !(blocks_[static_cast<size_t>(e)] & kBlockMade)) ++e;
    if (source_->MakeRows(b * blockRows_, std::min(height_, e * blockRows_))) {
      for (uint8_t& s : blocks_) s |= kBlockMade;
      settled_ |= kBlockMade;
      break;
    }
    for (int i = b; i < e; ++i) blocks_[static_cast<size_t>(i)] |= kBlockMade;
    b = e;
  }
  for (int b = b0; b < b1; ++b) blocks_[static_cast<size_t>(b)] |= kBlockMade | access;
}

}  // namespace quenza
