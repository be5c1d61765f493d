// Tests of the test-media generator and inspector (tests/support/TestMedia.h).
// Suite names start with "support_" so that `ctest -R support` selects them.

#include "support/TestMedia.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace quenza::test;

namespace {

class QuietLibraries : public ::testing::Environment {
 public:
  void SetUp() override { av_log_set_level(AV_LOG_ERROR); }
};
[[maybe_unused]] auto* const kQuiet = ::testing::AddGlobalTestEnvironment(new QuietLibraries);

struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

MediaSpec Spec(std::string container, std::string vcodec, std::string acodec, int w = 320, int h = 240,
               double duration = 2.0) {
  MediaSpec s;
  s.container = std::move(container);
  s.videoCodec = std::move(vcodec);
  s.audioCodec = std::move(acodec);
  s.width = w;
  s.height = h;
  s.duration = duration;
  return s;
}

std::vector<int> Iota(int n) {
  std::vector<int> v(n);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

int64_t ExpectedFrames(const MediaSpec& s) { return std::llround(s.duration * av_q2d(s.frameRate)); }

// A copy of the frame converted (and scaled) to another format and size.
FramePtr Convert(const AVFrame* in, int w, int h, AVPixelFormat fmt, int flags = SWS_BILINEAR) {
  FramePtr out(av_frame_alloc());
  out->format = fmt;
  out->width = w;
  out->height = h;
  if (av_frame_get_buffer(out.get(), 0) < 0) throw std::runtime_error("frame buffer");
  std::unique_ptr<SwsContext, SwsFree> sws(sws_getContext(in->width, in->height,
                                                          static_cast<AVPixelFormat>(in->format), w, h, fmt,
                                                          flags, nullptr, nullptr, nullptr));
  if (!sws) throw std::runtime_error("sws");
  if (sws_scale(sws.get(), in->data, in->linesize, 0, in->height, out->data, out->linesize) <= 0)
    throw std::runtime_error("sws_scale");
  return out;
}

// Names of the files in the folder that contain `part`.
std::vector<std::string> FilesContaining(const std::string& dir, const std::string& part) {
  std::vector<std::string> v;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().filename().string().find(part) != std::string::npos) v.push_back(e.path().filename().string());
  return v;
}

std::string Stem(const std::string& path) { return fs::path(path).stem().string(); }

// A scratch folder removed at the end of the test.
struct ScratchDir {
  fs::path path;
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path = fs::temp_directory_path() /
           ("quenza-support-" + std::string(info->name()) + "-" + std::to_string(getpid()));
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

bool IsInterlaced(const AVFrame* f) {
#ifdef AV_FRAME_FLAG_INTERLACED
  return f->flags & AV_FRAME_FLAG_INTERLACED;
#else
  return f->interlaced_frame;
#endif
}

bool IsTopFieldFirst(const AVFrame* f) {
#ifdef AV_FRAME_FLAG_TOP_FIELD_FIRST
  return f->flags & AV_FRAME_FLAG_TOP_FIELD_FIRST;
#else
  return f->top_field_first;
#endif
}

// ---- the fixture set ----

struct Fixture {
  const char* name;
  MediaSpec spec;
  const char* format;  // part of the demuxer name
  const char* vcodec;  // decoder-side codec name, "" = no video
  const char* acodec;
};

std::vector<Fixture> Fixtures() {
  auto withRate = [](MediaSpec s, AVRational r) {
    s.frameRate = r;
    return s;
  };
  auto withAudio = [](MediaSpec s, int rate, int ch) {
    s.sampleRate = rate;
    s.channels = ch;
    return s;
  };
  auto withSampleFmt = [](MediaSpec s, AVSampleFormat f) {
    s.sampleFormat = f;
    return s;
  };
  return {
      {"Mp4H264Aac", Spec("mp4", "libx264", "aac"), "mp4", "h264", "aac"},
      {"Mp4H264Aac160x120", Spec("mp4", "libx264", "aac", 160, 120, 1.0), "mp4", "h264", "aac"},
      {"Mp4H264Aac1280x720", Spec("mp4", "libx264", "aac", 1280, 720, 1.0), "mp4", "h264", "aac"},
      {"Mp4H264Ntsc", withRate(Spec("mp4", "libx264", "aac", 320, 240, 1.0), {30000, 1001}), "mp4", "h264",
       "aac"},
      {"Mp4Aac6ch48k", withAudio(Spec("mp4", "libx264", "aac", 320, 240, 1.0), 48000, 6), "mp4", "h264", "aac"},
      {"AviMpeg4Mp3", Spec("avi", "mpeg4", "libmp3lame", 640, 480), "avi", "mpeg4", "mp3"},
      {"AviMpeg4Mp3_1280x720", Spec("avi", "mpeg4", "libmp3lame", 1280, 720, 1.0), "avi", "mpeg4", "mp3"},
      {"TsMpeg2Mp2_1280x720", Spec("mpegts", "mpeg2video", "mp2", 1280, 720, 1.0), "mpegts", "mpeg2video",
       "mp2"},
      {"TsMpeg2Mp2", Spec("mpegts", "mpeg2video", "mp2"), "mpegts", "mpeg2video", "mp2"},
      {"Mp3", Spec("mp3", "", "libmp3lame"), "mp3", "", "mp3"},
      {"Mp3Mono22k", withAudio(Spec("mp3", "", "libmp3lame"), 22050, 1), "mp3", "", "mp3"},
      {"WavS16", Spec("wav", "", "pcm_s16le"), "wav", "", "pcm_s16le"},
      {"WavFloat", withSampleFmt(Spec("wav", "", "pcm_f32le"), AV_SAMPLE_FMT_FLT), "wav", "", "pcm_f32le"},
      {"MkvH264Mp3", Spec("matroska", "libx264", "libmp3lame"), "matroska", "h264", "mp3"},
      {"MovH264Aac", Spec("mov", "libx264", "aac", 640, 360, 1.0), "mov", "h264", "aac"},
      {"AsfWmv2Wma", Spec("asf", "wmv2", "wmav2"), "asf", "wmv2", "wmav2"},
      {"FlvMp3", Spec("flv", "flv", "libmp3lame"), "flv", "flv1", "mp3"},
      {"MpegPsMpeg2Mp2", Spec("mpeg", "mpeg2video", "mp2"), "mpeg", "mpeg2video", "mp2"},
      {"DvPal", withAudio(Spec("dv", "dvvideo", "pcm_s16le", 720, 576, 1.0), 48000, 2), "dv", "dvvideo",
       "pcm_s16le"},
  };
}

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name; }

class support_Fixture : public ::testing::TestWithParam<Fixture> {};

TEST_P(support_Fixture, HasTheRequestedProperties) {
  const Fixture& fx = GetParam();
  const MediaSpec& s = fx.spec;
  const std::string path = MakeMedia(s);
  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::path(path).extension().string(), "." + DefaultExtension(s.container));

