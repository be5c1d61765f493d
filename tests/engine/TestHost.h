#pragma once
// An engine host for tests: records the engine's log lines and the libraries' log
// lines, and reports the libraries as loaded.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineHost.h"

namespace quenza::test {

struct LogLine {
  TLogLevel level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

class TTestHost : public TEngineHost {
 public:
  TTestHost();
  ~TTestHost() override;

  bool EngineLibrariesLoaded() override { return loaded; }
  void Log(const void* sender, TLogLevel level, const std::string& msg) override;
  void SetLogLevelByName(const std::string& name) override { levelNames.push_back(name); }
  TLogLevel GetLogLevel() override { return llInfo; }

  std::vector<LogLine> Lines();       // engine lines
  std::vector<std::string> LibLines();  // library lines at error level and above
  void Clear();
  bool HasLine(TLogLevel level, const std::string& text);

  bool loaded = true;
  std::vector<std::string> levelNames;

 private:
  std::mutex lock_;
  std::vector<LogLine> lines_;
};

}  // namespace quenza::test
