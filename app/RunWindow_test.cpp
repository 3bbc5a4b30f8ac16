// The main window while a backup works: it goes on handling events, shows the
// run's progress, stops when the user asks or closes it, and afterwards lists
// which files failed and why, and keeps the same in the log.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "app/FailureWindow.h"
#include "engine/RunLock.h"
#include "testing/MainWindowFixture.h"

namespace {

using ::testing::HasSubstr;

// Holds the run at its first look at a file until the test lets it go: the
// run asks whether to stop before each file, on its own thread.
std::atomic<bool> gateOpen{true};
std::atomic<int> questions{0};
int HeldRun() {
  ++questions;
  while (!gateOpen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return 0;
}

// Throws on the run's thread, as a run out of memory would, and answers
// "no signal" on the window's.
std::thread::id windowThread;
int ThrowingRun() {
  if (std::this_thread::get_id() != windowThread) throw std::runtime_error("std::bad_alloc");
  return 0;
}

class RunWindow : public MainWindowFixture {
 protected:
  void SetUp() override {
    MainWindowFixture::SetUp();
    gateOpen = false;
    questions = 0;
    pendingEnd = &HeldRun;
    tree.File("src/a.txt", "a");
    tree.File("src/b.txt", "b");
    tree.File("src/sub/c.txt", "c");
    WriteSettings("[Docs]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("bk") +
                  "\r\n");
  }
  void TearDown() override {
    gateOpen = true;
    MainWindowFixture::TearDown();
  }
  // Runs `during` inside the run, once the run waits at its first file.
  void DuringRun(std::function<void()> during) {
    QTimer::singleShot(0, &Form(), [this, during = std::move(during)] {
      for (int i = 0; i < 2000 && questions.load() == 0; ++i) QTest::qWait(5);
      ASSERT_GT(questions.load(), 0) << "the run never reached its first file";
      QTest::qWait(20);  // what the run posted before is shown
      during();
      gateOpen = true;
    });
  }
};

TEST_F(RunWindow, TheWindowAnswersAndShowsProgressWhileTheRunWorks) {
  Show();
  TForm1& form = Form();
  bool seen = false;
  DuringRun([&] {
    seen = true;
    // The event loop runs: this very call is proof, and the status line
    // shows the run's text, the progress beside it.
    EXPECT_TRUE(form.RunInProgress());
    EXPECT_EQ(form.StatusBar1->currentMessage(), QStringLiteral("Docsをバックアップ中"));
    QTest::qWait(400);  // the progress is refreshed a few times a second
    EXPECT_THAT(form.RunProgressText->text().toStdString(),
                HasSubstr("1 / 3 件確認　0 件コピー (0 B)　0:00"));
    EXPECT_TRUE(form.RunProgressBar->isVisible());
    EXPECT_TRUE(form.StopButton->isVisible());
    // Nothing that starts a run or changes the sets can be used meanwhile.
    for (QWidget* control :
         {static_cast<QWidget*>(form.Button9), static_cast<QWidget*>(form.Button3),
          static_cast<QWidget*>(form.Button4), static_cast<QWidget*>(form.Button5),
          static_cast<QWidget*>(form.CheckListBox1)}) {
      EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    }
    // A second press, or Timer1's tick, starts nothing.
    form.Button9Click();
  });
  form.Button9Click();
  ASSERT_TRUE(seen);
  EXPECT_FALSE(form.RunInProgress());
  EXPECT_TRUE(form.Button9->isEnabled());
  EXPECT_FALSE(form.StopButton->isVisible());
  EXPECT_EQ(quillfen::testing::TestTree::Read(tree.Path("bk/sub/c.txt")), "c");
  EXPECT_THAT(form.RunProgressText->text().toStdString(),
              HasSubstr("3 / 3 件確認　3 件コピー (3 B)"));
  EXPECT_GT(EndTime("Docs"), 0);
  EXPECT_EQ(form.ExitStatus(), 0);
  EXPECT_EQ(form.Failures, nullptr) << "a run without failures lists nothing";
}

TEST_F(RunWindow, Timer2EmptiesTheLineOnlyOnceTheRunIsOver) {
  WriteSettings("[Skipped]\r\nコピー元=" + tree.Path("missing") + "\r\n[Docs]\r\nコピー元=" +
                tree.Path("src") + "\r\nコピー先=" + tree.Path("bk") + "\r\n");
  Show();
  TForm1& form = Form();
  DuringRun([&] {
    ASSERT_TRUE(form.Timer2->isActive()) << "switched on at the skipped set";
    // Timer2 falls due while the run works: the run's text stays.
    form.Timer2Timer();
    EXPECT_EQ(form.StatusBar1->currentMessage(), QStringLiteral("Docsをバックアップ中"));
  });
  form.Button9Click();
  EXPECT_EQ(form.StatusBar1->currentMessage(), QString());
  EXPECT_FALSE(form.Timer2->isActive());
}

TEST_F(RunWindow, EscapeStopsTheRunBeforeItsNextFileAndKeepsTheWindow) {
  Show();
  TForm1& form = Form();
  DuringRun([&] { QTest::keyClick(&form, Qt::Key_Escape); });
  form.Button9Click();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(quillfen::testing::Exists(tree.Path("bk/a.txt")));
  EXPECT_EQ(EndTime("Docs"), -1.0) << "a stopped set stays due";
  EXPECT_EQ(form.ExitStatus(), 1);
  ASSERT_NE(form.Failures, nullptr);
  EXPECT_TRUE(form.Failures->isVisible());
  ASSERT_EQ(form.Failures->List->topLevelItemCount(), 1);
  EXPECT_THAT(form.Failures->List->topLevelItem(0)->text(0).toStdString(),
              HasSubstr("Docsのバックアップは途中で終了しました。"));
}

TEST_F(RunWindow, ACloseDuringTheRunStopsItThenClosesWithTheSettingsWritten) {
  Show();
  TForm1& form = Form();
  DuringRun([&] {
    EXPECT_FALSE(form.close()) << "the close waits for the run to stop";
    EXPECT_FALSE(form.isVisible()) << "but the window goes at once";
  });
  const auto started = std::chrono::steady_clock::now();
  form.Button9Click();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(quillfen::testing::Exists(tree.Path("bk/a.txt")));
  EXPECT_EQ(EndTime("Docs"), -1.0) << "a stopped set stays due";
  // The close wrote the settings: the program's end time is there.
  EXPECT_THAT(Settings(), HasSubstr("ソフト終了時刻="));
  EXPECT_EQ(form.ExitStatus(), 1);
}

TEST_F(RunWindow, FailuresOfEachSetAreListedAndLogged) {
  gateOpen = true;
  tree.File("blocked", "a file where a folder should be");
  WriteSettings("[Docs]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" +
                tree.Path("blocked/bk") + "\r\n[Good]\r\nコピー元=" + tree.Path("src") +
                "\r\nコピー先=" + tree.Path("good") + "\r\n[Also]\r\nコピー元=" + tree.Path("src") +
                "\r\nコピー先=" + tree.Path("blocked/also") + "\r\n");
  Show();
  TForm1& form = Form();
  form.Button9Click();
  ASSERT_NE(form.Failures, nullptr);
  EXPECT_TRUE(form.Failures->isVisible());
  EXPECT_FALSE(form.Failures->isModal());
  QTreeWidget* list = form.Failures->List;
  ASSERT_EQ(list->topLevelItemCount(), 3) << "every set's own result";
  EXPECT_EQ(list->topLevelItem(0)->text(0), QStringLiteral("Docs: 0 件コピー、失敗 3 件"));
  EXPECT_EQ(list->topLevelItem(1)->text(0), QStringLiteral("Good: 3 件コピー"));
  EXPECT_EQ(list->topLevelItem(2)->text(0), QStringLiteral("Also: 0 件コピー、失敗 3 件"));
  ASSERT_EQ(list->topLevelItem(0)->childCount(), 3);
  const std::string line = list->topLevelItem(0)->child(0)->text(0).toStdString();
  EXPECT_THAT(line, HasSubstr(tree.Path("src/")));
  EXPECT_THAT(line, HasSubstr(" -> " + tree.Path("blocked/bk/")));
  EXPECT_THAT(line, HasSubstr(": cannot make the folder " + tree.Path("blocked")));

  // The log holds the same lines, beside the settings file.
  const std::string log = quillfen::testing::TestTree::Read(tree.Path("Quillfen.log"));
  EXPECT_THAT(log, HasSubstr(line));
  EXPECT_THAT(log, HasSubstr("Good: 3 件コピー"));
  EXPECT_THAT(log, HasSubstr("バックアップを終了しました（3 件コピー、失敗 6 件）"));
  EXPECT_FALSE(form.Failures->OpenLog->isEnabled()) << "no opener in this test";
}

TEST_F(RunWindow, ARenamedSetIsMovedNotKeptTwice) {
  gateOpen = true;
  WriteSettings("[Docs]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("bk") +
                "\r\n終了時刻=2026/12/06 9:00:00\r\n");
  TForm1& form = Form();
  form.ListBox1->setCurrentRow(0);
  form.ListBox1Click();
  form.Edit3->setText("Papers");
  form.Button4Click();
  ASSERT_TRUE(Close());
  Restart();
  EXPECT_EQ(Rows(Form().ListBox1), QStringList{"Papers"});
  EXPECT_EQ(Settings().find("[Docs]"), std::string::npos);
  // The end time moved with it: the set is not taken for never backed up.
  EXPECT_EQ(quillfen::FormatDateTime(EndTime("Papers")), "2026/12/06 9:00:00");
}

// A run that throws ends like a stopped one: the window lives on with its
// controls back, the set stays due, and the failure is listed and logged.
TEST_F(RunWindow, ARunThatThrowsEndsWithTheFailureShownAndTheSetDue) {
  windowThread = std::this_thread::get_id();
  pendingEnd = &ThrowingRun;
  Show();
  TForm1& form = Form();
  form.Button9Click();
  EXPECT_TRUE(form.Button9->isEnabled());
  ASSERT_NE(form.Failures, nullptr);
  QTreeWidget* list = form.Failures->List;
  ASSERT_EQ(list->topLevelItemCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->text(0),
            QStringLiteral("Docsのバックアップは途中で終了しました。"));
  ASSERT_EQ(list->topLevelItem(0)->childCount(), 1);
  EXPECT_EQ(list->topLevelItem(0)->child(0)->text(0),
            QStringLiteral("Docs: the backup run stopped: std::bad_alloc"));
  EXPECT_THAT(quillfen::testing::TestTree::Read(tree.Path("Quillfen.log")),
              HasSubstr("Docs: the backup run stopped: std::bad_alloc"));
  EXPECT_EQ(quillfen::IniFile(IniPath()).ReadString("Docs", "終了時刻", ""), "");
}

// While another run (a cron run, another window) works on the same settings
// file, Backup says so and starts nothing.
TEST_F(RunWindow, BackupDoesNotStartWhileAnotherRunHoldsTheSettings) {
  gateOpen = true;
  Show();
  TForm1& form = Form();
  {
    const quillfen::RunLock other(IniPath());
    ASSERT_TRUE(other.held());
    form.Button9Click();
    EXPECT_EQ(dialogs.shown,
              QStringList{QStringLiteral("別のバックアップが実行中のため、開始しませんでした。")});
    EXPECT_EQ(questions.load(), 0) << "the run began";
    EXPECT_TRUE(form.Button9->isEnabled());
  }
  // Once it is over, Backup works as ever.
  form.Button9Click();
  EXPECT_EQ(quillfen::testing::TestTree::Read(tree.Path("bk/a.txt")), "a");
}

}  // namespace
