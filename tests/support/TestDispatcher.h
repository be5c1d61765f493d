#pragma once
// A main-thread dispatcher for tests: jobs from other threads run on the thread that
// created it while that thread pumps (PumpUntil, or ProcessPending while it waits).

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "media/Dispatcher.h"

namespace quenza::test {

class TTestDispatcher : public TMainThreadDispatcher {
 public:
  void Synchronize(const std::function<void()>& fn) override {
    if (IsMainThread()) {
      fn();
      return;
    }
    bool done = false;
    std::unique_lock guard(fLock);
    fJobs.push_back({&fn, &done});
    fChanged.notify_all();
    fChanged.wait(guard, [&] { return done; });
  }

  bool IsMainThread() const override { return std::this_thread::get_id() == fMainThread; }

  void ProcessPending() override {
    std::unique_lock guard(fLock);
    RunJobs(guard);
  }

  // Runs queued jobs until stop() is true.
  void PumpUntil(const std::function<bool()>& stop) {
    std::unique_lock guard(fLock);
    for (;;) {
      RunJobs(guard);
      if (stop()) return;
      fChanged.wait_for(guard, std::chrono::milliseconds(10));
    }
  }

 private:
  struct TJob {
    const std::function<void()>* Fn;
    bool* Done;
  };
  void RunJobs(std::unique_lock<std::mutex>& guard) {
    while (!fJobs.empty()) {
      TJob job = fJobs.front();
      fJobs.pop_front();
      guard.unlock();
      (*job.Fn)();
      guard.lock();
      *job.Done = true;
      fChanged.notify_all();
    }
  }

  const std::thread::id fMainThread = std::this_thread::get_id();
  std::mutex fLock;
  std::condition_variable fChanged;
  std::deque<TJob> fJobs;
};

// Installs a dispatcher for the lifetime of the guard.
class TDispatcherInstall {
 public:
  explicit TDispatcherInstall(TMainThreadDispatcher* dispatcher) { SetMainThreadDispatcher(dispatcher); }
  ~TDispatcherInstall() { SetMainThreadDispatcher(nullptr); }
  TDispatcherInstall(const TDispatcherInstall&) = delete;
  TDispatcherInstall& operator=(const TDispatcherInstall&) = delete;
};

}  // namespace quenza::test
