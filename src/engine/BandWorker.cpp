#include "engine/BandWorker.h"

#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUENZA_PAUSE() _mm_pause()
#else
#define QUENZA_PAUSE() ((void)0)
#endif

namespace quenza {

TBandWorker::~TBandWorker() {
  {
    std::lock_guard<std::mutex> g(lock_);
    quit_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void TBandWorker::Work(int thread) {
  for (int item = next_.fetch_add(1); item < count_; item = next_.fetch_add(1)) call_(body_, item, thread);
}

void TBandWorker::Loop() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    wake_.wait(g, [this] { return quit_ || state_.load() == kPosted; });
    if (quit_) return;
    int posted = kPosted;
    if (!state_.compare_exchange_strong(posted, kTaken)) continue;  // withdrawn meanwhile
    g.unlock();
    Work(1);
    g.lock();
    state_.store(kIdle);
    done_.notify_one();
  }
}

void TBandWorker::Run(int count, TCall call, const void* body) {
  if (count <= 0) return;
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
  call_ = call;
  body_ = body;
  count_ = count;
  next_.store(0);
  {
    std::lock_guard<std::mutex> g(lock_);
    state_.store(kPosted);
  }
  wake_.notify_one();
  Work(0);
  // All items are taken: withdraw the job if the helper has not woken up yet, else wait
  // for its last item, spinning a while (an item is short) before sleeping.
  int posted = kPosted;
  if (state_.compare_exchange_strong(posted, kIdle)) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
  for (int spins = 1; state_.load() != kIdle; ++spins) {
    QUENZA_PAUSE();
    if (spins % 64 == 0 && std::chrono::steady_clock::now() > until) {
      std::unique_lock<std::mutex> g(lock_);
      done_.wait(g, [this] { return state_.load() == kIdle; });
      return;
    }
  }
}

}  // namespace quenza
