#include "media/FFmpegVCL.h"

#include <chrono>
#include <stdexcept>

#include "engine/EngineHost.h"
#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"
#include "media/Dispatcher.h"
#include "media/FFmpegLoader.h"

namespace quenza {

TCustomFFmpegVCL::TCustomFFmpegVCL() = default;

TCustomFFmpegVCL::~TCustomFFmpegVCL() {
  // Handlers in progress end first.
  { std::lock_guard<std::mutex> g(hookLock_); }
  { std::lock_guard<std::mutex> g(previewLock_); }
  { std::lock_guard<std::mutex> g(progressLock_); }
  { std::lock_guard<std::recursive_mutex> g(terminateLock_); }
  remaining_ = 0;
  std::vector<std::unique_ptr<TFFmpeg>> tasks;
  {
    std::lock_guard<std::mutex> g(tasksLock_);
    tasks.swap(tasks_);
  }
  tasks.clear();  // each engine stops its worker and waits for it
  StopDeliveryThread();
}

void TCustomFFmpegVCL::CheckWorking(const char* operation) const {
  if (working_) throw std::runtime_error(StrFormat("Cannot %s while working.", operation));
}

bool TCustomFFmpegVCL::LoadLibraries(const std::string& libraryPath) {
  FFLoader().SetLibraryPath(libraryPath);
  if (FFLoader().LoadLibraries(ConverterLibraries)) return true;
  lastError_ = FFLoader().LastError();
  return false;
}

int TCustomFFmpegVCL::TaskCount() const {
  std::lock_guard<std::mutex> g(tasksLock_);
  return static_cast<int>(tasks_.size());
}

TFFmpeg* TCustomFFmpegVCL::Task(int taskIndex) {
  std::lock_guard<std::mutex> g(tasksLock_);
  return taskIndex >= 0 && taskIndex < static_cast<int>(tasks_.size()) ? tasks_[taskIndex].get() : nullptr;
}

TAVProbe* TCustomFFmpegVCL::TaskProbe(int taskIndex, int fileIndex) {
  TFFmpeg* task = Task(taskIndex);
  if (!task || fileIndex < 0 || fileIndex >= kMaxInputFiles) return nullptr;
  return task->Probes[fileIndex].get();
}

int TCustomFFmpegVCL::IndexOf(const TCustomFFmpeg* task) const {
  std::lock_guard<std::mutex> g(tasksLock_);
  for (size_t i = 0; i < tasks_.size(); ++i)
    if (tasks_[i].get() == task) return static_cast<int>(i);
  return -1;
}

void TCustomFFmpegVCL::SetPreview(bool value) {
  preview_ = value;
  std::lock_guard<std::mutex> g(tasksLock_);
  for (auto& t : tasks_) t->SetPreviewFlags(PreviewFlags());
}

void TCustomFFmpegVCL::SetPreviewBitmap(bool value) {
  previewBitmap_ = value;
  std::lock_guard<std::mutex> g(tasksLock_);
  for (auto& t : tasks_) t->SetPreviewFlags(PreviewFlags());
}

int TCustomFFmpegVCL::AddTask(const std::string& fileName, const TInputOptions* inputOptions) {
  CheckWorking("AddTask");
  try {
    auto task = std::make_unique<TFFmpeg>();
    task->Reset();
    task->SetVerbosity(1);
    task->SetPreviewFlags(PreviewFlags());
    task->OnPreviewBitmap = [this](TCustomFFmpeg* s, TBitmap* b, int64_t pts, int index) {
      DoPreviewBitmap(s, b, pts, index);
    };
    const int index = task->InputFileCount();
    if (inputOptions) {
      task->InputOptions[index] = *inputOptions;
      ApplyInputOptions(*task, task->InputOptions[index], fileName);
    }
    if (!task->AddInputFile(fileName)) {
      lastError_ = task->LastErrorText();
      return -1;
    }
    task->Probes[index] = std::make_unique<TAVProbe>();
    task->Probes[index]->AttachContext(task->InputContext(index));
    task->OnProgress = [this](TCustomFFmpeg* s, int file, int64_t total, int64_t cur, int64_t size, float br,
                              float q, int fps, int frame) { DoProgress(s, file, total, cur, size, br, q, fps, frame); };
    task->OnTerminate = [this](TCustomFFmpeg* s) { DoTerminate(s); };
    std::lock_guard<std::mutex> g(tasksLock_);
    tasks_.push_back(std::move(task));
    return static_cast<int>(tasks_.size()) - 1;
  } catch (const std::exception& e) {
    lastError_ = e.what();
    return -1;
  }
}

bool TCustomFFmpegVCL::SetOutputFile(int taskIndex, const std::string& fileName, const TOutputOptions* outputOptions) {
  CheckWorking("SetOutputFile");
  TFFmpeg* task = Task(taskIndex);
  if (!task) {
    lastError_ = StrFormat("Task index %d out of range", taskIndex);
    return false;
  }
  try {
    const int index = task->OutputFileCount();
    if (index >= kMaxOutputFiles) {
      lastError_ = StrFormat("max output files %d reached", kMaxOutputFiles);
      return false;
    }
    if (!outputOptions) {
      task->OutputOptions[index] = TOutputOptions{};
      if (task->AddOutputFile(fileName, false) < 0) {
        lastError_ = task->LastErrorText();
        return false;
      }
      return true;
    }
    task->OutputOptions[index] = *outputOptions;
    TOutputOptions& opts = task->OutputOptions[index];
    TPendingOptions pending;
    ApplyOutputOptionsBefore(*task, opts, fileName, pending);
    if (opts.CustomHook)
      task->OnCustomHook = [this](TCustomFFmpeg* s, TBitmap* b, bool* stop, bool* update, int64_t pts, int i) {
        DoCustomHook(s, b, stop, update, pts, i);
      };
    if (task->AddOutputFile(fileName, opts.Join) < 0) {
      lastError_ = task->LastErrorText();
      task->OutputOptions[index] = TOutputOptions{};
      return false;
    }
    ApplyOutputOptionsAfter(*task, opts, pending);
    return true;
  } catch (const std::exception& e) {
    lastError_ = e.what();
    return false;
  }
}

void TCustomFFmpegVCL::RemoveTask(int taskIndex) {
  CheckWorking("RemoveTask");
  std::unique_ptr<TFFmpeg> removed;
  {
    std::lock_guard<std::mutex> g(tasksLock_);
    if (taskIndex < 0 || taskIndex >= static_cast<int>(tasks_.size())) return;
    removed = std::move(tasks_[taskIndex]);
    tasks_.erase(tasks_.begin() + taskIndex);
  }
}

void TCustomFFmpegVCL::ClearTasks() {
  if (working_ && !allDone_) throw std::runtime_error("Cannot ClearTasks while working.");
  DrainDeliveries();
  std::vector<std::unique_ptr<TFFmpeg>> tasks;
  {
    std::lock_guard<std::mutex> g(tasksLock_);
    tasks.swap(tasks_);
  }
  tasks.clear();
  lastError_.clear();
  std::lock_guard<std::recursive_mutex> g(terminateLock_);
  finished_ = 0;
  remaining_ = 0;
  nextTask_ = -1;
  working_ = false;
  allDone_ = false;
  threaded_ = false;
}

void TCustomFFmpegVCL::StartTask(int threadCount) {
  CheckWorking("StartTask");
  {
    std::lock_guard<std::recursive_mutex> g(terminateLock_);
    finished_ = 0;
    nextTask_ = 0;
    remaining_ = TaskCount();
    allDone_ = false;
    threaded_ = threadCount > 0;
    working_ = true;
  }
  if (remaining_ == 0) {
    // Nothing to run: the run ends at once.
    std::lock_guard<std::recursive_mutex> g(terminateLock_);
    DeliverFinal();
    return;
  }
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> g(terminateLock_);
      if (remaining_ <= 0) break;
      StartNextTask();
    }
    if (threaded_ && --threadCount <= 0) break;
  }
}

