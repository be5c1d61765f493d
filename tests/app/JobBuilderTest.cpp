#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/JobBuilder.h"
#include "app/ProfileMapping.h"
#include "support/TempFolder.h"

namespace quenza {
namespace {

namespace fs = std::filesystem;
using test::TTempFolder;
using test::WriteText;

class TRecordingMessages : public TMessageService {
 public:
  void ShowMessage(const std::string& title, const std::string& text) override {
    Messages.push_back(title + ": " + text);
  }
  std::vector<std::string> Messages;
};

class TScriptedQuestions : public TQuestionService {
 public:
  bool AskYesNo(const std::string& title, const std::string& text) override {
    Asked.push_back(title + ": " + text);
    return Answer;
  }
  bool Answer = true;
  std::vector<std::string> Asked;
};

// A catalogue and settings file in a temporary folder, and a builder on them.
class JobBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Temp.Ok());
    fs::create_directories(OutDir());
    Settings.SetOutPutDir(OutDir());
  }
  std::string OutDir() const { return Temp.File("out"); }
  void Catalogue(const std::string& text) { WriteText(Temp.File("format.ini"), text); }
  void Choices(int code, const std::vector<std::pair<std::string, std::string>>& keys) {
    for (const auto& [k, v] : keys) Settings.Ini().WriteString(ProfileSectionName(code), k, v);
  }
  // Builds the options of one entry for the profile.
  void Build(int code, const TSourceValues& src, const TlvFilesRecord& entry) {
    Out = TOutputOptions{};
    In = TInputOptions{};
    if (entry.CropTop > 0 || entry.CropBottom > 0 || entry.CropLeft > 0 || entry.CropRight > 0) {
      Out.CropTop = entry.CropTop;
      Out.CropBottom = entry.CropBottom;
      Out.CropLeft = entry.CropLeft;
      Out.CropRight = entry.CropRight;
    }
    Builder.BuildProfileOptions(entry, code, Out, src, In);
  }

  TTempFolder Temp{"quenza-jobs"};
  TSettingsStore Settings{Temp.File("settings.ini")};
  TIniFile Format{Temp.File("format.ini")};
  TRecordingMessages Messages;
  TScriptedQuestions Questions;
  TFolderRules Folders{Settings, Messages, Temp.File("default"), Temp.File("user")};
  TJobBuilder Builder{Settings, Format, Folders, Questions};
  TOutputOptions Out;
  TInputOptions In;
};

TSourceValues Video(int w, int h) {
  TSourceValues v;
  v.VideoStreamCount = 1;
  v.Width = w;
  v.Height = h;
  v.VideoBitRate = 2000000;
  v.SampleRate = 48000;
  v.AudioBitRate = 128000;
  return v;
}

