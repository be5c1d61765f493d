#pragma once
// 4:2:0 pictures to 24-bit BGR (BT.601), in fixed point so that every variant gives the
// same bytes: a picture converted again can be compared byte for byte with the first
// conversion. Rows go in pairs sharing their chroma row.

#include <cstdint>

namespace quenza {

// Coefficients scaled by 8192 (by 8192 / 256 for y, applied to luma << 8); yOffset is
// the scaled black level.
struct TYuvCoefficients {
  uint16_t y;
  int16_t yOffset, rv, gu, gv, bu;
};
extern const TYuvCoefficients kYuvLimitedRange, kYuvFullRange;

// One or two rows of width pixels; u and v have (width + 1) / 2 samples.
struct TYuvRowPair {
  const uint8_t* y[2];  // y[1] null for a single row
  const uint8_t* u;
  const uint8_t* v;
  int width;
};

struct TYuvToBgr {
  // Writes the rows' BGR bytes to bgr[0] and bgr[1].
  void (*convert)(const TYuvRowPair& rows, uint8_t* const bgr[2], const TYuvCoefficients& k);
  // Whether bgr[0] and bgr[1] differ from what convert writes.
  bool (*differs)(const TYuvRowPair& rows, const uint8_t* const bgr[2], const TYuvCoefficients& k);
};
extern const TYuvToBgr kPortableYuvToBgr;
// Needs AVX2 (x86 only; elsewhere the same as the portable one).
extern const TYuvToBgr kAvx2YuvToBgr;
bool CpuHasAvx2();
// The variant worth using on this CPU instead of swscale, or nullptr when there is none.
const TYuvToBgr* FastYuvToBgr();

}  // namespace quenza
