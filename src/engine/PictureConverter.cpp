#include "engine/PictureConverter.h"

#include <algorithm>
#include <atomic>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace quenza {

namespace {

const TYuvCoefficients* RowCoefficients(int format) {
  // As swscale takes them without colour details: BT.601, range from the format.
  if (format == AV_PIX_FMT_YUV420P) return &kYuvLimitedRange;
  if (format == AV_PIX_FMT_YUVJ420P) return &kYuvFullRange;
  return nullptr;
}

const uint8_t* PlaneRow(const AVFrame* picture, int plane, int row) {
  return picture->data[plane] + static_cast<ptrdiff_t>(row) * picture->linesize[plane];
}

}  // namespace

void TPictureConverter::Reset() {
  worker_.reset();
  for (SwsContext*& c : to_) {
    sws_freeContext(c);
    c = nullptr;
  }
  for (auto& band : from_)
    for (SwsContext*& c : band) {
      sws_freeContext(c);
      c = nullptr;
    }
}

TYuvRowPair TPictureConverter::RowPair(const AVFrame* pic, int y, int y1) {
  return {{PlaneRow(pic, 0, y), y + 1 < y1 ? PlaneRow(pic, 0, y + 1) : nullptr},
          PlaneRow(pic, 1, y >> 1),
          PlaneRow(pic, 2, y >> 1),
          pic->width};
}

