#pragma once
// Converts pictures to the 24-bit bitmap of hooks and previews and back, with cached
// scaler contexts (re-created only when size or format change) and buffers that only
// grow, so steady-state conversion allocates nothing. Large pictures are converted in
// two bands at once, the lower one on a helper thread.
//
// The way back converts only the rows the bitmap's user changed: the others are copied
// from the original picture, so an untouched picture comes back exactly as it was.

#include <functional>
#include <memory>
#include <vector>

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

  // Fills the bitmap from the picture; false when no scaler can be made. With
  // snapshot, the bitmap's content is also kept for FromBitmap to compare against.
  bool ToBitmap(const AVFrame* picture, bool snapshot = false);
  // Writes the picture back into out (original's size and format, writable): rows changed
  // since ToBitmap(original, true) are converted from the bitmap, the others copied from
  // original. changed tells whether any row changed (out is then left untouched when
  // none did). False when no scaler can be made.
  bool FromBitmap(const AVFrame* original, AVFrame* out, bool& changed);
  TBitmap& Bitmap() { return bitmap_; }
  // Frees the scaler contexts and the helper thread.
  void Reset();

 private:
  // Rows per block of the way back; a multiple of every chroma height.
  static constexpr int kBlockRows = 16;

  // Runs body(band, y0, y1) for the upper band here and the lower one on the helper
  // thread when the picture is tall enough, else body(0, 0, height). No allocation.
  template <typename Body>
  void RunBands(int height, int align, const Body& body) {
    const int split = height >= kSplitHeight ? (height / 2) / align * align : 0;
    if (split <= 0 || split >= height) {
      body(0, 0, height);
      return;
    }
    if (!worker_) worker_ = std::make_unique<TBandWorker>();
    auto lower = [&] { body(1, split, height); };
    auto upper = [&] { body(0, 0, split); };
    worker_->RunBoth(std::ref(lower), std::ref(upper));
  }
  // Pictures at least this tall are split into two bands.
  static constexpr int kSplitHeight = 128;

  TBitmap bitmap_;
  std::vector<uint8_t> snapshot_;
  std::vector<char> changedBlocks_;
  SwsContext* to_[2] = {nullptr, nullptr};       // per band
  SwsContext* from_[2][2] = {{nullptr, nullptr}, {nullptr, nullptr}};  // per band: full block, last block
  std::unique_ptr<TBandWorker> worker_;
};

}  // namespace quenza