TEST_F(JobBuilderTest, ZoomModesFitTheFrame) {
  Catalogue("[formatInfo104]\nFormat=avi\nFileExt=avi\n");
  struct TCase {
    const char* Zoom;
    int SrcW, SrcH;
    const char* Size;
    int CropTop, CropBottom, CropLeft, CropRight;  // entry
    const char* FrameSize;
    const char* Aspect;
    const char* Filters;
    int OutTop, OutBottom, OutLeft, OutRight;
  };
  const TCase cases[] = {
      {"lbox", 1280, 720, "320x240", 0, 0, 0, 0, "320x180", "320:180", "pad=320:240:0:30", 0, 0, 0, 0},
      // The chain crops the source; the output's own bands stay off (no second crop).
      {"lbox", 1280, 720, "320x240", 0, 0, 8, 0, "", "320:180", "crop=1272:720:8:0,scale=320:180,pad=320:240:0:30", 0, 0, 0, 0},
      {"lbox", 640, 480, "640x360", 0, 0, 0, 0, "480x360", "480:360", "pad=640:360:80:0", 0, 0, 0, 0},
      {"lbox", 640, 480, "320x240", 0, 0, 0, 0, "320x240", "320:240", "pad=320:240:0:0", 0, 0, 0, 0},
      {"lbox", 320, 240, "640x360", 0, 0, 0, 0, "480x360", "480:360", "pad=640:360:80:0", 0, 0, 0, 0},
      {"lbox", 640, 480, "640x480", 0, 0, 0, 0, "640x480", "640:480", "pad=640:480:0:0", 0, 0, 0, 0},
      {"pan", 1920, 1080, "640x480", 0, 0, 0, 0, "640x480", "640:480", "", 0, 0, 426, 426},
      {"pan", 1920, 1080, "640x480", 0, 0, 10, 10, "640x480", "640:480", "", 10, 0, 0, 0},
      {"pan", 640, 480, "320x240", 0, 0, 0, 0, "320x240", "320:240", "", 0, 0, 0, 0},
      {"center", 1280, 720, "320x240", 0, 0, 0, 0, "320x240", "320:240", "pad=320:240:0:30:black", 0, 0, 0, 0},
      {"center", 640, 480, "640x360", 0, 0, 0, 0, "480x360", "640:360", "pad=800:480:80:0:black", 0, 0, 0, 0},
      {"full", 1280, 720, "320x240", 0, 0, 0, 0, "320x240", "320:240", "", 0, 0, 0, 0},
      {"full", 1280, 720, "320x240", 4, 6, 8, 10, "320x240", "320:240", "", 4, 6, 8, 10},
      {"unknown", 1280, 720, "320x240", 0, 0, 0, 0, "", "", "", 0, 0, 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Zoom) + " " + std::to_string(c.SrcW) + "x" + std::to_string(c.SrcH) + " -> " +
                 c.Size + " crop " + std::to_string(c.CropLeft));
    Choices(104, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", c.Size}});
    TlvFilesRecord entry;
    entry.ZoomMode = c.Zoom;
    entry.CropTop = c.CropTop;
    entry.CropBottom = c.CropBottom;
    entry.CropLeft = c.CropLeft;
    entry.CropRight = c.CropRight;
    // The "pan" row with a crop keeps the entry's top crop in the output (other axis).
    if (std::string(c.Zoom) == "pan" && c.CropLeft == 10) entry.CropTop = 10;
    Build(104, Video(c.SrcW, c.SrcH), entry);
    EXPECT_EQ(Out.FrameSize, c.FrameSize);
    EXPECT_EQ(Out.FrameAspectRatio, c.Aspect);
    EXPECT_EQ(Out.VideoFilters, c.Filters);
    if (std::string(c.Zoom) == "pan" && c.CropLeft == 10) {
      // R/S = 1900/1070 > 4/3: a = trunc((1900/1070 - 4/3) * 1900) = 843, c = 421 + 10 -> 430.
      EXPECT_EQ(Out.CropLeft, 430);
      EXPECT_EQ(Out.CropRight, 430);
      EXPECT_EQ(Out.CropTop, 10);
      continue;
    }
    EXPECT_EQ(Out.CropTop, c.OutTop);
    EXPECT_EQ(Out.CropBottom, c.OutBottom);
    EXPECT_EQ(Out.CropLeft, c.OutLeft);
    EXPECT_EQ(Out.CropRight, c.OutRight);
  }
}

TEST_F(JobBuilderTest, FrameSizeChoices) {
  Catalogue("[formatInfo104]\nFormat=avi\n");
  struct TCase {
    const char* Encoder;
    const char* Size;
    bool Answer;
    const char* FrameSize;  // zoom "full"
    bool Asks;
  };
  const TCase cases[] = {
      {"mpeg4", "as source", true, "1280x720", false},
      {"mpeg4", "640x480", true, "640x480", false},
      {"mpeg4", "abcx480", true, "1280x480", false},  // a side that is no integer keeps the source's
      {"mpeg4", "640", true, "320x240", true},
      {"mpeg4", "x480", true, "320x240", true},
      {"mpeg4", "640x", false, "1280x720", true},
      {"mpeg4", "null", false, "1280x720", true},
      {"h263", "400x300", true, "704x576", false},
      {"h263", "352x288", true, "352x288", false},
      {"h263", "300x200", true, "352x288", false},
      {"h263", "170x100", true, "170x100", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Encoder) + " " + c.Size);
    Choices(104, {{"paraVideoEncoder", c.Encoder}, {"paraVideoSize", c.Size}});
    Questions.Asked.clear();
    Questions.Answer = c.Answer;
    TlvFilesRecord entry;
    entry.ZoomMode = "full";
    Build(104, Video(1280, 720), entry);
    EXPECT_EQ(Out.FrameSize, c.FrameSize);
    ASSERT_EQ(Questions.Asked.size(), c.Asks ? 1u : 0u);
    if (c.Asks) {
      EXPECT_EQ(Questions.Asked[0], std::string("Warning: ") + kBadVideoSizeQuestion);
    }
  }
}