bool TPictureConverter::Prepare(const AVFrame* pic, bool snapshot) {
  EndBitmap();
  makeFailed_ = false;
  const int width = pic->width, height = pic->height;
  bitmap_.SetSize(width, height);
  rowCoefficients_ = rows_ ? RowCoefficients(pic->format) : nullptr;
  // The way back converts the original again to compare: cheaper than a snapshot, which
  // costs more in memory traffic than the conversion in arithmetic.
  kept_ = snapshot && !rowCoefficients_;
  if (rowCoefficients_ || pic->format == AV_PIX_FMT_BGR24) return true;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(pic->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  if (!desc) {
    kept_ = false;
    return false;
  }
  // Two bands, each with its own scaler; the split is a multiple of every chroma height.
  const int align = 2 << desc->log2_chroma_h;
  split_ = height >= kSplitHeight ? (height / 2) / align * align : height;
  for (int band = 0; band < (split_ < height ? 2 : 1); ++band) {
    const int h = band ? height - split_ : split_;
    to_[band] = sws_getCachedContext(to_[band], width, h, fmt, width, h, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr,
                                     nullptr, nullptr);
    if (!to_[band]) {
      kept_ = false;
      return false;
    }
  }
  return true;
}

bool TPictureConverter::ToBitmap(const AVFrame* pic, bool snapshot) {
  if (!Prepare(pic, snapshot)) return false;
  if (rowCoefficients_) {
    RowsToBitmap(pic, 0, pic->height);
    return true;
  }
  return ScaleToBitmap(pic);
}

bool TPictureConverter::BeginBitmap(const AVFrame* pic) {
  if (!Prepare(pic, true)) return false;
  source_ = pic;
  bitmap_.SetRowSource(this, kBlockRows);
  return true;
}

void TPictureConverter::EndBitmap() {
  bitmap_.SetRowSource(nullptr, 0);
  source_ = nullptr;
}

bool TPictureConverter::MakeRows(int y0, int y1) {
  if (rowCoefficients_) {
    RowsToBitmap(source_, y0, y1);
    return false;
  }
  if (!ScaleToBitmap(source_)) makeFailed_ = true;
  return true;
}

void TPictureConverter::RowsToBitmap(const AVFrame* pic, int y0, int y1) {
  const int first = y0 / kBlockRows;
  Share(pic->height, (y1 - y0 + kBlockRows - 1) / kBlockRows, [&](int item, int) {
    const int b = first + item;
    const int end = std::min(y1, (b + 1) * kBlockRows);
    for (int y = b * kBlockRows; y < end; y += 2) {
      uint8_t* const out[2] = {bitmap_.RawScanLine(y), y + 1 < end ? bitmap_.RawScanLine(y + 1) : nullptr};
      rows_->convert(RowPair(pic, y, end), out, *rowCoefficients_);
    }
  });
}

bool TPictureConverter::ScaleToBitmap(const AVFrame* pic) {
  const int width = pic->width, height = pic->height;
  const size_t stride = static_cast<size_t>(bitmap_.Stride());
  uint8_t* const bits = bitmap_.RawScanLine(0);
  if (kept_ && snapshot_.size() < stride * height) snapshot_.resize(stride * height);
  auto keep = [&](int y0, int y1) { std::memcpy(snapshot_.data() + y0 * stride, bits + y0 * stride, (y1 - y0) * stride); };
  if (pic->format == AV_PIX_FMT_BGR24) {
    const int row = width * 3;
    for (int y = 0; y < height; ++y)
      std::memcpy(bits + y * stride, pic->data[0] + static_cast<ptrdiff_t>(y) * pic->linesize[0], row);
    if (kept_) keep(0, height);
    return true;
  }
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(pic->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  const int planes = std::min(av_pix_fmt_count_planes(fmt), 4);
  bool ok[2] = {true, true};
  Share(height, split_ < height ? 2 : 1, [&](int band, int) {
    const int y0 = band ? split_ : 0, y1 = band ? height : split_;
    const int h = y1 - y0;
    int shift[4] = {}, srcStride[4] = {};
    for (int p = 0; p < planes; ++p) {
      shift[p] = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
      srcStride[p] = pic->linesize[p];
    }
    uint8_t* dst[4] = {bits + y0 * stride, nullptr, nullptr, nullptr};
    int dstStride[4] = {bitmap_.Stride(), 0, 0, 0};
    // With a snapshot the band goes in slices (a multiple of every chroma height), each
    // copied as soon as the scaler has written it. Scaled paths may lag behind the input.
    const int sliceRows = kept_ ? kSliceRows : h;
    int done = 0;
    for (int s = 0; s < h; s += sliceRows) {
      const int n = std::min(sliceRows, h - s);
      const uint8_t* src[4] = {};
      for (int p = 0; p < planes; ++p) src[p] = PlaneRow(pic, p, (y0 + s) >> shift[p]);
      const int rows = sws_scale(to_[band], src, srcStride, s, n, dst, dstStride);
      if (rows < 0) {
        ok[band] = false;
        return;
      }
      if (kept_) {
        const int upTo = std::min(h, done + rows);
        keep(y0 + done, y0 + upTo);
        done = upTo;
      }
    }
    if (kept_ && done < h) keep(y0 + done, y1);
  });
  if (!ok[0] || !ok[1]) kept_ = false;
  return ok[0] && ok[1];
}

bool TPictureConverter::RowsChanged(const AVFrame* original, int y0, int y1) const {
  if (rowCoefficients_) {
    for (int y = y0; y < y1; y += 2) {
      const uint8_t* const now[2] = {bitmap_.RawScanLine(y), y + 1 < y1 ? bitmap_.RawScanLine(y + 1) : nullptr};
      if (rows_->differs(RowPair(original, y, y1), now, *rowCoefficients_)) return true;
    }
    return false;
  }
  if (!kept_) return true;
  const size_t stride = static_cast<size_t>(bitmap_.Stride());
  const size_t rowBytes = static_cast<size_t>(original->width) * 3;
  const uint8_t* now = bitmap_.RawScanLine(y0);
  const uint8_t* was = snapshot_.data() + y0 * stride;
  if (rowBytes == stride) return std::memcmp(now, was, (y1 - y0) * stride) != 0;
  for (int y = y0; y < y1; ++y, now += stride, was += stride)
    if (std::memcmp(now, was, rowBytes) != 0) return true;
  return false;
}

bool TPictureConverter::BlockFromBitmap(int thread, AVFrame* out, int y0, int y1) {
  const int width = out->width, h = y1 - y0;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(out->format);
  if (fmt == AV_PIX_FMT_BGR24) {
    for (int y = y0; y < y1; ++y)
      std::memcpy(out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0], bitmap_.RawScanLine(y),
                  static_cast<size_t>(width) * 3);
    return true;
  }
  SwsContext*& ctx = from_[thread][h == kBlockRows ? 0 : 1];
  ctx = sws_getCachedContext(ctx, width, h, AV_PIX_FMT_BGR24, width, h, fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!ctx) return false;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  const uint8_t* src[4] = {bitmap_.RawScanLine(y0), nullptr, nullptr, nullptr};
  int srcStride[4] = {bitmap_.Stride(), 0, 0, 0};
  uint8_t* dst[4] = {};
  int dstStride[4] = {};
  for (int p = 0; p < std::min(av_pix_fmt_count_planes(fmt), 4); ++p) {
    const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
    dst[p] = out->data[p] + static_cast<ptrdiff_t>(y0 >> shift) * out->linesize[p];
    dstStride[p] = out->linesize[p];
  }
  return sws_scale(ctx, src, srcStride, 0, h, dst, dstStride) >= 0;
}

void TPictureConverter::CopyBlock(const AVFrame* original, AVFrame* out, int b) const {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(original->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  const int y0 = b * kBlockRows, y1 = std::min(original->height, y0 + kBlockRows);
  for (int p = 0; p < std::min(av_pix_fmt_count_planes(fmt), 4); ++p) {
    if (out->data[p] == original->data[p] && out->linesize[p] == original->linesize[p]) continue;  // same picture
    const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
    const int bytes = av_image_get_linesize(fmt, original->width, p);
    for (int r = y0 >> shift, r1 = -((-y1) >> shift); r < r1; ++r)
      std::memcpy(out->data[p] + static_cast<ptrdiff_t>(r) * out->linesize[p], PlaneRow(original, p, r), bytes);
  }
}

bool TPictureConverter::FromBitmap(const AVFrame* original, AVFrame* out, bool& changed) {
  const int height = original->height;
  const int blocks = (height + kBlockRows - 1) / kBlockRows;
  changedBlocks_.assign(static_cast<size_t>(blocks), 0);
  changed = false;
  if (makeFailed_ || !av_pix_fmt_desc_get(static_cast<AVPixelFormat>(original->format))) return false;
  bool anyWritten = false;
  for (int b = 0; b < blocks && !anyWritten; ++b) anyWritten = (bitmap_.BlockState(b) & TBitmap::kBlockWritten) != 0;
  if (!anyWritten) return true;
  // Each block is checked and, when changed, converted; out is written only there.
  // Blocks never share rows of any plane, so out may be original. Bottom up: the rows
  // ToBitmap wrote last are still in cache, and the top of the picture is for the encoder.
  std::atomic<bool> failed{false};
  bool any[2] = {false, false};  // per thread
  Share(height, blocks, [&](int item, int thread) {
    const int b = blocks - 1 - item;
    const int y0 = b * kBlockRows, y1 = std::min(height, y0 + kBlockRows);
    // Blocks nobody asked for with write access are as they were made (or never made).
    if (!(bitmap_.BlockState(b) & TBitmap::kBlockWritten)) return;
    if (failed.load(std::memory_order_relaxed) || !RowsChanged(original, y0, y1)) return;
    changedBlocks_[b] = 1;
    any[thread] = true;
    if (!BlockFromBitmap(thread, out, y0, y1)) failed = true;
  });
  changed = any[0] || any[1];
  if (failed) return false;
  if (changed)
    Share(height, blocks, [&](int b, int) {
      if (!changedBlocks_[b]) CopyBlock(original, out, b);
    });
  return true;
}

}  // namespace quenza
