// quenza-convert --probe as a user runs it: reports, error texts, exit codes.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/OptionParse.h"
#include "media/AVProbe.h"
#include "media/FFmpegLoader.h"
#include "support/TestMedia.h"

extern char** environ;

namespace quenza::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines)
    if (l == line) return true;
  return false;
}

std::string LineStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) return l;
  return "";
}

class CliProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quenza-cli-probe-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
            "-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result Run(const std::vector<std::string>& args) {
    std::string exe = QUENZA_CONVERT_EXE;
    std::vector<std::string> copy = args;
    std::vector<char*> argv{exe.data()};
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outFile = (dir_ / "stdout.txt").string();
    const std::string errFile = (dir_ / "stderr.txt").string();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    Result r;
    const int spawned = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(spawned, 0);
    if (spawned != 0) return r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadAll(outFile);
    r.err = ReadAll(errFile);
    return r;
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

MediaSpec Clip(const std::string& container, const std::string& video, const std::string& audio) {
  MediaSpec s;
  s.container = container;
  s.videoCodec = video;
  s.audioCodec = audio;
  return s;
}

// The report the probe gives in this process, with the console's line ends.
std::string InProcessReport(const std::string& file) {
  TMediaProcessScope scope;
  if (!FFLoader().LoadLibraries(ProbeLibraries)) return "libraries: " + FFLoader().LastError();
  TAVProbe probe;
  if (!probe.LoadFile(file)) return "open: " + probe.LastError();
  return NormaliseLineBreaks(probe.GetInfoText()) + "\n";
}

TEST_F(CliProbe, PrintsTheReportOfEachKindOfFile) {
  MediaSpec mkv = Clip("matroska", "libx264", "aac");
  mkv.audioTracks = 2;
  mkv.subtitleCodec = "ass";
  const struct {
    MediaSpec spec;
    std::vector<std::string> lines;     // exact lines
    std::vector<std::string> prefixes;  // lines starting so
  } cases[] = {
      {Clip("mp4", "libx264", "aac"),
       {"Format Name: mov,mp4,m4a,3gp,3g2,mj2", "Format Long Name: QuickTime / MOV", "Duration: 00:00:02.000",
        "StartTime: 0.000000", "Metadata:", "  major_brand     : isom", "  Metadata:",
        "    handler_name    : SoundHandler"},
       {"Stream #0[0x1](und), 1/12800: Video: h264 (Constrained Baseline) (avc1 / 0x31637661), "
        "yuv420p(progressive), 320x240",
        "Stream #1[0x2](und), 1/44100: Audio: aac (LC) (mp4a / 0x6134706D), 44100 Hz, stereo, fltp, "}},
      {mkv,
       {"Format Name: matroska,webm", "Format Long Name: Matroska / WebM",
        "Stream #1, 1/1000: Audio: aac (LC), 44100 Hz, stereo, fltp, StartTime: 0.000000, Duration: N/A",
        "Stream #2, 1/1000: Audio: aac (LC), 44100 Hz, stereo, fltp, StartTime: 0.000000, Duration: N/A"},
       {"Stream #0, 1/1000: Video: h264 (Constrained Baseline), yuv420p(progressive), 320x240",
        "Stream #3, 1/1000: Subtitle: ass, StartTime: ", "    DURATION        : 00:00:0"}},
      {Clip("mpegts", "libx264", "aac"),
       {"Format Name: mpegts", "Format Long Name: MPEG-TS (MPEG-2 Transport Stream)", "Program 1 FFmpeg@Service01",
        "    service_name    : Service01", "    service_provider: FFmpeg"},
       {"Stream #0[0x100], 1/90000: Video: h264 ", "Stream #1[0x101], 1/90000: Audio: aac (LC) "}},
      {Clip("mp3", "", "libmp3lame"),
       {"Format Name: mp3", "Format Long Name: MP2/3 (MPEG audio layer 2/3)", "Bit Rate: 128 kb/s"},
       {"Stream #0, 1/14112000: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s, StartTime: 0.0"}},
  };
  for (const auto& c : cases) {
    const std::string file = MakeMedia(c.spec);
    Result r = Run({"--probe", file});
    ASSERT_EQ(r.status, 0) << c.spec.container << "\n" << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << "plain line feeds on the console";
    const std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "File Name: " + file);
    EXPECT_EQ(lines[3], "File Size: " + FileSizeText(static_cast<int64_t>(fs::file_size(file))));
    for (const std::string& l : c.lines) EXPECT_TRUE(HasLine(lines, l)) << l << "\n" << r.out;
    for (const std::string& p : c.prefixes) EXPECT_NE(LineStartingWith(lines, p), "") << p << "\n" << r.out;
    EXPECT_EQ(r.out, InProcessReport(file));
  }
  // Rates of the video lines.
  Result ts = Run({"--probe", MakeMedia(cases[2].spec)});
  EXPECT_THAT(LineStartingWith(SplitLines(ts.out), "Stream #0[0x100]"), HasSubstr(", 25 fps, 25 tbr, 90k tbn, 50 tbc, "));
}

TEST_F(CliProbe, SeveralFilesAndFailures) {
  const std::string mp4 = MakeMedia(Clip("mp4", "libx264", "aac"));
  const std::string mp3 = MakeMedia(Clip("mp3", "", "libmp3lame"));
  const std::string missing = Path("missing.mp4");
  const std::string text = Path("notes.txt");
  std::ofstream(text) << "This is not a video file.\n";

  // Every file that opens is reported, a blank line between reports.
  Result r = Run({"--probe", mp4, missing, mp3, text});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, InProcessReport(mp4) + "\n" + InProcessReport(mp3));
  const std::vector<std::string> err = SplitLines(r.err);
  EXPECT_EQ(err, (std::vector<std::string>{"quenza-convert: " + missing + ": No such file or directory",
                                           "quenza-convert: " + text +
                                               ": Invalid data found when processing input"}));

  r = Run({"--probe", mp4, mp3});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, InProcessReport(mp4) + "\n" + InProcessReport(mp3));

  r = Run({"--probe", missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "quenza-convert: " + missing + ": No such file or directory\n");

  const struct {
    std::vector<std::string> args;
    const char* message;
  } usage[] = {
      {{"--probe"}, "quenza-convert: no input file"},
      {{"--probe", "--frobnicate", mp4}, "quenza-convert: unknown argument '--frobnicate'"},
  };
  for (const auto& u : usage) {
    r = Run(u.args);
    EXPECT_EQ(r.status, 2) << u.message;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith(u.message));
    EXPECT_THAT(r.err, HasSubstr("Usage: quenza-convert --probe FILE..."));
  }
  r = Run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("quenza-convert --probe FILE..."));
}

}  // namespace
}  // namespace quenza::test
