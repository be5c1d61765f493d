#pragma once
// Small thread primitives of the engine: a manual-reset event and a pause gate.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quenza {

// Manual-reset event: stays signalled until reset.
class TManualEvent {
 public:
  explicit TManualEvent(bool signalled) : set_(signalled) {}
  void Set() {
    {
      std::lock_guard<std::mutex> g(lock_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> g(lock_);
    set_ = false;
  }
  bool IsSet() {
    std::lock_guard<std::mutex> g(lock_);
    return set_;
  }
  // True when signalled within the timeout.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(lock_);
    return cv_.wait_for(g, timeout, [this] { return set_; });
  }
  void Wait() {
    std::unique_lock<std::mutex> g(lock_);
    cv_.wait(g, [this] { return set_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool set_;
};

// The worker passes the gate at every point where it would make progress; while the
// gate is closed it waits there.
class TPauseGate {
 public:
  void Close() {
    std::lock_guard<std::mutex> g(lock_);
    closed_ = true;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> g(lock_);
      closed_ = false;
    }
    cv_.notify_all();
  }
  bool IsClosed() {
    std::lock_guard<std::mutex> g(lock_);
    return closed_;
  }
  void Pass() {
    std::unique_lock<std::mutex> g(lock_);
    cv_.wait(g, [this] { return !closed_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool closed_ = false;
};

}  // namespace quenza
