#include "ui/WorkOffThread.h"

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

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
  // An exit of all loops ends one round early; the work is still waited for.
  while (!done.load(std::memory_order_acquire)) loop.exec();
  worker.join();
  if (thrown) std::rethrow_exception(thrown);
}
