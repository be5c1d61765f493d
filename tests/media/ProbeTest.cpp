// The media probe: records, queries, error texts and the text report.

#include "media/AVProbe.h"

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include "LogCollector.h"
#include "engine/FFmpegException.h"
#include "engine/UnicodeProtocol.h"
#include "media/ClockText.h"
#include "media/FFmpegLoader.h"
#include "media/FFmpegLogger.h"
#include "support/TestMedia.h"

namespace quenza {
namespace {

namespace fs = std::filesystem;
using test::MakeMedia;
using test::MediaSpec;
using test::TLogCollector;
using test::TLogRecord;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// ---- fixtures ----

MediaSpec Mp4(AVRational rate = {25, 1}) {
  MediaSpec s;
  s.container = "mp4";
  s.videoCodec = "libx264";
  s.audioCodec = "aac";
  s.frameRate = rate;
  return s;
}

MediaSpec MkvTwoAudioAndSubtitle() {
  MediaSpec s;
  s.container = "matroska";
  s.videoCodec = "libx264";
  s.audioCodec = "aac";
  s.audioTracks = 2;
  s.subtitleCodec = "ass";
  return s;
}

MediaSpec Ts() {
  MediaSpec s;
  s.container = "mpegts";
  s.videoCodec = "libx264";
  s.audioCodec = "aac";
  return s;
}

MediaSpec Mp3() {
  MediaSpec s;
  s.container = "mp3";
  s.audioCodec = "libmp3lame";
  return s;
}

// Report lines, split at CR LF.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t end = text.find("\r\n", start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return out;
}

// Index of the first line starting with prefix, or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& prefix) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  return -1;
}

int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0;
  return n;
}

// A metadata line as the report shows it: indent, two spaces, the key padded to 16.
std::string MetaLine(const std::string& indent, const std::string& key, const std::string& value) {
  std::string padded = key;
  if (padded.size() < 16) padded.resize(16, ' ');
  return indent + "  " + padded + ": " + value;
}

class TTempFolder {
 public:
  TTempFolder() {
    static std::atomic<int> counter{0};
    fPath = fs::temp_directory_path() /
            ("quenza-probe-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(fPath);
  }
  ~TTempFolder() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  std::string File(const std::string& name) const { return (fPath / name).string(); }

 private:
  fs::path fPath;
};

// A context opened and probed by the test itself, as a conversion task would.
class TOwnContext {
 public:
  explicit TOwnContext(const std::string& path) {
    EXPECT_EQ(avformat_open_input(&fCtx, path.c_str(), nullptr, nullptr), 0) << path;
    if (fCtx) {
      EXPECT_GE(avformat_find_stream_info(fCtx, nullptr), 0);
    }
  }
  ~TOwnContext() { avformat_close_input(&fCtx); }
  AVFormatContext* get() const { return fCtx; }
  AVFormatContext* operator->() const { return fCtx; }

 private:
  AVFormatContext* fCtx = nullptr;
};

void ReplaceMetadata(AVDictionary** dict, const std::vector<std::pair<std::string, std::string>>& entries) {
  av_dict_free(dict);
  // Keys differing only in case are kept apart.
  for (const auto& [k, v] : entries) ASSERT_GE(av_dict_set(dict, k.c_str(), v.c_str(), AV_DICT_MATCH_CASE), 0);
}

class ProbeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFLoader().LoadLibraries(ProbeLibraries)) << FFLoader().LastError();
    GetLogger().SetOnLog(fLog.Handler());
  }

  // The probe's own messages, as "level:text".
  std::vector<std::string> ProbeMessages() const {
    std::vector<std::string> out;
    for (const TLogRecord& r : fLog.Records())
      if (r.Sender == &fProbe) out.push_back(std::to_string(static_cast<int>(r.Level)) + ":" + r.Msg);
    return out;
  }
  static std::string At(TLogLevel level, const std::string& msg) {
    return std::to_string(static_cast<int>(level)) + ":" + msg;
  }

  void ExpectClosed() {
    EXPECT_FALSE(fProbe.Loaded());
    EXPECT_FALSE(fProbe.OwnsContext());
    EXPECT_EQ(fProbe.ForcedFormat(), "");
    for (int v : {fProbe.StreamCount(), fProbe.ProgramCount(), fProbe.AudioStreamCount(),
                  fProbe.VideoStreamCount(), fProbe.SubtitleStreamCount(), fProbe.FirstAudioStream(),
                  fProbe.FirstVideoStream(), fProbe.FirstSubtitleStream()})
      EXPECT_EQ(v, -1);
    EXPECT_EQ(fProbe.FileSize(), -1);
  }

  TMediaProcessScope fScope;
  TLogCollector fLog;
  TAVProbe fProbe;
};
using media_Probe = ProbeFixture;

// ---- texts ----

