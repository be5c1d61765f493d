#include "engine/PictureConverter.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace quenza {

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

bool TPictureConverter::ToBitmap(const AVFrame* pic, bool snapshot) {
  const int width = pic->width, height = pic->height;
  bitmap_.SetSize(width, height);
  const size_t bytes = static_cast<size_t>(bitmap_.Stride()) * height;
  if (snapshot && snapshot_.size() < bytes) snapshot_.resize(bytes);
  auto keep = [&](int y0, int y1) {
    if (snapshot)
      std::memcpy(snapshot_.data() + static_cast<size_t>(y0) * bitmap_.Stride(), bitmap_.ScanLine(y0),
                  static_cast<size_t>(y1 - y0) * bitmap_.Stride());
  };
  if (pic->format == AV_PIX_FMT_BGR24) {
    const int row = width * 3;
    for (int y = 0; y < height; ++y)
      std::memcpy(bitmap_.ScanLine(y), pic->data[0] + static_cast<ptrdiff_t>(y) * pic->linesize[0], row);
    keep(0, height);
    return true;
  }
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(pic->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  if (!desc) return false;
  const int planes = av_pix_fmt_count_planes(fmt);
  bool ok[2] = {true, true};
  RunBands(height, 2 << desc->log2_chroma_h, [&](int band, int y0, int y1) {
    const int h = y1 - y0;
    to_[band] = sws_getCachedContext(to_[band], width, h, fmt, width, h, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr,
                                     nullptr, nullptr);
    if (!to_[band]) {
      ok[band] = false;
      return;
    }
    const uint8_t* src[4] = {};
    int srcStride[4] = {};
    for (int p = 0; p < planes && p < 4; ++p) {
      const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
      src[p] = pic->data[p] + static_cast<ptrdiff_t>(y0 >> shift) * pic->linesize[p];
      srcStride[p] = pic->linesize[p];
    }
    uint8_t* dst[4] = {bitmap_.ScanLine(y0), nullptr, nullptr, nullptr};
    int dstStride[4] = {bitmap_.Stride(), 0, 0, 0};
    sws_scale(to_[band], src, srcStride, 0, h, dst, dstStride);
    keep(y0, y1);
  });
  return ok[0] && ok[1];
}

bool TPictureConverter::FromBitmap(const AVFrame* original, AVFrame* out, bool& changed) {
  const int width = original->width, height = original->height;
  const int stride = bitmap_.Stride();
  const int rowBytes = width * 3;
  const int blocks = (height + kBlockRows - 1) / kBlockRows;
  changedBlocks_.assign(static_cast<size_t>(blocks), 0);
  changed = false;
  for (int b = 0; b < blocks; ++b) {
    const int y1 = std::min(height, (b + 1) * kBlockRows);
    for (int y = b * kBlockRows; y < y1; ++y)
      if (std::memcmp(bitmap_.ScanLine(y), snapshot_.data() + static_cast<size_t>(y) * stride, rowBytes) != 0) {
        changedBlocks_[b] = 1;
        changed = true;
        break;
      }
  }
  if (!changed) return true;

  const AVPixelFormat fmt = static_cast<AVPixelFormat>(original->format);
  if (fmt == AV_PIX_FMT_BGR24) {
    for (int y = 0; y < height; ++y)
      std::memcpy(out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0], bitmap_.ScanLine(y), rowBytes);
    return true;
  }
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  if (!desc) return false;
  const int planes = av_pix_fmt_count_planes(fmt);
  int planeBytes[4] = {};
  for (int p = 0; p < planes && p < 4; ++p) planeBytes[p] = av_image_get_linesize(fmt, width, p);
  bool ok[2] = {true, true};
  // Bands split on block boundaries; each band converts or copies its blocks.
  RunBands(height, kBlockRows, [&](int band, int y0, int y1) {
    for (int b = y0 / kBlockRows; b * kBlockRows < y1; ++b) {
      const int by0 = b * kBlockRows, by1 = std::min(height, by0 + kBlockRows);
      const int h = by1 - by0;
      if (!changedBlocks_[b]) {
        for (int p = 0; p < planes && p < 4; ++p) {
          const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
          const int r0 = by0 >> shift, r1 = -((-by1) >> shift);
          for (int r = r0; r < r1; ++r)
            std::memcpy(out->data[p] + static_cast<ptrdiff_t>(r) * out->linesize[p],
                        original->data[p] + static_cast<ptrdiff_t>(r) * original->linesize[p], planeBytes[p]);
        }
        continue;
      }
      SwsContext*& ctx = from_[band][h == kBlockRows ? 0 : 1];
      ctx = sws_getCachedContext(ctx, width, h, AV_PIX_FMT_BGR24, width, h, fmt, SWS_BICUBIC, nullptr, nullptr,
                                 nullptr);
      if (!ctx) {
        ok[band] = false;
        return;
      }
      const uint8_t* src[4] = {bitmap_.ScanLine(by0), nullptr, nullptr, nullptr};
      int srcStride[4] = {stride, 0, 0, 0};
      uint8_t* dst[4] = {};
      int dstStride[4] = {};
      for (int p = 0; p < planes && p < 4; ++p) {
        const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
        dst[p] = out->data[p] + static_cast<ptrdiff_t>(by0 >> shift) * out->linesize[p];
        dstStride[p] = out->linesize[p];
      }
      sws_scale(ctx, src, srcStride, 0, h, dst, dstStride);
    }
  });
  return ok[0] && ok[1];
}

}  // namespace quenza
