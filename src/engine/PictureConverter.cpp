#include "engine/PictureConverter.h"

#include <cstring>

namespace quenza {

void TPictureConverter::Reset() {
  sws_freeContext(toRGB_);
  sws_freeContext(fromRGB_);
  toRGB_ = fromRGB_ = nullptr;
}

bool TPictureConverter::ToBitmap(const AVFrame* pic) {
  bitmap_.SetSize(pic->width, pic->height);
  uint8_t* dst[4] = {bitmap_.Bits(), nullptr, nullptr, nullptr};
  int dstStride[4] = {bitmap_.Stride(), 0, 0, 0};
  if (pic->format == AV_PIX_FMT_BGR24) {
    // Rows are copied as they are.
    const int row = pic->width * 3;
    for (int y = 0; y < pic->height; ++y)
      std::memcpy(bitmap_.ScanLine(y), pic->data[0] + static_cast<ptrdiff_t>(y) * pic->linesize[0], row);
    return true;
  }
  toRGB_ = sws_getCachedContext(toRGB_, pic->width, pic->height, static_cast<AVPixelFormat>(pic->format),
                                pic->width, pic->height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr,
                                nullptr);
  if (!toRGB_) return false;
  sws_scale(toRGB_, pic->data, pic->linesize, 0, pic->height, dst, dstStride);
  return true;
}

bool TPictureConverter::FromBitmap(AVFrame* out) {
  const uint8_t* src[4] = {bitmap_.Bits(), nullptr, nullptr, nullptr};
  int srcStride[4] = {bitmap_.Stride(), 0, 0, 0};
  if (out->format == AV_PIX_FMT_BGR24) {
    const int row = out->width * 3;
    for (int y = 0; y < out->height; ++y)
      std::memcpy(out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0], bitmap_.ScanLine(y), row);
    return true;
  }
  fromRGB_ = sws_getCachedContext(fromRGB_, out->width, out->height, AV_PIX_FMT_BGR24, out->width, out->height,
                                  static_cast<AVPixelFormat>(out->format), SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!fromRGB_) return false;
  sws_scale(fromRGB_, src, srcStride, 0, out->height, out->data, out->linesize);
  return true;
}

}  // namespace quenza
