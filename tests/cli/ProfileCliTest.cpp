// quenza-convert with output profiles, as a user runs it: every shipped profile from a
// fresh settings file, the per-file options, names, errors and the summary.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavutil/frame.h>
}

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempFolder.h"
#include "support/TestMedia.h"

extern char** environ;

namespace quenza::test {
namespace {

namespace fs = std::filesystem;

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

class ProfileCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Temp.Ok());
    fs::create_directories(OutDir());
  }
  std::string OutDir() const { return Temp.File("out"); }
  std::string SettingsFile() const { return Temp.File("settings.ini"); }

  // Runs quenza-convert with a settings file of its own and the output folder.
  TRun Run(std::vector<std::string> args, bool withFolders = true) {
    if (withFolders) {
      args.insert(args.begin(), {"--settings", SettingsFile(), "--catalogue", QUENZA_CATALOGUE_FILE,
                                 "--output-dir", OutDir()});
    }
    std::vector<char*> argv;
    std::string exe = QUENZA_CONVERT_EXE;
    argv.push_back(exe.data());
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outFile = Temp.File("stdout.txt"), errFile = Temp.File("stderr.txt");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    TRun r;
    if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.Out = ReadText(outFile);
    r.Err = ReadText(errFile);
    return r;
  }
  std::vector<std::string> Outputs() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(OutDir())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TTempFolder Temp{"quenza-profile-cli"};
};

std::string VideoClip(double seconds = 1.0) {
  MediaSpec s;
  s.container = "mp4";
  s.videoCodec = "libx264";
  s.audioCodec = "aac";
  s.width = 320;
  s.height = 240;
  s.duration = seconds;
  s.sampleRate = 48000;
  return MakeMedia(s);
}

std::string AudioClip() {
  MediaSpec s;
  s.container = "wav";
  s.audioCodec = "pcm_s16le";
  s.duration = 1.0;
  s.sampleRate = 48000;
  return MakeMedia(s);
}

struct TProfileCase {
  int Code;
  const char* Extension;
  const char* FormatName;  // demuxer name
  const char* VideoCodec;  // nullptr: audio only
  int Width, Height;
  const char* AudioCodec;
  int SampleRate;
};

// What each profile's catalogue defaults promise.
const TProfileCase kProfiles[] = {
    {0, "wmv", "asf", "wmv2", 640, 480, "wmav2", 44100},
    {1, "avi", "avi", "mpeg4", 640, 480, "mp3", 44100},
    {2, "mp4", "mov,mp4,m4a,3gp,3g2,mj2", "h264", 1280, 720, "aac", 48000},
    {100, "mpg", "mpeg", "mpeg1video", 352, 288, "mp2", 44100},
    {101, "mpg", "mpeg", "mpeg2video", 720, 480, "ac3", 48000},
    {102, "mp4", "mov,mp4,m4a,3gp,3g2,mj2", "mpeg4", 640, 480, "aac", 44100},
    {103, "mp4", "mov,mp4,m4a,3gp,3g2,mj2", "h264", 1280, 720, "aac", 44100},
    {104, "avi", "avi", "mpeg4", 640, 480, "mp3", 44100},
    {105, "wmv", "asf", "wmv2", 640, 480, "wmav2", 44100},
    {106, "avi", "avi", "mpeg4", 640, 480, "mp3", 44100},
    {107, "avi", "avi", "mpeg4", 640, 480, "mp3", 44100},
    {108, "dv", "dv", "dvvideo", 720, 480, "pcm_s16le", 48000},
    {109, "dv", "dv", "dvvideo", 720, 576, "pcm_s16le", 48000},
    {200, "mp3", "mp3", nullptr, 0, 0, "mp3", 44100},
    {201, "aac", "aac", nullptr, 0, 0, "aac", 44100},
    {202, "m4a", "mov,mp4,m4a,3gp,3g2,mj2", nullptr, 0, 0, "aac", 44100},
    {203, "wma", "asf", nullptr, 0, 0, "wmav2", 44100},
    {204, "wav", "wav", nullptr, 0, 0, "pcm_s16le", 44100},
    {205, "ogg", "ogg", nullptr, 0, 0, "vorbis", 44100},
    {206, "ac3", "ac3", nullptr, 0, 0, "ac3", 48000},
};

class EveryProfile : public ProfileCli, public ::testing::WithParamInterface<TProfileCase> {};

TEST_P(EveryProfile, ConvertsFromAFreshSettingsFile) {
  const TProfileCase& c = GetParam();
  const std::string source = c.VideoCodec ? VideoClip() : AudioClip();
  const TRun r = Run({"--profile", std::to_string(c.Code), source});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string stem = fs::path(source).stem().string();
  const std::string output = OutDir() + "/" + stem + "_(new)." + c.Extension;
  ASSERT_TRUE(fs::is_regular_file(output)) << r.Err;

  const MediaInfo info = ReadMediaInfo(output);
  EXPECT_EQ(info.formatName, c.FormatName);
  const StreamInfo* video = info.Find(AVMEDIA_TYPE_VIDEO);
  if (c.VideoCodec) {
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codecName, c.VideoCodec);
    EXPECT_EQ(video->width, c.Width);
    EXPECT_EQ(video->height, c.Height);
    EXPECT_GT(CountDecodedFrames(output, AVMEDIA_TYPE_VIDEO), 20);
  } else {
    EXPECT_EQ(video, nullptr);
  }
  const StreamInfo* audio = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->codecName, c.AudioCodec);
  EXPECT_EQ(audio->sampleRate, c.SampleRate);
  EXPECT_EQ(audio->channels, 2);
  // At the profile's default volume (100%), not near silence.
  EXPECT_GT(MeasureRms(output), 0.5 * kToneRms);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryProfile, ::testing::ValuesIn(kProfiles),
                         [](const auto& info) { return "code" + std::to_string(info.param.Code); });

