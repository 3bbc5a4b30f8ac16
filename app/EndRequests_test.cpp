// Ending from outside: a signal or the end of the session runs the window's
// normal close (the sets edited reach the file), never waits for an answer,
// and stops a backup run between two files.
#include "app/EndRequests.h"

#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "app/Unit1.h"
#include "testing/MainWindowFixture.h"

namespace {

using quillfen::testing::TestTree;
using ::testing::HasSubstr;

class EndRequestTest : public MainWindowFixture {};

TEST_F(EndRequestTest, ASignalWritesTheEditedSetsAndEndsWithoutAQuestion) {
  MakeFolder("src");
  MakeFolder("bk");
  TForm1& form = Start();
  Show();
  AddSet("Photos", Path("src"), Path("bk"));
  ASSERT_EQ(Rows(form.ListBox1), QStringList({"Photos"}));
  EXPECT_EQ(Settings(), "");  // nothing written before the close
  const qsizetype shownBefore = dialogs.shown.size();

  EndRequests requests;
  ASSERT_TRUE(requests.ok());
  QObject::connect(&requests, &EndRequests::Requested, &form, &TForm1::EndOnRequest);
  QSignalSpy spy(&requests, &EndRequests::Requested);
  ASSERT_EQ(::raise(SIGTERM), 0);  // caught: this test goes on
  EXPECT_EQ(EndRequests::PendingSignal(), SIGTERM);
  QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
  EXPECT_EQ(spy.at(0).at(0).toInt(), SIGTERM);

  EXPECT_FALSE(form.isVisible());
  EXPECT_THAT(Settings(), HasSubstr("[Photos]\r\nコピー元=" + tree.Path("src") + "\r\n"));
  EXPECT_THAT(Settings(), HasSubstr("ソフト終了時刻="));
  EXPECT_EQ(form.ExitStatus(), 0);  // the close did all it had to
  EXPECT_EQ(dialogs.shown.size(), shownBefore);
}

TEST_F(EndRequestTest, HangUpAndInterruptAreCaughtTooAndDefaultsComeBack) {
  for (const int signalNumber : {SIGHUP, SIGINT}) {
    EndRequests requests;
    QSignalSpy spy(&requests, &EndRequests::Requested);
    ASSERT_EQ(::raise(signalNumber), 0);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 5000);
    EXPECT_EQ(spy.at(0).at(0).toInt(), signalNumber);
  }
  struct sigaction now = {};
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  EXPECT_EQ(EndRequests::PendingSignal(), 0);
}

// At the end of the session nobody answers a box: the reason goes to standard
// error and the program ends with status 2.
TEST_F(EndRequestTest, UnwritableSettingsAtTheEndOfTheSessionAskNothing) {
  TForm1& form = Start();
  Show();
  tree.Dir("Quillfen.ini");
  ::testing::internal::CaptureStderr();
  form.EndOnRequest(0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(errors, HasSubstr(tree.Path("Quillfen.ini") + " に書き込めません"));
  EXPECT_TRUE(dialogs.shown.isEmpty());
  EXPECT_TRUE(dialogs.errors.isEmpty());
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.ExitStatus(), 2);
  form.EndOnRequest(SIGTERM);  // a second request changes nothing
  EXPECT_EQ(form.ExitStatus(), 2);
}

// An unattended program asked to end before its run has not backed up: it
// says so in its status.
TEST_F(EndRequestTest, UnattendedProgramEndedBeforeItsRunFailsWith128PlusTheSignal) {
  tree.File("src/a.txt", "a");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n");
  TForm1& form = Start({"-s"});
  Show();
  ASSERT_TRUE(form.Timer1->isActive());
  form.EndOnRequest(SIGTERM);
  EXPECT_FALSE(form.Timer1->isActive());
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.ExitStatus(), 128 + SIGTERM);
  EXPECT_FALSE(quillfen::testing::Exists(tree.Path("dst/a.txt")));
  EXPECT_THAT(Settings(), HasSubstr("ソフト終了時刻="));
}

int gPending = 0;
int Pending() {
  return gPending;
}

// A signal during a run is seen between two files: the run stops, the set
// stays due, the failure is on standard error and in the status.
TEST_F(EndRequestTest, ASignalDuringTheRunStopsItBetweenFiles) {
  tree.File("src/a.txt", "a");
  tree.File("src/b.txt", "b");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n");
  pendingEnd = &Pending;
  gPending = SIGTERM;
  TForm1& form = Start();
  ::testing::internal::CaptureStderr();
  form.Button9Click();
  const std::string errors = ::testing::internal::GetCapturedStderr();
  gPending = 0;
  EXPECT_EQ(errors, "S: stopped before all files were looked at\n");
  EXPECT_FALSE(quillfen::testing::Exists(tree.Path("dst/a.txt")));
  EXPECT_EQ(EndTime("S"), -1.0);
  EXPECT_EQ(form.ExitStatus(), 128 + SIGTERM);
}

}  // namespace
