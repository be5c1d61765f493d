#include "app/QtDispatcher.h"

#include <QMetaObject>
#include <QThread>

namespace quenza {

TQtMainThreadDispatcher::TQtMainThreadDispatcher() = default;

void TQtMainThreadDispatcher::Synchronize(const std::function<void()>& fn) {
  if (QThread::currentThread() == thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(this, [&fn]() { fn(); }, Qt::BlockingQueuedConnection);
}

}  // namespace quenza
