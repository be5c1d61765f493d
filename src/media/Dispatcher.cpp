#include "media/Dispatcher.h"

#include <atomic>

namespace quenza {

namespace {
std::atomic<TMainThreadDispatcher*> g_dispatcher{nullptr};
}

void SetMainThreadDispatcher(TMainThreadDispatcher* dispatcher) {
  g_dispatcher.store(dispatcher, std::memory_order_release);
}

TMainThreadDispatcher* GetMainThreadDispatcher() {
  return g_dispatcher.load(std::memory_order_acquire);
}

void DeliverEvent(bool inMainThread, const std::function<void()>& fn) {
  TMainThreadDispatcher* d = inMainThread ? GetMainThreadDispatcher() : nullptr;
  if (d)
    d->Synchronize(fn);
  else
    fn();
}

}  // namespace quenza
