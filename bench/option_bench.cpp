// Cost of configuring an engine from an option list, as the component does per task.

#include <benchmark/benchmark.h>

#include "engine/EngineHost.h"
#include "engine/FFmpeg.h"

namespace {

class BenchHost : public quenza::TEngineHost {
 public:
  bool EngineLibrariesLoaded() override { return true; }
  void Log(const void*, quenza::TLogLevel, const std::string&) override {}
  void SetLogLevelByName(const std::string&) override {}
  quenza::TLogLevel GetLogLevel() override { return quenza::llInfo; }
};

void BM_ResetAndProfileOptions(benchmark::State& state) {
  BenchHost host;
  quenza::SetEngineHost(&host);
  const std::string list =
      "vcodec=libx264<CRLF>b=1500000<CRLF>s=1280x720<CRLF>r=30000/1001<CRLF>g=250<CRLF>"
      "acodec=aac<CRLF>ab=128000<CRLF>ar=48000<CRLF>ac=2<CRLF>vpre=medium";
  for (auto _ : state) {
    quenza::TCustomFFmpeg engine;
    engine.Reset();
    engine.SetOptions(list);
    benchmark::DoNotOptimize(engine.Settings().frame_width);
  }
  quenza::SetEngineHost(nullptr);
}
BENCHMARK(BM_ResetAndProfileOptions);

}  // namespace

BENCHMARK_MAIN();
