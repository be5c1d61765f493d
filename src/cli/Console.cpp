#include "cli/Console.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "media/FFmpegLogger.h"
#include "media/FFmpegVCL.h"

namespace quenza::cli {

namespace {
std::atomic<bool> g_interrupted{false};
std::mutex g_stderrLock;

void OnSignal(int) { g_interrupted.store(true); }
}  // namespace

void InstallConsoleLog() {
  TFFLogger& logger = GetLogger();
  logger.SetOnLog([](const void*, unsigned long, TLogLevel, const std::string& msg) {
    std::lock_guard<std::mutex> g(g_stderrLock);
    std::fprintf(stderr, "%s\n", msg.c_str());
  });
}

void InstallInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted() { return g_interrupted.load(); }

bool RunTasks(TCustomFFmpegVCL& converter, int threadCount, const std::atomic<bool>& allDone) {
  InstallInterruptHandler();
  bool interrupted = false;
  if (converter.TaskCount() == 0) return false;
  converter.StartTask(threadCount);
  while (!allDone) {
    if (Interrupted() && !interrupted) {
      interrupted = true;
      converter.StopTasks(false);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return interrupted;
}

TProgressPrinter::TProgressPrinter(const std::string& label, bool lines)
    : label_(label), tty_(!lines && isatty(STDERR_FILENO)) {}

void TProgressPrinter::Update(int64_t totalUs, int64_t currentUs, int64_t sizeBytes, float bitrate, int fps) {
  const double t = currentUs / 1000000.0;
  const int h = static_cast<int>(t / 3600), m = static_cast<int>(t / 60) % 60;
  const double s = t - h * 3600 - m * 60;
  char line[256];
  std::snprintf(line, sizeof line, "time=%02d:%02d:%05.2f size=%8.0fkB fps=%3d bitrate=%7.1fkbits/s", h, m, s,
                sizeBytes / 1024.0, fps < 0 ? 0 : fps, bitrate);
  std::string bar;
  if (totalUs > 0) {
    double f = static_cast<double>(currentUs) / static_cast<double>(totalUs);
    if (f < 0) f = 0;
    if (f > 1) f = 1;
    const int width = 24, filled = static_cast<int>(f * width + 0.5);
    bar = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " +
          std::to_string(static_cast<int>(f * 100 + 0.5)) + "% ";
  }
  std::lock_guard<std::mutex> g(g_stderrLock);
  if (tty_) {
    std::fprintf(stderr, "\r%s%s%s\033[K", label_.c_str(), bar.c_str(), line);
    drawn_ = true;
  } else {
    std::fprintf(stderr, "%s%s%s\n", label_.c_str(), bar.c_str(), line);
  }
  std::fflush(stderr);
}

void TProgressPrinter::Finish() {
  std::lock_guard<std::mutex> g(g_stderrLock);
  if (tty_ && drawn_) std::fprintf(stderr, "\n");
  drawn_ = false;
}

}  // namespace quenza::cli
