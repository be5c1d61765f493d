#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "TestHost.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "media/FFmpegOptions.h"
#include "support/TestMedia.h"

namespace quenza::test {
namespace {

using Metadata = std::vector<std::pair<std::string, std::string>>;

// Sets TZ for the lifetime of the object.
class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TimeZone() {
    if (old_)
      setenv("TZ", old_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

class OptionRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.Reset();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("quenza-records-" + std::string(info->name()) + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    engine.ReleaseFiles(false);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string OutPath(const std::string& name) const { return (dir_ / name).string(); }

  // The part of the output set-up before the file is added.
  TPendingOptions Before(TOutputOptions options, const std::string& fileName = "out.mkv") {
    TPendingOptions pending;
    ApplyOutputOptionsBefore(engine, options, fileName, pending);
    return pending;
  }

  int64_t CodecInt(TMediaKind kind, const char* name) const {
    int64_t v = 0;
    EXPECT_GE(av_opt_get_int(engine.CodecOptionContext(kind), name, 0, &v), 0) << name;
    return v;
  }
  int64_t FormatInt(const char* name) const {
    int64_t v = 0;
    EXPECT_GE(av_opt_get_int(engine.FormatOptionContext(), name, 0, &v), 0) << name;
    return v;
  }

  TTestHost host;
  TCustomFFmpeg engine;
  std::filesystem::path dir_;
};

// The FFmpegException text of f, or "" when it succeeds.
std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const FFmpegException& e) {
    return e.what();
  }
  return "";
}

TEST(OptionRecordDefaults, InputRecord) {
  TInputOptions o;
  EXPECT_EQ(o.FileName, "");
  EXPECT_EQ(o.FileFormat, "");
  EXPECT_EQ(o.StartTime, kNoTimestamp);
  EXPECT_EQ(o.StartTime, INT64_MIN);
  EXPECT_EQ(o.ProgramID, -1);
  EXPECT_EQ(o.ExtOptions, "");
}

TEST(OptionRecordDefaults, OutputRecord) {
  TOutputOptions o;
  for (const std::string* s :
       {&o.FileName, &o.FileFormat, &o.AudioCodec, &o.AudioPreset, &o.AudioLanguage, &o.AudioTag,
        &o.VideoCodec, &o.VideoPreset, &o.FrameRate, &o.FrameSize, &o.FrameAspectRatio, &o.VideoTag,
        &o.VideoFilters, &o.VideoLanguage, &o.SubtitleCodec, &o.SubtitlePreset, &o.SubtitleLanguage,
        &o.ExtOptions, &o.Info.Title, &o.Info.Author, &o.Info.Copyright, &o.Info.Comment, &o.Info.Album,
        &o.Info.Genre})
    EXPECT_EQ(*s, "");
  for (int v : {o.PacketSize, o.MuxRate, o.AudioVolume, o.AudioChannels, o.AudioSampleRate, o.AudioBitrate,
                o.AudioBitrateTolerance, o.CropTop, o.CropBottom, o.CropLeft, o.CropRight, o.GOPSize,
                o.VideoBitrate, o.VideoMaxRate, o.VideoMinRate, o.VideoBitrateTolerance, o.VideoBufSize,
                o.VideoSync, o.Info.Year, o.Info.Track})
    EXPECT_EQ(v, -1);
  EXPECT_EQ(o.MuxDelay, -1.0f);
  EXPECT_EQ(o.MuxPreload, -1.0f);
  EXPECT_EQ(o.Info.TimeStamp, -1.0);
  EXPECT_EQ(o.AudioSync, 0);
  EXPECT_EQ(o.TargetType, 0);
  EXPECT_EQ(o.TargetNorm, 0);
  EXPECT_EQ(o.TargetFallbackNorm, 1);
  for (bool b : {o.DisableAudio, o.DisableVideo, o.DisableSubtitle, o.InputSync, o.CopyTimestamps,
                 o.CustomHook, o.Join})
    EXPECT_FALSE(b);
  EXPECT_EQ(o.StartTime, kNoTimestamp);
  EXPECT_EQ(o.RecordingTime, kNoTimestamp);
}

// Applied to a fresh engine, the default records leave every setting at the engine's
// default and set no library option.
TEST_F(OptionRecords, DefaultRecordsChangeNothing) {
  const TEngineSettings fresh = engine.Settings();
  TInputOptions in;
  ApplyInputOptions(engine, in, "in.mp4");
  TPendingOptions pending = Before(TOutputOptions{});
  const TEngineSettings& s = engine.Settings();
  EXPECT_EQ(s.format_name, fresh.format_name);
  EXPECT_EQ(s.start_time, fresh.start_time);
  EXPECT_EQ(s.recording_time, fresh.recording_time);
  EXPECT_EQ(s.opt_programid, fresh.opt_programid);
  EXPECT_EQ(s.frame_width, fresh.frame_width);
  EXPECT_EQ(s.frame_rate.den, fresh.frame_rate.den);
  EXPECT_EQ(s.audio_sample_rate, fresh.audio_sample_rate);
  EXPECT_EQ(s.audio_channels, fresh.audio_channels);
  EXPECT_EQ(s.audio_volume, fresh.audio_volume);
  EXPECT_EQ(s.audio_sync_method, fresh.audio_sync_method);
  EXPECT_EQ(s.video_sync_method, fresh.video_sync_method);
  EXPECT_EQ(s.mux_max_delay, fresh.mux_max_delay);
  EXPECT_EQ(s.mux_preload, fresh.mux_preload);
  EXPECT_EQ(s.input_sync, fresh.input_sync);
  EXPECT_EQ(s.copy_ts, fresh.copy_ts);
  EXPECT_EQ(s.rec_timestamp, 0);
  EXPECT_TRUE(s.metadata.empty());
  EXPECT_EQ(s.vfilters, "");
  for (const TKindSettings* k : {&s.video, &s.audio, &s.subtitle}) {
    EXPECT_EQ(k->codec_name, "");
    EXPECT_FALSE(k->disabled);
    EXPECT_EQ(k->language, "");
    EXPECT_EQ(k->codec_tag, 0u);
  }
  EXPECT_TRUE(engine.RecordedOptionNames().empty());
  EXPECT_TRUE(pending.Pending.empty());
  for (const auto& [name, value] : pending.Defaults) EXPECT_EQ(value, "") << name;
}

TEST(ExtOptions, ParsesLinesIntoNamesAndValues) {
  const struct {
    const char* text;
    TOptionLines lines;
  } cases[] = {
      {"", {}},
      {"ar=22050", {{"ar", "22050"}}},
      {"ar=22050<CRLF>AC=1<CRLF>vol=512", {{"ar", "22050"}, {"ac", "1"}, {"vol", "512"}}},
      {"ar=22050\r\nAC=1\nvol=512\rb=1", {{"ar", "22050"}, {"ac", "1"}, {"vol", "512"}, {"b", "1"}}},
      {"  ar=22050\r\n<CRLF>\r\n", {{"ar", "22050"}}},
      {"metadata=title=a=b", {{"metadata", "title=a=b"}}},
      {"newaudio<CRLF>copyts", {{"newaudio", ""}, {"copyts", ""}}},
      {"vf=", {{"vf", ""}}},
      {"VFilters=Scale=320:240", {{"vfilters", "Scale=320:240"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseExtOptions(c.text), c.lines) << c.text;
}

// A list joined with "<CRLF>" sets the engine up exactly as one with line breaks.
TEST_F(OptionRecords, CrlfTokenSeparatesLinesLikeLineBreaks) {
  auto apply = [this](const std::string& ext) {
    engine.Reset();
    TOutputOptions o;
    o.ExtOptions = ext;
    Before(o);
    const TEngineSettings& s = engine.Settings();
    return std::vector<int64_t>{s.audio_sample_rate, s.audio_volume, s.frame_width, s.frame_height,
                                CodecInt(mkVideo, "g"), s.copy_ts ? 1 : 0};
  };
  const std::vector<int64_t> expected{22050, 512, 320, 240, 33, 1};
  EXPECT_EQ(apply("ar=22050\r\nvol=512\r\ns=320x240\r\ng=33\r\ncopyts"), expected);
  EXPECT_EQ(apply("ar=22050<CRLF>vol=512<CRLF>s=320x240<CRLF>g=33<CRLF>copyts"), expected);
  EXPECT_EQ(apply("ar=22050\nvol=512<CRLF>s=320x240\rg=33<CRLF>copyts"), expected);
}

TEST_F(OptionRecords, InputFileNameIsFilledOnlyWhenEmpty) {
  TInputOptions o;
  ApplyInputOptions(engine, o, "a.mp4");
  EXPECT_EQ(o.FileName, "a.mp4");
  ApplyInputOptions(engine, o, "b.mp4");
  EXPECT_EQ(o.FileName, "a.mp4");

  TOutputOptions out;
  TPendingOptions pending;
  ApplyOutputOptionsBefore(engine, out, "c.mkv", pending);
  EXPECT_EQ(out.FileName, "c.mkv");
  ApplyOutputOptionsBefore(engine, out, "d.mkv", pending);
  EXPECT_EQ(out.FileName, "c.mkv");
}

// Output-only lines are skipped on the input side; each of these would fail or change a
// setting if it reached the engine. Codec names and "s" act on the input.
TEST_F(OptionRecords, InputSkipsOutputOnlyLines) {
  TInputOptions o;
  o.ExtOptions =
      "newvideo\nnewaudio\nnewsubtitle\napre=nonesuch\nvpre=nonesuch\nspre=nonesuch\n"
      "vfilters=hflip\nvf=vflip\n"
      "acodec=aac\nvcodec=h264\nscodec=ass\ns=352x288\nar=22050";
  ASSERT_EQ(ErrorOf([&] { ApplyInputOptions(engine, o, "in.mp4"); }), "");
  const TEngineSettings& s = engine.Settings();
  EXPECT_EQ(s.vfilters, "");
  EXPECT_EQ(s.audio.codec_name, "aac");
  EXPECT_EQ(s.video.codec_name, "h264");
  EXPECT_EQ(s.subtitle.codec_name, "ass");
  EXPECT_EQ(s.frame_width, 352);
  EXPECT_EQ(s.frame_height, 288);
  EXPECT_EQ(s.audio_sample_rate, 22050);
}

// The typed fields come after the lines, and unset fields leave what the lines set.
TEST_F(OptionRecords, InputFieldsFollowTheLines) {
  const struct {
    const char* ext;
    std::string format;
    int64_t start;
    int program;
    std::string expectFormat;
    int64_t expectStart;
    int expectProgram;
  } cases[] = {
      {"", "", kNoTimestamp, -1, "", 0, 0},
      {"", "mpegts", 2500000, 3, "mpegts", 2500000, 3},
      {"f=avi\nss=5\nprogramid=7", "", kNoTimestamp, -1, "avi", 5000000, 7},
      {"f=avi\nss=5\nprogramid=7", "mpegts", 2000000, 0, "mpegts", 2000000, 0},
      {"ss=5", "", 0, -1, "", 0, 0},
  };
  for (const auto& c : cases) {
    engine.Reset();
    TInputOptions o;
    o.ExtOptions = c.ext;
    o.FileFormat = c.format;
    o.StartTime = c.start;
    o.ProgramID = c.program;
    ApplyInputOptions(engine, o, "in.ts");
    EXPECT_EQ(engine.Settings().format_name, c.expectFormat) << c.ext << " / " << c.format;
    EXPECT_EQ(engine.Settings().start_time, c.expectStart) << c.ext << " / " << c.start;
    EXPECT_EQ(engine.Settings().opt_programid, c.expectProgram) << c.ext << " / " << c.program;
  }
}

TEST_F(OptionRecords, InputRecordOpensItsFile) {
  MediaSpec spec;
  spec.videoCodec = "mpeg4";
  spec.audioCodec = "aac";
  spec.duration = 1.0;
  const std::string input = MakeMedia(spec);
  TInputOptions o;
  o.FileFormat = "mov";
  o.ExtOptions = "acodec=aac";
  ApplyInputOptions(engine, o, input);
  ASSERT_TRUE(engine.AddInputFile(o.FileName)) << engine.LastErrorText();
  EXPECT_EQ(engine.InputFileCount(), 1);

  engine.Reset();
  TInputOptions wrong;
  wrong.FileFormat = "wav";
  ApplyInputOptions(engine, wrong, input);
  EXPECT_FALSE(engine.AddInputFile(wrong.FileName)) << "the forced demuxer is used";
}

TEST_F(OptionRecords, PendingTableFromFieldsAndLines) {
  const struct {
    const char* note;
    std::function<void(TOutputOptions&)> set;
    std::vector<std::pair<std::string, std::string>> defaults;  // the non-empty ones
    TOptionLines pending;
  } cases[] = {
      {"fields only",
       [](TOutputOptions& o) {
         o.AudioCodec = "mp2";
         o.VideoCodec = "mpeg4";
         o.SubtitleCodec = "ass";
         o.AudioPreset = "ap";
         o.VideoPreset = "vp";
         o.SubtitlePreset = "sp";
         o.FrameSize = "320x240";
         o.VideoFilters = "hflip";
       },
       {{"def_acodec", "mp2"}, {"def_apre", "ap"}, {"def_s", "320x240"}, {"def_scodec", "ass"},
        {"def_spre", "sp"}, {"def_vcodec", "mpeg4"}, {"def_vf", "hflip"}, {"def_vpre", "vp"}},
       {}},
      {"the first line fills an empty field; every line is pending",
       [](TOutputOptions& o) { o.ExtOptions = "acodec=mp2\nar=22050\nacodec=ac3\nnewaudio\nS=160x120"; },
       {{"def_acodec", "mp2"}, {"def_s", "160x120"}},
       {{"acodec", "mp2"}, {"acodec", "ac3"}, {"s", "160x120"}}},
      {"a field wins over the lines",
       [](TOutputOptions& o) {
         o.AudioCodec = "ac3";
         o.ExtOptions = "acodec=mp2";
       },
       {{"def_acodec", "ac3"}},
       {{"acodec", "mp2"}}},
      {"vfilters counts as vf",
       [](TOutputOptions& o) { o.ExtOptions = "vfilters=hflip\nvf=vflip"; },
       {{"def_vf", "hflip"}},
       {{"vf", "hflip"}, {"vf", "vflip"}}},
      {"empty values are left out",
       [](TOutputOptions& o) { o.ExtOptions = "acodec=\nvpre=\ns"; },
       {},
       {}},
  };
  for (const auto& c : cases) {
    TOutputOptions o;
    c.set(o);
    TPendingOptions p;
    p.Build(o);
    std::vector<std::pair<std::string, std::string>> defaults;
    for (const auto& [k, v] : p.Defaults)
      if (!v.empty()) defaults.emplace_back(k, v);
    EXPECT_EQ(p.Defaults.size(), 8u) << c.note;
    EXPECT_EQ(defaults, c.defaults) << c.note;
    EXPECT_EQ(p.Pending, c.pending) << c.note;
  }
}

TEST(PendingOptions, TakeUsesEntriesInOrderThenTheDefault) {
  TOutputOptions o;
  o.AudioCodec = "ac3";
  o.ExtOptions = "acodec=mp2\nvcodec=mpeg4\nacodec=aac";
  TPendingOptions p;
  p.Build(o);
  EXPECT_EQ(p.Take("acodec"), "mp2");
  EXPECT_EQ(p.Take("acodec"), "aac");
  EXPECT_EQ(p.Take("acodec"), "ac3");
  EXPECT_EQ(p.Take("acodec"), "ac3");
  EXPECT_EQ(p.Take("vpre"), "");
  EXPECT_EQ(p.Pending, (TOptionLines{{"vcodec", "mpeg4"}}));
  EXPECT_EQ(p.Take("vcodec"), "mpeg4");
  EXPECT_EQ(p.Take("vcodec"), "mpeg4") << "the first line also became the default";
}

// Each step overrides the previous one: codec, then its preset, then the lines, then the
// fields, then the target, then the frame size.
TEST_F(OptionRecords, OutputSettingsAreAppliedInOrder) {
  TOutputOptions o;
  const struct {
    const char* step;
    std::function<void()> change;
    int64_t gop;
    const char* videoCodec;
    const char* format;
    int width, height;
  } steps[] = {
      {"codec and preset (found through the codec)",
       [&] {
         o.VideoCodec = "libx264";
         o.VideoPreset = "fast";
       },
       250, "libx264", "", 0, 0},
      {"a line overrides the preset", [&] { o.ExtOptions = "g=12<CRLF>f=matroska"; }, 12,
       "libx264", "matroska", 0, 0},
      {"fields override the lines",
       [&] {
         o.GOPSize = 30;
         o.FileFormat = "avi";
       },
       30, "libx264", "avi", 0, 0},
      {"the target overrides the fields",
       [&] {
         o.TargetType = 1;
         o.TargetNorm = 1;
       },
       15, "mpeg1video", "vcd", 352, 288},
      {"the frame size comes after the target", [&] { o.FrameSize = "320x240"; }, 15, "mpeg1video", "vcd", 320,
       240},
  };
  for (const auto& step : steps) {
    step.change();
    engine.Reset();
    ASSERT_EQ(ErrorOf([&] { Before(o); }), "") << step.step;
    const TEngineSettings& s = engine.Settings();
    EXPECT_EQ(CodecInt(mkVideo, "g"), step.gop) << step.step;
    EXPECT_EQ(s.video.codec_name, step.videoCodec) << step.step;
    EXPECT_EQ(s.format_name, step.format) << step.step;
    EXPECT_EQ(s.frame_width, step.width) << step.step;
    EXPECT_EQ(s.frame_height, step.height) << step.step;
  }
}

// A field overrides a line of the same option; fields assigned unconditionally do so
// even at their defaults.
TEST_F(OptionRecords, FieldsOverrideLines) {
  using Get = std::function<std::string()>;
  const TEngineSettings& s = engine.Settings();
  const Get sampleRate = [&] { return std::to_string(s.audio_sample_rate); };
  const Get volume = [&] { return std::to_string(s.audio_volume); };
  const Get audioBitrate = [this] { return std::to_string(CodecInt(mkAudio, "b")); };
  const Get videoBitrate = [this] { return std::to_string(CodecInt(mkVideo, "b")); };
  const Get recordingTime = [&] { return std::to_string(s.recording_time); };
  const Get startTime = [&] { return std::to_string(s.start_time); };
  const Get muxDelay = [&] { return std::to_string(s.mux_max_delay); };
  const Get audioLanguage = [&] { return s.audio.language; };
  const Get videoLanguage = [&] { return s.video.language; };
  const Get subtitleLanguage = [&] { return s.subtitle.language; };
  const Get audioSync = [&] { return std::to_string(s.audio_sync_method); };
  const Get videoSync = [&] { return std::to_string(s.video_sync_method); };
  const Get inputSync = [&] { return std::to_string(s.input_sync); };
  const Get copyTs = [&] { return std::to_string(s.copy_ts); };
  const Get audioOff = [&] { return std::to_string(s.audio.disabled); };
  const Get format = [&] { return s.format_name; };
  const auto none = [](TOutputOptions&) {};

  const struct {
    const char* line;
    std::function<void(TOutputOptions&)> set;
    Get get;
    std::string expected;
  } cases[] = {
      {"ar=22050", none, sampleRate, "22050"},
      {"ar=22050", [](TOutputOptions& o) { o.AudioSampleRate = 48000; }, sampleRate, "48000"},
      {"vol=100", none, volume, "100"},
      {"vol=100", [](TOutputOptions& o) { o.AudioVolume = 0; }, volume, "0"},
      {"ab=64000", none, audioBitrate, "64000"},
      {"ab=64000", [](TOutputOptions& o) { o.AudioBitrate = 128000; }, audioBitrate, "128000"},
      {"vb=500000", [](TOutputOptions& o) { o.VideoBitrate = 800000; }, videoBitrate, "800000"},
      {"t=3", none, recordingTime, "3000000"},
      {"t=3", [](TOutputOptions& o) { o.RecordingTime = 1500000; }, recordingTime, "1500000"},
      {"ss=3", [](TOutputOptions& o) { o.StartTime = 250000; }, startTime, "250000"},
      {"muxdelay=0.2", [](TOutputOptions& o) { o.MuxDelay = 0.25f; }, muxDelay, "0.250000"},
      {"alang=ger", none, audioLanguage, ""},
      {"alang=ger", [](TOutputOptions& o) { o.AudioLanguage = "fre"; }, audioLanguage, "fre"},
      {"vlang=ger", none, videoLanguage, ""},
      {"slang=ger", none, subtitleLanguage, ""},
      {"async=2", none, audioSync, "0"},
      {"vsync=1", none, videoSync, "-1"},
      {"isync=1", none, inputSync, "0"},
      {"copyts", none, copyTs, "1"},
      {"an", none, audioOff, "1"},
      {"f=avi", none, format, "avi"},
      {"f=avi", [](TOutputOptions& o) { o.FileFormat = "mp4"; }, format, "mp4"},
  };
  for (const auto& c : cases) {
    engine.Reset();
    TOutputOptions o;
    o.ExtOptions = c.line;
    c.set(o);
    Before(o);
    EXPECT_EQ(c.get(), c.expected) << c.line;
  }
}

TEST_F(OptionRecords, EveryFieldReachesTheEngine) {
  TOutputOptions o;
  o.FileFormat = "mpeg";
  o.PacketSize = 2048;
  o.MuxRate = 10080000;
  o.MuxDelay = 0.5f;
  o.MuxPreload = 0.25f;
  o.DisableAudio = true;
  o.AudioVolume = 512;
  o.AudioChannels = 6;
  o.AudioSampleRate = 48000;
  o.AudioBitrate = 192000;
  o.AudioBitrateTolerance = 4000;
  o.AudioLanguage = "eng";
  o.AudioSync = 1;
  o.AudioTag = "abcd";
  o.DisableVideo = true;
  o.FrameRate = "30000/1001";
  o.FrameAspectRatio = "16:9";
  o.GOPSize = 18;
  o.VideoBitrate = 6000000;
  o.VideoMaxRate = 9000000;
  o.VideoMinRate = 100000;
  o.VideoBitrateTolerance = 500000;
  o.VideoBufSize = 1835008;
  o.VideoSync = 2;
  o.VideoTag = "DX50";
  o.VideoLanguage = "deu";
  o.DisableSubtitle = true;
  o.SubtitleLanguage = "fra";
  o.InputSync = true;
  o.CopyTimestamps = true;
  o.StartTime = 1000000;
  o.RecordingTime = 2000000;
  o.VideoFilters = "hflip";
  Before(o);

  const TEngineSettings& s = engine.Settings();
  EXPECT_EQ(s.format_name, "mpeg");
  EXPECT_EQ(FormatInt("packetsize"), 2048);
  EXPECT_EQ(s.mux_max_delay, 0.5);
  EXPECT_EQ(s.mux_preload, 0.25);
  EXPECT_TRUE(s.audio.disabled);
  EXPECT_EQ(s.audio_volume, 512);
  EXPECT_EQ(s.audio_channels, 6);
  EXPECT_EQ(s.audio_sample_rate, 48000);
  EXPECT_EQ(CodecInt(mkAudio, "b"), 192000);
  EXPECT_EQ(CodecInt(mkAudio, "bt"), 4000);
  EXPECT_EQ(s.audio.language, "eng");
  EXPECT_EQ(s.audio_sync_method, 1);
  EXPECT_EQ(s.audio.codec_tag, MKTAG('a', 'b', 'c', 'd'));
  EXPECT_TRUE(s.video.disabled);
  EXPECT_EQ(s.frame_rate.num, 30000);
  EXPECT_EQ(s.frame_rate.den, 1001);
  EXPECT_DOUBLE_EQ(s.frame_aspect_ratio, 16.0 / 9.0);
  EXPECT_EQ(CodecInt(mkVideo, "g"), 18);
  EXPECT_EQ(CodecInt(mkVideo, "b"), 6000000);
  EXPECT_EQ(CodecInt(mkVideo, "maxrate"), 9000000);
  EXPECT_EQ(CodecInt(mkVideo, "minrate"), 100000);
  EXPECT_EQ(CodecInt(mkVideo, "bt"), 500000);
  EXPECT_EQ(CodecInt(mkVideo, "bufsize"), 1835008);
  EXPECT_EQ(s.video_sync_method, 2);
  EXPECT_EQ(s.video.codec_tag, MKTAG('D', 'X', '5', '0'));
  EXPECT_EQ(s.video.language, "deu");
  EXPECT_TRUE(s.subtitle.disabled);
  EXPECT_EQ(s.subtitle.language, "fra");
  EXPECT_TRUE(s.input_sync);
  EXPECT_TRUE(s.copy_ts);
  EXPECT_EQ(s.start_time, 1000000);
  EXPECT_EQ(s.recording_time, 2000000);
  EXPECT_EQ(engine.ExpectedTotalDuration(), 2000000);
  EXPECT_EQ(s.vfilters, "hflip");
  // The mpeg muxer's own option, known once the format is set.
  const AVDictionaryEntry* muxrate = av_dict_get(engine.FormatPrivateOptions().get(), "muxrate", nullptr, 0);
  ASSERT_NE(muxrate, nullptr);
  EXPECT_STREQ(muxrate->value, "10080000");
}

// Crops act on the frame size known when they are applied (the input's, here from an
// input line); the record's frame size comes after them.
TEST_F(OptionRecords, CropsComeBeforeTheFrameSize) {
  TInputOptions in;
  in.ExtOptions = "s=320x240";
  ApplyInputOptions(engine, in, "in.yuv");
  TOutputOptions o;
  o.CropTop = 16;
  o.CropBottom = 8;
  o.CropLeft = 0;
  o.CropRight = 10;
  o.FrameSize = "160x120";
  Before(o);
  const TEngineSettings& s = engine.Settings();
  EXPECT_EQ(s.crop_top, 16);
  EXPECT_EQ(s.crop_bottom, 8);
  EXPECT_EQ(s.crop_left, 0);
  EXPECT_EQ(s.crop_right, 10);
  EXPECT_EQ(s.frame_width, 160);
  EXPECT_EQ(s.frame_height, 120);

  engine.Reset();
  EXPECT_EQ(ErrorOf([&] { Before(o); }),
            "Vertical crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.")
      << "the record's frame size is not known to the crops";
}

TEST_F(OptionRecords, TargetArguments) {
  const struct {
    int type, norm, fallback;
    const char* frameRate;
    const char* format;
    int width, height, rateNum, rateDen;
  } cases[] = {
      {0, 1, 1, "", "", 0, 0, 0, 0},
      {4, 1, 1, "", "", 0, 0, 0, 0},
      {-1, 1, 1, "", "", 0, 0, 0, 0},
      {1, 1, 1, "", "vcd", 352, 288, 25, 1},
      {1, 2, 1, "", "vcd", 352, 240, 30000, 1001},
      {2, 1, 1, "", "svcd", 480, 576, 25, 1},
      {3, 2, 1, "", "dvd", 720, 480, 30000, 1001},
      {3, 0, 1, "25", "dvd", 720, 576, 25, 1},                // auto from the frame rate
      {3, 5, 1, "30000/1001", "dvd", 720, 480, 30000, 1001},  // other values count as auto
      {3, 0, 1, "24", "dvd", 720, 576, 25, 1},                // undecided: fallback pal
      {3, 0, 2, "24", "dvd", 720, 480, 30000, 1001},          // undecided: fallback ntsc
      {3, 0, 0, "24", "dvd", 720, 480, 30000, 1001},
  };
  for (const auto& c : cases) {
    engine.Reset();
    TOutputOptions o;
    o.TargetType = c.type;
    o.TargetNorm = c.norm;
    o.TargetFallbackNorm = c.fallback;
    o.FrameRate = c.frameRate;
    Before(o);
    const TEngineSettings& s = engine.Settings();
    const std::string label = std::to_string(c.type) + "/" + std::to_string(c.norm) + "/" +
                              std::to_string(c.fallback) + "/" + c.frameRate;
    EXPECT_EQ(s.format_name, c.format) << label;
    EXPECT_EQ(s.frame_width, c.width) << label;
    EXPECT_EQ(s.frame_height, c.height) << label;
    if (c.rateDen) {
      EXPECT_EQ(s.frame_rate.num, c.rateNum) << label;
      EXPECT_EQ(s.frame_rate.den, c.rateDen) << label;
    }
  }
}

TEST_F(OptionRecords, VfiltersLineBecomesTheFilterChain) {
  const struct {
    const char* field;
    const char* ext;
    const char* expected;
  } cases[] = {
      {"", "vfilters=hflip", "hflip"},
      {"", "vf=vflip", "vflip"},
      {"", "vfilters=hflip\nvf=vflip", "hflip"},
      {"scale=160:120", "vfilters=hflip", "scale=160:120"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    engine.Reset();
    TOutputOptions o;
    o.VideoFilters = c.field;
    o.ExtOptions = c.ext;
    Before(o);
    EXPECT_EQ(engine.Settings().vfilters, c.expected) << c.field << " / " << c.ext;
  }
}

// The lines' metadata first, then the record's, in field order; zero numbers and empty
// texts are left out.
TEST_F(OptionRecords, MetadataComesLastInFieldOrder) {
  TOutputOptions o;
  o.ExtOptions = "metadata=title=From a line";
  o.Info.Year = 2024;
  o.Info.Track = 7;
  o.Info.Title = "Title";
  o.Info.Author = "Author";
  o.Info.Copyright = "(c)";
  o.Info.Comment = "Comment";
  o.Info.Album = "Album";
  o.Info.Genre = "Genre";
  Before(o);
  EXPECT_EQ(engine.Settings().metadata,
            (Metadata{{"title", "From a line"}, {"year", "2024"}, {"track", "7"}, {"title", "Title"},
                      {"author", "Author"}, {"copyright", "(c)"}, {"comment", "Comment"},
                      {"album", "Album"}, {"genre", "Genre"}}));

  engine.Reset();
  TOutputOptions sparse;
  sparse.Info.Year = 0;
  sparse.Info.Track = 3;
  sparse.Info.Album = "Album";
  Before(sparse);
  EXPECT_EQ(engine.Settings().metadata, (Metadata{{"track", "3"}, {"album", "Album"}}));
}

TEST(TimeStampConversion, LocalDateTimeToUnixSeconds) {
  const struct {
    double timeStamp;
    double offsetDays;
    int64_t seconds;
  } cases[] = {
      {25569.0, 0.0, 0},                        // 1970-01-01 00:00 UTC
      {25569.5, 0.0, 43200},
      {25569.0, 1.0 / 24, -3600},               // local time one hour ahead of UTC
      {25569.0, -5.0 / 24, 18000},
      {45658.75, 2.0 / 24, 1735747200},         // 2025-01-01 18:00 at UTC+2
      {45658.0, -5.0 / 24, 1735707600},
      {25568.0, 0.0, -86400},                   // before 1970
      {1.0, 0.0, -2209075200},                  // 1899-12-31
      {25569.0 + 1.0 / 256, 0.0, 338},          // 337.5 s: halves go to even
      {25569.0 + 3.0 / 256, 0.0, 1012},         // 1012.5 s
      {25569.0 - 1.0 / 256, 0.0, -338},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DateTimeToUnixTime(c.timeStamp, c.offsetDays), c.seconds) << c.timeStamp << " " << c.offsetDays;
  EXPECT_THROW(DateTimeToUnixTime(1e300, 0.0), FFmpegException);
}

TEST(TimeStampConversion, LocalOffsetFollowsTheTimeZone) {
  const struct {
    const char* tz;
    double days;
  } cases[] = {{"UTC0", 0.0}, {"XST-2", 2.0 / 24}, {"XST+5", -5.0 / 24}, {"XST-5:30", 5.5 / 24}};
  for (const auto& c : cases) {
    TimeZone zone(c.tz);
    EXPECT_DOUBLE_EQ(LocalUtcOffsetDays(), c.days) << c.tz;
  }
}

TEST(TimeStampConversion, RecordingTimeStampOfTheField) {
  TimeZone zone("XST-2");
  EXPECT_EQ(RecordingTimeStamp(-1.0), std::nullopt);
  EXPECT_EQ(RecordingTimeStamp(-0.001), std::nullopt);
  EXPECT_EQ(RecordingTimeStamp(45658.75), std::optional<int64_t>(1735747200));
  const int64_t before = std::time(nullptr);
  const std::optional<int64_t> now = RecordingTimeStamp(0.0);
  const int64_t after = std::time(nullptr);
  ASSERT_TRUE(now.has_value());
  EXPECT_GE(*now, before);
  EXPECT_LE(*now, after + 1);
}

// The stamp reaches the engine's recording time stamp and the output's creation time.
TEST_F(OptionRecords, TimeStampStampsTheOutput) {
  TimeZone zone("XST-2");
  const struct {
    double timeStamp;
    int64_t recTimestamp;
    const char* creationTime;  // null: none
  } cases[] = {
      {-1.0, 0, nullptr},
      {45658.75, 1735747200, "2025-01-01T16:00:00.000000Z"},
      {25568.5, -50400, "1969-12-31T10:00:00.000000Z"},
  };
  int n = 0;
  for (const auto& c : cases) {
    engine.Reset();
    TOutputOptions o;
    o.DisableAudio = o.DisableVideo = o.DisableSubtitle = true;
    o.Info.TimeStamp = c.timeStamp;
    TPendingOptions pending;
    ApplyOutputOptionsBefore(engine, o, OutPath("stamp" + std::to_string(n++) + ".mkv"), pending);
    EXPECT_EQ(engine.Settings().rec_timestamp, c.recTimestamp) << c.timeStamp;
    ASSERT_EQ(engine.AddOutputFile(o.FileName), 1) << engine.LastErrorText();
    const AVDictionaryEntry* e = av_dict_get(engine.OutputContext(0)->metadata, "creation_time", nullptr, 0);
    if (c.creationTime) {
      ASSERT_NE(e, nullptr) << c.timeStamp;
      EXPECT_STREQ(e->value, c.creationTime);
    } else {
      EXPECT_EQ(e, nullptr) << c.timeStamp;
    }
    engine.ReleaseFiles(false);
  }

  engine.Reset();
  TOutputOptions now;
  now.Info.TimeStamp = 0;
  const int64_t before = std::time(nullptr);
  Before(now);
  EXPECT_GE(engine.Settings().rec_timestamp, before);
  EXPECT_LE(engine.Settings().rec_timestamp, std::time(nullptr) + 1);
}

// Streams added by lines get the codec and size of their own pending entry, or the
// default; checked on the converted output.
TEST_F(OptionRecords, AddedStreamsTakeTheirSettings) {
  MediaSpec spec;
  spec.container = "matroska";
  spec.videoCodec = "mpeg4";
  spec.audioCodec = "aac";
  spec.subtitleCodec = "ass";
  spec.width = 160;
  spec.height = 120;
  spec.duration = 1.0;
  const std::string input = MakeMedia(spec);

  struct Stream {
    AVCodecID codec;
    int width = 0, height = 0;
    bool operator==(const Stream&) const = default;
  };
  const struct {
    const char* note;
    std::function<void(TOutputOptions&)> set;
    std::vector<Stream> streams;
  } cases[] = {
      {"a line's codec serves the first stream and the added one",
       [](TOutputOptions& o) {
         o.DisableVideo = o.DisableSubtitle = true;
         o.ExtOptions = "acodec=mp2\nnewaudio";
       },
       {{AV_CODEC_ID_MP2}, {AV_CODEC_ID_MP2}}},
      {"the field serves the first stream, the line the added one",
       [](TOutputOptions& o) {
         o.DisableVideo = o.DisableSubtitle = true;
         o.AudioCodec = "ac3";
         o.ExtOptions = "acodec=mp2<CRLF>newaudio";
       },
       {{AV_CODEC_ID_AC3}, {AV_CODEC_ID_MP2}}},
      {"added streams take the pending entries in order",
       [](TOutputOptions& o) {
         o.DisableVideo = o.DisableSubtitle = true;
         o.ExtOptions = "acodec=mp2\nnewaudio\nacodec=ac3\nnewaudio\nnewaudio";
       },
       {{AV_CODEC_ID_MP2}, {AV_CODEC_ID_MP2}, {AV_CODEC_ID_AC3}, {AV_CODEC_ID_MP2}}},
      {"video: codec and size",
       [](TOutputOptions& o) {
         o.DisableAudio = o.DisableSubtitle = true;
         o.VideoCodec = "mpeg4";
         o.FrameSize = "128x96";
         o.ExtOptions = "vcodec=mjpeg\ns=96x64\nnewvideo";
       },
       {{AV_CODEC_ID_MPEG4, 128, 96}, {AV_CODEC_ID_MJPEG, 96, 64}}},
      {"video: the defaults serve an added stream without entries",
       [](TOutputOptions& o) {
         o.DisableAudio = o.DisableSubtitle = true;
         o.VideoCodec = "mpeg2video";
         o.FrameSize = "128x96";
         o.ExtOptions = "newvideo";
       },
       {{AV_CODEC_ID_MPEG2VIDEO, 128, 96}, {AV_CODEC_ID_MPEG2VIDEO, 128, 96}}},
      {"subtitles",
       [](TOutputOptions& o) {
         o.DisableAudio = o.DisableVideo = true;
         o.ExtOptions = "scodec=subrip\nnewsubtitle";
       },
       {{AV_CODEC_ID_SUBRIP}, {AV_CODEC_ID_SUBRIP}}},
  };
  int n = 0;
  for (const auto& c : cases) {
    engine.Reset();
    TInputOptions in;
    ApplyInputOptions(engine, in, input);
    ASSERT_TRUE(engine.AddInputFile(in.FileName)) << engine.LastErrorText();
    TOutputOptions o;
    c.set(o);
    TPendingOptions pending;
    ApplyOutputOptionsBefore(engine, o, OutPath("added" + std::to_string(n++) + ".mkv"), pending);
    ASSERT_EQ(engine.AddOutputFile(o.FileName, o.Join), 1) << c.note << ": " << engine.LastErrorText();
    ApplyOutputOptionsAfter(engine, o, pending);
    ASSERT_EQ(ErrorOf([&] { engine.Transcode(); }), "") << c.note;
    std::vector<Stream> streams;
    const AVFormatContext* oc = engine.OutputContext(0);
    for (unsigned i = 0; i < oc->nb_streams; ++i) {
      const AVCodecParameters* par = oc->streams[i]->codecpar;
      streams.push_back({par->codec_id, par->width, par->height});
    }
    EXPECT_EQ(streams.size(), c.streams.size()) << c.note;
    for (size_t i = 0; i < std::min(streams.size(), c.streams.size()); ++i) {
      EXPECT_EQ(avcodec_get_name(streams[i].codec), std::string(avcodec_get_name(c.streams[i].codec)))
          << c.note << ", stream " << i;
      EXPECT_EQ(streams[i].width, c.streams[i].width) << c.note << ", stream " << i;
      EXPECT_EQ(streams[i].height, c.streams[i].height) << c.note << ", stream " << i;
    }
    engine.ReleaseFiles(false);
  }
}

TEST_F(OptionRecords, EngineErrorsPropagate) {
  const struct {
    const char* note;
    std::function<void()> apply;
    std::string message;
  } cases[] = {
      {"input line",
       [this] {
         TInputOptions o;
         o.ExtOptions = "pass=3";
         ApplyInputOptions(engine, o, "in.mp4");
       },
       "pass number can be only 1 or 2"},
      {"output line passed on (fpre is not a stream setting)",
       [this] {
         TOutputOptions o;
         o.ExtOptions = "fpre=/nonexistent/preset";
         Before(o);
       },
       "Preset \"/nonexistent/preset\" not found"},
      {"output field",
       [this] {
         TOutputOptions o;
         o.AudioTag = "abc";
         Before(o);
       },
       "audio tag parameter must be 4 chars"},
      {"default preset",
       [this] {
         TOutputOptions o;
         o.AudioPreset = "nonesuch";
         Before(o);
       },
       "Preset \"nonesuch\" not found"},
      {"stream-adding line without an output",
       [this] {
         TOutputOptions o;
         o.ExtOptions = "newaudio";
         TPendingOptions pending = Before(o);
         ApplyOutputOptionsAfter(engine, o, pending);
       },
       "At least one output file must be specified"},
  };
  for (const auto& c : cases) {
    engine.Reset();
    EXPECT_EQ(ErrorOf(c.apply), c.message) << c.note;
  }
}

}  // namespace
}  // namespace quenza::test
