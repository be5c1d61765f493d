#include "app/PictureEffects.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "engine/Bitmap.h"

namespace quenza {
namespace {

// x' = G[sum] + W[x] lies in -257 .. 767 for saturation 0 .. 512; the folded
// output table is indexed with this offset added.
constexpr int kSatOffset = 257;
constexpr int kSatRange = 767 + kSatOffset + 1;

int32_t ClampInt(int64_t v, int32_t lo, int32_t hi) {
  return static_cast<int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

uint8_t ClampByte(int64_t v) { return static_cast<uint8_t>(ClampInt(v, 0, 255)); }

// Nearest integer, halves to even, independent of the floating-point environment.
int64_t RoundHalfEven(double x) {
  const double r = std::floor(x);
  const double d = x - r;
  auto n = static_cast<int64_t>(r);
  if (d > 0.5 || (d == 0.5 && (n & 1) != 0)) ++n;
  return n;
}

struct TColorTables {
  uint8_t Out[256];          // brightness then contrast (then optionally exposure)
  uint16_t Weight[256];      // saturation weights W
  int32_t Grey[768];         // G[sum] + kSatOffset
  uint8_t Folded[kSatRange]; // Out[clamp(i - kSatOffset)]
  bool SaturationIdentity;   // W[v] == v for every v
};

void BuildColorTables(int32_t brightness, int32_t contrast, int32_t saturation,
                      TColorTables& t) {
  BuildBrightnessTable(brightness, contrast, t.Out);
  const int32_t s = ClampInt(saturation, 0, 512);
  t.SaturationIdentity = true;
  for (int v = 0; v < 256; ++v) {
    t.Weight[v] = static_cast<uint16_t>(((v + 1) * s) >> 8);
    if (t.Weight[v] != v) t.SaturationIdentity = false;
  }
  for (int k = 0; k < 768; ++k) t.Grey[k] = k / 3 - t.Weight[k / 3] + kSatOffset;
}

void FoldOutput(TColorTables& t) {
  for (int i = 0; i < kSatRange; ++i) t.Folded[i] = t.Out[ClampInt(i - kSatOffset, 0, 255)];
}

// In-place byte map over n bytes. Eight bytes per step through one 64-bit word keeps
// loads and stores to one each per eight lookups.
void MapBytes(uint8_t* p, size_t n, const uint8_t* __restrict map) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    uint64_t r = 0;
    for (int b = 0; b < 8; ++b) r |= static_cast<uint64_t>(map[(w >> (8 * b)) & 0xFF]) << (8 * b);
    std::memcpy(p + i, &r, 8);
  }
  for (; i < n; ++i) p[i] = map[p[i]];
}

void SaturateRow(uint8_t* p, int width, const int32_t* __restrict grey,
                 const uint16_t* __restrict weight, const uint8_t* __restrict folded) {
  for (int x = 0; x < width; ++x, p += 3) {
    const unsigned b = p[0], g = p[1], r = p[2];
    const int32_t base = grey[b + g + r];
    p[0] = folded[base + weight[b]];
    p[1] = folded[base + weight[g]];
    p[2] = folded[base + weight[r]];
  }
}

template <typename RowFn>
void ForEachRow(uint8_t* row0, uint8_t* row1, int width, int height, RowFn fn) {
  if (row0 == nullptr || width <= 0 || height <= 0) return;
  const ptrdiff_t stride = height > 1 ? row1 - row0 : 0;
  for (int y = 0; y < height; ++y) fn(row0 + static_cast<ptrdiff_t>(y) * stride);
}

void ApplyTables(uint8_t* row0, uint8_t* row1, int width, int height, TColorTables& t) {
  if (t.SaturationIdentity) {
    const size_t n = static_cast<size_t>(width) * 3;
    alignas(64) uint8_t map[256];
    std::memcpy(map, t.Out, sizeof map);
    ForEachRow(row0, row1, width, height, [&](uint8_t* row) { MapBytes(row, n, map); });
    return;
  }
  FoldOutput(t);
  ForEachRow(row0, row1, width, height,
             [&](uint8_t* row) { SaturateRow(row, width, t.Grey, t.Weight, t.Folded); });
}

}  // namespace

void BuildContrastTable(int32_t contrast, uint8_t out[256]) {
  int32_t c = ClampInt(contrast, -100, 100);
  if (c == 100) c = 99;
  const double f = c > 0 ? 1.0 / std::cos(c * 0.015707963267948966) : std::cos(c * 0.015708);
  for (int i = 0; i < 256; ++i) out[i] = ClampByte(RoundHalfEven((i - 170) * f + 170));
}

