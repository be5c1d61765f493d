#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "app/PictureEffects.h"
#include "engine/Bitmap.h"

namespace quenza {
namespace {

using Pixel = std::array<uint8_t, 3>;  // blue, green, red

int Clamp255(double v) { return static_cast<int>(std::clamp(v, 0.0, 255.0)); }

// Straightforward per-pixel versions of the two routines, written from the
// definitions without any of the folding the library does.
Pixel ReferenceColor(Pixel px, int b, int c, int s) {
  if (c == 100) c = 99;
  const double f = c > 0 ? 1.0 / std::cos(c * 0.015707963267948966) : std::cos(c * 0.015708);
  auto contrast = [&](int i) { return Clamp255(std::nearbyint((i - 170) * f + 170)); };
  auto brightness = [&](int j) { return contrast(std::clamp((b * (j - 1) + 256) / 256, 0, 255)); };
  auto weight = [&](int v) { return static_cast<uint16_t>(((v + 1) * s) >> 8); };
  const int grey = (px[0] + px[1] + px[2]) / 3;
  Pixel out;
  for (int ch = 0; ch < 3; ++ch) {
    const int sat = std::clamp(grey - weight(grey) + weight(px[ch]), 0, 255);
    out[ch] = static_cast<uint8_t>(brightness(sat));
  }
  return out;
}

uint8_t ReferenceExposure(int x, int exposure) {
  const double e = exposure;
  const auto k = static_cast<int64_t>(std::nearbyint((1 - std::exp((e / 128) * (x / -128.0))) * 256));
  const int64_t l = e >= 0 ? x + ((k * (255 - x)) >> 8) : x - ((-k * (255 - x)) >> 8);
  return static_cast<uint8_t>(std::clamp<int64_t>(l, 0, 255));
}

// A picture in a buffer with padded rows, stored top-down or bottom-up. Padding is
// filled with a marker so that writes past a row's pixels show.
class TestPicture {
 public:
  static constexpr uint8_t kPad = 0xA5;

  TestPicture(int width, int height, bool bottomUp)
      : width_(width), height_(height), stride_(width * 3 + 5), bottomUp_(bottomUp),
        data_(static_cast<size_t>(stride_) * height, kPad) {}

  uint8_t* Row(int y) {
    const int stored = bottomUp_ ? height_ - 1 - y : y;
    return data_.data() + static_cast<size_t>(stored) * stride_;
  }
  Pixel Get(int x, int y) { return {Row(y)[3 * x], Row(y)[3 * x + 1], Row(y)[3 * x + 2]}; }
  void Set(int x, int y, Pixel p) { std::copy(p.begin(), p.end(), Row(y) + 3 * x); }
  uint8_t* Row0() { return Row(0); }
  uint8_t* Row1() { return height_ > 1 ? Row(1) : nullptr; }
  int Width() const { return width_; }
  int Height() const { return height_; }

  bool PaddingIntact() {
    for (int y = 0; y < height_; ++y)
      for (int i = width_ * 3; i < stride_; ++i)
        if (Row(y)[i] != kPad) return false;
    return true;
  }
  std::vector<Pixel> Pixels() {
    std::vector<Pixel> out;
    for (int y = 0; y < height_; ++y)
      for (int x = 0; x < width_; ++x) out.push_back(Get(x, y));
    return out;
  }