// Under terminateLock_.
void TCustomFFmpegVCL::StartNextTask() {
  if (remaining_ <= 0) return;
  --remaining_;
  TFFmpeg* task = Task(nextTask_++);
  if (!task) return;
  task->SetProgressInterval(static_cast<int64_t>(progressInterval_) * 1000);
  if (threaded_) {
    task->StartConvert(true, ThreadPriority);
  } else {
    // The conversion runs to its end here; its terminate callback takes the lock again.
    terminateLock_.unlock();
    try {
      task->StartConvert(false, ThreadPriority);
    } catch (...) {
      terminateLock_.lock();
      throw;
    }
    terminateLock_.lock();
  }
}

void TCustomFFmpegVCL::PauseTasks() {
  std::lock_guard<std::mutex> g(tasksLock_);
  for (auto& t : tasks_) t->PauseConvert();
}

void TCustomFFmpegVCL::ResumeTasks() {
  std::lock_guard<std::mutex> g(tasksLock_);
  for (auto& t : tasks_) t->ResumeConvert();
}

void TCustomFFmpegVCL::StopTasks(bool wait) {
  {
    std::lock_guard<std::recursive_mutex> g(terminateLock_);
    remaining_ = 0;
  }
  std::vector<TFFmpeg*> tasks;
  {
    std::lock_guard<std::mutex> g(tasksLock_);
    for (auto& t : tasks_) tasks.push_back(t.get());
  }
  for (TFFmpeg* t : tasks) t->StopConvert(wait);
}