TEST(InProfileRangeTest, RangeOfTheChoiceList) {
  struct TCase {
    const char* List;
    TRangeKind Kind;
    double Value;
    bool InRange;
  };
  const TCase cases[] = {
      {"as source,8000,44100,48000", TRangeKind::SampleRate, 32000, true},
      {"as source,8000,44100,48000", TRangeKind::SampleRate, 8000, true},
      {"as source,8000,44100,48000", TRangeKind::SampleRate, 48000, true},
      {"as source,8000,44100,48000", TRangeKind::SampleRate, 96000, false},
      {"as source,44100,48000", TRangeKind::SampleRate, 32000, false},
      {"AS SOURCE,44100", TRangeKind::SampleRate, 44100, true},  // low = high = 44100
      {"22050,32000,44100", TRangeKind::SampleRate, 32000, true},
      {"22050,44100", TRangeKind::SampleRate, 44100, false},  // one comma: high = low
      {"44100", TRangeKind::SampleRate, 44100, false},  // no comma
      {",44100", TRangeKind::SampleRate, 44100, false},  // comma first
      {"null", TRangeKind::SampleRate, 44100, false},
      {"as source,64,96,128,192", TRangeKind::AudioBitRate, 128000, true},  // kbit/s
      {"as source,64,96,128,192", TRangeKind::AudioBitRate, 256000, false},
      {"as source,256,3000", TRangeKind::VideoBitRate, 2999000, true},
      {"as source,256,3000", TRangeKind::VideoBitRate, 255000, false},
  };
  for (const TCase& c : cases) {
    TCatalogueProfile p;
    p.SampleRate = p.AudioBitRate = p.VideoBitRate = c.List;
    EXPECT_EQ(InProfileRange(c.Kind, p, c.Value), c.InRange) << c.List << " " << c.Value;
  }
}

TEST_F(JobBuilderTest, AsSourceValuesKeptInRangeElseFallback) {
  struct TCase {
    const char* SampleRates;
    const char* Fallback;  // catalogue paraSampleRate, empty = missing
    int Expected;
  };
  const TCase cases[] = {
      {"as source,8000,44100,48000", "", 32000},
      {"as source,44100,48000", "", 44100},
      {"as source,44100,48000", "22050", 22050},
      {"as source,44100,48000", "as source", -1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.SampleRates) + " / " + c.Fallback);
    std::string text = "[formatInfo104]\nFormat=avi\nSampleRate=" + std::string(c.SampleRates) + "\n";
    if (*c.Fallback) text += "paraSampleRate=" + std::string(c.Fallback) + "\n";
    Catalogue(text);
    Choices(104, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "as source"}, {"paraSampleRate", "as source"},
                  {"paraAudioEncoder", "libmp3lame"}});
    TSourceValues src = Video(640, 480);
    src.SampleRate = 32000;
    Build(104, src, TlvFilesRecord{});
    EXPECT_EQ(Out.AudioSampleRate, c.Expected);
  }
}

TEST_F(JobBuilderTest, BitRatesFrameRateAndAudioSettings) {
  Catalogue("[formatInfo104]\nFormat=avi\nVideoBitRate=as source,256,3000\nAudioBitRate=as source,64,192\n"
            "paraVideoBitRate=800\n");
  Choices(104, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "as source"}, {"paraVideoBitRate", "1500"},
                {"paraFrameRate", "29.97"}, {"paraAudioEncoder", "libamr_nb"}, {"paraChannel", "1"},
                {"paraVolume", "512"}, {"paraAudioBitRate", "96.5"}});
  Build(104, Video(640, 480), TlvFilesRecord{});
  EXPECT_EQ(Out.VideoCodec, "mpeg4");
  EXPECT_EQ(Out.FileFormat, "avi");
  EXPECT_EQ(Out.VideoBitrate, 1500000);
  EXPECT_EQ(Out.FrameRate, "29.97");
  EXPECT_EQ(Out.AudioCodec, "libopencore_amrnb");
  EXPECT_EQ(Out.AudioChannels, 1);
  EXPECT_EQ(Out.AudioVolume, 512);
  EXPECT_EQ(Out.AudioBitrate, 96500);

  // "as source": the source's bit rate when in range, else the catalogue's fallback.
  Choices(104, {{"paraVideoBitRate", "as source"}, {"paraFrameRate", "as source"}, {"paraVolume", "256"},
                {"paraAudioEncoder", ""}, {"paraAudioBitRate", "as source"}});
  TSourceValues src = Video(640, 480);
  src.VideoBitRate = 9000000;
  src.AudioBitRate = 128000;
  Build(104, src, TlvFilesRecord{});
  EXPECT_EQ(Out.VideoBitrate, 800000);
  EXPECT_EQ(Out.FrameRate, "");
  EXPECT_EQ(Out.AudioVolume, -1);
  EXPECT_TRUE(Out.DisableAudio);
  EXPECT_EQ(Out.AudioBitrate, 128000);

  // A volume that is no integer stops the start.
  Choices(104, {{"paraVolume", "loud"}});
  EXPECT_THROW(Build(104, src, TlvFilesRecord{}), EConvertError);
}

