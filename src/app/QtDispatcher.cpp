#include "app/QtDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <exception>
#include <future>

namespace quenza {

TQtMainThreadDispatcher::TQtMainThreadDispatcher() = default;

void TQtMainThreadDispatcher::Synchronize(const std::function<void()>& fn) {
  if (QThread::currentThread() == thread()) {
    fn();
    return;
  }
  // Queued to the main thread; the caller waits on a promise of its own, so the
  // hand-over is visible to the thread checker and does not depend on Qt internals.
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  QMetaObject::invokeMethod(
      this,
      [&fn, &done]() {
        try {
          fn();
          done.set_value();
        } catch (...) {
          done.set_exception(std::current_exception());
        }
      },
      Qt::QueuedConnection);
  finished.get();
}

bool TQtMainThreadDispatcher::IsMainThread() const { return QThread::currentThread() == thread(); }

void TQtMainThreadDispatcher::ProcessPending() {
  if (IsMainThread()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

}  // namespace quenza