  const MediaInfo info = ReadMediaInfo(path);
  EXPECT_NE(info.formatName.find(fx.format), std::string::npos) << info.formatName;
  ASSERT_NE(info.durationUs, AV_NOPTS_VALUE);
  const double containerDuration = info.durationUs / 1e6;
  EXPECT_NEAR(containerDuration, s.duration, 0.1);

  if (*fx.vcodec) {
    ASSERT_EQ(info.Count(AVMEDIA_TYPE_VIDEO), 1);
    const StreamInfo& v = *info.Find(AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(v.codecName, fx.vcodec);
    EXPECT_EQ(v.width, s.width);
    EXPECT_EQ(v.height, s.height);
    EXPECT_EQ(av_cmp_q(v.avgFrameRate, s.frameRate), 0) << v.avgFrameRate.num << "/" << v.avgFrameRate.den;
    EXPECT_FALSE(v.pixelFormat.empty());
    EXPECT_NEAR(v.duration, s.duration, 0.1);
    EXPECT_EQ(v.packets, ExpectedFrames(s));
    EXPECT_EQ(CountDecodedFrames(path, AVMEDIA_TYPE_VIDEO), ExpectedFrames(s));
    EXPECT_EQ(ReadFrameCounters(path), Iota(static_cast<int>(ExpectedFrames(s))));
  } else {
    EXPECT_EQ(info.Count(AVMEDIA_TYPE_VIDEO), 0);
  }

  if (*fx.acodec) {
    ASSERT_EQ(info.Count(AVMEDIA_TYPE_AUDIO), 1);
    const StreamInfo& a = *info.Find(AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(a.codecName, fx.acodec);
    EXPECT_EQ(a.sampleRate, s.sampleRate);
    EXPECT_EQ(a.channels, s.channels);
    EXPECT_FALSE(a.sampleFormat.empty());
    if (s.sampleFormat != AV_SAMPLE_FMT_NONE) {
      EXPECT_EQ(a.sampleFormat, av_get_sample_fmt_name(s.sampleFormat));
    }
    EXPECT_NEAR(a.duration, s.duration, 0.1);
    EXPECT_GT(a.packets, 0);

    const AudioStats st = MeasureAudio(path);
    EXPECT_NEAR(static_cast<double>(st.samples) / s.sampleRate, s.duration, 0.1);
    EXPECT_EQ(st.samples, CountDecodedSamples(path));
    EXPECT_NEAR(st.rms, kToneRms, 0.15 * kToneRms);
    EXPECT_NEAR(MeasureRms(path), st.rms, 1e-12);
    ASSERT_EQ(st.channelFrequency.size(), static_cast<size_t>(s.channels));
    for (int c = 0; c < s.channels; ++c) {
      const double f = ToneFrequency(0, c, s.channels);
      EXPECT_NEAR(st.channelFrequency[c], f, 0.01 * f) << "channel " << c;
      EXPECT_NEAR(st.channelRms[c], kToneRms, 0.15 * kToneRms) << "channel " << c;
    }
  } else {
    EXPECT_EQ(info.Count(AVMEDIA_TYPE_AUDIO), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Media, support_Fixture, ::testing::ValuesIn(Fixtures()),
                         [](const ::testing::TestParamInfo<Fixture>& i) { return std::string(i.param.name); });

// ---- frame counter ----

TEST(support_FrameCounter, ReadsBackAfterScalingTo160x120) {
  for (const MediaSpec& s : {Spec("mp4", "libx264", "aac"), Spec("mpegts", "mpeg2video", "mp2", 1280, 720, 1.0),
                             Spec("avi", "mpeg4", "libmp3lame", 640, 480)}) {
    const std::string path = MakeMedia(s);
    std::vector<int> bilinear, area, bicubicRgb;
    ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
      bilinear.push_back(ReadFrameCounter(Convert(f, 160, 120, AV_PIX_FMT_YUV420P).get()));
      area.push_back(ReadFrameCounter(Convert(f, 160, 120, AV_PIX_FMT_YUV420P, SWS_AREA).get()));
      bicubicRgb.push_back(ReadFrameCounter(Convert(f, 160, 120, AV_PIX_FMT_RGB24, SWS_BICUBIC).get()));
    });
    const auto want = Iota(static_cast<int>(ExpectedFrames(s)));
    EXPECT_EQ(bilinear, want) << s.videoCodec;
    EXPECT_EQ(area, want) << s.videoCodec;
    EXPECT_EQ(bicubicRgb, want) << s.videoCodec;
  }
}

TEST(support_FrameCounter, SurvivesLowBitRates) {
  for (const char* codec : {"libx264", "mpeg4", "mpeg2video"}) {
    MediaSpec s = Spec("matroska", codec, "", 320, 240, 2.0);
    s.videoBitRate = 30000;
    const std::string path = MakeMedia(s);
    EXPECT_LT(ReadMediaInfo(path).bitRate, 400000) << codec;
    std::vector<int> small;
    ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
      small.push_back(ReadFrameCounter(Convert(f, 160, 120, AV_PIX_FMT_YUV420P).get()));
    });
    EXPECT_EQ(ReadFrameCounters(path), Iota(50)) << codec;
    EXPECT_EQ(small, Iota(50)) << codec;
  }
}

