#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/PictureConverter.h"
#include "engine/YuvToBgr.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace quenza {
namespace {

// Every plane of any planar format, chroma varying so that misplaced chroma rows show;
// all zero when blank.
AVFramePtr PictureOf(AVPixelFormat format, int w, int h, bool blank = false) {
  AVFramePtr f(av_frame_alloc());
  f->format = format;
  f->width = w;
  f->height = h;
  EXPECT_GE(av_frame_get_buffer(f.get(), 0), 0);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  for (int p = 0; p < av_pix_fmt_count_planes(format); ++p) {
    const int rows = (p == 1 || p == 2) ? -((-h) >> desc->log2_chroma_h) : h;
    const int bytes = av_image_get_linesize(format, w, p);
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < bytes; ++x)
        f->data[p][y * f->linesize[p] + x] =
            blank ? 0 : static_cast<uint8_t>(p ? 112 + (x + 3 * y) % 32 : 16 + (x * 3 + y * 5) % 200);
  }
  return f;
}

// Luma rows y0..y1 and their chroma rows equal in every plane.
bool PlanesEqual(const AVFrame* a, const AVFrame* b, int y0, int y1) {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(a->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
  for (int p = 0; p < av_pix_fmt_count_planes(fmt); ++p) {
    const int shift = (p == 1 || p == 2) ? desc->log2_chroma_h : 0;
    const int bytes = av_image_get_linesize(fmt, a->width, p);
    for (int r = -((-y0) >> shift); r < -((-y1) >> shift); ++r)
      if (std::memcmp(a->data[p] + r * a->linesize[p], b->data[p] + r * b->linesize[p], bytes)) return false;
  }
  return true;
}

bool RowsEqual(const AVFrame* a, const AVFrame* b, int y0, int y1) {
  for (int y = y0; y < y1; ++y)
    if (std::memcmp(a->data[0] + y * a->linesize[0], b->data[0] + y * b->linesize[0], a->width)) return false;
  return true;
}

TEST(PictureConverter, OnlyChangedRowsAreConvertedBack) {
  for (int height : {64, 480, 243}) {  // one band, two bands, odd height
    AVFramePtr src = PictureOf(AV_PIX_FMT_YUV420P, 320, height);
    AVFramePtr out = PictureOf(AV_PIX_FMT_YUV420P, 320, height);
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

TEST(PictureConverter, SnapshotLeavesTheBitmapAsAPlainConversion) {
  struct Case {
    AVPixelFormat format;
    int width, height;
  };
  // One band, two bands, odd height (scaler lags behind its slices), semi-planar chroma.
  for (const Case& c : {Case{AV_PIX_FMT_YUV420P, 320, 64}, Case{AV_PIX_FMT_YUV420P, 322, 480},
                        Case{AV_PIX_FMT_YUV420P, 320, 243}, Case{AV_PIX_FMT_NV12, 320, 250},
                        Case{AV_PIX_FMT_YUV422P, 320, 200}}) {
    const std::string name = std::string(av_get_pix_fmt_name(c.format)) + " " + std::to_string(c.width) + "x" +
                             std::to_string(c.height);
    AVFramePtr src = PictureOf(c.format, c.width, c.height);
    TPictureConverter plain, kept;
    ASSERT_TRUE(plain.ToBitmap(src.get()));
    ASSERT_TRUE(kept.ToBitmap(src.get(), true));
    const size_t rowBytes = static_cast<size_t>(c.width) * 3;
    int differing = 0;
    for (int y = 0; y < c.height; ++y)
      differing += std::memcmp(plain.Bitmap().ScanLine(y), kept.Bitmap().ScanLine(y), rowBytes) != 0;
    EXPECT_EQ(differing, 0) << name;

    AVFramePtr out = PictureOf(c.format, c.width, c.height);
    bool changed = true;
    ASSERT_TRUE(kept.FromBitmap(src.get(), out.get(), changed));
    EXPECT_FALSE(changed) << name << ": the snapshot matches the whole bitmap";
  }
}

TEST(PictureConverter, EverySingleByteChangeIsFound) {
  struct Case {
    const char* name;
    AVPixelFormat format;  // 4:2:0 compares with a conversion again, others with a snapshot
    int width, height;
    int y, byte;   // byte within the row; -1 the row's last pixel byte
    bool inPlace;  // out is the original picture
  };
  const Case cases[] = {
      {"first byte", AV_PIX_FMT_YUV420P, 320, 480, 0, 0, false},
      {"last pixel of a block", AV_PIX_FMT_YUV420P, 320, 480, 15, -1, false},
      {"first row of the lower half", AV_PIX_FMT_YUV420P, 320, 480, 240, 0, false},
      {"last pixel of the picture", AV_PIX_FMT_YUV420P, 320, 480, 479, -1, false},
      {"partial last block", AV_PIX_FMT_YUV420P, 320, 243, 242, -1, false},
      {"padded rows, last pixel", AV_PIX_FMT_YUV420P, 322, 480, 300, -1, false},
      {"padded rows, small picture", AV_PIX_FMT_YUV420P, 322, 64, 47, -1, false},
      {"width not a multiple of 32", AV_PIX_FMT_YUV420P, 333, 200, 100, 3 * 320 + 1, false},
      {"full range", AV_PIX_FMT_YUVJ420P, 320, 480, 33, -1, false},
      {"in place", AV_PIX_FMT_YUV420P, 320, 480, 200, 7, true},
      {"snapshot: last pixel of a block", AV_PIX_FMT_YUV422P, 320, 480, 31, -1, false},
      {"snapshot: partial last block", AV_PIX_FMT_YUV422P, 322, 243, 242, -1, false},
      {"snapshot: in place", AV_PIX_FMT_YUV422P, 320, 480, 470, 0, true},
  };
  for (const Case& c : cases) {
    AVFramePtr src = PictureOf(c.format, c.width, c.height);
    AVFramePtr keep = PictureOf(c.format, c.width, c.height);
    AVFramePtr blank = PictureOf(c.format, c.width, c.height, true);
    AVFrame* out = c.inPlace ? src.get() : blank.get();
    TPictureConverter conv;
    ASSERT_TRUE(conv.ToBitmap(src.get(), true));
    const int byte = c.byte < 0 ? c.width * 3 - 1 : c.byte;
    conv.Bitmap().ScanLine(c.y)[byte] ^= 0x80;
    bool changed = false;
    ASSERT_TRUE(conv.FromBitmap(src.get(), out, changed));
    EXPECT_TRUE(changed) << c.name;
    const int block0 = c.y / 16 * 16, block1 = std::min(c.height, block0 + 16);
    EXPECT_TRUE(PlanesEqual(keep.get(), out, 0, block0)) << c.name << ": blocks above copied";
    EXPECT_TRUE(PlanesEqual(keep.get(), out, block1, c.height)) << c.name << ": blocks below copied";
    // The changed block is converted: close to the original, except for the edited pixel.
    double error = 0;
    for (int y = block0; y < block1; ++y)
      for (int x = 0; x < c.width; ++x)
        if (y != c.y || x != byte / 3)
          error += std::abs(out->data[0][y * out->linesize[0] + x] - keep->data[0][y * keep->linesize[0] + x]);
    error /= (block1 - block0) * c.width - 1;
    EXPECT_LT(error, 4) << c.name;
    const uint8_t* edited = out->data[0] + c.y * out->linesize[0] + byte / 3;
    EXPECT_GT(std::abs(*edited - keep->data[0][c.y * keep->linesize[0] + byte / 3]), 8) << c.name;
  }
}

TEST(PictureConverter, PaddingIsNoChange) {
  AVFramePtr src = PictureOf(AV_PIX_FMT_YUV420P, 322, 480);
  AVFramePtr out = PictureOf(AV_PIX_FMT_YUV420P, 322, 480);
  TPictureConverter conv;
  ASSERT_TRUE(conv.ToBitmap(src.get(), true));
  ASSERT_GT(conv.Bitmap().Stride(), 322 * 3);
  for (int y = 0; y < 480; ++y) conv.Bitmap().ScanLine(y)[322 * 3] ^= 0xff;
  bool changed = true;
  ASSERT_TRUE(conv.FromBitmap(src.get(), out.get(), changed));
  EXPECT_FALSE(changed);
}

TEST(PictureConverter, BitmapMatchesTheScaler) {
  // Row conversion, where the CPU has it, stays within a few levels of swscale's colours.
  for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}) {
    AVFramePtr src = PictureOf(format, 333, 200);
    for (int y = 0; y < 200; ++y)  // the whole luma range, so that clipping is covered
      for (int x = 0; x < 333; ++x) src->data[0][y * src->linesize[0] + x] = static_cast<uint8_t>(x + y);
    TPictureConverter conv;
    ASSERT_TRUE(conv.ToBitmap(src.get()));
    SwsContext* scaler = sws_getContext(333, 200, format, 333, 200, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr,
                                        nullptr);
    ASSERT_NE(scaler, nullptr);
    std::vector<uint8_t> expected(static_cast<size_t>(conv.Bitmap().Stride()) * 200);
    uint8_t* dst[4] = {expected.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {conv.Bitmap().Stride(), 0, 0, 0};
    EXPECT_EQ(sws_scale(scaler, src->data, src->linesize, 0, 200, dst, dstStride), 200);
    sws_freeContext(scaler);
    int worst = 0;
    for (int y = 0; y < 200; ++y)
      for (int i = 0; i < 333 * 3; ++i)
        worst = std::max(worst, std::abs(conv.Bitmap().ScanLine(y)[i] - expected[y * conv.Bitmap().Stride() + i]));
    EXPECT_LE(worst, 3) << av_get_pix_fmt_name(format);
  }
}

// Records the row ranges it is asked for and writes each row's number into its first byte.
struct TCountingSource : TBitmapRowSource {
  TBitmap* bitmap = nullptr;
  std::vector<std::pair<int, int>> calls;
  bool MakeRows(int y0, int y1) override {
    calls.emplace_back(y0, y1);
    for (int y = y0; y < y1; ++y) bitmap->RawScanLine(y)[0] = static_cast<uint8_t>(y);
    return false;
  }
};

TEST(Bitmap, RowsAreMadeOnDemandInBlocks) {
  TBitmap bitmap;
  bitmap.SetSize(8, 70);  // blocks of 16: 0..15, ..., 64..69
  TCountingSource source;
  source.bitmap = &bitmap;
  bitmap.SetRowSource(&source, 16);
  EXPECT_EQ(bitmap.BlockState(0), 0);

  EXPECT_EQ(bitmap.Rows(20, 30)[0], 20);
  EXPECT_EQ(bitmap.ConstRows(40, 41)[0], 40);
  EXPECT_EQ(bitmap.ConstRows(18, 19)[0], 18) << "made once";
  EXPECT_EQ(bitmap.Rows(75, 90), bitmap.RawScanLine(70)) << "rows past the end are clamped, nothing made";
  using Calls = std::vector<std::pair<int, int>>;
  EXPECT_EQ(source.calls, (Calls{{16, 32}, {32, 48}}));
  EXPECT_EQ(bitmap.BlockState(1), TBitmap::kBlockMade | TBitmap::kBlockWritten);
  EXPECT_EQ(bitmap.BlockState(2), TBitmap::kBlockMade) << "read only";
  EXPECT_EQ(bitmap.BlockState(3), 0);

  // Reading through a scan line makes the rest in runs, but writes nothing.
  const TBitmap& view = bitmap;
  EXPECT_EQ(view.ScanLine(69)[0], 69);
  EXPECT_EQ(source.calls, (Calls{{16, 32}, {32, 48}, {0, 16}, {48, 70}}));
  EXPECT_EQ(bitmap.BlockState(0), TBitmap::kBlockMade);
  EXPECT_EQ(bitmap.BlockState(1), TBitmap::kBlockMade | TBitmap::kBlockWritten);
  // A writable scan line reaches every row: all count as written.
  bitmap.ScanLine(3)[1] = 1;
  for (int b = 0; b < 5; ++b) EXPECT_EQ(bitmap.BlockState(b), TBitmap::kBlockMade | TBitmap::kBlockWritten) << b;
  EXPECT_EQ(source.calls.size(), 4u);

  bitmap.SetRowSource(nullptr, 0);
  bitmap.SetRowSource(&source, 16);
  bitmap.Bits();
  EXPECT_EQ(source.calls.back(), (std::pair<int, int>{0, 70})) << "attached again, all rows are to make";
}

TEST(PictureConverter, OnDemandBitmapConvertsOnlyWhatIsAskedFor) {
  struct Case {
    AVPixelFormat format;  // by rows, or by the scaler (all rows at the first request)
    int height;
  };
  for (const Case& c : {Case{AV_PIX_FMT_YUV420P, 480}, Case{AV_PIX_FMT_YUV420P, 243}, Case{AV_PIX_FMT_YUV422P, 240}}) {
    const std::string name = std::string(av_get_pix_fmt_name(c.format)) + " height " + std::to_string(c.height);
    AVFramePtr src = PictureOf(c.format, 320, c.height);
    AVFramePtr blank = PictureOf(c.format, 320, c.height, true);
    AVFramePtr keep = PictureOf(c.format, 320, c.height);
    TPictureConverter eager, conv;
    ASSERT_TRUE(eager.ToBitmap(src.get()));

    // Nothing asked for: no change, out untouched.
    ASSERT_TRUE(conv.BeginBitmap(src.get()));
    bool changed = true;
    ASSERT_TRUE(conv.FromBitmap(src.get(), blank.get(), changed));
    EXPECT_FALSE(changed) << name;
    EXPECT_TRUE(PlanesEqual(blank.get(), PictureOf(c.format, 320, c.height, true).get(), 0, c.height)) << name;
    conv.EndBitmap();

    // Rows read are the eager conversion's; rows only read are no change.
    ASSERT_TRUE(conv.BeginBitmap(src.get()));
    const int last = c.height - 1;
    EXPECT_EQ(std::memcmp(conv.Bitmap().ConstRows(last, c.height), eager.Bitmap().ScanLine(last), 320 * 3), 0) << name;
    EXPECT_EQ(std::memcmp(conv.Bitmap().ConstRows(100, 110), eager.Bitmap().ScanLine(100), 320 * 3 * 10), 0) << name;
    ASSERT_TRUE(conv.FromBitmap(src.get(), blank.get(), changed));
    EXPECT_FALSE(changed) << name;

    // A row edited through Rows: its block converted back, the others copied.
    std::memset(conv.Bitmap().Rows(200, 202), 255, conv.Bitmap().Stride() * 2);
    ASSERT_TRUE(conv.FromBitmap(src.get(), blank.get(), changed));
    EXPECT_TRUE(changed) << name;
    EXPECT_TRUE(PlanesEqual(keep.get(), blank.get(), 0, 192)) << name;
    EXPECT_TRUE(PlanesEqual(keep.get(), blank.get(), 208, c.height)) << name;
    EXPECT_GE(blank->data[0][201 * blank->linesize[0] + 50], 234) << name;
    EXPECT_FALSE(conv.MakeFailed());
    conv.EndBitmap();
    EXPECT_EQ(conv.Bitmap().BlockState(0), TBitmap::kBlockMade | TBitmap::kBlockWritten) << "detached";
  }
}

TEST(PictureConverter, RowVariantsAgree) {
  if (!CpuHasAvx2()) GTEST_SKIP() << "no AVX2";
  std::mt19937 random(7);
  for (int width : {1, 2, 31, 32, 33, 63, 64, 65, 333, 1280}) {
    const int chroma = (width + 1) / 2;
    std::vector<uint8_t> y0(width), y1(width), u(chroma), v(chroma);
    for (int kind = 0; kind < 3; ++kind) {  // random, then extremes so that every channel clips
      for (int i = 0; i < width; ++i) {
        y0[i] = kind == 0 ? static_cast<uint8_t>(random()) : kind == 1 ? 0 : 255;
        y1[i] = kind == 0 ? static_cast<uint8_t>(random()) : kind == 1 ? 255 : 0;
      }
      for (int i = 0; i < chroma; ++i) {
        u[i] = kind == 0 ? static_cast<uint8_t>(random()) : kind == 1 ? 0 : 255;
        v[i] = kind == 0 ? static_cast<uint8_t>(random()) : kind == 1 ? 255 : 0;
      }
      for (const TYuvCoefficients* k : {&kYuvLimitedRange, &kYuvFullRange})
        for (bool pair : {true, false}) {
          const TYuvRowPair rows{{y0.data(), pair ? y1.data() : nullptr}, u.data(), v.data(), width};
          std::vector<uint8_t> portable[2], avx2[2];
          for (auto* out : {portable, avx2})
            for (int r = 0; r < 2; ++r) out[r].assign(3 * width, 0x5a);
          uint8_t* const toPortable[2] = {portable[0].data(), portable[1].data()};
          uint8_t* const toAvx2[2] = {avx2[0].data(), avx2[1].data()};
          kPortableYuvToBgr.convert(rows, toPortable, *k);
          kAvx2YuvToBgr.convert(rows, toAvx2, *k);
          const std::string name = "width " + std::to_string(width) + " kind " + std::to_string(kind) +
                                   (pair ? " pair" : " single");
          EXPECT_EQ(portable[0], avx2[0]) << name;
          EXPECT_EQ(portable[1], avx2[1]) << name << ": a single row leaves the second alone";

          // Both compare against what they wrote, and find a change in the last byte.
          const uint8_t* const written[2] = {avx2[0].data(), avx2[1].data()};
          for (const TYuvToBgr* variant : {&kPortableYuvToBgr, &kAvx2YuvToBgr}) {
            EXPECT_FALSE(variant->differs(rows, written, *k)) << name;
            avx2[pair ? 1 : 0].back() ^= 1;
            EXPECT_TRUE(variant->differs(rows, written, *k)) << name;
            avx2[pair ? 1 : 0].back() ^= 1;
          }
        }
    }
  }
}

}  // namespace
}  // namespace quenza
