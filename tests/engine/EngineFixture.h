#pragma once
#include <gtest/gtest.h>

#include <string>

#include "TestHost.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"

namespace quenza::test {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { engine.Reset(); }

  // The FFmpegException text of SetOption(name, value), or "" when it succeeds.
  std::string OptionError(const std::string& name, const std::string& value) {
    try {
      engine.SetOption(name, value);
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }

  int64_t VideoInt(const char* option) { return OptInt(engine.CodecOptionContext(mkVideo), option); }
  int64_t AudioInt(const char* option) { return OptInt(engine.CodecOptionContext(mkAudio), option); }
  static int64_t OptInt(void* obj, const char* option);
  static std::string PrivateOption(const AVDict& dict, const char* key);

  TTestHost host;
  TCustomFFmpeg engine;
};

}  // namespace quenza::test
