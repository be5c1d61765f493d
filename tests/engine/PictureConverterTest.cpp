#include <gtest/gtest.h>

#include <cstring>

#include "engine/PictureConverter.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace quenza {
namespace {

AVFramePtr Picture(int w, int h) {
  AVFramePtr f(av_frame_alloc());
  f->format = AV_PIX_FMT_YUV420P;
  f->width = w;
  f->height = h;
  EXPECT_GE(av_frame_get_buffer(f.get(), 0), 0);
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < (p ? (h + 1) / 2 : h); ++y)
      for (int x = 0; x < (p ? (w + 1) / 2 : w); ++x)
        f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(p ? 128 : 16 + (x * 3 + y * 5) % 200);
  return f;
}

bool RowsEqual(const AVFrame* a, const AVFrame* b, int y0, int y1) {
  for (int y = y0; y < y1; ++y)
    if (std::memcmp(a->data[0] + y * a->linesize[0], b->data[0] + y * b->linesize[0], a->width)) return false;
  return true;
}

TEST(PictureConverter, OnlyChangedRowsAreConvertedBack) {
  for (int height : {64, 480, 243}) {  // one band, two bands, odd height
    AVFramePtr src = Picture(320, height);
    AVFramePtr out = Picture(320, height);
    std::memset(out->data[0], 0, static_cast<size_t>(out->linesize[0]) * height);
    TPictureConverter conv;
    ASSERT_TRUE(conv.ToBitmap(src.get(), true));
    bool changed = true;
    ASSERT_TRUE(conv.FromBitmap(src.get(), out.get(), changed));
    EXPECT_FALSE(changed) << height << ": an untouched bitmap changes nothing";

    // Paint rows 40..42 white: only their block is converted, the rest is copied.
    for (int y = 40; y < 43; ++y) std::memset(conv.Bitmap().ScanLine(y), 255, 320 * 3);
    ASSERT_TRUE(conv.FromBitmap(src.get(), out.get(), changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(RowsEqual(src.get(), out.get(), 0, 32)) << height;
    EXPECT_TRUE(RowsEqual(src.get(), out.get(), 48, height)) << height;
    for (int y = 40; y < 43; ++y) EXPECT_GE(out->data[0][y * out->linesize[0] + 100], 234) << height << " row " << y;
    EXPECT_LT(std::abs(out->data[0][35 * out->linesize[0] + 7] - src->data[0][35 * src->linesize[0] + 7]), 3)
        << "converted rows of the block keep their picture";
  }
}

}  // namespace
}  // namespace quenza