TEST(media_ProbeText, SecondsToClock) {
  const struct {
    int64_t seconds;
    const char* text;
  } cases[] = {
      {0, "0:00:00"},     {59, "0:00:59"},         {60, "0:01:00"},        {3599, "0:59:59"},
      {3600, "1:00:00"},  {3725, "1:02:05"},       {86400, "24:00:00"},    {100000, "27:46:40"},
      {-1, "0:00:00"},    {-3725, "0:00:00"},      {INT64_MIN, "0:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(SecondsToClock(c.seconds), c.text) << c.seconds;
}

TEST(media_ProbeText, DurationClockAndSecondsTexts) {
  const struct {
    int64_t us;
    const char* clock;
    const char* seconds;
  } cases[] = {
      {0, "00:00:00.000", "0.000000"},
      {999, "00:00:00.000", "0.000999"},  // milliseconds are truncated
      {1500, "00:00:00.001", "0.001500"},
      {3725500000, "01:02:05.500", "3725.500000"},
      {360000000000, "100:00:00.000", "360000.000000"},
      {86399999999, "23:59:59.999", "86399.999999"},
      {-21333, "-00:00:00.021", "-0.021333"},
      {-1500000, "-00:00:01.500", "-1.500000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DurationToClock(c.us), c.clock) << c.us;
    EXPECT_EQ(MicrosecondsToSecondsText(c.us), c.seconds) << c.us;
  }
  EXPECT_EQ(DurationToClock(AV_NOPTS_VALUE), "N/A");
}

TEST(media_ProbeText, FileSizeText) {
  constexpr int64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024;
  const struct {
    int64_t size;
    const char* text;
  } cases[] = {
      {-1, "-1 Byte"},          {0, "0 Byte"},
      {1, "1 Byte"},            {1024, "1024 Byte"},
      {1025, "1.00 KB"},        {1536, "1.50 KB"},
      {MiB, "1024.00 KB"},      {MiB + 1, "1.00 MB"},
      {5 * MiB / 2, "2.50 MB"}, {GiB, "1024.00 MB"},
      {GiB + 1, "1.00 GB"},     {11 * GiB / 2, "5.50 GB"},
      {3000 * GiB, "3000.00 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(FileSizeText(c.size), c.text) << c.size;
}

// ---- library check ----

TEST(media_ProbeLibraries, MissingLibrariesThrowInCheckOrder) {
  TMediaProcessScope scope;
  const struct {
    TLibrarySet loaded;
    const char* message;
  } cases[] = {
      {TLibrarySet{}, "LibAVCodec not loaded."},
      {TLibrarySet{liAVFormat, liAVUtil, liSWScale}, "LibAVCodec not loaded."},
      {TLibrarySet{liAVCodec}, "LibAVFormat not loaded."},
      {TLibrarySet{liAVCodec, liAVFormat}, "LibAVUtil not loaded."},
      {TLibrarySet{liAVCodec, liAVFormat, liAVUtil}, "LibSwScale not loaded."},
  };
  const std::string file = MakeMedia(Mp3());
  for (const auto& c : cases) {
    FFLoader().UnloadLibraries(AllLibraries);
    if (!c.loaded.Empty()) {
      ASSERT_TRUE(FFLoader().LoadLibraries(c.loaded)) << FFLoader().LastError();
    }
    TAVProbe probe;
    try {
      probe.LoadFile(file);
      ADD_FAILURE() << "LoadFile did not throw: " << c.message;
    } catch (const FFmpegException& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    try {
      probe.AttachContext(nullptr);
      ADD_FAILURE() << "AttachContext did not throw: " << c.message;
    } catch (const FFmpegException& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(probe.Loaded());
  }
}

// ---- no file ----

TEST_F(media_Probe, EveryQueryWithoutAFileReportsFileNotLoaded) {
  ExpectClosed();
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"GetInfoText", [&] { EXPECT_EQ(fProbe.GetInfoText(), ""); }},
      {"FileName", [&] { EXPECT_EQ(fProbe.FileName(), ""); }},
      {"FormatName", [&] { EXPECT_EQ(fProbe.FormatName(), ""); }},
      {"IsAudioStream", [&] { EXPECT_FALSE(fProbe.IsAudioStream(0)); }},
      {"IsVideoStream", [&] { EXPECT_FALSE(fProbe.IsVideoStream(0)); }},
      {"GetFileStreamInfo",
       [&] {
         TFileStreamInfo info;
         info.Title = "stale";
         info.Duration = 5;
         EXPECT_FALSE(fProbe.GetFileStreamInfo(info));
         EXPECT_EQ(info.StartTime, -1);
         EXPECT_EQ(info.Duration, -1);
         EXPECT_EQ(info.BitRate, -1);
         EXPECT_EQ(info.TimeStamp, -1);
         EXPECT_EQ(info.Year, -1);
         EXPECT_EQ(info.Track, -1);
         EXPECT_EQ(info.Title, "");
       }},
      {"GetAudioStreamInfo",
       [&] {
         TAudioStreamInfo info;
         info.Channels = 2;
         EXPECT_FALSE(fProbe.GetAudioStreamInfo(-1, info));
         EXPECT_EQ(info.Channels, -1);
       }},
      {"GetVideoStreamInfo",
       [&] {
         TVideoStreamInfo info;
         info.Width = 320;
         EXPECT_FALSE(fProbe.GetVideoStreamInfo(0, info));
         EXPECT_EQ(info.Width, -1);
         EXPECT_EQ(info.DisplayAspectRatio, -1.0f);
       }},
  };
  for (const auto& [name, call] : calls) {
    fLog.Clear();
    call();
    EXPECT_EQ(fProbe.LastError(), "file not loaded.") << name;
    EXPECT_THAT(ProbeMessages(), ElementsAre(At(llWarning, "file not loaded."))) << name;
  }
}

// ---- open failures ----

TEST_F(media_Probe, OpenFailuresGiveTheirErrorTextsAndLeaveTheProbeClosed) {
  TTempFolder dir;
  const std::string text = dir.File("notes.txt");
  std::ofstream(text) << "This is not a video file.\nJust a few lines of text.\n";
  const std::string missing = dir.File("missing.mp4");
  const std::string media = MakeMedia(Mp4());
  const struct {
    std::string file, format, error;
    bool logged;
  } cases[] = {
      {missing, "", missing + ": No such file or directory", true},
      {text, "", text + ": Invalid data found when processing input", true},
      {media, "nosuchformat", "Unknown input format: nosuchformat", false},
      {missing, "mp4", missing + ": No such file or directory", true},
  };
  for (const auto& c : cases) {
    // A file open before the call is closed by it.
    ASSERT_TRUE(fProbe.LoadFile(media)) << fProbe.LastError();
    fLog.Clear();
    EXPECT_FALSE(fProbe.LoadFile(c.file, c.format)) << c.error;
    EXPECT_EQ(fProbe.LastError(), c.error);
    if (c.logged)
      EXPECT_THAT(ProbeMessages(), ElementsAre(At(llError, c.error)));
    else
      EXPECT_THAT(ProbeMessages(), ElementsAre());
    ExpectClosed();
  }
}

// ---- an MP4 at 25 fps ----

TEST_F(media_Probe, Mp4CountsAndRecords) {
  const std::string file = MakeMedia(Mp4());
  ASSERT_TRUE(fProbe.LoadFile(file)) << fProbe.LastError();
  EXPECT_TRUE(fProbe.OwnsContext());
  EXPECT_EQ(fProbe.ForcedFormat(), "");
  EXPECT_EQ(fProbe.FileName(), file);
  EXPECT_EQ(fProbe.FormatName(), "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(fProbe.FileSize(), static_cast<int64_t>(fs::file_size(file)));
  EXPECT_EQ(fProbe.StreamCount(), 2);
  EXPECT_EQ(fProbe.ProgramCount(), 0);
  EXPECT_EQ(fProbe.VideoStreamCount(), 1);
  EXPECT_EQ(fProbe.AudioStreamCount(), 1);
  EXPECT_EQ(fProbe.SubtitleStreamCount(), 0);
  EXPECT_EQ(fProbe.FirstVideoStream(), 0);
  EXPECT_EQ(fProbe.FirstAudioStream(), 1);
  EXPECT_EQ(fProbe.FirstSubtitleStream(), -1);

  TFileStreamInfo file_info;
  ASSERT_TRUE(fProbe.GetFileStreamInfo(file_info));
  EXPECT_EQ(file_info.StartTime, 0);
  EXPECT_EQ(file_info.Duration, 2000000);
  EXPECT_GT(file_info.BitRate, 0);
  EXPECT_EQ(file_info.TimeStamp, 0);
  EXPECT_EQ(file_info.Title, "");

  TVideoStreamInfo video;
  ASSERT_TRUE(fProbe.GetVideoStreamInfo(-1, video)) << fProbe.LastError();
  EXPECT_EQ(video.CodecName, "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)");
  EXPECT_EQ(video.Language, "und");
  EXPECT_EQ(video.Width, 320);
  EXPECT_EQ(video.Height, 240);
  EXPECT_FLOAT_EQ(video.DisplayAspectRatio, 320.0f / 240.0f);
  EXPECT_EQ(video.PixelFormat, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(video.FrameRateNum, 25);
  EXPECT_EQ(video.FrameRateDen, 1);
  EXPECT_EQ(video.StartTime, 0);
  EXPECT_EQ(video.StartTimeUS, 0);
  EXPECT_EQ(video.Duration, 25600);  // time base 1/12800
  EXPECT_EQ(video.DurationUS, 2000000);
  EXPECT_GT(video.BitRate, 0);

  TVideoStreamInfo byIndex;
  ASSERT_TRUE(fProbe.GetVideoStreamInfo(0, byIndex));
  EXPECT_EQ(byIndex.CodecName, video.CodecName);

  TAudioStreamInfo audio;
  ASSERT_TRUE(fProbe.GetAudioStreamInfo(-1, audio)) << fProbe.LastError();
  EXPECT_EQ(audio.CodecName, "aac(AAC (Advanced Audio Coding))");
  EXPECT_EQ(audio.Channels, 2);
  EXPECT_EQ(audio.SampleRate, 44100);
  EXPECT_EQ(audio.SampleFormat, AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(audio.DurationUS, 2000000);
  EXPECT_GT(audio.BitRate, 0);
  EXPECT_THAT(ProbeMessages(), ElementsAre());
}

TEST_F(media_Probe, WrongStreamsReportAtErrorLevelAndResetTheRecord) {
  ASSERT_TRUE(fProbe.LoadFile(MakeMedia(Mp4()))) << fProbe.LastError();
  const struct {
    const char* call;
    int index;
    bool result;
    const char* error;  // empty: no message
  } cases[] = {
      {"video", 1, false, "stream #1 is not video stream."},
      {"audio", 0, false, "stream #0 is not audio stream."},
      {"video", 2, false, "stream index #2 is invalid."},
      {"audio", 7, false, "stream index #7 is invalid."},
      {"isvideo", 0, true, ""},
      {"isvideo", 1, false, ""},
      {"isaudio", 1, true, ""},
      {"isaudio", 0, false, ""},
      {"isaudio", 2, false, "stream index #2 is invalid."},
      {"isvideo", -1, false, "stream index #-1 is invalid."},
  };
  for (const auto& c : cases) {
    fLog.Clear();
    const std::string call = c.call;
    bool result = false;
    if (call == "video") {
      TVideoStreamInfo info;
      info.Width = 9;
      info.DisplayAspectRatio = 2.0f;
      info.CodecName = "stale";
      result = fProbe.GetVideoStreamInfo(c.index, info);
      EXPECT_EQ(info.Width, -1);
      EXPECT_EQ(info.DisplayAspectRatio, -1.0f);
      EXPECT_EQ(info.CodecName, "");
    } else if (call == "audio") {
      TAudioStreamInfo info;
      info.SampleRate = 9;
      result = fProbe.GetAudioStreamInfo(c.index, info);
      EXPECT_EQ(info.SampleRate, -1);
    } else {
      result = call == "isvideo" ? fProbe.IsVideoStream(c.index) : fProbe.IsAudioStream(c.index);
    }
    EXPECT_EQ(result, c.result) << c.call << " " << c.index;
    if (*c.error) {
      EXPECT_EQ(fProbe.LastError(), c.error);
      EXPECT_THAT(ProbeMessages(), ElementsAre(At(llError, c.error))) << c.call << " " << c.index;
    } else {
      EXPECT_THAT(ProbeMessages(), ElementsAre()) << c.call << " " << c.index;
    }
  }
}

TEST_F(media_Probe, Mp4Report) {
  const std::string file = MakeMedia(Mp4());
  ASSERT_TRUE(fProbe.LoadFile(file)) << fProbe.LastError();
  const std::string text = fProbe.GetInfoText();
  EXPECT_EQ(text.find("\n"), text.find("\r\n") + 1) << "lines end in CR LF";
  EXPECT_NE(text.substr(text.size() - 2), "\r\n") << "no line break after the last line";
  const std::vector<std::string> lines = Lines(text);
  TFileStreamInfo info;
  ASSERT_TRUE(fProbe.GetFileStreamInfo(info));
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "File Name: " + file);
  EXPECT_EQ(lines[1], "Format Name: mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(lines[2], "Format Long Name: QuickTime / MOV");
  EXPECT_EQ(lines[3], "File Size: " + FileSizeText(static_cast<int64_t>(fs::file_size(file))));
  EXPECT_EQ(lines[4], "Duration: 00:00:02.000");
  EXPECT_EQ(lines[5], "StartTime: 0.000000");
  EXPECT_EQ(lines[6], "Bit Rate: " + std::to_string(info.BitRate / 1000) + " kb/s");
  EXPECT_EQ(lines[7], "Metadata:");
  EXPECT_EQ(lines[8], "  major_brand     : isom");

  const int video = FindLine(lines, "Stream #0");
  ASSERT_GE(video, 0) << text;
  EXPECT_THAT(lines[video], StartsWith("Stream #0[0x1](und), 1/12800: Video: h264 "));
  EXPECT_THAT(lines[video], HasSubstr(", 25 fps, 25 tbr, 12800 tbn, 50 tbc, StartTime: 0.000000, "
                                      "Duration: 00:00:02.000"));
  EXPECT_EQ(lines[video + 1], "  Metadata:");
  EXPECT_EQ(lines[video + 2], "    handler_name    : VideoHandler");
  const int audio = FindLine(lines, "Stream #1");
  ASSERT_GT(audio, video);
  EXPECT_THAT(lines[audio], StartsWith("Stream #1[0x2](und), 1/44100: Audio: aac (LC) (mp4a / 0x6134706D), "
                                       "44100 Hz, stereo, fltp"));
  EXPECT_THAT(lines[audio], ::testing::Not(HasSubstr("tbn")));
  EXPECT_THAT(lines[audio], HasSubstr("Duration: 00:00:02.000"));
  EXPECT_EQ(CountLines(lines, "Stream #"), 2);
  EXPECT_THAT(ProbeMessages(), ElementsAre());
}

TEST_F(media_Probe, FrameRatesAndTimeBasesInStreamLines) {
  const struct {
    MediaSpec spec;
    const char* rates;
  } cases[] = {
      {Mp4({30000, 1001}), ", 29.97 fps, 29.97 tbr, 30k tbn, 59.94 tbc, "},
      {Mp4({25, 1}), ", 25 fps, 25 tbr, 12800 tbn, 50 tbc, "},
      {Ts(), ", 25 fps, 25 tbr, 90k tbn, 50 tbc, "},
      {MkvTwoAudioAndSubtitle(), ", 25 fps, 25 tbr, 1k tbn, 50 tbc, "},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(fProbe.LoadFile(MakeMedia(c.spec))) << fProbe.LastError();
    const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
    const int video = FindLine(lines, "Stream #0");
    ASSERT_GE(video, 0);
    EXPECT_THAT(lines[video], HasSubstr(c.rates)) << c.spec.container;
  }
  TVideoStreamInfo info;
  ASSERT_TRUE(fProbe.LoadFile(MakeMedia(Mp4({30000, 1001}))));
  ASSERT_TRUE(fProbe.GetVideoStreamInfo(-1, info));
  EXPECT_EQ(info.FrameRateNum, 30000);
  EXPECT_EQ(info.FrameRateDen, 1001);
}


// ---- several audio tracks and a subtitle ----

TEST_F(media_Probe, MkvWithTwoAudioTracksAndASubtitle) {
  ASSERT_TRUE(fProbe.LoadFile(MakeMedia(MkvTwoAudioAndSubtitle()))) << fProbe.LastError();
  EXPECT_EQ(fProbe.FormatName(), "matroska,webm");
  EXPECT_EQ(fProbe.StreamCount(), 4);
  EXPECT_EQ(fProbe.VideoStreamCount(), 1);
  EXPECT_EQ(fProbe.AudioStreamCount(), 2);
  EXPECT_EQ(fProbe.SubtitleStreamCount(), 1);
  EXPECT_EQ(fProbe.FirstVideoStream(), 0);
  EXPECT_EQ(fProbe.FirstAudioStream(), 1);
  EXPECT_EQ(fProbe.FirstSubtitleStream(), 3);
  EXPECT_TRUE(fProbe.IsAudioStream(2));
  EXPECT_FALSE(fProbe.IsAudioStream(3));
  EXPECT_FALSE(fProbe.IsVideoStream(3));

  TAudioStreamInfo second;
  ASSERT_TRUE(fProbe.GetAudioStreamInfo(2, second)) << fProbe.LastError();
  EXPECT_EQ(second.Channels, 2);
  EXPECT_EQ(second.SampleRate, 44100);
  EXPECT_EQ(second.Duration, -1) << "Matroska keeps no stream durations";
  EXPECT_EQ(second.DurationUS, -1);
  TAudioStreamInfo subtitle;
  EXPECT_FALSE(fProbe.GetAudioStreamInfo(3, subtitle));
  EXPECT_EQ(fProbe.LastError(), "stream #3 is not audio stream.");

  const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
  EXPECT_EQ(lines[1], "Format Name: matroska,webm");
  EXPECT_EQ(lines[2], "Format Long Name: Matroska / WebM");
  EXPECT_EQ(FindLine(lines, "Program "), -1);
  const char* const expected[] = {
      "Stream #0, 1/1000: Video: h264 ",
      "Stream #1, 1/1000: Audio: aac (LC), 44100 Hz, stereo, fltp, StartTime: 0.000000, Duration: N/A",
      "Stream #2, 1/1000: Audio: aac (LC), 44100 Hz, stereo, fltp, StartTime: 0.000000, Duration: N/A",
      "Stream #3, 1/1000: Subtitle: ass, StartTime: ",
  };
  int previous = -1;
  for (const char* prefix : expected) {
    const int at = FindLine(lines, prefix);
    ASSERT_GT(at, previous) << prefix;
    EXPECT_THAT(lines[at], HasSubstr(", Duration: N/A")) << prefix;
    // Each stream's DURATION tag follows as its metadata block.
    ASSERT_LT(at + 2, static_cast<int>(lines.size()));
    EXPECT_EQ(lines[at + 1], "  Metadata:");
    EXPECT_THAT(lines[at + 2], StartsWith("    DURATION        : 00:00:0"));
    previous = at;
  }
  EXPECT_EQ(CountLines(lines, "Stream #"), 4);
}

// ---- programs ----

TEST_F(media_Probe, TransportStreamListsItsProgramWithItsStreams) {
  ASSERT_TRUE(fProbe.LoadFile(MakeMedia(Ts()))) << fProbe.LastError();
  EXPECT_EQ(fProbe.ProgramCount(), 1);
  EXPECT_EQ(fProbe.StreamCount(), 2);
  const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
  EXPECT_EQ(lines[1], "Format Name: mpegts");
  const int program = FindLine(lines, "Program ");
  ASSERT_GE(program, 0);
  ASSERT_LT(program + 5, static_cast<int>(lines.size()));
  EXPECT_EQ(lines[program], "Program 1 FFmpeg@Service01");
  EXPECT_EQ(lines[program + 1], "  Metadata:");
  EXPECT_EQ(lines[program + 2], "    service_name    : Service01");
  EXPECT_EQ(lines[program + 3], "    service_provider: FFmpeg");
  EXPECT_THAT(lines[program + 4],
              StartsWith("Stream #0[0x100], 1/90000: Video: h264 (Constrained Baseline) ([27][0][0][0] / 0x001B), "
                         "yuv420p(progressive), 320x240"));
  EXPECT_THAT(lines[program + 4], HasSubstr(", 25 fps, 25 tbr, 90k tbn, 50 tbc, StartTime: "));
  EXPECT_THAT(lines[program + 5], StartsWith("Stream #1[0x101], 1/90000: Audio: aac (LC) ([15][0][0][0] / 0x000F)"));
  // Streams shown under their program are not listed again.
  EXPECT_EQ(CountLines(lines, "Stream #"), 2);
  EXPECT_EQ(static_cast<int>(lines.size()), program + 6);
}

TEST_F(media_Probe, ProgramNamesFromEitherTagPair) {
  TOwnContext ctx(MakeMedia(Ts()));
  ASSERT_TRUE(ctx.get());
  ASSERT_EQ(ctx->nb_programs, 1u);
  const struct {
    std::vector<std::pair<std::string, std::string>> tags;
    std::vector<std::string> lines;  // from the program line on
  } cases[] = {
      {{}, {"Program 1 N/A@N/A", "Stream #0[0x100]"}},
      {{{"provider_name", "Old TV"}, {"name", "Channel 5"}},
       {"Program 1 Old TV@Channel 5", "  Metadata:", "    provider_name   : Old TV", "    name            : Channel 5"}},
      {{{"service_name", "News"}}, {"Program 1 N/A@News", "  Metadata:", "    service_name    : News"}},
      {{{"language", "fra"}}, {"Program 1 N/A@N/A", "Stream #0[0x100]"}},
  };
  for (const auto& c : cases) {
    ReplaceMetadata(&ctx->programs[0]->metadata, c.tags);
    fProbe.AttachContext(ctx.get());
    const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
    const int program = FindLine(lines, "Program ");
    ASSERT_GE(program, 0);
    for (size_t i = 0; i < c.lines.size(); ++i) {
      ASSERT_LT(program + i, lines.size());
      EXPECT_THAT(lines[program + i], StartsWith(c.lines[i])) << c.lines[0];
    }
  }
}

// ---- audio only ----

TEST_F(media_Probe, Mp3HasNoVideoStream) {
  const std::string file = MakeMedia(Mp3());
  ASSERT_TRUE(fProbe.LoadFile(file)) << fProbe.LastError();
  EXPECT_EQ(fProbe.FormatName(), "mp3");
  EXPECT_EQ(fProbe.StreamCount(), 1);
  EXPECT_EQ(fProbe.VideoStreamCount(), 0);
  EXPECT_EQ(fProbe.FirstVideoStream(), -1);
  EXPECT_EQ(fProbe.FirstAudioStream(), 0);

  fLog.Clear();
  TVideoStreamInfo video;
  EXPECT_FALSE(fProbe.GetVideoStreamInfo(-1, video));
  EXPECT_EQ(fProbe.LastError(), "no video stream.");
  EXPECT_THAT(ProbeMessages(), ElementsAre(At(llError, "no video stream.")));
  EXPECT_EQ(video.Width, -1);
  EXPECT_EQ(video.Height, -1);
  EXPECT_EQ(video.PixelFormat, -1);
  EXPECT_EQ(video.FrameRateNum, -1);
  EXPECT_EQ(video.FrameRateDen, -1);
  EXPECT_EQ(video.DisplayAspectRatio, -1.0f);
  EXPECT_EQ(video.StartTime, -1);
  EXPECT_EQ(video.DurationUS, -1);
  EXPECT_EQ(video.CodecName, "");

  TAudioStreamInfo audio;
  ASSERT_TRUE(fProbe.GetAudioStreamInfo(-1, audio));
  EXPECT_THAT(audio.CodecName, StartsWith("mp3"));
  EXPECT_THAT(audio.CodecName, HasSubstr("(MP3 (MPEG audio layer 3))"));
  EXPECT_EQ(audio.Channels, 2);
  EXPECT_EQ(audio.SampleRate, 44100);
  EXPECT_GT(audio.StartTimeUS, 0) << "the encoder delay";

  const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
  EXPECT_EQ(lines[1], "Format Name: mp3");
  EXPECT_EQ(lines[2], "Format Long Name: MP2/3 (MPEG audio layer 2/3)");
  EXPECT_EQ(lines[6], "Bit Rate: 128 kb/s");
  const int stream = FindLine(lines, "Stream #0");
  ASSERT_GE(stream, 0);
  EXPECT_THAT(lines[stream], StartsWith("Stream #0, 1/14112000: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s, StartTime: 0.0"));
  EXPECT_THAT(lines[stream], ::testing::Not(HasSubstr(" fps")));
  EXPECT_EQ(CountLines(lines, "Stream #"), 1);
}

// ---- attached contexts ----

TEST_F(media_Probe, AttachedContextIsDescribedButNeverClosed) {
  const std::string file = MakeMedia(Mp4());
  TOwnContext ctx(file);
  ASSERT_TRUE(ctx.get());
  {
    TAVProbe probe;
    probe.AttachContext(ctx.get());
    EXPECT_TRUE(probe.Loaded());
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.ForcedFormat(), "");
    EXPECT_EQ(probe.FileName(), file);
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(fs::file_size(file)));
    EXPECT_EQ(Lines(probe.GetInfoText())[0], "File Name: " + file);
    probe.CloseFile();
    EXPECT_FALSE(probe.Loaded());
    EXPECT_EQ(probe.StreamCount(), -1);
    // Attached again, then replaced by a file of its own, then destroyed attached.
    probe.AttachContext(ctx.get());
    ASSERT_TRUE(probe.LoadFile(MakeMedia(Mp3())));
    EXPECT_TRUE(probe.OwnsContext());
    EXPECT_EQ(probe.StreamCount(), 1);
    probe.AttachContext(ctx.get());
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.StreamCount(), 2);
  }
  // The owner's context is still whole: it reads on and closes normally.
  AVPacket* pkt = av_packet_alloc();
  ASSERT_TRUE(pkt);
  EXPECT_EQ(av_read_frame(ctx.get(), pkt), 0);
  av_packet_free(&pkt);
  EXPECT_EQ(ctx->nb_streams, 2u);

  fProbe.AttachContext(nullptr);
  ExpectClosed();
}

TEST_F(media_Probe, MetadataBlocksAndDisplayKeys) {
  TOwnContext ctx(MakeMedia(Mp4()));
  ASSERT_TRUE(ctx.get());
  // Only "language": no block, the language shows in the stream line.
  ReplaceMetadata(&ctx->metadata, {{"language", "eng"}});
  ReplaceMetadata(&ctx->streams[0]->metadata, {{"language", "ger"}});
  const std::vector<std::pair<std::string, std::string>> id3 = {
      {"TALB", "album"},     {"TAL", "album"},      {"TCOM", "composer"},  {"TCON", "genre"},
      {"TCO", "genre"},      {"TCOP", "copyright"}, {"TDRL", "date"},      {"TENC", "encoder"},
      {"TEN", "encoder"},    {"TIT2", "title"},     {"TT2", "title"},      {"TLAN", "language"},
      {"TPE1", "artist"},    {"TP1", "artist"},     {"TPOS", "disc"},      {"TPUB", "publisher"},
      {"TRCK", "track"},     {"TRK", "track"},      {"TSOA", "albumsort"}, {"TSOP", "authorsort"},
      {"TSOT", "titlesort"}, {"TYER", "year"},
  };
  std::vector<std::pair<std::string, std::string>> tags = {{"language", "fre"}};
  for (const auto& [key, display] : id3) tags.push_back({key, "v-" + key});
  tags.push_back({"talb", "lower case is not translated"});
  tags.push_back({"a_rather_long_custom_key", "x"});
  ReplaceMetadata(&ctx->streams[1]->metadata, tags);

  fProbe.AttachContext(ctx.get());
  const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
  EXPECT_EQ(FindLine(lines, "Metadata:"), -1) << "no container block";
  const int video = FindLine(lines, "Stream #0");
  ASSERT_GE(video, 0);
  EXPECT_THAT(lines[video], StartsWith("Stream #0[0x1](ger), 1/12800: "));
  EXPECT_THAT(lines[video + 1], StartsWith("Stream #1[0x2](fre), 1/44100: ")) << "no stream block";

  std::vector<std::string> block(lines.begin() + video + 2, lines.end());
  std::vector<std::string> expected = {"  Metadata:"};
  for (const auto& [key, display] : id3) expected.push_back(MetaLine("  ", display, "v-" + key));
  expected.push_back(MetaLine("  ", "talb", "lower case is not translated"));
  expected.push_back(MetaLine("  ", "a_rather_long_custom_key", "x"));
  EXPECT_EQ(block, expected);
}


TEST_F(media_Probe, ContainerFieldsAndTheirReportLines) {
  TOwnContext ctx(MakeMedia(Mp4()));
  ASSERT_TRUE(ctx.get());
  ReplaceMetadata(&ctx->metadata, {{"title", "A Title"},
                                   {"author", "An Author"},
                                   {"copyright", "(c) 2011"},
                                   {"comment", "Some words"},
                                   {"album", "An Album"},
                                   {"genre", "Test"},
                                   {"date", "2011-04-03"},
                                   {"track", "3/12"},
                                   {"creation_time", "2020-05-17T10:20:30.000000Z"}});
  fProbe.AttachContext(ctx.get());
  TFileStreamInfo info;
  ASSERT_TRUE(fProbe.GetFileStreamInfo(info));
  EXPECT_EQ(info.Title, "A Title");
  EXPECT_EQ(info.Author, "An Author");
  EXPECT_EQ(info.Copyright, "(c) 2011");
  EXPECT_EQ(info.Comment, "Some words");
  EXPECT_EQ(info.Album, "An Album");
  EXPECT_EQ(info.Genre, "Test");
  EXPECT_EQ(info.Year, 2011);
  EXPECT_EQ(info.Track, 3);
  EXPECT_EQ(info.TimeStamp, 1589710830);

  const char* savedTz = std::getenv("TZ");
  const std::string saved = savedTz ? savedTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  std::vector<std::string> lines = Lines(fProbe.GetInfoText());
  if (savedTz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  const int stamp = FindLine(lines, "Time Stamp: ");
  ASSERT_GE(stamp, 0);
  EXPECT_EQ(lines[stamp], "Time Stamp: 2020-05-17 10:20:30");
  EXPECT_EQ(lines[stamp + 1], "Metadata:");
  EXPECT_EQ(lines[stamp + 2], MetaLine("", "title", "A Title"));

  // Unknown values: no start line, N/A for duration and bit rate, no time stamp.
  const struct {
    int64_t start, duration, bitRate;
    std::vector<std::string> lines;  // the lines after "File Size"
  } cases[] = {
      {AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0, {"Duration: N/A", "Bit Rate: N/A"}},
      {-5, -2, -1, {"Duration: N/A", "Bit Rate: N/A"}},
      {1400000, 3725500000, 999, {"Duration: 01:02:05.500", "StartTime: 1.400000", "Bit Rate: 0 kb/s"}},
      {0, 360000000000, 1000, {"Duration: 100:00:00.000", "StartTime: 0.000000", "Bit Rate: 1 kb/s"}},
  };
  ReplaceMetadata(&ctx->metadata, {});
  for (const auto& c : cases) {
    ctx->start_time = c.start;
    ctx->duration = c.duration;
    ctx->bit_rate = c.bitRate;
    fProbe.AttachContext(ctx.get());
    lines = Lines(fProbe.GetInfoText());
    ASSERT_GT(lines.size(), 4 + c.lines.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 4 + c.lines.size()), c.lines);
    EXPECT_THAT(lines[4 + c.lines.size()], StartsWith("Stream #0")) << "nothing else before the streams";
    ASSERT_TRUE(fProbe.GetFileStreamInfo(info));
    EXPECT_EQ(info.StartTime, c.start == AV_NOPTS_VALUE ? -1 : c.start);
    EXPECT_EQ(info.Duration, c.duration == AV_NOPTS_VALUE ? -1 : c.duration);
    EXPECT_EQ(info.TimeStamp, 0);
    EXPECT_EQ(info.Year, 0);
    EXPECT_EQ(info.Track, 0);
  }
}

TEST_F(media_Probe, ContainerAspectRatioShowsAsParAndDar) {
  TOwnContext ctx(MakeMedia(Mp4()));
  ASSERT_TRUE(ctx.get());
  AVStream* st = ctx->streams[0];
  const struct {
    AVRational streamSar, codecSar;
    const char* shown;  // nullptr: no PAR/DAR
    float dar;
  } cases[] = {
      {{4, 3}, {1, 1}, ", PAR 4:3 DAR 16:9, ", 320.0f * 4 / 3 / 240},
      {{4, 3}, {0, 1}, ", PAR 4:3 DAR 16:9, ", 320.0f * 4 / 3 / 240},
      {{1, 1}, {1, 1}, nullptr, 320.0f / 240},
      {{0, 1}, {0, 1}, nullptr, 0.0f},
      {{0, 1}, {3, 2}, nullptr, 2.0f},
      {{64, 45}, {1, 1}, ", PAR 64:45 DAR 256:135, ", 320.0f * 64 / 45 / 240},
  };
  for (const auto& c : cases) {
    st->sample_aspect_ratio = c.streamSar;
    st->codecpar->sample_aspect_ratio = c.codecSar;
    fProbe.AttachContext(ctx.get());
    const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
    const int video = FindLine(lines, "Stream #0");
    ASSERT_GE(video, 0);
    if (c.shown)
      EXPECT_THAT(lines[video], HasSubstr(c.shown));
    else
      EXPECT_THAT(lines[video], ::testing::Not(HasSubstr("PAR ")));
    TVideoStreamInfo info;
    ASSERT_TRUE(fProbe.GetVideoStreamInfo(0, info));
    EXPECT_FLOAT_EQ(info.DisplayAspectRatio, c.dar) << c.streamSar.num << ":" << c.streamSar.den;
  }
}

TEST_F(media_Probe, TimeBaseWithoutDenominatorIsRepaired) {
  TOwnContext ctx(MakeMedia(Mp4()));
  ASSERT_TRUE(ctx.get());
  AVStream* st = ctx->streams[1];
  st->start_time = 3;
  st->duration = 4;
  const struct {
    AVRational tb;
    int64_t startUs, durationUs;
    const char* shown;
  } cases[] = {
      {{1000, 0}, 3000000, 4000000, ", 1/0: "},  // read as 1000/1000
      {{0, 0}, 0, 0, ", 0/0: "},                 // read as 0/1
      {{1, 2}, 1500000, 2000000, ", 1/2: "},
  };
  for (const auto& c : cases) {
    st->time_base = c.tb;
    fProbe.AttachContext(ctx.get());
    TAudioStreamInfo info;
    ASSERT_TRUE(fProbe.GetAudioStreamInfo(1, info));
    EXPECT_EQ(info.StartTime, 3);
    EXPECT_EQ(info.StartTimeUS, c.startUs) << c.shown;
    EXPECT_EQ(info.Duration, 4);
    EXPECT_EQ(info.DurationUS, c.durationUs) << c.shown;
    const std::vector<std::string> lines = Lines(fProbe.GetInfoText());
    const int audio = FindLine(lines, "Stream #1");
    ASSERT_GE(audio, 0);
    EXPECT_THAT(lines[audio], HasSubstr(c.shown));
    EXPECT_THAT(lines[audio], HasSubstr(", Duration: " + DurationToClock(c.durationUs)));
  }
}

TEST_F(media_Probe, CodecNamesWithoutADecoder) {
  TOwnContext ctx(MakeMedia(Mp4()));
  ASSERT_TRUE(ctx.get());
  AVCodecParameters* par = ctx->streams[1]->codecpar;
  const struct {
    AVCodecID id;
    uint32_t tag;
    const char* name;
  } cases[] = {
      {AV_CODEC_ID_MPEG2TS, 0, "mpeg2ts"},
      {AV_CODEC_ID_BIN_DATA, 0, "bin_data"},
      {AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 'd'), "abcd / 0x64636261"},
      {AV_CODEC_ID_NONE, 0x1B, "0x001b"},
      {AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 1), "0x1636261"},
  };
  for (const auto& c : cases) {
    par->codec_id = c.id;
    par->codec_tag = c.tag;
    fProbe.AttachContext(ctx.get());
    TAudioStreamInfo info;
    ASSERT_TRUE(fProbe.GetAudioStreamInfo(1, info));
    EXPECT_EQ(info.CodecName, c.name);
    EXPECT_NE(FindLine(Lines(fProbe.GetInfoText()), "Stream #1"), -1) << c.name;
  }
}

// ---- file sizes and names ----

TEST_F(media_Probe, FileSizesOfRawFiles) {
  TTempFolder dir;
  constexpr int64_t MiB = 1024 * 1024;
  const struct {
    int64_t size;
    const char* shown;
  } cases[] = {
      {1024, "1024 Byte"},
      {1025, "1.00 KB"},
      {MiB, "1024.00 KB"},
      {MiB + 1, "1.00 MB"},
      {1024 * MiB + 1, "1.00 GB"},  // sparse
  };
  for (const auto& c : cases) {
    const std::string file = dir.File("raw-" + std::to_string(c.size) + ".u8");
    std::ofstream(file, std::ios::binary) << std::string(1024, '\x80');
    fs::resize_file(file, static_cast<uintmax_t>(c.size));
    ASSERT_TRUE(fProbe.LoadFile(file, "u8")) << fProbe.LastError();
    EXPECT_EQ(fProbe.ForcedFormat(), "u8");
    EXPECT_EQ(fProbe.FormatName(), "u8");
    EXPECT_EQ(fProbe.FileSize(), c.size);
    EXPECT_EQ(Lines(fProbe.GetInfoText())[3], std::string("File Size: ") + c.shown);
    fProbe.CloseFile();
    EXPECT_EQ(fProbe.ForcedFormat(), "");
    ExpectClosed();
  }
}

TEST_F(media_Probe, NamesTheLocaleCannotHoldOpenThroughTheUnicodeProtocol) {
  TTempFolder dir;
  const std::string file = dir.File("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.mp4");
  fs::copy_file(MakeMedia(Mp4()), file);
  ASSERT_TRUE(IsUnicodeURL(FileNameToURL(file))) << "the test runs in the C locale";
  ASSERT_TRUE(fProbe.LoadFile(file)) << fProbe.LastError();
  EXPECT_EQ(fProbe.FileName(), file);
  EXPECT_EQ(fProbe.FileSize(), static_cast<int64_t>(fs::file_size(file)));
  EXPECT_EQ(Lines(fProbe.GetInfoText())[0], "File Name: " + file);
  EXPECT_EQ(fProbe.StreamCount(), 2);

  // A context a task opened through the protocol is named by its decoded URL.
  AVFormatContext* ic = nullptr;
  ASSERT_EQ(OpenInputURL(&ic, FileNameToURL(file), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(ic, nullptr), 0);
  fProbe.AttachContext(ic);
  EXPECT_EQ(fProbe.FileName(), file);
  EXPECT_EQ(fProbe.FileSize(), static_cast<int64_t>(fs::file_size(file)));
  fProbe.CloseFile();
  CloseInputURL(&ic);

  const std::string missing = dir.File("\xe6\x97\xa5.mp4");
  EXPECT_FALSE(fProbe.LoadFile(missing));
  EXPECT_EQ(fProbe.LastError(), missing + ": No such file or directory");
}

}  // namespace
}  // namespace quenza
