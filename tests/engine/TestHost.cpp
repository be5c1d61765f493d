#include "TestHost.h"

#include <cstdarg>
#include <algorithm>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

namespace quenza::test {

namespace {
std::mutex g_libLock;
std::vector<std::string> g_libLines;

void LibCallback(void*, int level, const char* fmt, va_list args) {
  if (level > AV_LOG_ERROR) return;
  std::string line(2048, '\0');
  int n = std::vsnprintf(line.data(), line.size(), fmt, args);
  line.resize(n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), line.size() - 1));
  std::lock_guard<std::mutex> g(g_libLock);
  g_libLines.push_back(std::move(line));
}
}  // namespace

TTestHost::TTestHost() {
  {
    std::lock_guard<std::mutex> g(g_libLock);
    g_libLines.clear();
  }
  av_log_set_callback(LibCallback);
  SetEngineHost(this);
}

TTestHost::~TTestHost() {
  SetEngineHost(nullptr);
  av_log_set_callback(av_log_default_callback);
}

void TTestHost::Log(const void*, TLogLevel level, const std::string& msg) {
  std::lock_guard<std::mutex> g(lock_);
  lines_.push_back({level, msg});
}

std::vector<LogLine> TTestHost::Lines() {
  std::lock_guard<std::mutex> g(lock_);
  return lines_;
}

std::vector<std::string> TTestHost::LibLines() {
  std::lock_guard<std::mutex> g(g_libLock);
  return g_libLines;
}

void TTestHost::Clear() {
  {
    std::lock_guard<std::mutex> g(lock_);
    lines_.clear();
  }
  std::lock_guard<std::mutex> g(g_libLock);
  g_libLines.clear();
}

bool TTestHost::HasLine(TLogLevel level, const std::string& text) {
  for (const LogLine& l : Lines())
    if (l.level == level && l.text == text) return true;
  return false;
}

}  // namespace quenza::test

#include "EngineFixture.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace quenza::test {

int64_t EngineTest::OptInt(void* obj, const char* option) {
  int64_t v = 0;
  EXPECT_GE(av_opt_get_int(obj, option, 0, &v), 0) << option;
  return v;
}

std::string EngineTest::PrivateOption(const AVDict& dict, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(dict.get(), key, nullptr, 0);
  return e ? e->value : "<unset>";
}

}  // namespace quenza::test
