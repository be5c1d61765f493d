#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <regex>

#include "TranscodeFixture.h"
#include "engine/BuiltinPresets.h"

namespace quenza::test {
namespace {

// Mean luma of a rectangle of every decoded frame of the first video stream.
std::vector<double> RegionLuma(const std::string& path, int x0, int y0, int w, int h) {
  std::vector<double> out;
  ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
    double sum = 0;
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) sum += f->data[0][static_cast<ptrdiff_t>(y) * f->linesize[0] + x];
    out.push_back(sum / (w * h));
  });
  return out;
}

using VideoPath = TranscodeTest;

TEST_F(VideoPath, ConstantRateDuplicatesVariableRateDoesNot) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 1.0));  // 25 frames at 25 fps
  TCustomFFmpeg engine;
  const std::string cfr = OutPath("50.avi");
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}, {"r", "50"}}, cfr), "");
  engine.Transcode();
  const int dups = engine.DuplicatedFrames();
  engine.ReleaseFiles(false);
  EXPECT_GE(dups, 23);
  std::vector<int> counters = ReadFrameCounters(cfr);
  EXPECT_EQ(static_cast<int>(counters.size()), 25 + dups);
  for (int k = 3; k < 24; ++k)
    EXPECT_EQ(std::count(counters.begin(), counters.end(), k), 2) << "source frame " << k << " shown twice";

  const std::string vfr = OutPath("50.mkv");
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}, {"r", "50"}}, vfr), "");
  engine.Transcode();
  EXPECT_EQ(engine.DuplicatedFrames(), 0);
  engine.ReleaseFiles(false);
  EXPECT_EQ(CountDecodedFrames(vfr, AVMEDIA_TYPE_VIDEO), 25);
}

TEST_F(VideoPath, CropBandsAndFilterChains) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 0.4));
  const std::string banded = OutPath("banded.avi");
  // Bands follow the input, whose size they are cut from.
  ASSERT_EQ(Convert({{input, {}}}, {{"croptop", "20"}, {"cropbottom", "40"}, {"cropleft", "16"}, {"vcodec", "mpeg4"}},
                    banded),
            "");
  MediaInfo info = ReadMediaInfo(banded);
  const StreamInfo* v = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->width, 304);
  EXPECT_EQ(v->height, 180);

  // Bands with a size: the cropped area is scaled to the size.
  const std::string scaled = OutPath("scaled.avi");
  ASSERT_EQ(Convert({{input, {}}}, {{"croptop", "40"}, {"vcodec", "mpeg4"}, {"s", "160x100"}, {"vf", "null"}}, scaled),
            "");
  info = ReadMediaInfo(scaled);
  v = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->width, 160);
  EXPECT_EQ(v->height, 100);

  // Letterbox: scale into 320x180 and pad to 320x240 with black bars.
  const std::string boxed = OutPath("boxed.avi");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"vf", "scale=320:180,pad=320:240:0:30:black"}}, boxed), "");
  info = ReadMediaInfo(boxed);
  v = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->width, 320);
  EXPECT_EQ(v->height, 240);
  for (double luma : RegionLuma(boxed, 0, 0, 320, 26)) EXPECT_LT(luma, 24) << "top bar";
  for (double luma : RegionLuma(boxed, 0, 214, 320, 26)) EXPECT_LT(luma, 24) << "bottom bar";
  for (double luma : RegionLuma(boxed, 0, 60, 320, 120)) EXPECT_GT(luma, 40) << "the picture between the bars";

  EXPECT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"vf", "nosuchfilter"}}, OutPath("bad.avi")),
            "Error opening filters: Invalid argument");
}

TEST_F(VideoPath, DeinterlaceRemovesCombing) {
  MediaSpec spec = Clip("mp4", "libx264", "", 0.4);
  spec.interlaced = true;
  const std::string input = MakeMedia(spec);
  auto combing = [](const std::string& path) {
    double total = 0;
    int frames = 0;
    ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
      double sum = 0;
      for (int y = 41; y + 1 < f->height; y += 2)
        for (int x = 0; x < f->width; ++x) {
          const uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
          sum += std::abs(row[x] - (row[x - f->linesize[0]] + row[x + f->linesize[0]]) / 2.0);
        }
      total += sum / ((f->height / 2 - 21) * f->width);
      ++frames;
    });
    return total / frames;
  };
  const std::string plain = OutPath("plain.mkv"), deint = OutPath("deint.mkv");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "libx264"}, {"crf", "10"}}, plain), "");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "libx264"}, {"crf", "10"}, {"deinterlace", "1"}}, deint), "");
  EXPECT_LT(combing(deint), combing(plain) / 3) << combing(plain) << " -> " << combing(deint);
}

