#pragma once
// A helper thread that shares jobs with its owner, so that a picture can be processed
// by two threads at once. A job is a number of items; the owner starts on them at once
// and the helper joins in as soon as it is awake, each taking the next item when free,
// so waking the helper never delays the owner.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quenza {

class TBandWorker {
 public:
  TBandWorker() = default;
  TBandWorker(const TBandWorker&) = delete;
  TBandWorker& operator=(const TBandWorker&) = delete;
  ~TBandWorker();

  // Runs body(item, thread) for items 0..count-1, thread 0 being the caller and 1 the
  // helper; returns when all are done. No allocation.
  template <typename Body>
  void Share(int count, const Body& body) {
    Run(count, [](const void* b, int item, int thread) { (*static_cast<const Body*>(b))(item, thread); }, &body);
  }

 private:
  using TCall = void (*)(const void* body, int item, int thread);
  void Run(int count, TCall call, const void* body);
  void Loop();
  void Work(int thread);

  enum : int { kIdle, kPosted, kTaken };

  std::mutex lock_;
  std::condition_variable wake_, done_;
  std::atomic<int> state_{kIdle};  // the helper takes a posted job, or the owner withdraws it
  std::atomic<int> next_{0};       // next item to take
  // The job; written by the owner only while the helper does not hold it.
  TCall call_ = nullptr;
  const void* body_ = nullptr;
  int count_ = 0;
  bool quit_ = false;  // guarded by lock_
  std::thread thread_;
};

}  // namespace quenza