TEST_F(JobBuilderTest, TargetsAndPresetsFollowTheFormat) {
  Catalogue("[formatInfo0]\nFormat=pal-dvd\n[formatInfo1]\nFormat=PSP\n[formatInfo2]\nFormat=ntsc-vcd\n");
  Choices(0, {{"paraVideoEncoder", "mpeg2video"}, {"paraVideoSize", "720x576"}});
  Build(0, Video(720, 576), TlvFilesRecord{});
  EXPECT_EQ(Out.TargetType, 3);
  EXPECT_EQ(Out.TargetNorm, 1);
  EXPECT_EQ(Out.VideoCodec, "mpeg2video");

  Choices(1, {{"paraVideoEncoder", "libx264"}, {"paraVideoSize", "as source"}});
  Build(1, Video(480, 272), TlvFilesRecord{});
  EXPECT_EQ(Out.VideoPreset, "libx264-psp");
  EXPECT_EQ(Out.FileFormat, "PSP");  // as written in the catalogue

  Choices(2, {{"paraVideoEncoder", "mov"}, {"paraVideoSize", "352x240"}});
  TlvFilesRecord full;
  full.ZoomMode = "full";
  Build(2, Video(352, 240), full);
  EXPECT_EQ(Out.TargetType, 1);
  EXPECT_EQ(Out.TargetNorm, 2);
  EXPECT_EQ(Out.VideoCodec, "");  // the container's default encoder
  EXPECT_EQ(Out.FrameAspectRatio, "352:240");
}

TEST_F(JobBuilderTest, AudioOnlyProfileAndSilentSource) {
  Catalogue("[formatInfo206]\nFormat=AC3\nFileExt=ac3\n");
  Choices(206, {{"paraAudioEncoder", "ac3"}, {"paraSampleRate", "48000"}, {"paraVideoSize", "640x480"}});
  TlvFilesRecord entry;
  entry.ZoomMode = "lbox";
  Build(206, Video(640, 480), entry);
  EXPECT_EQ(Out.AudioCodec, "ac3");
  EXPECT_EQ(Out.FileFormat, "ac3");
  EXPECT_EQ(Out.AudioSampleRate, 48000);
  EXPECT_EQ(In.ExtOptions, "vn=1");
  EXPECT_TRUE(Out.DisableVideo);
  EXPECT_TRUE(Out.DisableSubtitle);
  EXPECT_EQ(Out.FrameSize, "");
  EXPECT_EQ(Out.VideoCodec, "");
  EXPECT_EQ(Out.VideoFilters, "");

  // A video profile on a source without video: no video settings at all.
  Catalogue("[formatInfo104]\nFormat=avi\n");
  Choices(104, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "640x480"}, {"paraAudioEncoder", "libmp3lame"}});
  TSourceValues silent;
  silent.SampleRate = 44100;
  Build(104, silent, entry);
  EXPECT_TRUE(Out.DisableVideo);
  EXPECT_EQ(Out.FrameSize, "");
  EXPECT_EQ(Out.VideoBitrate, -1);
  EXPECT_EQ(Out.AudioCodec, "libmp3lame");
}

