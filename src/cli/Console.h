#pragma once
// Console output shared by the command-line modes: log lines, progress lines, Ctrl-C.

#include <atomic>
#include <cstdint>
#include <string>

namespace quenza {
class TCustomFFmpegVCL;
}

namespace quenza::cli {

// Prints every delivered log line to stderr.
void InstallConsoleLog();

// Starts the converter's tasks, threadCount at a time, and waits until allDone is set
// (by its terminate handler); Ctrl-C stops the tasks cleanly. True when interrupted.
bool RunTasks(TCustomFFmpegVCL& converter, int threadCount, const std::atomic<bool>& allDone);

// Ctrl-C (SIGINT) and SIGTERM set the flag instead of ending the process.
void InstallInterruptHandler();
bool Interrupted();

// "time=00:00:05.12 size=   1234kB fps= 30 bitrate= 800.0kbits/s" with a bar when the
// total is known; redrawn in place on a terminal, one line per call otherwise.
class TProgressPrinter {
 public:
  // lines: one line per update even on a terminal (several tasks print at once).
  explicit TProgressPrinter(const std::string& label, bool lines = false);
  void Update(int64_t totalUs, int64_t currentUs, int64_t sizeBytes, float bitrate, int fps);
  void Finish();

 private:
  std::string label_;
  bool tty_;
  bool drawn_ = false;
};

}  // namespace quenza::cli