void TCustomFFmpegVCL::DoCustomHook(TCustomFFmpeg* sender, TBitmap* bitmap, bool* stopHook, bool* update,
                                    int64_t pts, int frameIndex) {
  if (!OnCustomHook) return;
  std::lock_guard<std::mutex> g(hookLock_);
  hookInfo_ = THookInfo{IndexOf(sender), bitmap, frameIndex, pts, *update, *stopHook};
  {
    std::lock_guard<std::mutex> canvas(bitmap->CanvasLock());
    OnCustomHook(this, &hookInfo_);
  }
  *update = hookInfo_.Update;
  *stopHook = hookInfo_.StopHook;
}

void TCustomFFmpegVCL::DoPreviewBitmap(TCustomFFmpeg* sender, TBitmap* bitmap, int64_t pts, int frameIndex) {
  if (!OnPreviewBitmap) return;
  std::lock_guard<std::mutex> g(previewLock_);
  previewInfo_ = TPreviewInfo{IndexOf(sender), bitmap, frameIndex, pts};
  DeliverEvent(TriggerEventInMainThread(), [this] { OnPreviewBitmap(this, previewInfo_); });
}

void TCustomFFmpegVCL::DoProgress(TCustomFFmpeg* sender, int fileIndex, int64_t total, int64_t current, int64_t size,
                                  float bitrate, float q, int fps, int frame) {
  if (!OnProgress) return;
  std::lock_guard<std::mutex> g(progressLock_);
  progressInfo_ = TProgressInfo{IndexOf(sender), fileIndex, frame, fps, q, bitrate, size, current, total};
  DeliverEvent(TriggerEventInMainThread(), [this] { OnProgress(this, &progressInfo_); });
}

void TCustomFFmpegVCL::DoTerminate(TCustomFFmpeg* sender) {
  std::unique_lock<std::recursive_mutex> g(terminateLock_);
  if (!sender) {
    DeliverFinal();
    return;
  }
  if (OnTerminate) {
    terminateInfo_ = TTerminateInfo{IndexOf(sender), sender->Completed(), sender->ErrorOccurred(),
                                    sender->ErrorMessage()};
    DeliverTerminate(terminateInfo_);
  }
  ++finished_;
  if (remaining_ < 1) {
    if (finished_ >= TaskCount()) DeliverFinal();
  } else if (threaded_) {
    StartNextTask();
  }
}

// Under terminateLock_.
void TCustomFFmpegVCL::DeliverFinal() {
  // Done before the handler runs, so that it (or whoever it wakes) may clear the list.
  allDone_ = true;
  if (OnTerminate) {
    terminateInfo_ = TTerminateInfo{-1, true, false, ""};
    DeliverTerminate(terminateInfo_);
  }
}

void TCustomFFmpegVCL::DeliverTerminate(const TTerminateInfo& info) {
  if (!threaded_) {
    OnTerminate(this, info);
    return;
  }
  std::lock_guard<std::mutex> g(deliveryLock_);
  if (!deliveryThread_.joinable()) {
    deliveryQuit_ = false;
    deliveryThread_ = std::thread([this] { DeliveryLoop(); });
  }
  deliveryQueue_.push_back(info);
  deliveryWake_.notify_one();
}

void TCustomFFmpegVCL::DeliveryLoop() {
  std::unique_lock<std::mutex> g(deliveryLock_);
  for (;;) {
    deliveryWake_.wait(g, [this] { return deliveryQuit_ || !deliveryQueue_.empty(); });
    if (deliveryQueue_.empty()) return;  // quit with nothing left
    TTerminateInfo info = std::move(deliveryQueue_.front());
    deliveryQueue_.pop_front();
    deliveryBusy_ = true;
    g.unlock();
    if (OnTerminate) OnTerminate(this, info);
    g.lock();
    deliveryBusy_ = false;
    deliveryIdle_.notify_all();
  }
}

void TCustomFFmpegVCL::DrainDeliveries() {
  TEngineHost* host = GetEngineHost();
  const bool onMain = host && host->OnMainThread();
  std::unique_lock<std::mutex> g(deliveryLock_);
  while (!deliveryQueue_.empty() || deliveryBusy_) {
    if (onMain) {
      g.unlock();
      host->ServiceMainThread();
      g.lock();
    }
    deliveryIdle_.wait_for(g, std::chrono::milliseconds(10));
  }
}

void TCustomFFmpegVCL::StopDeliveryThread() {
  DrainDeliveries();
  {
    std::lock_guard<std::mutex> g(deliveryLock_);
    deliveryQuit_ = true;
  }
  deliveryWake_.notify_one();
  if (deliveryThread_.joinable()) deliveryThread_.join();
}

}  // namespace quenza
