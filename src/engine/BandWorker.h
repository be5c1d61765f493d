#pragma once
// A helper thread that runs one job at a time for its owner, so that a picture can be
// processed in two bands at once (the owner does one band, the helper the other).

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quenza {

class TBandWorker {
 public:
  TBandWorker() = default;
  TBandWorker(const TBandWorker&) = delete;
  TBandWorker& operator=(const TBandWorker&) = delete;
  ~TBandWorker();

  // Runs job on the helper thread while main runs here; returns when both are done.
  void RunBoth(const std::function<void()>& job, const std::function<void()>& main);

 private:
  void Loop();

  std::mutex lock_;
  std::condition_variable wake_, done_;
  const std::function<void()>* job_ = nullptr;  // guarded by lock_
  bool busy_ = false;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace quenza