TEST(support_FrameCounter, ReadsAnyCommonPixelFormatAndOtherSizes) {
  const std::string path = MakeMedia(Spec("mp4", "libx264", "aac"));
  const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_NV12,
                                   AV_PIX_FMT_YUYV422, AV_PIX_FMT_RGB24,   AV_PIX_FMT_BGR24,   AV_PIX_FMT_BGR0,
                                   AV_PIX_FMT_RGBA,    AV_PIX_FMT_GRAY8,   AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P10LE};
  int n = 0;
  ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
    EXPECT_EQ(ReadFrameCounter(f), n);
    for (AVPixelFormat fmt : formats)
      EXPECT_EQ(ReadFrameCounter(Convert(f, f->width, f->height, fmt).get()), n) << av_get_pix_fmt_name(fmt);
    // Non-proportional and enlarged sizes: the layout is relative to the picture.
    EXPECT_EQ(ReadFrameCounter(Convert(f, 176, 144, AV_PIX_FMT_YUV420P).get()), n);
    EXPECT_EQ(ReadFrameCounter(Convert(f, 1920, 1080, AV_PIX_FMT_YUV420P).get()), n);
    ++n;
  });
  EXPECT_EQ(n, 50);
}

TEST(support_FrameCounter, UnreadablePicturesGiveMinusOne) {
  EXPECT_EQ(ReadFrameCounter(nullptr), -1);
  FramePtr f(av_frame_alloc());
  f->format = AV_PIX_FMT_YUV420P;
  f->width = 320;
  f->height = 240;
  ASSERT_GE(av_frame_get_buffer(f.get(), 0), 0);
  for (int y = 0; y < 240; ++y) std::fill_n(f->data[0] + y * f->linesize[0], 320, uint8_t{16});
  for (int p = 1; p < 3; ++p)
    for (int y = 0; y < 120; ++y) std::fill_n(f->data[p] + y * f->linesize[p], 160, uint8_t{128});
  EXPECT_EQ(ReadFrameCounter(f.get()), -1);  // black
  // Upside down: the markers are in the wrong places.
  const std::string path = MakeMedia(Spec("mp4", "libx264", "aac"));
  bool checked = false;
  ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* in) {
    if (checked) return;
    checked = true;
    FramePtr flipped = Convert(in, in->width, in->height, AV_PIX_FMT_GRAY8);
    FramePtr copy = Convert(in, in->width, in->height, AV_PIX_FMT_GRAY8);
    for (int y = 0; y < in->height; ++y)
      std::copy_n(copy->data[0] + (in->height - 1 - y) * copy->linesize[0], in->width,
                  flipped->data[0] + y * flipped->linesize[0]);
    EXPECT_EQ(ReadFrameCounter(copy.get()), 0);
    EXPECT_EQ(ReadFrameCounter(flipped.get()), -1);
  });
  EXPECT_TRUE(checked);
}