void BuildBrightnessTable(int32_t brightness, int32_t contrast, uint8_t out[256]) {
  uint8_t c[256];
  BuildContrastTable(contrast, c);
  const int32_t b = ClampInt(brightness, 0, 512);
  for (int j = 0; j < 256; ++j) out[j] = c[ClampInt((b * (j - 1) + 256) / 256, 0, 255)];
}

void BuildExposureTable(int32_t exposure, uint8_t out[256]) {
  const double e = ClampInt(exposure, -255, 512);
  for (int i = 0; i < 256; ++i) {
    const int64_t k = RoundHalfEven((1.0 - std::exp((e / 128.0) * (i / -128.0))) * 256.0);
    const int64_t l = e >= 0 ? i + ((k * (255 - i)) >> 8) : i - ((-k * (255 - i)) >> 8);
    out[i] = ClampByte(l);
  }
}

void ApplyColorEffects(uint8_t* row0, uint8_t* row1, int width, int height,
                       int32_t brightness, int32_t contrast, int32_t saturation) {
  TColorTables t;
  BuildColorTables(brightness, contrast, saturation, t);
  ApplyTables(row0, row1, width, height, t);
}

void ApplyExposure(uint8_t* row0, uint8_t* row1, int width, int height, int32_t exposure) {
  uint8_t map[256];
  BuildExposureTable(exposure, map);
  const size_t n = static_cast<size_t>(width > 0 ? width : 0) * 3;
  ForEachRow(row0, row1, width, height, [&](uint8_t* row) { MapBytes(row, n, map); });
}

void ApplyColorEffectsAndExposure(uint8_t* row0, uint8_t* row1, int width, int height,
                                  int32_t brightness, int32_t contrast, int32_t saturation,
                                  int32_t exposure) {
  TColorTables t;
  BuildColorTables(brightness, contrast, saturation, t);
  uint8_t exp[256];
  BuildExposureTable(exposure, exp);
  for (uint8_t& v : t.Out) v = exp[v];
  ApplyTables(row0, row1, width, height, t);
}

namespace {
uint8_t* SecondRow(TBitmap& bitmap) {
  return bitmap.Height() > 1 ? bitmap.ScanLine(1) : nullptr;
}
}  // namespace

void ApplyColorEffects(TBitmap& bitmap, int32_t brightness, int32_t contrast,
                       int32_t saturation) {
  ApplyColorEffects(bitmap.ScanLine(0), SecondRow(bitmap), bitmap.Width(), bitmap.Height(),
                    brightness, contrast, saturation);
}

void ApplyExposure(TBitmap& bitmap, int32_t exposure) {
  ApplyExposure(bitmap.ScanLine(0), SecondRow(bitmap), bitmap.Width(), bitmap.Height(),
                exposure);
}

void ApplyColorEffectsAndExposure(TBitmap& bitmap, int32_t brightness, int32_t contrast,
                                  int32_t saturation, int32_t exposure) {
  ApplyColorEffectsAndExposure(bitmap.ScanLine(0), SecondRow(bitmap), bitmap.Width(),
                               bitmap.Height(), brightness, contrast, saturation, exposure);
}

bool PreviewNeedsEffects(const TPictureEffectValues& v) {
  return ConversionNeedsColorEffects(v) || ConversionNeedsExposure(v);
}

bool ConversionNeedsColorEffects(const TPictureEffectValues& v) {
  return v.Brightness != kNoChangeBrightness || v.Contrast != kNoChangeContrast ||
         v.Saturation != kNoChangeSaturation;
}

bool ConversionNeedsExposure(const TPictureEffectValues& v) {
  return v.Exposure != kNoChangeExposure;
}

void ApplyPreviewEffects(uint8_t* row0, uint8_t* row1, int width, int height,
                         const TPictureEffectValues& v) {
  if (!PreviewNeedsEffects(v)) return;
  ApplyColorEffectsAndExposure(row0, row1, width, height, v.Brightness, v.Contrast,
                               v.Saturation, v.Exposure);
}

void ApplyConversionEffects(uint8_t* row0, uint8_t* row1, int width, int height,
                            const TPictureEffectValues& v) {
  const bool color = ConversionNeedsColorEffects(v);
  const bool exposure = ConversionNeedsExposure(v);
  if (color && exposure) {
    ApplyColorEffectsAndExposure(row0, row1, width, height, v.Brightness, v.Contrast,
                                 v.Saturation, v.Exposure);
  } else if (color) {
    ApplyColorEffects(row0, row1, width, height, v.Brightness, v.Contrast, v.Saturation);
  } else if (exposure) {
    ApplyExposure(row0, row1, width, height, v.Exposure);
  }
}

}  // namespace quenza