TEST_F(VideoPath, CustomHookEditsTheFrames) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 0.4));
  struct Case {
    const char* name;
    int mode;  // 0 paint, 1 raise, 2 stop after the first frame, 3 paint but no update
    bool squareVisible;
    int expectedCalls;
  };
  for (const Case& c : {Case{"paint", 0, true, 10}, Case{"raise", 1, false, 10}, Case{"stop", 2, false, 1},
                        Case{"no update", 3, false, 10}}) {
    TCustomFFmpeg engine;
    host.Clear();
    const std::string out = OutPath(std::string("hook-") + std::to_string(c.mode) + ".avi");
    ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}, {"qscale", "2"}}, out), "");
    int calls = 0;
    int lastIndex = 0;
    engine.OnCustomHook = [&](TCustomFFmpeg*, TBitmap* bmp, bool* stop, bool* update, int64_t, int index) {
      ++calls;
      lastIndex = index;
      if (c.mode == 1) throw std::runtime_error("boom");
      if (c.mode == 2) {
        *stop = true;
        *update = false;
        return;
      }
      for (int y = 100; y < 150; ++y) std::memset(bmp->ScanLine(y) + 100 * 3, 255, 50 * 3);
      if (c.mode == 3) *update = false;
    };
    engine.Transcode();
    engine.ReleaseFiles(false);
    EXPECT_EQ(calls, c.expectedCalls) << c.name;
    EXPECT_EQ(lastIndex, c.expectedCalls) << c.name << ": frame index counts decoded frames";
    for (double luma : RegionLuma(out, 105, 105, 40, 40)) EXPECT_EQ(luma > 220, c.squareVisible) << c.name;
    EXPECT_EQ(host.HasLine(llError, "Error occurs OnCustomHook: boom"), c.mode == 1) << c.name;
    EXPECT_EQ(ReadFrameCounters(out).back(), 9) << c.name << ": the rest of the picture is intact";
  }
  // The hook cannot work on copied streams.
  TCustomFFmpeg engine;
  engine.OnCustomHook = [](TCustomFFmpeg*, TBitmap*, bool*, bool*, int64_t, int) {};
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "copy"}}, OutPath("copy.mkv")), "");
  try {
    engine.Transcode();
    ADD_FAILURE() << "copy with a custom hook must fail";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
  }
  engine.ReleaseFiles(true);
}

TEST_F(VideoPath, HookLibraryProcessesEveryFrame) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 0.4));
  const std::string out = OutPath("vhook.avi");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"vhook", std::string(QUENZA_TEST_HOOK) + " paint"}}, out), "");
  for (double luma : RegionLuma(out, 20, 20, 24, 24)) EXPECT_GT(luma, 220);
}

TEST_F(VideoPath, PreviewBitmapsAboutTenPerSecond) {
  MediaSpec spec = Clip("mp4", "libx264", "", 2.0);
  spec.frameRate = {30, 1};
  const std::string input = MakeMedia(spec);
  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {{"re", "1"}}}}, {{"vcodec", "mpeg4"}}, OutPath("preview.avi")), "");
  std::vector<int64_t> pts;
  int width = 0;
  engine.OnPreviewBitmap = [&](TCustomFFmpeg*, TBitmap* bmp, int64_t t, int) {
    pts.push_back(t);
    width = bmp->Width();
  };
  engine.SetPreviewFlags(2);
  const auto t0 = std::chrono::steady_clock::now();
  engine.Transcode();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  engine.ReleaseFiles(false);
  // At most one per 100 ms of wall time (the run takes the clip's 2 s in real time).
  EXPECT_GE(pts.size() / seconds, 7.0) << pts.size() << " in " << seconds << " s";
  EXPECT_LE(pts.size() / seconds, 10.5) << pts.size() << " in " << seconds << " s";
  EXPECT_EQ(width, 320);
  EXPECT_TRUE(std::is_sorted(pts.begin(), pts.end()));
}

TEST_F(VideoPath, PreviewWindowFlagClearsWhenTheWindowCloses) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 1.0));
  TCustomFFmpeg engine;
  ASSERT_EQ(Prepare(engine, {{input, {}}}, {{"vcodec", "mpeg4"}}, OutPath("window.avi")), "");
  int shown = 0;
  engine.OnPreviewWindow = [&](TCustomFFmpeg*, TBitmap*, int, int64_t) { return ++shown < 2; };
  engine.SetPreviewInterval(0);
  engine.SetPreviewFlags(1);
  engine.Transcode();
  engine.ReleaseFiles(false);
  EXPECT_EQ(shown, 2) << "the window said no on its second frame";
  EXPECT_EQ(engine.PreviewFlags(), 0);

  // Without a preview window the flag is dropped at the first preview.
  TCustomFFmpeg other;
  ASSERT_EQ(Prepare(other, {{input, {}}}, {{"vcodec", "mpeg4"}}, OutPath("nowindow.avi")), "");
  other.SetPreviewFlags(1);
  other.Transcode();
  other.ReleaseFiles(false);
  EXPECT_EQ(other.PreviewFlags(), 0);
}