TEST_F(JobBuilderTest, NeverSavedProfileUsesTheCatalogueDefaults) {
  Catalogue(
      "[formatInfo200]\nFormat=mp3\nFileExt=mp3\nVideoEncoder=null\n"
      "AudioBitRate=as source,64,128,192\niAudioBitRate=3\n"
      "SampleRate=as source,22050,44100\niSampleRate=1\n"
      "AudioEncoder=AAC,MP3\niAudioEncoder=1\n"
      "Channel=as source,mono 1 channel,stereo 2 channels\niChannel=1\n"
      "Volume=50%,100%\niVolume=1\n"
      "[formatInfo203]\nFormat=wav\nAudioEncoder=pcm_s16,GSM\niAudioEncoder=1\nVolume=null\n");
  Build(200, Video(640, 480), TlvFilesRecord{});
  EXPECT_EQ(Out.AudioCodec, "libmp3lame");  // not "libfaac"
  EXPECT_EQ(Out.AudioVolume, -1);           // 100% = unchanged, not 3/256
  EXPECT_EQ(Out.AudioBitrate, 192000);
  EXPECT_EQ(Out.AudioSampleRate, 22050);
  EXPECT_EQ(Out.AudioChannels, 1);

  // GSM brings its own rate and channel; a profile without a volume list keeps the level.
  Build(203, Video(640, 480), TlvFilesRecord{});
  EXPECT_EQ(Out.AudioCodec, "libgsm");
  EXPECT_EQ(Out.AudioSampleRate, 8000);
  EXPECT_EQ(Out.AudioChannels, 1);
  EXPECT_EQ(Out.AudioVolume, -1);

  // Once the settings dialog saved the profile, its values count, defaults and all.
  Choices(200, {{"PARAVOLUME", "128"}});
  Build(200, Video(640, 480), TlvFilesRecord{});
  EXPECT_EQ(Out.AudioCodec, "libfaac");
  EXPECT_EQ(Out.AudioVolume, 128);
}

TEST_F(JobBuilderTest, OutputNamesNeverCollide) {
  WriteText(OutDir() + "/clip_(new).mp4", "x");
  WriteText(OutDir() + "/clip_(new_1).mp4", "x");
  EXPECT_EQ(Builder.MakeOutputName("/videos/clip.avi", ".mp4"), OutDir() + "/clip_(new_2).mp4");
  // A second source of the same name in the same run gets the next free name.
  EXPECT_EQ(Builder.MakeOutputName("/other/clip.mkv", ".mp4"), OutDir() + "/clip_(new_3).mp4");
  EXPECT_EQ(Builder.MakeOutputName("/other/movie.mkv", ".mp4"), OutDir() + "/movie_(new).mp4");
  Builder.BeginRun();
  EXPECT_EQ(Builder.MakeOutputName("/other/movie.mkv", ".mp4"), OutDir() + "/movie_(new).mp4");

  // An output folder that cannot be made falls back to the default folder, created.
  WriteText(Temp.File("blocker"), "x");
  Builder.SetOutputFolder(Temp.File("blocker") + "/sub");
  const std::string name = Builder.MakeOutputName("/videos/clip.avi", ".avi");
  EXPECT_EQ(name, Temp.File("default") + "/clip_(new).avi");
  EXPECT_TRUE(fs::is_directory(Temp.File("default")));
  EXPECT_EQ(Messages.Messages.size(), 1u);
}

TEST(ProfileMappingTest, SettingsDialogItemsMapToEngineNames) {
  struct TCase {
    const char* Item;
    const char* Video;  // nullptr: no mapping
    const char* Audio;
  };
  const TCase cases[] = {
      {"MPEG-4", "mpeg4", nullptr}, {"Xvid", "libxvid", nullptr}, {"H264", "libx264", nullptr},
      {"WMV2", "wmv2", nullptr},    {"MP3", nullptr, "libmp3lame"}, {"AAC", nullptr, "libfaac"},
      {"AC-3", nullptr, "ac3"},     {"wma2", nullptr, "wmav2"},     {"pcm_s16", nullptr, "pcm_s16le"},
      {"pcm_mulaw ", nullptr, "pcm_mulaw"}, {"pcm_mulaw", nullptr, nullptr}, {"divx", nullptr, nullptr},
  };
  for (const TCase& c : cases) {
    auto v = MapVideoEncoderItem(c.Item);
    auto a = MapAudioEncoderItem(c.Item);
    EXPECT_EQ(v.value_or("-"), c.Video ? c.Video : "-") << c.Item;
    EXPECT_EQ(a.value_or("-"), c.Audio ? c.Audio : "-") << c.Item;
  }
  EXPECT_EQ(MapVolumeItem("100%").value_or("-"), "256");
  EXPECT_EQ(MapVolumeItem("25%").value_or("-"), "64");
  EXPECT_EQ(MapVolumeItem("400%").value_or("-"), "1024");
  EXPECT_FALSE(MapVolumeItem("110%"));
  EXPECT_EQ(MapChannelItem("mono 1 channel").value_or("-"), "1");
  EXPECT_FALSE(MapChannelItem("Mono 1 channel"));
  EXPECT_EQ(MapZoomIndex(3).value_or("-"), "center");
  EXPECT_FALSE(MapZoomIndex(4));
}

}  // namespace
}  // namespace quenza
