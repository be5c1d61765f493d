#pragma once
// The converter component: an ordered list of conversion tasks, each one engine with
// one input and up to 20 outputs, run one after another (or several at once) on
// worker threads, with four events: frame hook, preview bitmap, progress, terminate.

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFmpeg.h"
#include "media/AVProbe.h"
#include "media/FFBaseComponent.h"
#include "media/FFmpegOptions.h"

namespace quenza {

struct TProgressInfo {
  int TaskIndex = 0;
  int FileIndex = 0;
  int FrameNumber = -1;
  int FPS = -1;
  float Quality = -1.0f;
  float BitRate = 0;
  int64_t CurrentSize = 0;
  int64_t CurrentDuration = 0;
  int64_t TotalDuration = -1;
};
using PProgressInfo = TProgressInfo*;

struct TTerminateInfo {
  int TaskIndex = 0;
  bool Finished = false;
  bool Exception = false;
  std::string ExceptionMsg;
};

struct THookInfo {
  int TaskIndex = 0;
  TBitmap* Bitmap = nullptr;
  int FrameNumber = 0;
  int64_t PTS = 0;
  bool Update = true;
  bool StopHook = false;
};
using PHookInfo = THookInfo*;

struct TPreviewInfo {
  int TaskIndex = 0;
  TBitmap* Bitmap = nullptr;
  int FrameNumber = 0;
  int64_t PTS = 0;
};

// One task: an engine with a probe and the option records of its files.
class TFFmpeg : public TCustomFFmpeg {
 public:
  std::array<std::unique_ptr<TAVProbe>, kMaxInputFiles> Probes;
  std::array<TInputOptions, kMaxInputFiles> InputOptions;
  std::array<TOutputOptions, kMaxOutputFiles> OutputOptions;
};

class TCustomFFmpegVCL : public TFFBaseComponent {
 public:
  using TCustomHookEvent = std::function<void(TCustomFFmpegVCL* sender, PHookInfo info)>;
  using TPreviewBitmapEvent = std::function<void(TCustomFFmpegVCL* sender, const TPreviewInfo& info)>;
  using TProgressEvent = std::function<void(TCustomFFmpegVCL* sender, PProgressInfo info)>;
  using TTerminateEvent = std::function<void(TCustomFFmpegVCL* sender, const TTerminateInfo& info)>;

  TCustomFFmpegVCL();
  ~TCustomFFmpegVCL() override;

  bool LoadLibraries(const std::string& libraryPath);
  // The new task's index, or -1 with LastError.
  int AddTask(const std::string& fileName, const TInputOptions* inputOptions = nullptr);
  bool SetOutputFile(int taskIndex, const std::string& fileName, const TOutputOptions* outputOptions = nullptr);
  void RemoveTask(int taskIndex);
  void ClearTasks();
  // threadCount > 0: that many tasks at once on worker threads; 0: all in this thread.
  void StartTask(int threadCount);
  void PauseTasks();
  void ResumeTasks();
  void StopTasks(bool wait);

  static constexpr const char* Version() { return "3.3"; }
  std::string About;
  bool Preview() const { return preview_; }
  void SetPreview(bool value);
  bool PreviewBitmap() const { return previewBitmap_; }
  void SetPreviewBitmap(bool value);
  int ProgressInterval() const { return progressInterval_; }
  void SetProgressInterval(int ms) { progressInterval_ = ms <= 100 ? 100 : ms; }
  TCustomFFmpeg::TThreadPriority ThreadPriority = TCustomFFmpeg::tpNormal;
  TCustomHookEvent OnCustomHook;
  TPreviewBitmapEvent OnPreviewBitmap;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  const std::string& LastError() const { return lastError_; }
  int TaskCount() const;
  TAVProbe* TaskProbe(int taskIndex, int fileIndex);
  TAVProbe& AVProbe() { return probe_; }
  TFFmpeg* Task(int taskIndex);
  bool Working() const { return working_; }
  bool AllDone() const { return allDone_; }

 protected:
  virtual void DoCustomHook(TCustomFFmpeg* sender, TBitmap* bitmap, bool* stopHook, bool* update, int64_t pts,
                            int frameIndex);
  virtual void DoPreviewBitmap(TCustomFFmpeg* sender, TBitmap* bitmap, int64_t pts, int frameIndex);
  virtual void DoProgress(TCustomFFmpeg* sender, int fileIndex, int64_t total, int64_t current, int64_t size,
                          float bitrate, float q, int fps, int frame);
  virtual void DoTerminate(TCustomFFmpeg* sender);

 private:
  void CheckWorking(const char* operation) const;
  int IndexOf(const TCustomFFmpeg* task) const;
  void StartNextTask();
  void DeliverTerminate(const TTerminateInfo& info);
  void DeliverFinal();
  // Waits until every queued terminate event was delivered (servicing the main thread).
  void DrainDeliveries();
  void StopDeliveryThread();
  int PreviewFlags() const { return (preview_ ? 1 : 0) | (previewBitmap_ ? 2 : 0); }

  mutable std::mutex tasksLock_;  // guards tasks_ against the workers' lookups
  std::vector<std::unique_ptr<TFFmpeg>> tasks_;
  TAVProbe probe_;
  std::string lastError_;
  bool preview_ = false, previewBitmap_ = false;
  int progressInterval_ = 500;

  // Run state; changed by the main thread at start and under terminateLock_ after.
  std::atomic<bool> working_{false}, allDone_{false}, threaded_{false};
  int nextTask_ = -1;
  int remaining_ = 0;
  int finished_ = 0;
  std::mutex hookLock_, previewLock_, progressLock_;
  // Recursive: a task that cannot start terminates at once, inside StartNextTask.
  std::recursive_mutex terminateLock_;
  THookInfo hookInfo_;
  TPreviewInfo previewInfo_;
  TProgressInfo progressInfo_;
  TTerminateInfo terminateInfo_;

  // In threaded mode terminate events are handed to one delivery thread, which calls
  // the handler outside the workers and in the order the tasks ended.
  std::mutex deliveryLock_;
  std::condition_variable deliveryWake_, deliveryIdle_;
  std::deque<TTerminateInfo> deliveryQueue_;  // guarded by deliveryLock_
  bool deliveryBusy_ = false, deliveryQuit_ = false;
  std::thread deliveryThread_;
  void DeliveryLoop();
};

class TFFmpegVCL : public TCustomFFmpegVCL {};

}  // namespace quenza