TEST(support_FrameCounter, CountsPastOneByteInLongerFiles) {
  MediaSpec s = Spec("mp4", "libx264", "", 160, 120, 12.0);
  s.frameRate = {50, 1};
  const auto counters = ReadFrameCounters(MakeMedia(s));
  EXPECT_EQ(counters, Iota(600));
}

// ---- cache ----

TEST(support_Cache, SecondCallReusesTheFile) {
  const MediaSpec s = Spec("mp4", "libx264", "aac", 320, 240, 0.6);
  const std::string path = MakeMedia(s);
  EXPECT_EQ(path, MediaPath(s));
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(MediaCacheDir()));
  EXPECT_EQ(fs::path(path).filename().string().rfind("mp4_libx264_320x240_25fps_aac_44100hz_2ch_0.6s_", 0), 0u)
      << path;
  struct stat before {}, after {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(MakeMedia(s), path);
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_size, after.st_size);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST(support_Cache, EveryFieldChangesTheName) {
  const MediaSpec base = Spec("mp4", "libx264", "aac");
  std::vector<MediaSpec> variants(18, base);
  int i = 0;
  variants[i++].container = "mov";
  variants[i++].extension = "m4v";
  variants[i++].videoCodec = "mpeg4";
  variants[i++].audioCodec = "libmp3lame";
  variants[i++].subtitleCodec = "mov_text";
  variants[i++].width = 322;
  variants[i++].height = 242;
  variants[i++].frameRate = {50, 2};
  variants[i++].duration = 2.5;
  variants[i++].sampleRate = 48000;
  variants[i++].channels = 1;
  variants[i++].audioTracks = 2;
  variants[i++].videoBitRate = 1000000;
  variants[i++].audioBitRate = 96000;
  variants[i++].pixelFormat = AV_PIX_FMT_YUV444P;
  variants[i++].sampleFormat = AV_SAMPLE_FMT_FLTP;
  variants[i++].interlaced = true;
  variants[i++].audioStartDelay = 0.5;
  variants.push_back(base);
  variants.back().gopSize = 10;
  std::vector<std::string> names{MediaPath(base)};
  for (const auto& v : variants) names.push_back(MediaPath(v));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
  EXPECT_EQ(MediaPath(base), MediaPath(Spec("mp4", "libx264", "aac")));
  EXPECT_EQ(fs::path(MediaPath(variants[1])).extension(), ".m4v");
}

