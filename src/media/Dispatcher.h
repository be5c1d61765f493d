#pragma once
// Main-thread delivery. A component whose TriggerEventInMainThread is true runs its
// event handlers through the installed dispatcher; the raising thread waits until the
// handler has run. The GUI installs a Qt dispatcher, tests install their own; with none
// installed, handlers run directly on the raising thread.

#include <functional>

namespace quenza {

class TMainThreadDispatcher {
 public:
  virtual ~TMainThreadDispatcher() = default;
  // Runs fn on the main thread and returns after it has run. Called from the main
  // thread itself, it runs fn at once.
  virtual void Synchronize(const std::function<void()>& fn) = 0;
  // True on the main thread.
  virtual bool IsMainThread() const = 0;
  // Runs what other threads queued for the main thread; called on the main thread while
  // it waits for a worker.
  virtual void ProcessPending() = 0;
};

void SetMainThreadDispatcher(TMainThreadDispatcher* dispatcher);
TMainThreadDispatcher* GetMainThreadDispatcher();

// Runs fn through the dispatcher when inMainThread is true and one is installed,
// directly otherwise.
void DeliverEvent(bool inMainThread, const std::function<void()>& fn);

}  // namespace quenza