TEST_F(VideoPath, SubtitlesAreReencoded) {
  MediaSpec spec = Clip("matroska", "libx264", "", 2.0);
  spec.subtitleCodec = "ass";
  const std::string input = MakeMedia(spec);
  const std::string out = OutPath("subs.mkv");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"scodec", "ass"}}, out), "");
  MediaInfo info = ReadMediaInfo(out);
  const StreamInfo* sub = info.Find(AVMEDIA_TYPE_SUBTITLE);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->codecName, "ass");
  EXPECT_EQ(CountDecodedFrames(out, AVMEDIA_TYPE_SUBTITLE), 4);
  // The container's default subtitle encoder serves when none is named.
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}}, OutPath("default.mkv")), "");
  EXPECT_EQ(CountDecodedFrames(OutPath("default.mkv"), AVMEDIA_TYPE_SUBTITLE), 4);
}

TEST_F(VideoPath, StatisticsFileLines) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "", 0.4));
  const std::string stats = OutPath("vstats.log");
  ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "mpeg4"}, {"vstats_file", stats}}, OutPath("stats.avi")), "");
  std::ifstream in(stats);
  std::string line;
  int lines = 0;
  const std::regex format(
      R"(frame= +\d+ q= \d+\.\d f_size= +\d+ s_size= +\d+kB time= \d+\.\d{3} br= +\d+\.\dkbits/s avg_br= +\d+\.\dkbits/s type= [IPB])");
  while (std::getline(in, line)) {
    EXPECT_TRUE(std::regex_match(line, format)) << line;
    ++lines;
  }
  EXPECT_EQ(lines, 10);
}

TEST_F(VideoPath, ResolutionChangeKeepsConverting) {
  MediaSpec big = Clip("mpegts", "mpeg2video", "", 1.0);
  MediaSpec small = big;
  small.width = 160;
  small.height = 120;
  {
    std::ofstream out(OutPath("change.ts"), std::ios::binary);
    for (const std::string& part : {MakeMedia(big), MakeMedia(small)}) {
      std::ifstream in(part, std::ios::binary);
      out << in.rdbuf();
    }
  }
  const std::string out = OutPath("change.avi");
  ASSERT_EQ(Convert({{OutPath("change.ts"), {}}}, {{"vcodec", "mpeg4"}}, out), "");
  EXPECT_TRUE(host.HasLine(llQuiet, "Input Stream #0.0 frame size changed to 160x120, yuv420p"));
  MediaInfo info = ReadMediaInfo(out);
  const StreamInfo* v = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->width, 320);
  EXPECT_GT(CountDecodedFrames(out, AVMEDIA_TYPE_VIDEO), 40);
}

TEST_F(VideoPath, EveryBuiltinPresetEncodesAClip) {
  MediaSpec spec = Clip("mp4", "libx264", "", 0.2);
  spec.width = 160;
  spec.height = 120;
  const std::string input = MakeMedia(spec);
  for (const auto& [name, text] : BuiltinPresets()) {
    const std::string out = OutPath(name + ".mkv");
    ASSERT_EQ(Convert({{input, {}}}, {{"vcodec", "libx264"}, {"vpre", name}}, out), "") << name;
    EXPECT_EQ(CountDecodedFrames(out, AVMEDIA_TYPE_VIDEO), 5) << name;
    std::filesystem::remove(out);
  }
}

TEST_F(VideoPath, DvdTargetWritesACompliantProgramStream) {
  const std::string input = MakeMedia(Clip("mp4", "libx264", "aac", 1.0));
  const std::string out = OutPath("dvd.mpg");
  ASSERT_EQ(Convert({{input, {}}}, {{"target", "pal-dvd"}}, out), "");
  MediaInfo info = ReadMediaInfo(out);
  EXPECT_EQ(info.formatName, "mpeg");
  const StreamInfo* v = info.Find(AVMEDIA_TYPE_VIDEO);
  const StreamInfo* a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->codecName, "mpeg2video");
  EXPECT_EQ(v->width, 720);
  EXPECT_EQ(v->height, 576);
  EXPECT_EQ(av_cmp_q(v->avgFrameRate, AVRational{25, 1}), 0);
  EXPECT_EQ(a->codecName, "ac3");
  EXPECT_EQ(a->sampleRate, 48000);
}

}  // namespace
}  // namespace quenza::test
