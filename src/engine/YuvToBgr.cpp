#include "engine/YuvToBgr.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUENZA_X86 1
#endif

namespace quenza {

// BT.601: luma 255 / 219 (limited) or 1; chroma 1.596, 0.392, 0.813, 2.017 (limited)
// or 1.402, 0.344, 0.714, 1.772 (full). Results carry 5 fraction bits.
const TYuvCoefficients kYuvLimitedRange{9539, 596, 13075, 3209, 6660, 16525};
const TYuvCoefficients kYuvFullRange{8192, 0, 11485, 2819, 5850, 14516};

namespace {

// Upper half of a 16 x 16-bit product, as the vector instructions compute it.
inline int MulHigh(int a, int c) { return (a * c) >> 16; }
inline uint8_t ToByte(int scaled) { return static_cast<uint8_t>(std::clamp((scaled + 16) >> 5, 0, 255)); }

// The BGR bytes of pixel x of row r.
inline void Pixel(const TYuvRowPair& in, int r, int x, const TYuvCoefficients& k, uint8_t bgr[3]) {
  const int luma = static_cast<int>((static_cast<unsigned>(in.y[r][x]) * 256u * k.y) >> 16) - k.yOffset;
  const int cu = (in.u[x >> 1] - 128) * 256, cv = (in.v[x >> 1] - 128) * 256;
  bgr[0] = ToByte(luma + MulHigh(cu, k.bu));
  bgr[1] = ToByte(luma - (MulHigh(cu, k.gu) + MulHigh(cv, k.gv)));
  bgr[2] = ToByte(luma + MulHigh(cv, k.rv));
}

void PortableConvertFrom(int x0, const TYuvRowPair& in, uint8_t* const bgr[2], const TYuvCoefficients& k) {
  for (int r = 0; r < (in.y[1] ? 2 : 1); ++r)
    for (int x = x0; x < in.width; ++x) Pixel(in, r, x, k, bgr[r] + 3 * x);
}

bool PortableDiffersFrom(int x0, const TYuvRowPair& in, const uint8_t* const bgr[2], const TYuvCoefficients& k) {
  for (int r = 0; r < (in.y[1] ? 2 : 1); ++r)
    for (int x = x0; x < in.width; ++x) {
      uint8_t pixel[3];
      Pixel(in, r, x, k, pixel);
      const uint8_t* was = bgr[r] + 3 * x;
      if (pixel[0] != was[0] || pixel[1] != was[1] || pixel[2] != was[2]) return true;
    }
  return false;
}

void PortableConvert(const TYuvRowPair& in, uint8_t* const bgr[2], const TYuvCoefficients& k) {
  PortableConvertFrom(0, in, bgr, k);
}

bool PortableDiffers(const TYuvRowPair& in, const uint8_t* const bgr[2], const TYuvCoefficients& k) {
  return PortableDiffersFrom(0, in, bgr, k);
}

#ifdef QUENZA_X86
// Where pixel p of a lane's 16 is in a channel's bytes: even pixels first, then odd.
constexpr int Packed(int p) { return p % 2 ? 8 + p / 2 : p / 2; }
// Byte shuffles interleaving a lane's blue, green and red bytes into 48 BGR bytes: byte j
// of chunk c is channel (16c + j) % 3 of pixel (16c + j) / 3; mask[c][ch] takes channel
// ch's bytes there and zeroes the others.
struct TInterleave {
  alignas(16) int8_t mask[3][3][16];
};
constexpr TInterleave MakeInterleave() {
  TInterleave t{};
  for (int c = 0; c < 3; ++c)
    for (int ch = 0; ch < 3; ++ch)
      for (int j = 0; j < 16; ++j)
        t.mask[c][ch][j] = (16 * c + j) % 3 == ch ? static_cast<int8_t>(Packed((16 * c + j) / 3)) : int8_t{-128};
  return t;
}
constexpr TInterleave kInterleave = MakeInterleave();

// Converts the rows 32 pixels at a time, then the rest one by one; writes the bytes, or
// with kCompare tells whether they differ from bgr's.
template <bool kCompare, typename Byte>
__attribute__((target("avx2"))) bool Avx2Rows(const TYuvRowPair& in, Byte* const bgr[2], const TYuvCoefficients& k) {
  __m256i mask[3][3];
  for (int c = 0; c < 3; ++c)
    for (int ch = 0; ch < 3; ++ch)
      mask[c][ch] =
          _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.mask[c][ch])));
  const __m256i half = _mm256_set1_epi16(128 << 8), highBytes = _mm256_set1_epi16(static_cast<int16_t>(0xff00));
  const __m256i ky = _mm256_set1_epi16(static_cast<int16_t>(k.y));
  const __m256i black = _mm256_set1_epi16(static_cast<int16_t>(k.yOffset - 16));  // rounding folded in
  const __m256i kbu = _mm256_set1_epi16(k.bu), kgu = _mm256_set1_epi16(k.gu), kgv = _mm256_set1_epi16(k.gv),
                krv = _mm256_set1_epi16(k.rv);
  const int rows = in.y[1] ? 2 : 1;
  __m256i diff = _mm256_setzero_si256();
  int x = 0;
  for (; x + 32 <= in.width; x += 32) {
    // Chroma terms of 16 samples, (c - 128) << 8 in 16-bit lanes: the lanes hold 0..7
    // and 8..15, the chroma of pixels 0..15 and 16..31.
    const __m256i cu = _mm256_sub_epi16(
        _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in.u + x / 2))), 8),
        half);
    const __m256i cv = _mm256_sub_epi16(
        _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in.v + x / 2))), 8),
        half);
    const __m256i tb = _mm256_mulhi_epi16(cu, kbu);
    const __m256i tg = _mm256_add_epi16(_mm256_mulhi_epi16(cu, kgu), _mm256_mulhi_epi16(cv, kgv));
    const __m256i tr = _mm256_mulhi_epi16(cv, krv);
    for (int r = 0; r < rows; ++r) {
      // Luma << 8 of the even and of the odd pixels, each in the 16-bit lane of its chroma.
      const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in.y[r] + x));
      const __m256i even = _mm256_sub_epi16(_mm256_mulhi_epu16(_mm256_slli_epi16(luma, 8), ky), black);
      const __m256i odd = _mm256_sub_epi16(_mm256_mulhi_epu16(_mm256_and_si256(luma, highBytes), ky), black);
      // Channel bytes per lane: even pixels, then odd (packed with saturation to 0..255).
      const __m256i b = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_add_epi16(even, tb), 5),
                                            _mm256_srai_epi16(_mm256_add_epi16(odd, tb), 5));
      const __m256i g = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_sub_epi16(even, tg), 5),
                                            _mm256_srai_epi16(_mm256_sub_epi16(odd, tg), 5));
      const __m256i rd = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_add_epi16(even, tr), 5),
                                             _mm256_srai_epi16(_mm256_add_epi16(odd, tr), 5));
      // Each lane interleaves its 16 pixels into three 16-byte chunks.
      __m256i chunk[3];
      for (int c = 0; c < 3; ++c)
        chunk[c] =
            _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, mask[c][0]), _mm256_shuffle_epi8(g, mask[c][1])),
                            _mm256_shuffle_epi8(rd, mask[c][2]));
      const __m256i out[3] = {_mm256_permute2x128_si256(chunk[0], chunk[1], 0x20),
                              _mm256_permute2x128_si256(chunk[2], chunk[0], 0x30),
                              _mm256_permute2x128_si256(chunk[1], chunk[2], 0x31)};
      Byte* dst = bgr[r] + 3 * x;
      for (int i = 0; i < 3; ++i) {
        if constexpr (kCompare)
          diff = _mm256_or_si256(
              diff, _mm256_xor_si256(out[i], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst + 32 * i))));
        else
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32 * i), out[i]);
      }
    }
  }
  if constexpr (kCompare)
    return !_mm256_testz_si256(diff, diff) || PortableDiffersFrom(x, in, bgr, k);
  else
    PortableConvertFrom(x, in, bgr, k);
  return false;
}

void Avx2Convert(const TYuvRowPair& in, uint8_t* const bgr[2], const TYuvCoefficients& k) {
  Avx2Rows<false>(in, bgr, k);
}

bool Avx2Differs(const TYuvRowPair& in, const uint8_t* const bgr[2], const TYuvCoefficients& k) {
  return Avx2Rows<true>(in, bgr, k);
}
#endif

}  // namespace

const TYuvToBgr kPortableYuvToBgr{&PortableConvert, &PortableDiffers};

#ifdef QUENZA_X86
const TYuvToBgr kAvx2YuvToBgr{&Avx2Convert, &Avx2Differs};

bool CpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#else
const TYuvToBgr kAvx2YuvToBgr{&PortableConvert, &PortableDiffers};

bool CpuHasAvx2() { return false; }
#endif

const TYuvToBgr* FastYuvToBgr() {
  static const TYuvToBgr* const best = CpuHasAvx2() ? &kAvx2YuvToBgr : nullptr;
  return best;
}

}  // namespace quenza
