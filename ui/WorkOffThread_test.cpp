#include "ui/WorkOffThread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Once the application is ending no event loop runs; what the work posted
// is still delivered before WorkOffThread returns.
TEST(WorkOffThreadTest, WhatTheWorkPostedIsShownAlsoWhenTheApplicationEnds) {
  QCoreApplication::exit(0);
  QObject window;
  std::vector<int> shown;
  WorkOffThread([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 3; ++i) {
      QMetaObject::invokeMethod(
          &window, [&, i] { shown.push_back(i); }, Qt::QueuedConnection);
    }
  });
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2}));
}

TEST(WorkOffThreadTest, WhatTheWorkThrowsIsThrownToTheCaller) {
  EXPECT_THROW(WorkOffThread([] { throw std::runtime_error("no"); }), std::runtime_error);
}

}  // namespace
