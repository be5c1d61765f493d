#pragma once
// Converts pictures to the 24-bit bitmap of hooks and previews and back, with cached
// scaler contexts (re-created only when size or format change) and buffers that only
// grow, so steady-state conversion allocates nothing.
//
// The way back converts only the rows the bitmap's user changed: the others are copied
// from the original picture, so an untouched picture comes back exactly as it was. For
// hooks the bitmap is made on demand (Bitmap.h): rows nobody asks for cost nothing, and
// rows only read need no check on the way back.
// 4:2:0 pictures are converted row by row in fixed point where the CPU has a fast
// variant (YuvToBgr.h); the way back then finds changed rows by converting the original
// again, else it compares with a snapshot of the bitmap. The work is shared with a
// helper thread in blocks of rows.

#include <functional>
#include <memory>
#include <vector>

#include "engine/AvPtr.h"
#include "engine/BandWorker.h"
#include "engine/Bitmap.h"
#include "engine/YuvToBgr.h"

namespace quenza {

class TPictureConverter : private TBitmapRowSource {
 public:
  TPictureConverter() = default;
  TPictureConverter(const TPictureConverter&) = delete;
  TPictureConverter& operator=(const TPictureConverter&) = delete;
  ~TPictureConverter() { Reset(); }

  // Fills the bitmap from the picture; false when no scaler can be made. With
  // snapshot, FromBitmap can later tell which rows changed.
  bool ToBitmap(const AVFrame* picture, bool snapshot = false);
  // Makes the picture the bitmap's row source: rows are converted when first asked for,
  // and FromBitmap looks only at the rows asked for with write access. The picture must
  // stay valid until EndBitmap. False when no scaler can be made.
  bool BeginBitmap(const AVFrame* picture);
  // Detaches the picture from the bitmap.
  void EndBitmap();
  // Whether converting rows on demand failed since BeginBitmap.
  bool MakeFailed() const { return makeFailed_; }
  // Writes the picture back into out (original's size and format, writable; may be
  // original itself): rows changed since ToBitmap(original, true) or BeginBitmap(original)
  // are converted from the bitmap, the others copied from original. changed tells whether
  // any row changed (out is then left untouched when none did). False when no scaler can
  // be made.
  bool FromBitmap(const AVFrame* original, AVFrame* out, bool& changed);
  TBitmap& Bitmap() { return bitmap_; }
  // Frees the scaler contexts and the helper thread.
  void Reset();

 private:
  // Rows per block of the way back and of rows made on demand; a multiple of every
  // chroma height.
  static constexpr int kBlockRows = 16;
  // Rows per slice of the way there when a snapshot is kept: each slice is copied while
  // it is still in cache.
  static constexpr int kSliceRows = 32;

  // Sizes the bitmap and chooses the way of converting; false when no scaler can be made.
  bool Prepare(const AVFrame* picture, bool snapshot);
  bool MakeRows(int y0, int y1) override;
  // Converts rows y0..y1 (block bounds) of the 4:2:0 picture by rows.
  void RowsToBitmap(const AVFrame* picture, int y0, int y1);
  // Converts the whole picture with the scalers (and the snapshot when kept_).
  bool ScaleToBitmap(const AVFrame* picture);
  // Rows y and y + 1 (when below y1, y even) of the 4:2:0 picture.
  static TYuvRowPair RowPair(const AVFrame* picture, int y, int y1);
  // Whether rows y0..y1 (y0 even) of the bitmap differ from what was made from original
  // (padding ignored).
  bool RowsChanged(const AVFrame* original, int y0, int y1) const;
  // Converts rows y0..y1 of the bitmap into out; false when no scaler can be made.
  bool BlockFromBitmap(int thread, AVFrame* out, int y0, int y1);
  // Copies the rows of block b from original to out.
  void CopyBlock(const AVFrame* original, AVFrame* out, int b) const;

  // Runs body(item, thread) for items 0..count-1 shared with the helper thread (thread
  // 1) when the picture is tall enough, else all here (thread 0). No allocation.
  template <typename Body>
  void Share(int height, int count, const Body& body) {
    if (height < kSplitHeight || count < 2) {
      for (int i = 0; i < count; ++i) body(i, 0);
      return;
    }
    if (!worker_) worker_ = std::make_unique<TBandWorker>();
    worker_->Share(count, body);
  }
  // Pictures at least this tall are shared with the helper thread.
  static constexpr int kSplitHeight = 128;

  TBitmap bitmap_;
  const TYuvToBgr* rows_ = FastYuvToBgr();
  // How the bitmap is made: by rows with these coefficients, else by the scalers (two
  // bands split at split_), with the snapshot when kept_.
  const TYuvCoefficients* rowCoefficients_ = nullptr;
  bool kept_ = false;
  int split_ = 0;
  const AVFrame* source_ = nullptr;  // the picture rows are made from on demand
  bool makeFailed_ = false;
  std::vector<uint8_t> snapshot_;
  std::vector<char> changedBlocks_;
  SwsContext* to_[2] = {nullptr, nullptr};                            // per band
  SwsContext* from_[2][2] = {{nullptr, nullptr}, {nullptr, nullptr}};  // per thread: full block, last block
  std::unique_ptr<TBandWorker> worker_;
};

}  // namespace quenza
