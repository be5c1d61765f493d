// Cost of the custom frame hook: a 1280x720 conversion with a handler that edits
// nothing against the same conversion without a hook, alternating runs; prints the
// median wall times, their ratio and the heap allocations the hook adds per frame.
//
//   bench_hook [RUNS] [VCODEC]   (defaults: 5, mpeg4)

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

struct Run {
  double seconds;
  long long allocations;
  int frames;
};

Run Convert(const std::string& input, const std::string& output, const std::string& vcodec, bool hook) {
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
  if (hook)
    engine.OnCustomHook = [&frames](quenza::TCustomFFmpeg*, quenza::TBitmap*, bool*, bool*, int64_t, int) {
      ++frames;
    };
  const long long before = AllocationCount();
  const auto t0 = std::chrono::steady_clock::now();
  engine.Transcode();
  const auto t1 = std::chrono::steady_clock::now();
  const long long allocations = AllocationCount() - before;
  engine.ReleaseFiles(false);
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

  std::vector<double> plain, hooked;
  long long plainAllocs = 0, hookAllocs = 0;
  int frames = 0;
  Convert(input, output, vcodec, true);  // warm-up
  for (int i = 0; i < runs; ++i) {
    Run a = Convert(input, output, vcodec, false);
    Run b = Convert(input, output, vcodec, true);
    plain.push_back(a.seconds);
    hooked.push_back(b.seconds);
    plainAllocs = a.allocations;
    hookAllocs = b.allocations;
    frames = b.frames;
  }
  std::filesystem::remove(output);
  std::printf("hook (%s, %d runs): without %.3f s, with no-op hook %.3f s, wall-time ratio %.3f\n", vcodec.c_str(), runs, Median(plain),
              Median(hooked), Median(hooked) / Median(plain));
  std::printf("hook: %d frames, heap allocations without %lld, with %lld, added per frame %.3f\n", frames,
              plainAllocs, hookAllocs, frames ? static_cast<double>(hookAllocs - plainAllocs) / frames : 0.0);
  return 0;
}
