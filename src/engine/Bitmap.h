#pragma once
// A 24-bit picture handed to frame hooks and previews: rows of blue, green, red bytes,
// top row first, each row padded to a multiple of 4 bytes. The GUI wraps it without
// copying (QImage::Format_BGR888 with the same stride).

#include <cstdint>
#include <mutex>
#include <vector>

namespace quenza {

class TBitmap {
 public:
  // Sets the size; the pixel buffer only grows.
  void SetSize(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Bytes per row: width x 3 rounded up to 4.
  int Stride() const { return stride_; }
  uint8_t* Bits() { return pixels_.data(); }
  const uint8_t* Bits() const { return pixels_.data(); }
  uint8_t* ScanLine(int y) { return pixels_.data() + static_cast<size_t>(y) * stride_; }
  const uint8_t* ScanLine(int y) const { return pixels_.data() + static_cast<size_t>(y) * stride_; }
  // Held while something draws on the bitmap from another thread.
  std::mutex& CanvasLock() { return canvasLock_; }

  static int RowBytes(int width) { return (width * 3 + 3) & ~3; }

 private:
  int width_ = 0, height_ = 0, stride_ = 0;
  std::vector<uint8_t> pixels_;
  std::mutex canvasLock_;
};

}  // namespace quenza
