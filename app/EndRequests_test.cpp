// Ending from outside: a signal or the end of the session runs the window's
// normal close (the sets edited reach the file), never waits for an answer,
// and stops a backup run between two files.
#include "app/EndRequests.h"

#include <signal.h>

#include <chrono>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include "app/Unit1.h"
#include "engine/IniFile.h"
#include "testing/FuseVolume.h"
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

std::vector<int> gEndedAtOnce;
void RecordEndAtOnce(int status) {
  gEndedAtOnce.push_back(status);
}

// The comparison window's copy held in a destination that does not answer:
// a logout does not wait for it. The settings are written, the log says
// why, and the program ends at once with status 1. Once that copy has
// ended, the end is the normal one again.
TEST_F(EndRequestTest, AnEndDoesNotWaitForACopyHeldInADestinationThatDoesNotAnswer) {
  gEndedAtOnce.clear();
  endAtOnce = &RecordEndAtOnce;
  TForm1& form = Start();
  Show();
  form.CopyHeld(true);
  form.CopyHeld(false);
  form.CopyHeld(true);
  form.EndOnRequest(SIGTERM);
  EXPECT_EQ(gEndedAtOnce, std::vector<int>{1});
  EXPECT_THAT(Settings(), HasSubstr("ソフト終了時刻="));
  EXPECT_THAT(TestTree::Read(tree.Path("Quillfen.log")),
              HasSubstr("コピーを中断しました（コピー先が応答しません）"));

  Restart();
  Show();
  TForm1& again = Form();
  again.CopyHeld(true);
  again.CopyHeld(false);
  again.EndOnRequest(SIGTERM);
  EXPECT_EQ(gEndedAtOnce.size(), 1u) << "the copy had ended: the normal end";
  EXPECT_FALSE(again.isVisible());
}

// A run held in a destination that does not answer (a share's server that
// stopped; here a FUSE volume whose daemon is stopped): the status line says
// so, and neither a logout nor the close button waits for the run. The set
// stays due.
TEST_F(EndRequestTest, NeitherAnEndNorTheCloseWaitsForARunHeldInADestination) {
  for (const bool bySignal : {true, false}) {
    SCOPED_TRACE(bySignal ? "ended by a signal" : "closed");
    quillfen::testing::FuseVolume volume(quillfen::testing::FuseVolume::Kind::kFat);
    if (!volume.mounted()) GTEST_SKIP() << volume.skipReason();
    gEndedAtOnce.clear();
    endAtOnce = &RecordEndAtOnce;
    for (int i = 0; i < 5; ++i) tree.File("src/f" + std::to_string(i) + ".txt", "f");
    WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + volume.root() +
                  "/backup\r\n[Main]\r\n応答待ち秒数=5\r\n");
    Restart();
    TForm1& form = Form();
    Show();
    volume.SignalDaemons(SIGSTOP);
    QString hung;
    QTimer poll;
    const auto start = std::chrono::steady_clock::now();
    QObject::connect(&poll, &QTimer::timeout, [&] {
      const QString line = form.StatusBar1->currentMessage();
      if (hung.isEmpty() && line.startsWith(QStringLiteral("コピー先が応答しません: "))) {
        hung = line;
        if (bySignal) {
          form.EndOnRequest(SIGTERM);
        } else {
          form.close();
        }
      }
      if (!hung.isEmpty() || std::chrono::steady_clock::now() - start > std::chrono::seconds(40)) {
        poll.stop();
        volume.SignalDaemons(SIGCONT);
      }
    });
    poll.start(50);
    ::testing::internal::CaptureStderr();
    form.Button9Click();
    ::testing::internal::GetCapturedStderr();
    volume.SignalDaemons(SIGCONT);
    EXPECT_EQ(hung, QString::fromStdString("S: " + volume.root() +
                                           "/backup: the destination does not answer (waited 5 s)")
                        .prepend(QStringLiteral("コピー先が応答しません: ")));
    EXPECT_EQ(gEndedAtOnce, std::vector<int>{1});
    EXPECT_THAT(TestTree::Read(tree.Path("Quillfen.log")),
                HasSubstr("バックアップを中断しました（コピー先が応答しません）"));
    EXPECT_GT(quillfen::IniFile(IniPath()).ReadDateTime("Main", "ソフト終了時刻", 0.0), 0.0);
    EXPECT_EQ(EndTime("S"), -1.0);
  }
}

}  // namespace
