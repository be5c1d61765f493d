#pragma once
// Converts pictures to the 24-bit bitmap of hooks and previews and back, with cached
// scaler contexts (re-created only when size or format change) and a bitmap that only
// grows, so steady-state conversion allocates nothing. Large pictures are converted
// in two bands at once, the lower one on a helper thread.

#include <memory>

#include "engine/AvPtr.h"
#include "engine/BandWorker.h"
#include "engine/Bitmap.h"

namespace quenza {

class TPictureConverter {
 public:
  TPictureConverter() = default;
  TPictureConverter(const TPictureConverter&) = delete;
  TPictureConverter& operator=(const TPictureConverter&) = delete;
  ~TPictureConverter() { Reset(); }

  // Fills the bitmap from the picture; false when no scaler can be made.
  bool ToBitmap(const AVFrame* picture);
  // Writes the bitmap back into dst (same size; dst's format), which must be writable.
  // False when no scaler can be made.
  bool FromBitmap(AVFrame* dst);
  TBitmap& Bitmap() { return bitmap_; }
  // Frees the scaler contexts and the helper thread.
  void Reset();

 private:
  // One direction: a context per band.
  struct Direction {
    SwsContext* band[2] = {nullptr, nullptr};
    void Free();
  };
  // Converts between the picture and the bitmap (toBitmap selects the direction).
  bool Convert(Direction& dir, const AVFrame* pic, AVFrame* out, bool toBitmap);

  TBitmap bitmap_;
  Direction to_, from_;
  std::unique_ptr<TBandWorker> worker_;
};

}  // namespace quenza
