// Notices reach the desktop's notification service on the session bus, as
// sent text, and nothing is attempted without a session bus.
#include "ui/DBusDesktopNotices.h"

#include <gtest/gtest.h>

#include <QTest>

#include "testing/NotificationStandIn.h"

namespace {

using quillfen::testing::NotificationStandIn;

TEST(DBusDesktopNotices, ReachTheSessionBusServiceAsPlainText) {
  NotificationStandIn service;
  if (!service.ok()) GTEST_FAIL() << service.error().toStdString();

  // Without a session bus named (cron, a system service), nothing is sent.
  qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  qputenv("XDG_RUNTIME_DIR", "/nonexistent-quillfen-runtime");
  DBusDesktopNotices notices;
  notices.Notify("nobody sees this", "");
  QTest::qWait(200);
  EXPECT_TRUE(service.notices().empty());

  qputenv("DBUS_SESSION_BUS_ADDRESS", service.address().toUtf8());
  notices.Notify("Quillfen: <2> & more", "Aのコピーに失敗したファイルが2件あります。\nB<i>");
  QTRY_COMPARE_WITH_TIMEOUT(service.notices().size(), size_t{1}, 5000);
  const auto& notice = service.notices().front();
  EXPECT_EQ(notice.appName, "Quillfen");
  EXPECT_EQ(notice.appIcon, "quillfen");
  EXPECT_EQ(notice.summary, "Quillfen: &lt;2&gt; &amp; more");
  EXPECT_EQ(notice.body, "Aのコピーに失敗したファイルが2件あります。\nB&lt;i&gt;");
  EXPECT_EQ(notice.hints.value("desktop-entry").toString(), "quillfen");
}

}  // namespace
