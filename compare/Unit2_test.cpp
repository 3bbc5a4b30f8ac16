#include "compare/Unit2.h"

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <QAccessible>
#include <QLabel>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "engine/IniFile.h"
#include "testing/CompareSupport.h"
#include "testing/FakeClock.h"
#include "testing/FuseVolume.h"
#include "testing/ScriptedDialogs.h"
#include "testing/TestTree.h"

using quillfen::testing::Exists;
using quillfen::testing::FakeMainWindow;
using quillfen::testing::ReadFile;
using quillfen::testing::TestTree;
using quillfen::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const QString kCompared = "保存元と保存先のファイルの比較が終了しました。";

std::string Accessible(QObject* object, QAccessible::Text text) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  return iface ? iface->text(text).toStdString() : "<no interface>";
}

class Form2Test : public ::testing::Test {
 protected:
  TestTree dir;
  ScriptedDialogs dialogs;
  quillfen::testing::FakeClock clock;
  FakeMainWindow main;
  QStringList statuses;
  std::unique_ptr<TForm2> form;

  void SetUp() override {
    clock.now = quillfen::EncodeDateTime(2026, 12, 7, 9, 5, 7);  // an hour of one digit
    main.source = dir.Path("src");
    main.destination = dir.Path("dst");
    main.settingsPath = dir.Path("Quillfen.ini");
    std::filesystem::create_directories(main.source);
    form = std::make_unique<TForm2>(dialogs, clock, main);
    form->SetStatusObserver([this](const QString& s) { statuses << s; });
  }

  std::vector<char> Left() const { return form->SelectedRows(form->ListBox1); }
  std::vector<char> Right() const { return form->SelectedRows(form->ListBox2); }

  // A mouse click on a row, as the user makes it.
  void ClickRow(QListView* list, int row, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const QRect rect = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, mods, rect.center());
  }
};

