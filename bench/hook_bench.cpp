// Cost of the custom frame hook: a 1280x720 conversion with a handler that edits
// nothing against the same conversion without a hook, alternating runs; prints the
// median wall times, the median of the runs' ratios and the heap allocations the hook adds per frame.
// Three handlers edit nothing: one that leaves the bitmap alone, one that reads every
// row, and one that takes every row for writing (so the way back checks them all).
//
//   bench_hook [RUNS] [VCODEC] [HANDLER]   (defaults: 5, mpeg4, all; HANDLER 0-3 runs only
//                                          that one, for profiling)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "AllocCounter.h"
#include "engine/FFmpeg.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegLogger.h"
#include "support/TestMedia.h"

namespace {

enum class EHandler { kNone, kUntouched, kRead, kWrite };
const char* const kHandlerNames[] = {"without hook", "untouched", "all rows read", "all rows writable"};

struct Run {
  double seconds;
  long long allocations;
  int frames;
};

Run Convert(const std::string& input, const std::string& output, const std::string& vcodec, EHandler handler) {
  quenza::TCustomFFmpeg engine;
  engine.Reset();
  engine.SetOption("loglevel", "error");
  if (!engine.AddInputFile(input)) {
    std::fprintf(stderr, "%s\n", engine.LastErrorText().c_str());
    std::exit(1);
  }
  engine.SetOption("vcodec", vcodec);
  engine.SetOption("b", "4000000");
  engine.SetOption("v", "-1");
  if (engine.AddOutputFile(output) < 0) {
    std::fprintf(stderr, "%s\n", engine.LastErrorText().c_str());
    std::exit(1);
  }
  int frames = 0;
  unsigned sum = 0;
  if (handler != EHandler::kNone)
    engine.OnCustomHook = [&frames, &sum, handler](quenza::TCustomFFmpeg*, quenza::TBitmap* bitmap, bool*, bool*,
                                                   int64_t, int) {
      ++frames;
      if (handler == EHandler::kRead) {
        const quenza::TBitmap& view = *bitmap;
        for (int y = 0; y < view.Height(); y += 8) sum += view.ScanLine(y)[y % view.Stride()];
      } else if (handler == EHandler::kWrite) {
        bitmap->Rows(0, bitmap->Height());
      }
    };
  const long long before = AllocationCount();
  const auto t0 = std::chrono::steady_clock::now();
  engine.Transcode();
  const auto t1 = std::chrono::steady_clock::now();
  const long long allocations = AllocationCount() - before;
  engine.ReleaseFiles(false);
  if (sum == 1) std::fputc(' ', stderr);  // keeps the reads
  return {std::chrono::duration<double>(t1 - t0).count(), allocations, frames};
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  const std::string vcodec = argc > 2 ? argv[2] : "mpeg4";
  quenza::TMediaProcessScope media;
  quenza::GetLogger().SetLogLevel(quenza::llError);
  if (!quenza::FFLoader().LoadLibraries(quenza::ConverterLibraries)) {
    std::fprintf(stderr, "%s\n", quenza::FFLoader().LastError().c_str());
    return 1;
  }
  quenza::test::MediaSpec spec;
  spec.container = "mp4";
  spec.videoCodec = "libx264";
  spec.width = 1280;
  spec.height = 720;
  spec.frameRate = {30, 1};
  spec.duration = 10;
  const std::string input = quenza::test::MakeMedia(spec);
  const std::string output = (std::filesystem::temp_directory_path() / "quenza-hook-bench.avi").string();

  constexpr int kHandlers = 4;
  std::vector<double> seconds[kHandlers];
  long long allocations[kHandlers] = {};
  int frames = 0;
  Convert(input, output, vcodec, EHandler::kUntouched);  // warm-up
  const int only = argc > 3 ? std::atoi(argv[3]) : -1;
  for (int i = 0; i < runs; ++i)
    for (int h = 0; h < kHandlers; ++h) {
      if (only >= 0 && h != only) continue;
      const Run r = Convert(input, output, vcodec, static_cast<EHandler>(h));
      seconds[h].push_back(r.seconds);
      allocations[h] = r.allocations;
      if (h) frames = r.frames;
    }
  std::filesystem::remove(output);
  if (only >= 0) {
    std::printf("hook: handler %s %.3f s\n", kHandlerNames[only], Median(seconds[only]));
    return 0;
  }
  const double plain = Median(seconds[0]);
  std::printf("hook (%s, %d runs): without %.3f s\n", vcodec.c_str(), runs, plain);
  // Each run's conversions follow one another, so the ratio of a run is little touched by
  // the machine's drift; the median of those is reported.
  for (int h = 1; h < kHandlers; ++h) {
    std::vector<double> ratios;
    for (int i = 0; i < runs; ++i) ratios.push_back(seconds[h][i] / seconds[0][i]);
    std::printf("hook: handler %-18s %.3f s, wall-time ratio %.3f, heap allocations added per frame %.3f\n",
                kHandlerNames[h], Median(seconds[h]), Median(ratios),
                frames ? static_cast<double>(allocations[h] - allocations[0]) / frames : 0.0);
  }
  std::printf("hook: %d frames\n", frames);
  return 0;
}
