#pragma once
// Common base of the media components: holds the choice between running event
// handlers on the main thread (through the installed dispatcher) or on the raising
// thread.

#include <atomic>

namespace quenza {

class TFFBaseComponent {
 public:
  TFFBaseComponent() = default;
  TFFBaseComponent(const TFFBaseComponent&) = delete;
  TFFBaseComponent& operator=(const TFFBaseComponent&) = delete;
  virtual ~TFFBaseComponent() = default;

  // Read from any thread that raises an event; written by the owner.
  bool TriggerEventInMainThread() const {
    return fTriggerEventInMainThread.load(std::memory_order_acquire);
  }
  void SetTriggerEventInMainThread(bool value) {
    fTriggerEventInMainThread.store(value, std::memory_order_release);
  }

 private:
  std::atomic<bool> fTriggerEventInMainThread{true};
};

}  // namespace quenza
