#include "engine/PictureConverter.h"

#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace quenza {

namespace {
// Pictures at least this tall are split into two bands.
constexpr int kSplitHeight = 128;
}  // namespace

void TPictureConverter::Direction::Free() {
  for (SwsContext*& c : band) {
    sws_freeContext(c);
    c = nullptr;
  }
}

void TPictureConverter::Reset() {
  worker_.reset();
  to_.Free();
  from_.Free();
}

bool TPictureConverter::Convert(Direction& dir, const AVFrame* pic, AVFrame* out, bool toBitmap) {
  const AVFrame* yuv = toBitmap ? pic : out;
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(yuv->format);
  const int width = yuv->width, height = yuv->height;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  if (!desc) return false;
  // Band boundary on a row that starts a chroma row too.
  const int align = 2 << desc->log2_chroma_h;
  int split = height >= kSplitHeight ? (height / 2) / align * align : height;
  const int planes = av_pix_fmt_count_planes(fmt);

  auto band = [&](int b) -> bool {
    const int y0 = b == 0 ? 0 : split;
    const int h = b == 0 ? split : height - split;
    const AVPixelFormat src = toBitmap ? fmt : AV_PIX_FMT_BGR24;
    const AVPixelFormat dst = toBitmap ? AV_PIX_FMT_BGR24 : fmt;
    dir.band[b] = sws_getCachedContext(dir.band[b], width, h, src, width, h, dst, SWS_BICUBIC, nullptr, nullptr,
                                       nullptr);
    if (!dir.band[b]) return false;
    const uint8_t* yuvData[4] = {};
    uint8_t* yuvOut[4] = {};
    int yuvStride[4] = {};
    for (int p = 0; p < planes && p < 4; ++p) {
      const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
      const ptrdiff_t offset = static_cast<ptrdiff_t>(y0 >> shift) * yuv->linesize[p];
      yuvData[p] = yuv->data[p] + offset;
      yuvOut[p] = yuv->data[p] + offset;
      yuvStride[p] = yuv->linesize[p];
    }
    uint8_t* bmp[4] = {bitmap_.ScanLine(y0), nullptr, nullptr, nullptr};
    const uint8_t* bmpIn[4] = {bitmap_.ScanLine(y0), nullptr, nullptr, nullptr};
    int bmpStride[4] = {bitmap_.Stride(), 0, 0, 0};
    if (toBitmap)
      sws_scale(dir.band[b], yuvData, yuvStride, 0, h, bmp, bmpStride);
    else
      sws_scale(dir.band[b], bmpIn, bmpStride, 0, h, yuvOut, yuvStride);
    return true;
  };

  if (split >= height || split <= 0) {
    split = height;
    return band(0);
  }
  if (!worker_) worker_ = std::make_unique<TBandWorker>();
  bool ok0 = false, ok1 = false;
  const std::function<void()> lower = [&] { ok1 = band(1); };
  const std::function<void()> upper = [&] { ok0 = band(0); };
  worker_->RunBoth(lower, upper);
  return ok0 && ok1;
}

bool TPictureConverter::ToBitmap(const AVFrame* pic) {
  bitmap_.SetSize(pic->width, pic->height);
  if (pic->format == AV_PIX_FMT_BGR24) {
    // Rows are copied as they are.
    const int row = pic->width * 3;
    for (int y = 0; y < pic->height; ++y)
      std::memcpy(bitmap_.ScanLine(y), pic->data[0] + static_cast<ptrdiff_t>(y) * pic->linesize[0], row);
    return true;
  }
  return Convert(to_, pic, nullptr, true);
}

bool TPictureConverter::FromBitmap(AVFrame* out) {
  if (out->format == AV_PIX_FMT_BGR24) {
    const int row = out->width * 3;
    for (int y = 0; y < out->height; ++y)
      std::memcpy(out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0], bitmap_.ScanLine(y), row);
    return true;
  }
  return Convert(from_, nullptr, out, false);
}

}  // namespace quenza