TEST_F(ProfileCli, SameNamesInOneRunAndAFailingFile) {
  const std::string source = VideoClip();
  fs::create_directories(Temp.File("a"));
  fs::copy_file(source, Temp.File("a/clip.mp4"));
  fs::create_directories(Temp.File("b"));
  fs::copy_file(source, Temp.File("b/clip.mp4"));
  WriteText(Temp.File("broken.mp4"), "not a video");
  const TRun r = Run({"--profile", "104", "--jobs", "2", Temp.File("a/clip.mp4"), Temp.File("broken.mp4"),
                      Temp.File("b/clip.mp4")});
  EXPECT_EQ(r.Status, 1) << r.Err;
  EXPECT_EQ(Outputs(), (std::vector<std::string>{"clip_(new).avi", "clip_(new_1).avi"}));
  EXPECT_NE(r.Err.find("2 converted, 1 not converted"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("failed"), std::string::npos);
}

TEST_F(ProfileCli, TrimCropAndEffectsReachTheOutput) {
  const std::string source = VideoClip(3.0);
  const TRun r = Run({"--profile", "104", "--zoom", "full", "--trim-start", "1", "--trim-length", "1",
                      "--brightness", "400", source});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string output = OutDir() + "/" + fs::path(source).stem().string() + "_(new).avi";
  const std::vector<int> counters = ReadFrameCounters(output);
  ASSERT_FALSE(counters.empty());
  // 1 s of the 3 s clip from second 1 (the frame rate becomes 29.97).
  EXPECT_NEAR(static_cast<double>(counters.size()), 30, 2);
  EXPECT_GE(counters.front(), 24);
  EXPECT_LE(counters.front(), 26);
}

// Mean luma of a rectangle of a decoded 8-bit YUV picture.
double MeanLuma(const AVFrame* f, int x0, int y0, int w, int h) {
  double sum = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) sum += f->data[0][y * f->linesize[0] + x];
  return sum / (w * h);
}

TEST_F(ProfileCli, TextWatermarkShowsInItsSeconds) {
  const std::string source = VideoClip(3.0);
  // A white box from second 1 to second 1 over the right of the picture; then the same
  // conversion without it.
  TRun r = Run({"--profile", "104", "--zoom", "full", "--text", "MMMM,280,60,255,1,1,Sans,20,white,white", source});
  ASSERT_EQ(r.Status, 0) << r.Err;
  r = Run({"--profile", "104", "--zoom", "full", source});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string stem = OutDir() + "/" + fs::path(source).stem().string();
  auto regionLuma = [](const std::string& file) {
    std::vector<double> luma;
    ForEachDecodedFrame(file, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame* f) {
      luma.push_back(MeanLuma(f, 284 * f->width / 320, 64 * f->height / 240, 16, 8));
    });
    return luma;
  };
  const std::vector<double> marked = regionLuma(stem + "_(new).avi");
  const std::vector<double> plain = regionLuma(stem + "_(new_1).avi");
  ASSERT_EQ(marked.size(), plain.size());
  ASSERT_GE(marked.size(), 80u);
  // 29.97 fps output: second 1 is frames 30 .. 59 (one frame of slack at each end).
  for (std::size_t i = 0; i < marked.size(); ++i) {
    if (i >= 31 && i <= 58) {
      EXPECT_GT(marked[i], 225) << "frame " << i;
    }
    if (i <= 28 || i >= 61) {
      EXPECT_NEAR(marked[i], plain[i], 4) << "frame " << i;
    }
  }
}

TEST_F(ProfileCli, JsonEventsAndSummary) {
  const TRun r = Run({"--profile", "200", "--json", AudioClip()});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("{\"event\":\"finished\""), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("{\"event\":\"summary\",\"profile\":200,\"converted\":1,\"failed\":0"), std::string::npos)
      << r.Out;
}

TEST_F(ProfileCli, UsageErrors) {
  const std::string clip = AudioClip();
  const std::vector<std::vector<std::string>> cases = {
      {"--zoom", "wide", clip},        {"--crop", "1,2,3", clip},  {"--brightness", "900", clip},
      {"--profile", "999", clip},      {"--bogus", clip},          {"--text", "hello", clip},
      {"--image", "/no/such.bmp,0,0", clip}, {"--jobs", "0", clip}, {},
  };
  for (const auto& args : cases) {
    const TRun r = Run(args);
    EXPECT_EQ(r.Status, 2) << (args.empty() ? "(none)" : args[0]) << ": " << r.Err;
    EXPECT_NE(r.Err.find("quenza-convert: "), std::string::npos);
  }
  EXPECT_TRUE(Outputs().empty());
}

TEST_F(ProfileCli, ListsTheProfiles) {
  const TRun r = Run({"--list-profiles", "--catalogue", QUENZA_CATALOGUE_FILE}, false);
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("   206  AC-3 Audio Codec (*.ac3)"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("General Video formates"), std::string::npos);
}

}  // namespace
}  // namespace quenza::test
