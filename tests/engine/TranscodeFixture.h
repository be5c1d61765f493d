#pragma once
// Conversions through the engine on generated media.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TestHost.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"
#include "support/TestMedia.h"

namespace quenza::test {

using Options = std::vector<std::pair<std::string, std::string>>;

class TranscodeTest : public ::testing::Test {
 public:
  static MediaSpec Clip(const std::string& container, const std::string& vcodec, const std::string& acodec,
                        double seconds = 2.0);

 protected:
  void SetUp() override;
  void TearDown() override;

  // A fresh path in this test's temporary folder.
  std::string OutPath(const std::string& name) const { return (dir_ / name).string(); }

  // Adds inputs (each with its options) and the output; "" when set-up succeeded, else
  // the failure text.
  std::string Prepare(TCustomFFmpeg& engine, const std::vector<std::pair<std::string, Options>>& inputs,
                      const Options& outOptions, const std::string& output, bool join = false);
  // Prepare + Transcode + ReleaseFiles; "" on success, else the failure text.
  std::string Convert(const std::vector<std::pair<std::string, Options>>& inputs, const Options& outOptions,
                      const std::string& output, bool join = false);

  TTestHost host;
  std::filesystem::path dir_;
};

}  // namespace quenza::test