TEST(support_Cache, DefaultExtensions) {
  EXPECT_EQ(DefaultExtension("mp4"), "mp4");
  EXPECT_EQ(DefaultExtension("matroska"), "mkv");
  EXPECT_EQ(DefaultExtension("mpegts"), "ts");
  EXPECT_EQ(DefaultExtension("mpeg"), "mpg");
  EXPECT_EQ(DefaultExtension("asf"), "asf");
  EXPECT_EQ(DefaultExtension("wav"), "wav");
  EXPECT_EQ(DefaultExtension("dv"), "dv");
  EXPECT_THROW(DefaultExtension("no-such-muxer"), std::runtime_error);
}

TEST(support_Cache, ConcurrentCallsGiveOneValidFile) {
  // A spec of this test only, removed first so that every run generates it.
  MediaSpec s = Spec("avi", "mpeg4", "libmp3lame", 320, 240, 0.44);
  const std::string path = MediaPath(s);
  fs::remove(path);
  std::vector<std::string> results(4);
  std::vector<std::string> errors(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      try {
        results[t] = MakeMedia(s);
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  for (auto& t : threads) t.join();
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(errors[t], "");
    EXPECT_EQ(results[t], path);
  }
  EXPECT_EQ(ReadFrameCounters(path), Iota(11));
  EXPECT_EQ(FilesContaining(MediaCacheDir(), Stem(path) + ".avi.tmp"), std::vector<std::string>{});
}

// ---- failures ----

TEST(support_Failures, UnknownEncoderThrowsAndLeavesNothing) {
  struct Case {
    MediaSpec spec;
    const char* message;
  };
  MediaSpec wrongType = Spec("mp4", "aac", "");
  MediaSpec refused = Spec("mp3", "mpeg2video", "libmp3lame");
  MediaSpec badRate = Spec("mp4", "", "mp2");
  badRate.sampleRate = 12345;
  const Case cases[] = {
      {Spec("mp4", "no_such_encoder", "aac"), "no_such_encoder"},
      {Spec("mp4", "libx264", "no_such_audio"), "no_such_audio"},
      {Spec("no_such_muxer", "libx264", "aac"), "no_such_muxer"},
      {wrongType, "not a video encoder"},
      {refused, "mp3"},
      {badRate, "12345"},
  };
  const std::string dir = MediaCacheDir();
  for (const Case& c : cases) {
    const std::string path = MediaPath(c.spec);
    try {
      MakeMedia(c.spec);
      ADD_FAILURE() << "no exception for " << path;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_EQ(FilesContaining(dir, Stem(path)), std::vector<std::string>{}) << path;
  }
}

TEST(support_Failures, WriteMediaLeavesNoPartialFile) {
  ScratchDir dir;
  const std::string out = (dir.path / "bad.mp4").string();
  EXPECT_THROW(WriteMedia(Spec("mp4", "libx264", "nope"), out), std::runtime_error);
  EXPECT_TRUE(fs::is_empty(dir.path));
  // A failure replacing an existing file leaves the old file as it was.
  { std::ofstream(out) << "old"; }
  EXPECT_THROW(WriteMedia(Spec("mp4", "nope", ""), out), std::runtime_error);
  std::ifstream in(out);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

// ---- interlaced ----

// Mean absolute luma difference between line y and y+1 over the stripe band, for even y.
double FieldDifference(const AVFrame* f) {
  const int h = f->height, w = f->width;
  double sum = 0;
  int64_t n = 0;
  for (int y = (7 * h / 12 + 2) & ~1; y + 1 < 10 * h / 12 - 2; y += 2)
    for (int x = 0; x < w; ++x) {
      sum += std::abs(f->data[0][y * f->linesize[0] + x] - f->data[0][(y + 1) * f->linesize[0] + x]);
      ++n;
    }
  return sum / n;
}

// The shift s (pixels) for which odd line y+1 at x best matches even line y at x+s.
int BestFieldShift(const AVFrame* f) {
  const int h = f->height, w = f->width;
  int best = 0;
  double bestErr = 1e300;
  for (int s = -6; s <= 6; ++s) {
    double err = 0;
    for (int y = (7 * h / 12 + 2) & ~1; y + 1 < 10 * h / 12 - 2; y += 2)
      for (int x = 8; x < w - 8; ++x)
        err += std::abs(f->data[0][y * f->linesize[0] + x + s] - f->data[0][(y + 1) * f->linesize[0] + x]);
    if (err < bestErr) bestErr = err, best = s;
  }
  return best;
}

TEST(support_Interlaced, FieldsShowTwoTimesTopFirst) {
  MediaSpec x264 = Spec("mp4", "libx264", "aac", 320, 240, 1.0);
  x264.interlaced = true;
  MediaSpec mpeg2 = Spec("mpegts", "mpeg2video", "mp2", 720, 576, 1.0);
  mpeg2.interlaced = true;
  mpeg2.videoBitRate = 4000000;
  for (const MediaSpec& s : {x264, mpeg2}) {
    SCOPED_TRACE(s.videoCodec);
    const std::string path = MakeMedia(s);
    const MediaInfo info = ReadMediaInfo(path);
    ASSERT_NE(info.Find(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->fieldOrder, AV_FIELD_TT);
    MediaSpec progressive = s;
    progressive.interlaced = false;
    const std::string ppath = MakeMedia(progressive);
    EXPECT_EQ(ReadMediaInfo(ppath).Find(AVMEDIA_TYPE_VIDEO)->fieldOrder, AV_FIELD_PROGRESSIVE);

    int frames = 0;
    double minInterlacedDiff = 1e300;
    ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
      ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
      EXPECT_TRUE(IsInterlaced(f));
      EXPECT_TRUE(IsTopFieldFirst(f));
      EXPECT_EQ(ReadFrameCounter(f), frames);
      minInterlacedDiff = std::min(minInterlacedDiff, FieldDifference(f));
      // The bottom field is later: the pattern has scrolled further left in it.
      const double perField = kPatternSpeed * s.width / 320.0 / 2 / av_q2d(s.frameRate);
      EXPECT_NEAR(BestFieldShift(f), perField, 1.0);
      ++frames;
    });
    EXPECT_EQ(frames, ExpectedFrames(s));
    double maxProgressiveDiff = 0;
    ForEachDecodedFrame(ppath, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
      EXPECT_FALSE(IsInterlaced(f));
      maxProgressiveDiff = std::max(maxProgressiveDiff, FieldDifference(f));
    });
    EXPECT_GT(minInterlacedDiff, 20.0);
    EXPECT_LT(maxProgressiveDiff, 8.0);
  }
}

// ---- audio ----

TEST(support_Audio, StartDelay) {
  MediaSpec mp4 = Spec("mp4", "libx264", "aac");
  MediaSpec mkv = Spec("matroska", "libx264", "libmp3lame");
  MediaSpec ts = Spec("mpegts", "mpeg2video", "mp2");
  for (MediaSpec s : {mp4, mkv, ts}) {
    SCOPED_TRACE(s.container);
    s.audioStartDelay = 1.0;
    const std::string path = MakeMedia(s);
    const MediaInfo info = ReadMediaInfo(path);
    const StreamInfo* v = info.Find(AVMEDIA_TYPE_VIDEO);
    const StreamInfo* a = info.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_NEAR(a->startTime - v->startTime, 1.0, 0.05);
    EXPECT_NEAR(a->duration, 2.0, 0.1);
    EXPECT_NEAR(v->duration, 2.0, 0.1);
    EXPECT_NEAR(info.durationUs / 1e6, 3.0, 0.1);
    const AudioStats st = MeasureAudio(path);
    EXPECT_NEAR(st.firstPts - v->startTime, 1.0, 0.05);
    EXPECT_NEAR(st.rms, kToneRms, 0.15 * kToneRms);
    EXPECT_EQ(ReadFrameCounters(path), Iota(50));
  }
  // Negative: the video starts later.
  MediaSpec late = mp4;
  late.audioStartDelay = -0.5;
  const MediaInfo info = ReadMediaInfo(MakeMedia(late));
  EXPECT_NEAR(info.Find(AVMEDIA_TYPE_VIDEO)->startTime - info.Find(AVMEDIA_TYPE_AUDIO)->startTime, 0.5, 0.05);
}

TEST(support_Audio, PcmToneIsExact) {
  MediaSpec s = Spec("wav", "", "pcm_s16le");
  s.channels = 6;
  s.sampleRate = 48000;
  s.duration = 1.0;
  const std::string path = MakeMedia(s);
  EXPECT_EQ(CountDecodedSamples(path), 48000);
  const AudioStats st = MeasureAudio(path);
  EXPECT_EQ(st.samples, 48000);
  EXPECT_NEAR(st.rms, kToneRms, 0.002);
  EXPECT_NEAR(20 * std::log10(st.rms * std::sqrt(2.0)), -12.0, 0.1);
  ASSERT_EQ(st.channelFrequency.size(), 6u);
  for (int c = 0; c < 6; ++c) EXPECT_NEAR(st.channelFrequency[c], ToneFrequency(0, c, 6), 0.5) << c;
  EXPECT_EQ(st.channelFrequency[3], ToneFrequency(0, 3, 6));  // LFE: 50 Hz, exactly 50 periods
}

TEST(support_Audio, MatroskaWithTwoAudioTracksAndSubtitles) {
  for (const char* sub : {"ass", "srt"}) {
    SCOPED_TRACE(sub);
    MediaSpec s = Spec("matroska", "libx264", "libmp3lame");
    s.audioTracks = 2;
    s.subtitleCodec = sub;
    const std::string path = MakeMedia(s);
    const MediaInfo info = ReadMediaInfo(path);
    ASSERT_EQ(info.Count(AVMEDIA_TYPE_VIDEO), 1);
    ASSERT_EQ(info.Count(AVMEDIA_TYPE_AUDIO), 2);
    ASSERT_EQ(info.Count(AVMEDIA_TYPE_SUBTITLE), 1);
    EXPECT_EQ(info.Find(AVMEDIA_TYPE_SUBTITLE)->codecName, std::string(sub) == "ass" ? "ass" : "subrip");
    EXPECT_EQ(info.Find(AVMEDIA_TYPE_SUBTITLE)->packets, 4);
    EXPECT_EQ(CountDecodedFrames(path, AVMEDIA_TYPE_SUBTITLE), 4);
    for (int t = 0; t < 2; ++t) {
      EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO, t)->codecName, "mp3");
      const AudioStats st = MeasureAudio(path, t);
      ASSERT_EQ(st.channelFrequency.size(), 2u);
      for (int c = 0; c < 2; ++c)
        EXPECT_NEAR(st.channelFrequency[c], ToneFrequency(t, c), 0.01 * ToneFrequency(t, c)) << t << "/" << c;
    }
    EXPECT_EQ(ReadFrameCounters(path), Iota(50));
  }
  EXPECT_EQ(ToneFrequency(0, 0), 440.0);
  EXPECT_EQ(ToneFrequency(0, 1), 880.0);
  EXPECT_EQ(ToneFrequency(1, 0), 550.0);
  EXPECT_EQ(ToneFrequency(0, 3, 6), 50.0);  // LFE of 5.1
  EXPECT_EQ(ToneFrequency(0, 4, 6), 2200.0);
}

