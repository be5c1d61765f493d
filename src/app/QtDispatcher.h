#pragma once
// Main-thread delivery through the Qt event loop: a worker thread's job is queued to
// the main thread and the worker waits until it has run.

#include <QObject>

#include "media/Dispatcher.h"

namespace quenza {

class TQtMainThreadDispatcher : public QObject, public TMainThreadDispatcher {
 public:
  // Must be created on the main (GUI) thread.
  TQtMainThreadDispatcher();
  void Synchronize(const std::function<void()>& fn) override;
  bool IsMainThread() const override;
  void ProcessPending() override;
};

}  // namespace quenza
