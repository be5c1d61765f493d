// The task's life: starting on a worker thread, stopping, pausing, releasing and the
// one terminate event.

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include "engine/EngineHost.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegException.h"

namespace quenza {

namespace {

// Thread priorities as scheduling policy and nice values; raising above normal needs
// privileges, so those stay at normal when refused.
void ApplyPriority(TCustomFFmpeg::TThreadPriority priority) {
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (priority == TCustomFFmpeg::tpIdle) {
    sched_param param{};
    sched_setscheduler(0, SCHED_IDLE, &param);
    return;
  }
  static const int kNice[] = {19, 15, 5, 0, -5, -10, -15};
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[priority]);
}

}  // namespace

std::string TCustomFFmpeg::ErrorMessage() const {
  std::lock_guard<std::mutex> g(errorLock_);
  return errorMessage_;
}

void TCustomFFmpeg::RecordError(const std::string& msg) {
  Log(llQuiet, msg);
  std::lock_guard<std::mutex> g(errorLock_);
  error_ = true;
  errorMessage_ = msg;
}

bool TCustomFFmpeg::StartConvert(bool background, TThreadPriority priority) {
  if (running_ || terminated_) return false;
  try {
    if (outputFiles_.empty()) {
      ReleaseTask();
      throw FFmpegException("At least one output file must be specified");
    }
    if (inputFiles_.empty()) {
      ReleaseTask();
      throw FFmpegException("At least one input file must be specified");
    }
  } catch (const std::exception& e) {
    RecordError(e.what());
    TerminateTask();
    return false;
  }
  running_ = true;
  stopRequested_ = false;
  completed_ = false;
  terminated_ = false;
  if (!background) {
    RunConvert();
    return false;
  }
  if (worker_.joinable()) worker_.join();
  runEvent_.Reset();
  worker_ = std::thread([this, priority] {
    ApplyPriority(priority);
    RunConvert();
    runEvent_.Set();
  });
  return true;
}

void TCustomFFmpeg::RunConvert() {
  completed_ = false;
  auto guarded = [this](auto&& step) {
    try {
      step();
    } catch (const std::exception& e) {
      RecordError(e.what());
    } catch (...) {
      RecordError("unknown error");
    }
  };
  guarded([this] { Transcode(); });
  guarded([this] { CloseCodecs(); });
  guarded([this] { ReleaseTask(); });
  guarded([this] { TerminateTask(); });
}

void TCustomFFmpeg::TerminateTask() {
  running_ = false;
  // The terminate event is delivered once per engine.
  if (terminated_.exchange(true)) return;
  if (OnTerminate) {
    try {
      OnTerminate(this);
    } catch (const std::exception& e) {
      RecordError(e.what());
    }
  }
}

void TCustomFFmpeg::WaitServicing(TManualEvent& event) {
  TEngineHost* host = GetEngineHost();
  const bool onMain = host && host->OnMainThread();
  while (!event.WaitFor(std::chrono::milliseconds(20)))
    if (onMain) host->ServiceMainThread();
}

void TCustomFFmpeg::AbortConvert(bool wait) {
  stopRequested_ = true;
  if (!worker_.joinable()) return;
  ResumeConvert();
  if (!wait) return;
  if (worker_.get_id() == std::this_thread::get_id()) return;  // from a handler on the worker
  WaitServicing(runEvent_);
  worker_.join();
}

void TCustomFFmpeg::StopConvert(bool wait) {
  if (running_) {
    AbortConvert(wait);
    return;
  }
  if (terminated_) return;
  if (terminateThread_.joinable()) {
    if (wait) WaitServicing(terminateEvent_);
    return;
  }
  terminateEvent_.Reset();
  terminateThread_ = std::thread([this] {
    TerminateTask();
    terminateEvent_.Set();
  });
  if (wait) WaitServicing(terminateEvent_);
}

void TCustomFFmpeg::PauseConvert() {
  if (running_) pauseGate_.Close();
}

void TCustomFFmpeg::ResumeConvert() { pauseGate_.Open(); }

void TCustomFFmpeg::ReleaseTask() {
  TEngineHost* host = GetEngineHost();
  if (!host || !host->EngineLibrariesLoaded()) return;
  ReleaseFiles(error_);
  ReleaseOptionState();
  preFrames_.clear();
  hookConverter_.Reset();
  previewConverter_.Reset();
  lastPreviewTime_ = 0;
}

}  // namespace quenza