TEST_F(Form2Test, ControlsAsDesigned) {
  EXPECT_EQ(form->windowTitle(), "フォルダの比較");
  EXPECT_EQ(form->size(), QSize(466, 291));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_EQ(form->ListBox1->objectName(), "ListBox1");
  EXPECT_EQ(form->ListBox2->geometry(), QRect(272, 32, 193, 233));
  EXPECT_EQ(form->ListBox1->selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_FALSE(form->ListBox1->focusPolicy() & Qt::TabFocus);
  EXPECT_EQ(form->Button1->text(), "比較選択");
  EXPECT_EQ(form->Button1->geometry(), QRect(200, 32, 65, 41));
  EXPECT_EQ(form->Button3->geometry(), QRect(240, 80, 25, 41));
  EXPECT_EQ(form->Button4->text(), "バックアップ");
  EXPECT_EQ(form->Button5->text(), "レストア");
  EXPECT_EQ(form->StatusBar1->geometry(), QRect(0, 272, 466, 19));
  EXPECT_EQ(form->Label3->font().pixelSize(), 13);
  EXPECT_EQ(form->font().pixelSize(), 12);
  EXPECT_EQ(form->Timer1->interval(), 5000);
  EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(Form2Test, EachOpeningListsTheTreesReadAtThatMoment) {
  WriteFile(main.source + "/b", "b");
  WriteFile(main.source + "/a/x", "x");
  form->show();
  EXPECT_THAT(form->Paths(form->ListBox1), ElementsAre("/a/x", "/b"));
  EXPECT_EQ(form->ListBox1->model()->index(0, 0).data().toString(), "/a/x");
  EXPECT_EQ(form->Label1->text(), QString::fromStdString(main.source));
  EXPECT_EQ(form->Label2->text(), QString::fromStdString(main.destination));
  EXPECT_EQ(form->Label3->text(), "保存元 2 ファイル");
  EXPECT_EQ(form->Label4->text(), "保存先 0 ファイル");
  // The counter grows to the left: its right edge stays put.
  EXPECT_EQ(form->Label3->geometry().right(), 141 + 58 - 1);
  EXPECT_THAT(Left(), ElementsAre(0, 0));
  EXPECT_TRUE(form->Timer1->isActive());

  form->hide();
  main.source = dir.Path("other");
  WriteFile(main.source + "/only", "o");
  form->show();
  EXPECT_THAT(form->Paths(form->ListBox1), ElementsAre("/only"));
  EXPECT_EQ(form->Label3->text(), "保存元 1 ファイル");
}

// A destination inside the source, named through a link to the source: the
// left list leaves it out as the backup run does, so 比較選択 does not pick
// the earlier copies and バックアップ does not nest them one level deeper.
TEST_F(Form2Test, ADestinationInsideTheSourceThroughALinkIsLeftOut) {
  WriteFile(main.source + "/a.txt", "a");
  WriteFile(main.source + "/bk/a.txt", "a");
  ASSERT_EQ(::symlink(main.source.c_str(), dir.Path("alias").c_str()), 0);
  main.destination = dir.Path("alias") + "/bk";
  form->show();
  EXPECT_THAT(form->Paths(form->ListBox1), ElementsAre("/a.txt"));
  EXPECT_THAT(form->Paths(form->ListBox2), ElementsAre("/a.txt"));
}

TEST_F(Form2Test, CompareSelectsWhatTheOtherSideLacks) {
  WriteFile(main.source + "/both", "1");
  WriteFile(main.source + "/Case", "1");
  WriteFile(main.source + "/left", "1");
  WriteFile(main.destination + "/both", "2");
  WriteFile(main.destination + "/case", "2");
  form->show();
  statuses.clear();
  form->Button1Click();
  EXPECT_THAT(Left(), ElementsAre(0, 1, 1));  // /both /Case /left
  EXPECT_THAT(Right(), ElementsAre(0, 1));    // /both /case
  EXPECT_EQ(form->Label3->text(), "2／保存元 3 ファイル");
  EXPECT_EQ(form->Label4->text(), "1／保存先 2 ファイル");
  EXPECT_EQ(statuses, QStringList({"/leftを検索中", "/Caseを検索中", "/bothを検索中",
                                   "/caseを検索中", "/bothを検索中"}));
  EXPECT_EQ(form->StatusBar1->text(), "/bothを検索中");
  EXPECT_EQ(dialogs.shown, QStringList({kCompared}));
}

TEST_F(Form2Test, IdenticalTreesSelectNothing) {
  for (const std::string& root : {main.source, main.destination}) {
    WriteFile(root + "/x", "1");
    WriteFile(root + "/y/z", "1");
  }
  form->show();
  form->Button1Click();
  EXPECT_EQ(form->Label3->text(), "0／保存元 2 ファイル");
  EXPECT_EQ(form->Label4->text(), "0／保存先 2 ファイル");
}

TEST_F(Form2Test, AllSelectsEverythingWithoutRunningTheClickHandler) {
  for (const char* name : {"/a", "/b", "/c"}) WriteFile(main.source + name, "1");
  form->show();
  form->ShowStatus("kept");
  form->Button2Click();
  form->Button2Click();
  EXPECT_THAT(Left(), ElementsAre(1, 1, 1));
  EXPECT_EQ(form->Label3->text(), "3／保存元 3 ファイル");
  EXPECT_EQ(form->StatusBar1->text(), "kept");  // a click handler would have cleared it
  form->Button3Click();
  EXPECT_EQ(form->Label4->text(), "0／保存先 0 ファイル");
}

TEST_F(Form2Test, UserClicksShowTheSingleSelectedNameAndTheTimerClearsIt) {
  for (const char* name : {"/a", "/b"}) WriteFile(main.source + name, "1");
  form->show();
  form->Timer1->stop();
  ClickRow(form->ListBox1, 1);
  EXPECT_EQ(form->Label3->text(), "1／保存元 2 ファイル");
  EXPECT_EQ(form->StatusBar1->text(), "/b");
  EXPECT_TRUE(form->Timer1->isActive());

  // A running timer keeps its count when switched on again.
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  ClickRow(form->ListBox1, 0);
  EXPECT_EQ(form->StatusBar1->text(), "/a");
  EXPECT_LE(form->Timer1->remainingTime(), 4940);

  ClickRow(form->ListBox1, 1, Qt::ControlModifier);
  EXPECT_EQ(form->Label3->text(), "2／保存元 2 ファイル");
  EXPECT_EQ(form->StatusBar1->text(), "");

  form->ShowStatus("x");
  form->Timer1Timer();
  EXPECT_EQ(form->StatusBar1->text(), "");
  EXPECT_FALSE(form->Timer1->isActive());
}

// After ALL a ctrl-click takes one file out, a click selects the clicked file
// alone and a shift-click extends from it; counters and the status line follow.
TEST_F(Form2Test, ClicksAfterAllChangeTheSelectionFromAll) {
  for (const char* name : {"/a", "/b", "/c", "/d"}) WriteFile(main.source + name, "1");
  form->show();
  form->Button2Click();
  ClickRow(form->ListBox1, 2, Qt::ControlModifier);
  EXPECT_THAT(Left(), ElementsAre(1, 1, 0, 1));
  EXPECT_EQ(form->Label3->text(), "3／保存元 4 ファイル");
  EXPECT_EQ(form->StatusBar1->text(), "");

  form->Button2Click();
  EXPECT_EQ(form->Label3->text(), "4／保存元 4 ファイル");
  ClickRow(form->ListBox1, 1);
  EXPECT_THAT(Left(), ElementsAre(0, 1, 0, 0));
  EXPECT_EQ(form->Label3->text(), "1／保存元 4 ファイル");
  EXPECT_EQ(form->StatusBar1->text(), "/b");
  ClickRow(form->ListBox1, 3, Qt::ShiftModifier);
  EXPECT_THAT(Left(), ElementsAre(0, 1, 1, 1));
  EXPECT_EQ(form->Label3->text(), "3／保存元 4 ファイル");
  EXPECT_EQ(form->StatusBar1->text(), "");
  // The right list keeps its own selection.
  EXPECT_EQ(form->Label4->text(), "保存先 0 ファイル");
}

// The backup copies exactly the files the list shows selected after the user
// changed what the comparison selected.
TEST_F(Form2Test, BackupCopiesTheSelectionAsTheUserLeftIt) {
  for (const char* name : {"/a", "/b", "/c", "/d"}) WriteFile(main.source + name, name);
  WriteFile(main.destination + "/x", "x");
  form->show();
  form->Button1Click();
  EXPECT_THAT(Left(), ElementsAre(1, 1, 1, 1));
  ClickRow(form->ListBox1, 1, Qt::ControlModifier);
  EXPECT_EQ(form->Label3->text(), "3／保存元 4 ファイル");
  form->Button4Click();
  EXPECT_EQ(ReadFile(main.destination + "/a"), "/a");
  EXPECT_FALSE(Exists(main.destination + "/b"));
  EXPECT_EQ(ReadFile(main.destination + "/c"), "/c");
  EXPECT_EQ(ReadFile(main.destination + "/d"), "/d");
  EXPECT_THAT(Left(), ElementsAre(0, 0, 0, 0));  // all three copied
}

// A screen reader announces each control by its caption, or by its role
// where it has none; the labels by the texts they show.
TEST_F(Form2Test, EveryControlIsAnnouncedByItsCaptionOrRole) {
  WriteFile(main.source + "/a", "1");
  form->show();
  const std::vector<std::pair<QWidget*, std::string>> names = {
      {form->Label1, main.source},
      {form->Label2, main.destination},
      {form->Label3, "保存元 1 ファイル"},
      {form->Label4, "保存先 0 ファイル"},
      {form->ListBox1, "保存元"},
      {form->ListBox2, "保存先"},
      {form->Button1, "比較選択"},
      {form->Button2, "ALL"},
      {form->Button3, "ALL"},
      {form->Button4, "バックアップ"},
      {form->Button5, "レストア"},
      {form->StatusBar1, "ステータスバー"},
  };
  std::set<QWidget*> named;
  for (const auto& [widget, name] : names) {
    EXPECT_EQ(Accessible(widget, QAccessible::Name), name) << widget->objectName().toStdString();
    named.insert(widget);
  }
  for (QWidget* control : form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!control->isVisible()) continue;
    EXPECT_TRUE(named.count(control)) << "unnamed: " << control->objectName().toStdString();
  }
  // The two "ALL" buttons tell which side they select.
  EXPECT_NE(Accessible(form->Button2, QAccessible::Description), "");
  EXPECT_NE(Accessible(form->Button2, QAccessible::Description),
            Accessible(form->Button3, QAccessible::Description));

  // The status line's text stays readable beside its name.
  ClickRow(form->ListBox1, 0);
  EXPECT_EQ(Accessible(form->StatusBar1, QAccessible::Name), "ステータスバー");
  EXPECT_EQ(Accessible(form->StatusBar1, QAccessible::Description), "/a");
  form->Timer1Timer();
  EXPECT_EQ(Accessible(form->StatusBar1, QAccessible::Description), "");
}

TEST_F(Form2Test, CompareThenBackupCopiesAndClosesTheWindow) {
  const std::string odd = "/f\xff\xfe.bin";
  WriteFile(main.source + "/same", "s");
  WriteFile(main.destination + "/same", "d");
  WriteFile(main.source + "/sub/new.txt", "n");
  WriteFile(main.source + odd, "bytes");
  int result = -1;
  QTimer::singleShot(0, form.get(), [&] {
    form->Button1Click();
    form->Button4Click();
  });
  result = form->exec();
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(ReadFile(main.destination + "/sub/new.txt"), "n");
  EXPECT_EQ(ReadFile(main.destination + odd), "bytes");
  EXPECT_EQ(ReadFile(main.destination + "/same"), "d");
  EXPECT_EQ(dialogs.shown, QStringList({kCompared, "バックアップが終了しました。"}));
  EXPECT_EQ(quillfen::IniFile(main.settingsPath).ReadString("Set1", "終了時刻", ""),
            "2026/12/07 9:05:07");
  EXPECT_THAT(Left(), ElementsAre(0, 0, 0));
  EXPECT_EQ(statuses.filter("をコピー中").size(), 2);
  EXPECT_EQ(form->StatusBar1->text(), statuses.last());  // the last copy is on the line
}

TEST_F(Form2Test, AFailedCopyStaysSelectedInTheList) {
  WriteFile(main.source + "/blocked", "b");
  std::filesystem::create_directories(main.destination + "/blocked/in-the-way");
  WriteFile(main.source + "/fine", "f");
  form->show();
  form->Button2Click();
  form->Button4Click();
  EXPECT_THAT(Left(), ElementsAre(1, 0));
  EXPECT_EQ(dialogs.shown.last(),
            "バックアップが終了しました。\nコピーできなかったファイルが 1 件あります。");
  // Counters are left as they were before the copy.
  EXPECT_EQ(form->Label3->text(), "2／保存元 2 ファイル");
}

TEST_F(Form2Test, RestoreWithNothingSelectedKeepsTheWindowOpen) {
  WriteFile(main.destination + "/d", "d");
  form->show();
  form->Button5Click();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(dialogs.shown, QStringList({"ファイルが選択されていません！"}));
  EXPECT_EQ(quillfen::IniFile(main.settingsPath).ReadString("Set1", "終了時刻", ""),
            "2026/12/07 9:05:07");

  form->Button3Click();
  form->Button5Click();
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(ReadFile(main.source + "/d"), "d");
}

// The copy works on its own thread while the window handles events, shows
// its progress, and names each file that failed, with its reason, to the
// main window and the log.
TEST_F(Form2Test, TheCopyWorksOffTheWindowThreadAndNamesItsFailures) {
  for (const char* name : {"/a", "/b"}) WriteFile(main.source + name, name);
  WriteFile(main.source + "/sub/c", "c");
  WriteFile(main.destination + "/sub", "a file where the folder should be");
  form->show();
  form->Button1Click();
  bool handled = false;
  QTimer::singleShot(0, form.get(), [&] { handled = form->CopyInProgress(); });
  form->Button4Click();
  EXPECT_TRUE(handled) << "no event was handled while the copy worked";
  EXPECT_FALSE(form->CopyInProgress());
  EXPECT_EQ(ReadFile(main.destination + "/a"), "/a");
  ASSERT_EQ(main.failures.size(), 1u);
  EXPECT_EQ(main.failures[0].summary, "Set1: バックアップ 2 件コピー、失敗 1 件");
  ASSERT_EQ(main.failures[0].failures.size(), 1u);
  const std::string& line = main.failures[0].failures[0];
  EXPECT_THAT(line, HasSubstr(main.source + "/sub/c -> " + main.destination + "/sub/c: "));
  EXPECT_THAT(ReadFile(dir.Path("Quillfen.log")), HasSubstr(line));
  EXPECT_EQ(form->CopyProgressBar->value(), 3) << "every selected file looked at";
}

// Asked to stop (the program ends, or Escape), the copy stops before its next
// file: nothing more is copied, no end time is written, the window stays.
TEST_F(Form2Test, AStoppedCopyLeavesTheRestSelectedAndWritesNoEndTime) {
  for (const char* name : {"/a", "/b"}) WriteFile(main.source + name, name);
  std::filesystem::create_directories(main.destination);
  form->show();
  form->Button1Click();
  main.stop = true;
  form->Button4Click();
  EXPECT_FALSE(Exists(main.destination + "/a"));
  EXPECT_THAT(Left(), ElementsAre(1, 1));
  EXPECT_FALSE(Exists(main.settingsPath)) << "no end time for a copy that did not finish";
  EXPECT_EQ(dialogs.shown, QStringList{"保存元と保存先のファイルの比較が終了しました。"});
}

// A copy held in a destination that does not answer (a share's server that
// stopped; here a FUSE volume whose daemon is stopped): the status line says
// so, the main window learns it, and the close button offers to end the
// program without waiting. Declined, the window stays; once the destination
// answers again, the copy ends with the reason and no end time.
TEST_F(Form2Test, ACopyHeldInADestinationThatDoesNotAnswerCanBeLeft) {
  for (const bool leave : {true, false}) {
    SCOPED_TRACE(leave ? "the program is ended" : "the user waits");
    quillfen::testing::FuseVolume volume(quillfen::testing::FuseVolume::Kind::kFat);
    if (!volume.mounted()) GTEST_SKIP() << volume.skipReason();
    main.held.clear();
    main.endedWithoutWaiting = 0;
    statuses.clear();
    for (int i = 0; i < 5; ++i) WriteFile(main.source + "/f" + std::to_string(i), "f");
    main.destination = volume.root() + "/backup";
    std::filesystem::create_directories(main.destination);
    WriteFile(main.settingsPath, "[Main]\r\n応答待ち秒数=5\r\n");
    form->show();
    form->Button1Click();
    ASSERT_THAT(Left(), ElementsAre(1, 1, 1, 1, 1));
    dialogs.shown.clear();
    const QString question = "コピー先が応答しません。コピーの終わりを待たずに終了しますか？";
    dialogs.yesNoAnswers.push_back(leave);
    volume.SignalDaemons(SIGSTOP);
    bool closed = false;
    QTimer poll;
    const auto start = std::chrono::steady_clock::now();
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (!closed && !main.held.empty()) {
        closed = true;
        form->reject();  // the close button
        EXPECT_TRUE(form->isVisible());
        EXPECT_TRUE(form->CopyInProgress());
      }
      if (closed || std::chrono::steady_clock::now() - start > std::chrono::seconds(40)) {
        poll.stop();
        volume.SignalDaemons(SIGCONT);
      }
    });
    poll.start(50);
    form->Button4Click();
    volume.SignalDaemons(SIGCONT);

    const std::string line = main.destination + ": the destination does not answer (waited 5 s)";
    EXPECT_TRUE(statuses.contains(QString::fromStdString("コピー先が応答しません: " + line)))
        << statuses.join("\n").toStdString();
    EXPECT_THAT(main.held, ElementsAre(true, false));
    EXPECT_EQ(main.endedWithoutWaiting, leave ? 1 : 0);
    ASSERT_FALSE(dialogs.shown.isEmpty());
    EXPECT_EQ(dialogs.shown.first(), question);
    EXPECT_EQ(dialogs.shown.last(), QString::fromStdString(line));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(quillfen::IniFile(main.settingsPath).ReadString("Set1", "終了時刻", "<none>"),
              "<none>");
    form->hide();
  }
}

}  // namespace
