#include "engine/Deinterlace.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace quenza {

namespace {

void DeinterlacePlane(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int width, int height) {
  auto line = [&](int y) { return src + static_cast<ptrdiff_t>(std::clamp(y, 0, height - 1)) * srcStride; };
  for (int y = 0; y < height; ++y) {
    uint8_t* d = dst + static_cast<ptrdiff_t>(y) * dstStride;
    if ((y & 1) == 0) {
      std::memcpy(d, line(y), width);
      continue;
    }
    const uint8_t *m2 = line(y - 2), *m1 = line(y - 1), *c = line(y), *p1 = line(y + 1), *p2 = line(y + 2);
    for (int x = 0; x < width; ++x) {
      int v = (-m2[x] + 4 * m1[x] + 2 * c[x] + 4 * p1[x] - p2[x] + 4) >> 3;
      d[x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
  }
}

}  // namespace

bool DeinterlacePicture(AVFrame* dst, const AVFrame* src) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(src->format));
  if (!desc) return false;
  if (!(desc->flags & AV_PIX_FMT_FLAG_PLANAR) && desc->nb_components > 1) return false;
  if (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM))
    return false;
  for (int c = 0; c < desc->nb_components; ++c)
    if (desc->comp[c].depth != 8 || desc->comp[c].step != 1) return false;
  int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(src->format));
  for (int p = 0; p < planes; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int w = chroma ? AV_CEIL_RSHIFT(src->width, desc->log2_chroma_w) : src->width;
    const int h = chroma ? AV_CEIL_RSHIFT(src->height, desc->log2_chroma_h) : src->height;
    DeinterlacePlane(dst->data[p], dst->linesize[p], src->data[p], src->linesize[p], w, h);
  }
  return true;
}

}  // namespace quenza
