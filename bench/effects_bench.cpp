// Throughput of the picture effect routines on a 1920x1080 24-bit frame.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "app/PictureEffects.h"
#include "engine/Bitmap.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A gradient with noise, so that neighbouring pixels differ as in a real frame.
void FillFrame(quenza::TBitmap& frame) {
  frame.SetSize(kWidth, kHeight);
  std::mt19937 rng(7);
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* p = frame.ScanLine(y);
    for (int x = 0; x < kWidth * 3; ++x) p[x] = static_cast<uint8_t>((x / 3 + y) / 12 + (rng() & 31));
  }
}

template <typename Fn>
void RunOnFrame(benchmark::State& state, Fn fn) {
  quenza::TBitmap source, frame;
  FillFrame(source);
  frame.SetSize(kWidth, kHeight);
  const size_t bytes = static_cast<size_t>(source.Stride()) * kHeight;
  for (auto _ : state) {
    // Fresh content each time: repeated effects would drive the frame to a constant.
    state.PauseTiming();
    std::memcpy(frame.Bits(), source.Bits(), bytes);
    state.ResumeTiming();
    fn(frame);
    benchmark::DoNotOptimize(frame.Bits());
    benchmark::ClobberMemory();
  }
  state.counters["MPix/s"] = benchmark::Counter(
      static_cast<double>(kWidth) * kHeight * 1e-6 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void BM_ColorEffects(benchmark::State& state) {
  const auto saturation = static_cast<int32_t>(state.range(0));
  RunOnFrame(state, [&](quenza::TBitmap& f) { quenza::ApplyColorEffects(f, 300, 20, saturation); });
}
BENCHMARK(BM_ColorEffects)->Arg(400)->Arg(256)->Arg(0);

void BM_Exposure(benchmark::State& state) {
  RunOnFrame(state, [](quenza::TBitmap& f) { quenza::ApplyExposure(f, 60); });
}
BENCHMARK(BM_Exposure);

void BM_ColorEffectsThenExposure(benchmark::State& state) {
  RunOnFrame(state, [](quenza::TBitmap& f) {
    quenza::ApplyColorEffects(f, 300, 20, 400);
    quenza::ApplyExposure(f, 60);
  });
}
BENCHMARK(BM_ColorEffectsThenExposure);

void BM_ColorEffectsAndExposureFused(benchmark::State& state) {
  RunOnFrame(state, [](quenza::TBitmap& f) { quenza::ApplyColorEffectsAndExposure(f, 300, 20, 400, 60); });
}
BENCHMARK(BM_ColorEffectsAndExposureFused);

}  // namespace

BENCHMARK_MAIN();
