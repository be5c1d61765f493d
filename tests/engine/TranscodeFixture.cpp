#include "TranscodeFixture.h"

#include <unistd.h>

namespace quenza::test {

void TranscodeTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = std::filesystem::temp_directory_path() /
         ("quenza-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
}

void TranscodeTest::TearDown() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string TranscodeTest::Prepare(TCustomFFmpeg& engine, const std::vector<std::pair<std::string, Options>>& inputs,
                                   const Options& outOptions, const std::string& output, bool join) {
  engine.Reset();
  try {
    for (const auto& [file, opts] : inputs) {
      for (const auto& [n, v] : opts) engine.SetOption(n, v);
      if (!engine.AddInputFile(file)) return engine.LastErrorText();
    }
    for (const auto& [n, v] : outOptions) engine.SetOption(n, v);
    if (engine.AddOutputFile(output, join) < 0) return engine.LastErrorText();
  } catch (const FFmpegException& e) {
    return e.what();
  }
  return "";
}

std::string TranscodeTest::Convert(const std::vector<std::pair<std::string, Options>>& inputs,
                                   const Options& outOptions, const std::string& output, bool join) {
  TCustomFFmpeg engine;
  std::string err = Prepare(engine, inputs, outOptions, output, join);
  if (!err.empty()) {
    engine.ReleaseFiles(true);
    return err;
  }
  try {
    engine.Transcode();
  } catch (const FFmpegException& e) {
    err = e.what();
  }
  engine.ReleaseFiles(!err.empty());
  EXPECT_EQ(engine.OpenedEncoderCount(), 0);
  EXPECT_EQ(engine.OpenedDecoderCount(), 0);
  return err;
}

MediaSpec TranscodeTest::Clip(const std::string& container, const std::string& vcodec, const std::string& acodec,
                              double seconds) {
  MediaSpec s;
  s.container = container;
  s.videoCodec = vcodec;
  s.audioCodec = acodec;
  s.duration = seconds;
  return s;
}

}  // namespace quenza::test