TEST(support_Options, BitRateGopAndPixelFormat) {
  MediaSpec s = Spec("mp4", "libx264", "aac", 320, 240, 2.0);
  s.audioBitRate = 64000;
  s.gopSize = 10;
  s.pixelFormat = AV_PIX_FMT_YUV444P;
  const std::string path = MakeMedia(s);
  const MediaInfo info = ReadMediaInfo(path);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->pixelFormat, "yuv444p");
  EXPECT_NEAR(info.Find(AVMEDIA_TYPE_AUDIO)->bitRate, 64000, 16000);
  int keyframes = 0;
  ForEachDecodedFrame(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
#ifdef AV_FRAME_FLAG_KEY
    keyframes += (f->flags & AV_FRAME_FLAG_KEY) ? 1 : 0;
#else
    keyframes += f->key_frame ? 1 : 0;
#endif
  });
  EXPECT_EQ(keyframes, 5);
  EXPECT_EQ(ReadFrameCounters(path), Iota(50));

  // The bit rate is honoured. (The pattern is very compressible, so rates well above what it
  // needs are not reached.)
  MediaSpec m = Spec("mp4", "libx264", "", 640, 480, 2.0);
  m.videoBitRate = 100000;
  const std::string p = MakeMedia(m);
  EXPECT_NEAR(ReadMediaInfo(p).Find(AVMEDIA_TYPE_VIDEO)->bitRate, 100000, 30000);
  EXPECT_EQ(ReadFrameCounters(p), Iota(50));
}

