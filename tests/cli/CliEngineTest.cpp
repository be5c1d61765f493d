// quenza-convert --engine as a user runs it: exit codes, messages, files.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestMedia.h"

extern char** environ;

namespace quenza::test {
namespace {

struct Result {
  int status = -1;  // exit code
  std::string err;  // stderr
};

class CliEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quenza-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Starts quenza-convert with args; stderr goes to a file.
  pid_t Start(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string exe = QUENZA_CONVERT_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string errFile = (dir_ / "stderr.txt").string();
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
  }
  Result Wait(pid_t pid) {
    Result r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream in(dir_ / "stderr.txt");
    std::stringstream ss;
    ss << in.rdbuf();
    r.err = ss.str();
    return r;
  }
  Result Run(const std::vector<std::string>& args) { return Wait(Start(args)); }
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

MediaSpec Clip(double seconds) {
  MediaSpec s;
  s.container = "mp4";
  s.videoCodec = "libx264";
  s.audioCodec = "aac";
  s.duration = seconds;
  return s;
}

TEST_F(CliEngine, ConvertsToEveryCommonContainer) {
  const std::string in = MakeMedia(Clip(1.0));
  struct Case {
    const char* file;
    std::vector<std::string> options;
    const char* video;
    const char* audio;
  };
  const Case cases[] = {
      {"a.avi", {"-O", "vcodec=mpeg4", "-O", "acodec=libmp3lame"}, "mpeg4", "mp3"},
      {"a.mkv", {"-O", "VCODEC=libx264", "-O", "acodec=aac"}, "h264", "aac"},
      {"a.mpg", {"-O", "vcodec=mpeg1video", "-O", "acodec=mp2"}, "mpeg1video", "mp2"},
      {"a.wmv", {"-O", "vcodec=wmv2", "-O", "acodec=wmav2"}, "wmv2", "wmav2"},
      {"a.flv", {"-O", "vcodec=flv", "-O", "acodec=libmp3lame"}, "flv1", "mp3"},
      {"a.mov", {"-O", "vcodec=libx264", "-O", "acodec=aac"}, "h264", "aac"},
      {"a.mp3", {"-O", "vn=1", "-O", "acodec=libmp3lame"}, "", "mp3"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--engine", in};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"-o", Out(c.file)});
    Result r = Run(args);
    ASSERT_EQ(r.status, 0) << c.file << "\n" << r.err;
    EXPECT_NE(r.err.find("video:"), std::string::npos) << "final report";
    MediaInfo info = ReadMediaInfo(Out(c.file));
    if (*c.video) {
      ASSERT_NE(info.Find(AVMEDIA_TYPE_VIDEO), nullptr) << c.file;
      EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->codecName, c.video) << c.file;
    } else {
      EXPECT_EQ(info.Count(AVMEDIA_TYPE_VIDEO), 0) << c.file;
    }
    ASSERT_NE(info.Find(AVMEDIA_TYPE_AUDIO), nullptr) << c.file;
    EXPECT_EQ(info.Find(AVMEDIA_TYPE_AUDIO)->codecName, c.audio) << c.file;
  }
}

TEST_F(CliEngine, ExitCodesAndMessages) {
  const std::string in = MakeMedia(Clip(1.0));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string out = Out("x.avi");
  const Case cases[] = {
      {{"--engine"}, 2, "no input file"},
      {{"--engine", in}, 2, "no output file"},
      {{"--engine", in, "-O"}, 2, "-O needs NAME=VALUE"},
      {{"--engine", in, "--frobnicate", "-o", out}, 2, "unknown argument '--frobnicate'"},
      {{"--nonsense"}, 2, "Usage:"},
      {{"--engine", in, "-O", "threads=2", "-o", out}, 1, "TODO: option - threads"},
      {{"--engine", in, "-O", "qscale=0", "-o", out}, 1, "qscale must be > 0.0 and <= 255"},
      {{"--engine", in, "-O", "aspect=4:0", "-o", out}, 1, "Incorrect aspect ratio specification."},
      {{"--engine", in, "-O", "vtag=abc", "-o", out}, 1, "video tag parameter must be 4 chars"},
      {{"--engine", in, "-O", "padtop=4", "-o", out}, 1, "Please use vfilters=pad"},
      {{"--engine", in, "-O", "target=xyz", "-o", out}, 1, "Unknown target type"},
      {{"--engine", in, "-O", "vpre=nonesuch", "-o", out}, 1, "Preset \"nonesuch\" not found"},
      {{"--engine", "-I", "f=nosuchformat", in, "-o", out}, 1, "Unknown input format: \"nosuchformat\""},
      {{"--engine", Out("missing.mp4"), "-o", out}, 1, Out("missing.mp4") + ": No such file or directory"},
      {{"--engine", in, "-O", "vcodec=nonesuch", "-o", out}, 1, "new_video_stream fail: Unknown encoder 'nonesuch'"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.message << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << c.message;
  }
}

TEST_F(CliEngine, InterruptStopsCleanly) {
  MediaSpec spec = Clip(20.0);
  spec.width = 640;
  spec.height = 480;
  const std::string in = MakeMedia(spec);
  const std::string out = Out("stopped.mkv");
  pid_t pid = Start({"--engine", "-I", "re=1", in, "-O", "vcodec=mpeg4", "-O", "acodec=aac", "-o", out});
  // Rate emulation keeps it running in real time; stop it after about two seconds.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  kill(pid, SIGINT);
  Result r = Wait(pid);
  EXPECT_EQ(r.status, 130) << r.err;
  MediaInfo info = ReadMediaInfo(out);  // readable: trailer written
  EXPECT_GT(info.durationUs, 200000);
  EXPECT_LT(info.durationUs, 10000000);
}

}  // namespace
}  // namespace quenza::test
