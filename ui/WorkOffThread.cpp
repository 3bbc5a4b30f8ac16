#include "ui/WorkOffThread.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMetaObject>

void WorkOffThread(const std::function<void()>& work) {
  QEventLoop loop;
  std::atomic<bool> done{false};
  std::exception_ptr thrown;
  std::thread worker;
  try {
    worker = std::thread([&] {
      try {
        work();
      } catch (...) {
        thrown = std::current_exception();
      }
      done.store(true, std::memory_order_release);
      // Queued behind everything the work posted to this thread, so what it
      // showed has been shown when the caller goes on. Dropped with `loop`
      // if the wait has ended by then.
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    work();
    return;
  }
  // An exit of all loops ends a round early, and once the application is
  // ending a loop does not run at all: events are then delivered here while
  // the work is still waited for.
  while (!done.load(std::memory_order_acquire)) {
    if (loop.exec() != 0 && !done.load(std::memory_order_acquire)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  worker.join();
  // What the work posted to this thread and no loop delivered yet (it was
  // done before the first round, or no loop ran) is delivered now, so that
  // what it showed has been shown when the caller goes on.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
  if (thrown) std::rethrow_exception(thrown);
}
