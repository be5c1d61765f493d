#pragma once
// Brightness, contrast, saturation and exposure of a 24-bit picture (rows of blue,
// green, red bytes), rewritten in place. The picture is given by its first two row
// addresses: the row stride is row1 - row0, so bottom-up pictures (negative stride)
// work as well as top-down ones, and padding after a row's last pixel is not touched.
// With height 1 only row 0 is rewritten and row1 is ignored (it may be null).
//
// All routines are table driven: tables are built on the stack once per call, the
// per-pixel work is integer lookups and additions, nothing is allocated.

#include <cstdint>

namespace quenza {

class TBitmap;

// Effect values as stored in a file list entry; defaults mean "no change".
struct TPictureEffectValues {
  int32_t Brightness = 255;  // 0 .. 512, identity at 256
  int32_t Contrast = 0;      // -100 .. 100
  int32_t Saturation = 255;  // 0 .. 512, identity at 255 and 256
  int32_t Exposure = 0;      // -255 .. 512
};

inline constexpr int32_t kNoChangeBrightness = 255;
inline constexpr int32_t kNoChangeContrast = 0;
inline constexpr int32_t kNoChangeSaturation = 255;
inline constexpr int32_t kNoChangeExposure = 0;

// Arguments outside the ranges above are clamped into them.
void ApplyColorEffects(uint8_t* row0, uint8_t* row1, int width, int height,
                       int32_t brightness, int32_t contrast, int32_t saturation);
void ApplyExposure(uint8_t* row0, uint8_t* row1, int width, int height, int32_t exposure);
// One pass with the same result as ApplyColorEffects followed by ApplyExposure.
void ApplyColorEffectsAndExposure(uint8_t* row0, uint8_t* row1, int width, int height,
                                  int32_t brightness, int32_t contrast, int32_t saturation,
                                  int32_t exposure);

// The same on a TBitmap (top-down, padded rows).
void ApplyColorEffects(TBitmap& bitmap, int32_t brightness, int32_t contrast,
                       int32_t saturation);
void ApplyExposure(TBitmap& bitmap, int32_t exposure);
void ApplyColorEffectsAndExposure(TBitmap& bitmap, int32_t brightness, int32_t contrast,
                                  int32_t saturation, int32_t exposure);

// Gating. The preview runs both routines when any value differs from its no-change
// value; the conversion runs the colour routine when brightness, contrast or
// saturation differ, and the exposure routine when exposure differs.
bool PreviewNeedsEffects(const TPictureEffectValues& v);
bool ConversionNeedsColorEffects(const TPictureEffectValues& v);
bool ConversionNeedsExposure(const TPictureEffectValues& v);

// Apply the effects as the preview / the conversion frame hook do, fusing the two
// routines into one pass where both run.
void ApplyPreviewEffects(uint8_t* row0, uint8_t* row1, int width, int height,
                         const TPictureEffectValues& v);
void ApplyConversionEffects(uint8_t* row0, uint8_t* row1, int width, int height,
                            const TPictureEffectValues& v);

// The lookup tables, exposed for tests and diagnostics.
void BuildContrastTable(int32_t contrast, uint8_t out[256]);
void BuildBrightnessTable(int32_t brightness, int32_t contrast, uint8_t out[256]);
void BuildExposureTable(int32_t exposure, uint8_t out[256]);

}  // namespace quenza
