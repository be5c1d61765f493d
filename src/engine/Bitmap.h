#pragma once
// A 24-bit picture handed to frame hooks and previews: rows of blue, green, red bytes,
// top row first, each row padded to a multiple of 4 bytes. The GUI wraps it without
// copying (QImage::Format_BGR888 with the same stride).
//
// A bitmap can be made on demand: while a row source is attached, rows are made in
// blocks the first time they are asked for, and the blocks asked for with write access
// are recorded, so that whoever made the bitmap converts back only what may have changed.
// Bits() and ScanLine() hand out pointers from which any row can be reached, so they
// make the whole picture; Rows() and ConstRows() make only the rows asked for, and their
// callers keep to those rows. With a source attached the bitmap is for one thread at a
// time (the holder of the canvas lock).

#include <cstdint>
#include <mutex>
#include <vector>

namespace quenza {

class TBitmapRowSource {
 public:
  // Makes rows y0..y1-1 (whole blocks) of the bitmap; returns true when it made every
  // row of the picture instead.
  virtual bool MakeRows(int y0, int y1) = 0;

 protected:
  ~TBitmapRowSource() = default;
};

class TBitmap {
 public:
  enum : uint8_t { kBlockMade = 1, kBlockWritten = 2 };

  // Sets the size and detaches the row source; the pixel buffer only grows.
  void SetSize(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Bytes per row: width x 3 rounded up to 4.
  int Stride() const { return stride_; }
  uint8_t* Bits() { return All(kBlockWritten); }
  const uint8_t* Bits() const { return All(0); }
  uint8_t* ScanLine(int y) { return All(kBlockWritten) + static_cast<size_t>(y) * stride_; }
  const uint8_t* ScanLine(int y) const { return All(0) + static_cast<size_t>(y) * stride_; }
  // Row y0 of rows y0..y1-1, which are made (and recorded as written to) first.
  uint8_t* Rows(int y0, int y1) { return Need(y0, y1, kBlockWritten); }
  const uint8_t* ConstRows(int y0, int y1) const { return Need(y0, y1, 0); }
  // Row y as it is, never made on demand: for row sources and for the bitmap's maker.
  uint8_t* RawScanLine(int y) { return pixels_.data() + static_cast<size_t>(y) * stride_; }
  const uint8_t* RawScanLine(int y) const { return pixels_.data() + static_cast<size_t>(y) * stride_; }
  // Held while something draws on the bitmap from another thread.
  std::mutex& CanvasLock() { return canvasLock_; }

  // Attaches a source that makes rows in blocks of blockRows (all rows still to make);
  // nullptr detaches it, and rows never made keep older contents.
  void SetRowSource(TBitmapRowSource* source, int blockRows);
  // kBlockMade / kBlockWritten of block b while a source is attached; with none, every
  // block counts as made and written.
  uint8_t BlockState(int b) const;

  static int RowBytes(int width) { return (width * 3 + 3) & ~3; }

 private:
  uint8_t* All(uint8_t access) const {
    if (source_ && ((kBlockMade | access) & ~settled_) != 0) MakeAll(access);
    return const_cast<uint8_t*>(pixels_.data());
  }
  uint8_t* Need(int y0, int y1, uint8_t access) const;
  void MakeAll(uint8_t access) const;
  // Makes the blocks b0..b1-1 not made yet and adds access to their state.
  void MakeBlocks(int b0, int b1, uint8_t access) const;

  int width_ = 0, height_ = 0, stride_ = 0;
  std::vector<uint8_t> pixels_;
  std::mutex canvasLock_;
  TBitmapRowSource* source_ = nullptr;
  int blockRows_ = 0;
  // Per block: kBlockMade | kBlockWritten; settled_ holds the bits every block has.
  mutable std::vector<uint8_t> blocks_;
  mutable uint8_t settled_ = 0;
};

}  // namespace quenza