 private:
  int width_, height_, stride_;
  bool bottomUp_;
  std::vector<uint8_t> data_;
};

// Every grey level, every level in each channel against fixed others, then noise.
TestPicture MakeVariedPicture(bool bottomUp, uint32_t seed = 1) {
  TestPicture pic(37, 23, bottomUp);
  std::mt19937 rng(seed);
  int n = 0;
  for (int y = 0; y < pic.Height(); ++y) {
    for (int x = 0; x < pic.Width(); ++x, ++n) {
      Pixel p;
      if (n < 256) {
        p = {uint8_t(n), uint8_t(n), uint8_t(n)};
      } else if (n < 512) {
        p = {uint8_t(n), 0, 255};
      } else if (n < 768) {
        p = {255, uint8_t(n), 0};
      } else {
        p = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
      }
      pic.Set(x, y, p);
    }
  }
  return pic;
}

Pixel ColorOne(Pixel p, int b, int c, int s) {
  TestPicture pic(1, 2, false);
  pic.Set(0, 0, p);
  pic.Set(0, 1, p);
  ApplyColorEffects(pic.Row0(), pic.Row1(), 1, 2, b, c, s);
  EXPECT_EQ(pic.Get(0, 1), pic.Get(0, 0));
  return pic.Get(0, 0);
}

uint8_t ExposeOne(uint8_t level, int e) {
  TestPicture pic(1, 2, true);
  pic.Set(0, 0, {level, level, level});
  pic.Set(0, 1, {level, level, level});
  ApplyExposure(pic.Row0(), pic.Row1(), 1, 2, e);
  const Pixel out = pic.Get(0, 0);
  EXPECT_TRUE(out[0] == out[1] && out[1] == out[2]);
  return out[0];
}

Pixel Grey(int v) { return {uint8_t(v), uint8_t(v), uint8_t(v)}; }

struct ColorCase {
  int b, c, s;
  Pixel in, out;
};

TEST(PictureEffects, ColorEffectsTabledValues) {
  const ColorCase cases[] = {
      {255, 0, 255, Grey(200), Grey(199)},
      {255, 0, 255, Grey(255), Grey(254)},
      {255, 0, 255, Grey(2), Grey(1)},
      {255, 0, 255, Grey(1), Grey(1)},
      {255, 0, 255, Grey(0), Grey(0)},
      {256, 0, 0, {30, 60, 90}, Grey(60)},
      {256, 0, 512, {10, 100, 200}, {0, 97, 255}},
      {256, 100, 256, Grey(167), Grey(0)},
      {256, 100, 256, Grey(168), Grey(43)},
      {256, 100, 256, Grey(169), Grey(106)},
      {256, 100, 256, Grey(170), Grey(170)},
      {256, 100, 256, Grey(171), Grey(234)},
      {256, 100, 256, Grey(172), Grey(255)},
      {256, 100, 256, Grey(0), Grey(0)},
      {256, 100, 256, Grey(255), Grey(255)},
      {256, -100, 256, Grey(0), Grey(170)},
      {256, -100, 256, Grey(255), Grey(170)},
      {256, -100, 256, {3, 128, 250}, Grey(170)},
      {512, 0, 256, Grey(0), Grey(0)},      // t = -1 clamps to 0
      {0, 0, 256, Grey(0), Grey(1)},        // t = 1
      {0, 0, 256, Grey(200), Grey(1)},      // b = 0: every level becomes 1
      {512, 0, 256, Grey(2), Grey(3)},
      {512, 0, 256, Grey(128), Grey(255)},
  };
  for (const ColorCase& k : cases) {
    SCOPED_TRACE(testing::Message() << "b=" << k.b << " c=" << k.c << " s=" << k.s << " in="
                                    << int(k.in[0]) << "," << int(k.in[1]) << "," << int(k.in[2]));
    EXPECT_EQ(ColorOne(k.in, k.b, k.c, k.s), k.out);
  }
}

TEST(PictureEffects, ContrastHundredIsNinetyNine) {
  uint8_t t100[256], t99[256];
  BuildContrastTable(100, t100);
  BuildContrastTable(99, t99);
  EXPECT_TRUE(std::equal(t100, t100 + 256, t99));
  const uint8_t middle[] = {43, 106, 170, 234};  // levels 168 .. 171
  for (int i = 0; i < 256; ++i) EXPECT_EQ(t100[i], i <= 167 ? 0 : i >= 172 ? 255 : middle[i - 168]) << i;
  uint8_t flat[256];
  BuildContrastTable(-100, flat);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(flat[i], 170) << i;
}

TEST(PictureEffects, BrightnessAt255LowersFromTwoUpByOne) {
  uint8_t t[256];
  BuildBrightnessTable(255, 0, t);
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[1], 1);
  for (int j = 2; j < 256; ++j) EXPECT_EQ(t[j], j - 1) << j;
}

TEST(PictureEffects, NeutralColorValuesLeaveEveryPixel) {
  for (int s : {255, 256}) {
    TestPicture pic = MakeVariedPicture(false);
    const auto before = pic.Pixels();
    ApplyColorEffects(pic.Row0(), pic.Row1(), pic.Width(), pic.Height(), 256, 0, s);
    EXPECT_EQ(pic.Pixels(), before) << "s=" << s;
    EXPECT_TRUE(pic.PaddingIntact());
  }
}

TEST(PictureEffects, ExposureTabledValues) {
  struct {
    int e, in, out;
  } const cases[] = {
      {100, 128, 196}, {-100, 128, 0}, {-100, 200, 69}, {512, 64, 228}, {512, 128, 252},
      {512, 0, 0},     {512, 255, 255}, {-255, 249, 0}, {-255, 0, 0},    {-255, 250, 11},
      {-255, 254, 203}, {-255, 255, 255}, {-100, 255, 255},
  };
  for (const auto& k : cases) EXPECT_EQ(ExposeOne(uint8_t(k.in), k.e), k.out) << "e=" << k.e << " in=" << k.in;
  uint8_t t[256];
  BuildExposureTable(-255, t);
  for (int i = 0; i <= 249; ++i) EXPECT_EQ(t[i], 0) << i;
  BuildExposureTable(0, t);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(t[i], i) << i;
}

TEST(PictureEffects, ColorEffectsMatchReferenceOverValueGrid) {
  const int bs[] = {0, 1, 128, 255, 256, 257, 400, 512};
  const int cs[] = {-100, -99, -50, -1, 0, 1, 37, 99, 100};
  const int ss[] = {0, 1, 100, 254, 255, 256, 257, 400, 511, 512};
  TestPicture source = MakeVariedPicture(false, 3);
  const auto in = source.Pixels();
  for (int b : bs)
    for (int c : cs)
      for (int s : ss) {
        TestPicture pic = MakeVariedPicture(false, 3);
        ApplyColorEffects(pic.Row0(), pic.Row1(), pic.Width(), pic.Height(), b, c, s);
        const auto out = pic.Pixels();
        for (size_t i = 0; i < in.size(); ++i) {
          const Pixel want = ReferenceColor(in[i], b, c, s);
          if (out[i] != want) {
            ADD_FAILURE() << "b=" << b << " c=" << c << " s=" << s << " pixel " << i;
            break;
          }
        }
        ASSERT_TRUE(pic.PaddingIntact());
      }
}

TEST(PictureEffects, ExposureMatchesReferenceForEveryValue) {
  for (int e = -255; e <= 512; ++e) {
    uint8_t t[256];
    BuildExposureTable(e, t);
    for (int x = 0; x < 256; ++x) ASSERT_EQ(t[x], ReferenceExposure(x, e)) << "e=" << e << " x=" << x;
  }
  TestPicture pic = MakeVariedPicture(true);
  const auto in = pic.Pixels();
  ApplyExposure(pic.Row0(), pic.Row1(), pic.Width(), pic.Height(), -37);
  const auto out = pic.Pixels();
  for (size_t i = 0; i < in.size(); ++i)
    for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(out[i][ch], ReferenceExposure(in[i][ch], -37)) << i;
  EXPECT_TRUE(pic.PaddingIntact());
}

TEST(PictureEffects, BottomUpAndTopDownGiveTheSameResult) {
  struct {
    int b, c, s, e;
  } const values[] = {{300, 20, 400, 60}, {255, 0, 255, 0}, {100, -40, 0, -80}, {512, 100, 512, 512}};
  for (const auto& v : values) {
    TestPicture down = MakeVariedPicture(false, 9);
    TestPicture up = MakeVariedPicture(true, 9);
    ASSERT_EQ(down.Pixels(), up.Pixels());
    for (TestPicture* p : {&down, &up}) {
      ApplyColorEffects(p->Row0(), p->Row1(), p->Width(), p->Height(), v.b, v.c, v.s);
      ApplyExposure(p->Row0(), p->Row1(), p->Width(), p->Height(), v.e);
      EXPECT_TRUE(p->PaddingIntact());
    }
    EXPECT_EQ(down.Pixels(), up.Pixels()) << v.b << " " << v.c << " " << v.s << " " << v.e;
  }
}

TEST(PictureEffects, FusedPassIsBitExactWithBothRoutines) {
  const int bs[] = {0, 255, 256, 333, 512};
  const int cs[] = {-100, -20, 0, 45, 100};
  const int ss[] = {0, 255, 256, 300, 512};
  const int es[] = {-255, -100, -1, 0, 1, 100, 512};
  for (bool bottomUp : {false, true})
    for (int b : bs)
      for (int c : cs)
        for (int s : ss)
          for (int e : es) {
            TestPicture twoPass = MakeVariedPicture(bottomUp, 5);
            TestPicture fused = MakeVariedPicture(bottomUp, 5);
            ApplyColorEffects(twoPass.Row0(), twoPass.Row1(), twoPass.Width(), twoPass.Height(), b, c, s);
            ApplyExposure(twoPass.Row0(), twoPass.Row1(), twoPass.Width(), twoPass.Height(), e);
            ApplyColorEffectsAndExposure(fused.Row0(), fused.Row1(), fused.Width(), fused.Height(), b, c,
                                         s, e);
            ASSERT_EQ(fused.Pixels(), twoPass.Pixels()) << b << " " << c << " " << s << " " << e;
            ASSERT_TRUE(fused.PaddingIntact());
          }
}

TEST(PictureEffects, GatingRules) {
  struct {
    TPictureEffectValues v;
    bool preview, color, exposure;
  } const cases[] = {
      {{255, 0, 255, 0}, false, false, false},
      {{256, 0, 255, 0}, true, true, false},
      {{255, 1, 255, 0}, true, true, false},
      {{255, 0, 256, 0}, true, true, false},
      {{255, 0, 255, -1}, true, false, true},
      {{0, -100, 0, 512}, true, true, true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.v.Brightness << " " << k.v.Contrast << " " << k.v.Saturation
                                    << " " << k.v.Exposure);
    EXPECT_EQ(PreviewNeedsEffects(k.v), k.preview);
    EXPECT_EQ(ConversionNeedsColorEffects(k.v), k.color);
    EXPECT_EQ(ConversionNeedsExposure(k.v), k.exposure);
  }
  EXPECT_FALSE(PreviewNeedsEffects(TPictureEffectValues{}));
}

TEST(PictureEffects, DefaultValuesChangeNothingInPreviewOrConversion) {
  TestPicture preview = MakeVariedPicture(false), conversion = MakeVariedPicture(false);
  const auto before = preview.Pixels();
  ApplyPreviewEffects(preview.Row0(), preview.Row1(), preview.Width(), preview.Height(), {});
  ApplyConversionEffects(conversion.Row0(), conversion.Row1(), conversion.Width(), conversion.Height(), {});
  EXPECT_EQ(preview.Pixels(), before);
  EXPECT_EQ(conversion.Pixels(), before);
}

TEST(PictureEffects, ExposureAloneDarkensThePreviewButNotTheConversion) {
  const TPictureEffectValues v{255, 0, 255, 40};
  TestPicture preview = MakeVariedPicture(true), conversion = MakeVariedPicture(true),
              expected = MakeVariedPicture(true);
  ApplyPreviewEffects(preview.Row0(), preview.Row1(), preview.Width(), preview.Height(), v);
  ApplyConversionEffects(conversion.Row0(), conversion.Row1(), conversion.Width(), conversion.Height(), v);

  ApplyExposure(expected.Row0(), expected.Row1(), expected.Width(), expected.Height(), 40);
  EXPECT_EQ(conversion.Pixels(), expected.Pixels());

  TestPicture previewExpected = MakeVariedPicture(true);
  ApplyColorEffects(previewExpected.Row0(), previewExpected.Row1(), previewExpected.Width(),
                    previewExpected.Height(), 255, 0, 255);
  ApplyExposure(previewExpected.Row0(), previewExpected.Row1(), previewExpected.Width(),
                previewExpected.Height(), 40);
  EXPECT_EQ(preview.Pixels(), previewExpected.Pixels());
  EXPECT_NE(preview.Pixels(), conversion.Pixels());
}

TEST(PictureEffects, ConversionRunsBothRoutinesInOrder) {
  const TPictureEffectValues v{300, -30, 420, -70};
  TestPicture conversion = MakeVariedPicture(false), expected = MakeVariedPicture(false);
  ApplyConversionEffects(conversion.Row0(), conversion.Row1(), conversion.Width(), conversion.Height(), v);
  ApplyColorEffects(expected.Row0(), expected.Row1(), expected.Width(), expected.Height(), 300, -30, 420);
  ApplyExposure(expected.Row0(), expected.Row1(), expected.Width(), expected.Height(), -70);
  EXPECT_EQ(conversion.Pixels(), expected.Pixels());
}

TEST(PictureEffects, SingleRowPictureIsRewritten) {
  TestPicture pic(5, 1, false);
  for (int x = 0; x < 5; ++x) pic.Set(x, 0, Grey(128));
  ApplyExposure(pic.Row0(), nullptr, 5, 1, 100);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(pic.Get(x, 0), Grey(196));
  ApplyColorEffects(pic.Row0(), nullptr, 5, 1, 256, 0, 0);
  EXPECT_TRUE(pic.PaddingIntact());
}

TEST(PictureEffects, EmptyPictureIsIgnored) {
  ApplyColorEffects(nullptr, nullptr, 0, 0, 300, 10, 10);
  ApplyExposure(nullptr, nullptr, 0, 0, 10);
  TestPicture pic(3, 2, false);
  pic.Set(0, 0, Grey(77));
  ApplyExposure(pic.Row0(), pic.Row1(), 0, 2, 300);
  ApplyExposure(pic.Row0(), pic.Row1(), 3, 0, 300);
  EXPECT_EQ(pic.Get(0, 0), Grey(77));
}

TEST(PictureEffects, OutOfRangeValuesAreClamped) {
  const Pixel p{10, 100, 200};
  EXPECT_EQ(ColorOne(p, 256, 0, 5000), ColorOne(p, 256, 0, 512));
  EXPECT_EQ(ColorOne(p, 256, 0, -7), ColorOne(p, 256, 0, 0));
  EXPECT_EQ(ColorOne(p, 9000, 0, 256), ColorOne(p, 512, 0, 256));
  EXPECT_EQ(ColorOne(p, 256, 250, 256), ColorOne(p, 256, 99, 256));
  EXPECT_EQ(ExposeOne(128, 100000), ExposeOne(128, 512));
  EXPECT_EQ(ExposeOne(252, -100000), ExposeOne(252, -255));
}

TEST(PictureEffects, BitmapOverloadsMatchRowPointers) {
  TBitmap bitmap;
  bitmap.SetSize(13, 4);  // 39 bytes of pixels in rows of 40
  TestPicture pic(13, 4, false);
  std::mt19937 rng(11);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 13; ++x) {
      const Pixel px{uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
      pic.Set(x, y, px);
      std::copy(px.begin(), px.end(), bitmap.ScanLine(y) + 3 * x);
    }
    bitmap.ScanLine(y)[39] = 0x5A;
  }
  ApplyColorEffectsAndExposure(bitmap, 280, 15, 350, 25);
  ApplyColorEffects(pic.Row0(), pic.Row1(), 13, 4, 280, 15, 350);
  ApplyExposure(pic.Row0(), pic.Row1(), 13, 4, 25);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 13; ++x) {
      const uint8_t* b = bitmap.ScanLine(y) + 3 * x;
      EXPECT_EQ((Pixel{b[0], b[1], b[2]}), pic.Get(x, y)) << x << "," << y;
    }
    EXPECT_EQ(bitmap.ScanLine(y)[39], 0x5A);
  }
}

}  // namespace
}  // namespace quenza
