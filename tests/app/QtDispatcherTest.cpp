#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/QtDispatcher.h"

namespace quenza {
namespace {

TEST(QtDispatcher, WorkerWaitsWhileTheMainThreadRunsTheJob) {
  int argc = 1;
  char name[] = "test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  TQtMainThreadDispatcher dispatcher;

  QThread* mainThread = QThread::currentThread();
  std::atomic<int> ranOnMain{0};
  std::atomic<bool> returnedAfterJob{false};
  int value = 0;

  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      dispatcher.Synchronize([&] {
        if (QThread::currentThread() == mainThread) ++ranOnMain;
        ++value;  // plain int: only safe because the worker waits
      });
    }
    returnedAfterJob = value == 50;
    QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(1); });
  int rc = app.exec();
  worker.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ranOnMain.load(), 50);
  EXPECT_TRUE(returnedAfterJob.load());

  // On the main thread itself the job runs at once.
  bool direct = false;
  dispatcher.Synchronize([&] { direct = true; });
  EXPECT_TRUE(direct);
}

}  // namespace
}  // namespace quenza
