#include "engine/EngineHost.h"

#include <atomic>

namespace quenza {

namespace {
std::atomic<TEngineHost*> g_host{nullptr};
}

void SetEngineHost(TEngineHost* host) { g_host.store(host, std::memory_order_release); }

TEngineHost* GetEngineHost() { return g_host.load(std::memory_order_acquire); }

std::recursive_mutex& CodecLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::mutex& PreviewLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace quenza