// ---- quenza-make-media ----

int RunTool(const std::string& args, const std::string& errFile) {
  const std::string cmd = std::string(QUENZA_MAKE_MEDIA_EXE) + " " + args + " >/dev/null 2>" + errFile;
  const int st = std::system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(support_MakeMediaTool, WritesTheFileAndReportsErrors) {
  ScratchDir dir;
  const std::string err = (dir.path / "err.txt").string();
  const std::string out = (dir.path / "out.mkv").string();
  ASSERT_EQ(RunTool("--container matroska --vcodec libx264 --acodec aac --size 160x120 --rate 30000/1001 "
                "--duration 0.5 --ar 48000 --ac 1 --vb 300000 --ab 64000 -o " + out,
                err),
            0)
      << ReadAll(err);
  const MediaInfo info = ReadMediaInfo(out);
  EXPECT_NE(info.formatName.find("matroska"), std::string::npos);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->width, 160);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->height, 120);
  EXPECT_EQ(av_cmp_q(info.Find(AVMEDIA_TYPE_VIDEO)->avgFrameRate, AVRational{30000, 1001}), 0);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO)->sampleRate, 48000);
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO)->channels, 1);
  EXPECT_EQ(ReadFrameCounters(out), Iota(15));

  const std::string bad = (dir.path / "bad.mp4").string();
  EXPECT_EQ(RunTool("--container mp4 --vcodec nope -o " + bad, err), 1);
  EXPECT_NE(ReadAll(err).find("nope"), std::string::npos) << ReadAll(err);
  EXPECT_FALSE(fs::exists(bad));

  EXPECT_EQ(RunTool("", err), 2);
  EXPECT_EQ(RunTool("--container mp4 --vcodec libx264", err), 2);                 // no -o
  EXPECT_EQ(RunTool("--container mp4 -o " + bad, err), 2);                         // no codec
  EXPECT_EQ(RunTool("--container mp4 --vcodec libx264 --size 12 -o " + bad, err), 2);
  EXPECT_EQ(RunTool("--container mp4 --vcodec libx264 --frobnicate 1 -o " + bad, err), 2);
  EXPECT_EQ(RunTool("--container mp4 --acodec aac --ac x -o " + bad, err), 2);
  EXPECT_EQ(RunTool("--container mp4 --vcodec libx264 --duration", err), 2);
  EXPECT_FALSE(fs::exists(bad));
}

TEST(support_MakeMediaTool, TwoProcessesWritingOnePath) {
  ScratchDir dir;
  const std::string out = (dir.path / "same.ts").string();
  const std::string args = "--container mpegts --vcodec mpeg2video --acodec mp2 --duration 1 -o " + out;
  const std::string exe = QUENZA_MAKE_MEDIA_EXE;
  const std::string cmd = "{ " + exe + " " + args + " & a=$!; " + exe + " " + args +
                          " & b=$!; wait $a || exit 1; wait $b; } 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(ReadFrameCounters(out), Iota(25));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

}  // namespace
