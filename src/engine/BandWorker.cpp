#include "engine/BandWorker.h"

namespace quenza {

TBandWorker::~TBandWorker() {
  {
    std::lock_guard<std::mutex> g(lock_);
    quit_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void TBandWorker::Loop() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    wake_.wait(g, [this] { return quit_ || job_; });
    if (quit_) return;
    const std::function<void()>* job = job_;
    g.unlock();
    (*job)();
    g.lock();
    job_ = nullptr;
    busy_ = false;
    done_.notify_one();
  }
}

void TBandWorker::RunBoth(const std::function<void()>& job, const std::function<void()>& main) {
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
  {
    std::lock_guard<std::mutex> g(lock_);
    job_ = &job;
    busy_ = true;
  }
  wake_.notify_one();
  main();
  std::unique_lock<std::mutex> g(lock_);
  done_.wait(g, [this] { return !busy_; });
}

}  // namespace quenza
