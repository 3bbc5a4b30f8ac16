// The main window's life cycle and the Backup button, on the offscreen
// platform, with a temporary working folder, scripted dialogs and a set clock.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "app/Unit1.h"
#include "engine/DateTime.h"
#include "engine/IniFile.h"
#include "testing/FakeClock.h"
#include "testing/MainWindowFixture.h"
#include "testing/ScriptedDialogs.h"
#include "testing/TestTree.h"

namespace {

using quillfen::testing::TestTree;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A modal window that closes itself as soon as it is shown.
class SelfClosingDialog : public QDialog {
 public:
  int opened = 0;

 protected:
  void showEvent(QShowEvent* event) override {
    QDialog::showEvent(event);
    ++opened;
    QTimer::singleShot(0, this, &QDialog::reject);
  }
};

QStringList Items(const QListWidget* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
  return items;
}

std::string Accessible(QObject* object, QAccessible::Text text) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  return iface ? iface->text(text).toStdString() : "<no interface>";
}

int Ticked(const QListWidget* list) {
  int ticked = 0;
  for (int i = 0; i < list->count(); ++i) ticked += list->item(i)->checkState() == Qt::Checked;
  return ticked;
}

class MainWindowTest : public MainWindowFixture {};

// Every control where it was designed, with its caption, font and role.
TEST_F(MainWindowTest, ControlsAsDesigned) {
  TForm1& form = Start();
  EXPECT_EQ(form.windowTitle(), "Quillfen");
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_EQ(form.size(), QSize(466, form.menuBar()->sizeHint().height() + 268));
  EXPECT_EQ(form.StatusBar1->height(), 19);
  EXPECT_EQ(form.pos(), QPoint(156, 376));
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form.font().pixelSize(), 12);
  struct Control {
    QWidget* widget;
    const char* name;
    QRect geometry;
    const char* caption;
  };
  const Control controls[] = {
      {form.ListBox1, "ListBox1", {0, 16, 161, 105}, nullptr},
      {form.ListBox2, "ListBox2", {160, 16, 137, 105}, nullptr},
      {form.ListBox3, "ListBox3", {296, 16, 137, 105}, nullptr},
      {form.Button7, "Button7", {440, 16, 25, 49}, "∧"},
      {form.Button8, "Button8", {440, 72, 25, 49}, "∨"},
      {form.Edit3, "Edit3", {0, 144, 177, 21}, nullptr},
      {form.Button3, "Button3", {208, 128, 81, 25}, "新規"},
      {form.Button4, "Button4", {296, 128, 81, 25}, "更新"},
      {form.Button5, "Button5", {384, 128, 81, 25}, "削除"},
      {form.Edit1, "Edit1", {0, 184, 177, 21}, nullptr},
      {form.Button1, "Button1", {184, 184, 33, 25}, "選択..."},
      {form.Edit2, "Edit2", {0, 224, 177, 21}, nullptr},
      {form.Button2, "Button2", {184, 224, 33, 25}, "選択..."},
      {form.Button6, "Button6", {224, 176, 65, 33}, "Fileチェック"},
      {form.Button9, "Button9", {224, 216, 65, 33}, "Backup"},
      {form.CheckListBox1, "CheckListBox1", {296, 176, 81, 73}, nullptr},
      {form.CheckListBox2, "CheckListBox2", {384, 176, 81, 73}, nullptr},
  };
  for (const Control& c : controls) {
    EXPECT_EQ(c.widget->objectName(), c.name);
    EXPECT_EQ(c.widget->geometry(), c.geometry) << c.name;
    if (auto* button = qobject_cast<QPushButton*>(c.widget)) {
      EXPECT_EQ(button->text(), QString::fromUtf8(c.caption)) << c.name;
    }
  }
  const std::pair<QLabel*, QPoint> labels[] = {
      {form.Label8, {0, 0}},     {form.Label9, {160, 0}},  {form.Label10, {296, 0}},
      {form.Label3, {0, 128}},   {form.Label4, {0, 168}},  {form.Label5, {0, 208}},
      {form.Label1, {296, 160}}, {form.Label2, {384, 160}}};
  for (const auto& [label, place] : labels)
    EXPECT_EQ(label->pos(), place) << label->objectName().toStdString();
  EXPECT_EQ(form.Label8->text(), "バックアップセット名");
  EXPECT_EQ(form.Label4->text(), "バックアップ対象フォルダ");
  EXPECT_EQ(form.Label5->text(), "バックアップ先フォルダ");
  for (QLineEdit* edit : {form.Edit1, form.Edit2, form.Edit3})
    EXPECT_EQ(edit->font().pixelSize(), 13);
  EXPECT_TRUE(form.Edit1->isReadOnly() && form.Edit2->isReadOnly());
  for (QWidget* noTab :
       {static_cast<QWidget*>(form.Edit1), static_cast<QWidget*>(form.Edit2),
        static_cast<QWidget*>(form.CheckListBox1), static_cast<QWidget*>(form.CheckListBox2)}) {
    EXPECT_FALSE(noTab->focusPolicy() & Qt::TabFocus) << noTab->objectName().toStdString();
  }
  // The tab order as designed.
  QWidget* const order[] = {form.ListBox1, form.ListBox2, form.ListBox3, form.Button7, form.Button8,
                            form.Edit3,    form.Button1,  form.Button2,  form.Button3, form.Button4,
                            form.Button5,  form.Button6,  form.Button9};
  auto nextTabStop = [](QWidget* from) {
    for (QWidget* next = from->nextInFocusChain(); next != from; next = next->nextInFocusChain()) {
      if ((next->focusPolicy() & Qt::TabFocus) && !from->isAncestorOf(next)) return next;
    }
    return from;
  };
  for (size_t i = 0; i + 1 < std::size(order); ++i) {
    EXPECT_EQ(nextTabStop(order[i]), order[i + 1]) << order[i]->objectName().toStdString();
  }
  EXPECT_EQ(form.HELP1->title(), "Help");
  EXPECT_EQ(form.About1->text(), "バージョン情報");
  EXPECT_EQ(form.Help2->text(), "Help");
  for (QMenu* popup : {form.PopupMenu1, form.PopupMenu2}) {
    ASSERT_EQ(popup->actions().size(), 2);
    EXPECT_EQ(popup->actions()[0]->text(), "拡張子追加");
    EXPECT_EQ(popup->actions()[1]->text(), "拡張子削除");
  }
  EXPECT_EQ(form.Timer1->interval(), 5000);
  EXPECT_EQ(form.Timer2->interval(), 7000);
  EXPECT_FALSE(form.Timer1->isActive() || form.Timer2->isActive());
}

TEST_F(MainWindowTest, SetsComeFromEverySectionButExactlyMain) {
  WriteSettings(
      "[Main]\r\nオリジナル保存拡張子=\r\n[Work]\r\nコピー元=/data/work\r\n"
      "[Main2]\r\nコピー先=/bk/main2\r\nコピー元=/data/main2\r\n");
  TForm1& form = Start();
  EXPECT_EQ(form.StartDir(), tree.root());
  EXPECT_EQ(form.SettingsPath(), tree.root() + "/Quillfen.ini");
  EXPECT_EQ(Items(form.ListBox1), QStringList({"Work", "Main2"}));
  EXPECT_EQ(Items(form.ListBox2), QStringList({"/data/work", "/data/main2"}));
  EXPECT_EQ(Items(form.ListBox3), QStringList({"", "/bk/main2"}));  // still parallel
  EXPECT_EQ(form.Edit3->text(), "新規3");
  EXPECT_EQ(form.Label1->text(), "Original保存");
  EXPECT_EQ(form.Label2->text(), "Backup対象外");
  EXPECT_EQ(form.ListBox1->currentRow(), -1);
  EXPECT_FALSE(form.Timer1->isActive());
  EXPECT_FALSE(form.Timer2->isActive());
}

TEST_F(MainWindowTest, ThreeSetsProposeNew4AndNoFileProposesNew1) {
  WriteSettings("[a]\r\n[b]\r\n[c]\r\n");
  EXPECT_EQ(Start().Edit3->text(), "新規4");
  WriteSettings("");
  Restart();
  EXPECT_EQ(Form().Edit3->text(), "新規1");
  EXPECT_EQ(Form().ListBox1->count(), 0);
}

TEST_F(MainWindowTest, ExtensionListsLoadOnceTickedAndComeBackAfterTheClose) {
  WriteSettings("[Main]\r\nオリジナル保存拡張子=.xls,.doc,\r\n保存対象外拡張子=.tmp, .bak\r\n");
  TForm1& form = Start();
  SelfClosingDialog about;
  form.SetModalWindows(nullptr, &about);
  EXPECT_EQ(form.CheckListBox1->count(), 0);  // not before the first activation
  Show();
  EXPECT_EQ(Items(form.CheckListBox1), QStringList({".doc", ".xls"}));
  EXPECT_EQ(Items(form.CheckListBox2), QStringList({".bak", ".tmp"}));
  EXPECT_EQ(Ticked(form.CheckListBox1), 2);
  EXPECT_EQ(Ticked(form.CheckListBox2), 2);

  form.About1->trigger();
  form.About1->trigger();
  form.activateWindow();
  QCoreApplication::processEvents();
  form.FormActivate();
  EXPECT_EQ(about.opened, 2);
  EXPECT_EQ(form.CheckListBox1->count(), 2);

  form.CheckListBox1->item(0)->setCheckState(Qt::Unchecked);  // .doc
  ASSERT_TRUE(Close());
  const std::string text = Settings();
  EXPECT_THAT(text, HasSubstr("オリジナル保存拡張子=.doc,.xls,\r\n"));
  EXPECT_THAT(text, HasSubstr("保存対象外拡張子=.bak,.tmp,\r\n"));
  EXPECT_THAT(text, HasSubstr("ソフト終了時刻=" + quillfen::FormatDateTime(clock.now) + "\r\n"));

  Restart();
  Show();
  EXPECT_EQ(Ticked(Form().CheckListBox1), 2);  // the unticked entry is ticked again
}

TEST_F(MainWindowTest, CloseWithNoSetsAndEmptyListsWritesOnlyMain) {
  TForm1& form = Start();
  Show();
  ASSERT_TRUE(Close());
  EXPECT_EQ(Settings(), "[Main]\r\nオリジナル保存拡張子=\r\n保存対象外拡張子=\r\nソフト終了時刻=" +
                            quillfen::FormatDateTime(clock.now) + "\r\n");
  EXPECT_EQ(form.ExitStatus(), 0);
}

TEST_F(MainWindowTest, CloseWritesSetsInListOrderBeforeMain) {
  TForm1& form = Start();
  form.ListBox1->addItems({"B", "A"});
  form.ListBox2->addItems({"/sb", "/sa"});
  form.ListBox3->addItems({"/db", "/da"});
  ASSERT_TRUE(Close());  // never shown: the lists are loaded before they are written
  const std::string text = Settings();
  EXPECT_EQ(text.rfind("[B]\r\nコピー元=/sb\r\nコピー先=/db\r\n", 0), 0u) << text;
  EXPECT_LT(text.find("[A]"), text.find("[Main]"));
  Restart();
  EXPECT_EQ(Items(Form().ListBox1), QStringList({"B", "A"}));
}

TEST_F(MainWindowTest, OnlyTheFourShortFormsSwitchTheUnattendedRunOn) {
  for (const char* on : {"-s", "-S", "/s", "/S"}) {
    Start({"first", on});
    Show();
    EXPECT_TRUE(Form().Timer1->isActive()) << on;
    EXPECT_EQ(Form().Timer1->interval(), 5000);
    Form().Timer1->stop();  // no run in this test
  }
  Start({"/silent", "s", "--s", "-ss"});
  Show();
  EXPECT_FALSE(Form().Timer1->isActive());
}

// Timer1 runs the backup, and the run closes the window while Timer1 is on.
TEST_F(MainWindowTest, UnattendedRunBacksUpAndCloses) {
  tree.File("src/a.txt", "a");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n");
  TForm1& form = Start({"-s"});
  Show();
  ASSERT_TRUE(form.Timer1->isActive());
  form.Timer1->setInterval(1);
  QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 5000);
  EXPECT_EQ(TestTree::Read(tree.Path("dst/a.txt")), "a");
  EXPECT_NEAR(EndTime("S"), clock.now, 1.0 / 86400);
  EXPECT_THAT(Settings(), HasSubstr("ソフト終了時刻="));
  EXPECT_EQ(form.ExitStatus(), 0);
  EXPECT_TRUE(dialogs.shown.isEmpty());
}

// Sleeps until the monotonic clock, the one QTimer counts on, is `fraction`
// milliseconds past a whole second.
void WaitForSecondFraction(qint64 fraction) {
  QElapsedTimer now;
  now.start();
  QThread::msleep(
      static_cast<unsigned long>((fraction - now.msecsSinceReference() % 1000 + 1000) % 1000));
}

// A coarse timer may move its expiry to a nearby round fraction of a second,
// up to 5 % of the interval early; started just after a whole second, a
// 5000 ms count would end at that second, about 4.9 s later. Both timers
// keep their full intervals.
TEST_F(MainWindowTest, UnattendedRunStartsNoEarlierThanFiveSecondsAfterTheShow) {
  TForm1& form = Start({"-s"});
  EXPECT_EQ(form.Timer1->timerType(), Qt::PreciseTimer);
  EXPECT_EQ(form.Timer2->timerType(), Qt::PreciseTimer);
  EXPECT_EQ(form.Timer2->interval(), 7000);

  qint64 runAfter = -1;
  QElapsedTimer sinceShow;
  QObject::connect(form.Timer1, &QTimer::timeout, [&] {
    if (runAfter < 0) runAfter = sinceShow.elapsed();
  });
  WaitForSecondFraction(120);
  sinceShow.start();
  Show();
  ASSERT_TRUE(form.Timer1->isActive());
  ASSERT_TRUE(QTest::qWaitFor([&] { return runAfter >= 0; }, 10000));
  EXPECT_GE(runAfter, 5000);
  EXPECT_FALSE(form.isVisible());  // the run closed the window
}

TEST_F(MainWindowTest, BackupButtonUsesOnlyTickedEntriesAndStaysOpen) {
  tree.File("src/PHOTO.JPG", "p");
  tree.File("src/x.tmp", "t");
  tree.File("src/y.txt", "y");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n[Main]\r\n保存対象外拡張子=.jpg,.tmp,\r\n");
  TForm1& form = Start();
  Show();
  ASSERT_EQ(Items(form.CheckListBox2), QStringList({".jpg", ".tmp"}));
  form.CheckListBox2->item(1)->setCheckState(Qt::Unchecked);
  form.Button9->click();
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tree.Path("dst/PHOTO.JPG"))));
  EXPECT_EQ(TestTree::Read(tree.Path("dst/x.tmp")), "t");
  EXPECT_EQ(TestTree::Read(tree.Path("dst/y.txt")), "y");
  EXPECT_EQ(form.StatusBar1->currentMessage(), "Sをバックアップ中");
  EXPECT_FALSE(form.Timer2->isActive());
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the wait cursor is gone
}

TEST_F(MainWindowTest, ExtensionListsAreLoadedBeforeAFirstRunWithoutShow) {
  tree.File("src/a.tmp", "t");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n[Main]\r\n保存対象外拡張子=.tmp,\r\n");
  Start().Button9Click();
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(tree.Path("dst/a.tmp"))));
  EXPECT_EQ(Form().CheckListBox2->count(), 1);
}

TEST_F(MainWindowTest, SkipStartsTimer2WithoutRestartingItsCount) {
  WriteSettings("[S]\r\nコピー元=" + tree.Path("missing") + "\r\nコピー先=/x\r\n");
  TForm1& form = Start();
  form.Button9Click();
  EXPECT_EQ(form.StatusBar1->currentMessage(), "Sはコピー元フォルダが存在しません。");
  ASSERT_TRUE(form.Timer2->isActive());
  EXPECT_EQ(form.Timer2->interval(), 7000);
  const int timerId = form.Timer2->timerId();  // a restart would give a new timer
  form.Button9Click();
  EXPECT_EQ(form.Timer2->timerId(), timerId);

  form.Timer2Timer();
  EXPECT_EQ(form.StatusBar1->currentMessage(), "");
  EXPECT_FALSE(form.Timer2->isActive());
}

// The status line belongs to the run: opening the menu and moving over its
// items, which report their (empty) status tips to the window, leaves it alone.
TEST_F(MainWindowTest, MenuHoverKeepsTheStatusLine) {
  WriteSettings("[S]\r\nコピー元=" + tree.Path("missing") + "\r\nコピー先=/x\r\n");
  TForm1& form = Start();
  Show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  const std::string notice = "Sはコピー元フォルダが存在しません。";
  auto statusLine = [&form] { return form.StatusBar1->currentMessage().toStdString(); };
  form.Button9Click();
  ASSERT_EQ(statusLine(), notice);

  QMenuBar* bar = form.menuBar();
  const QPoint help = bar->actionGeometry(form.HELP1->menuAction()).center();
  QTest::mouseMove(bar, help);
  QTest::mouseClick(bar, Qt::LeftButton, {}, help);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.HELP1->isVisible(); }));
  EXPECT_EQ(statusLine(), notice);
  for (QAction* item : {form.About1, form.Help2}) {
    QTest::mouseMove(form.HELP1, form.HELP1->actionGeometry(item).center());
    QCoreApplication::processEvents();
    EXPECT_EQ(statusLine(), notice) << item->text().toStdString();
  }
  QTest::keyClick(form.HELP1, Qt::Key_Escape);
  EXPECT_EQ(statusLine(), notice);

  // Any control with a status tip reports it the same way.
  form.Button9Click();
  QStatusTipEvent tip(QString{});
  QCoreApplication::sendEvent(form.Edit3, &tip);
  EXPECT_EQ(statusLine(), notice);
}

TEST_F(MainWindowTest, FailedCopiesShowTheirCountAndSetExitStatus1) {
  tree.File("src/a.txt", "a");
  tree.Dir("dst/a.txt/inner");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n");
  TForm1& form = Start();
  form.Button9Click();
  EXPECT_EQ(form.StatusBar1->currentMessage(), "Sのコピーに失敗したファイルが1件あります。");
  EXPECT_TRUE(form.Timer2->isActive());
  EXPECT_EQ(form.ExitStatus(), 1);
  EXPECT_NEAR(EndTime("S"), clock.now, 1.0 / 86400);
}

TEST_F(MainWindowTest, UnwritableSettingsAtTheCloseAskBeforeQuitting) {
  TForm1& form = Start();
  Show();
  tree.Dir("Quillfen.ini");  // a folder cannot be replaced by the settings file
  dialogs.yesNoAnswers = {false, true};
  EXPECT_FALSE(Close());
  EXPECT_TRUE(form.isVisible());
  const QString error = QString::fromStdString(tree.Path("Quillfen.ini")) + " に書き込めません";
  EXPECT_EQ(dialogs.errors, QStringList({error}));
  ASSERT_EQ(dialogs.shown.size(), 2);
  EXPECT_EQ(dialogs.shown[1], "設定を保存せずに終了しますか？");
  EXPECT_TRUE(Close());
  EXPECT_EQ(form.ExitStatus(), 2);
}

TEST_F(MainWindowTest, UnwritableSettingsInTheBackupRunShowTheError) {
  tree.File("src/a.txt", "a");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n");
  TForm1& form = Start();
  ASSERT_EQ(::unlink(tree.Path("Quillfen.ini").c_str()), 0);
  tree.Dir("Quillfen.ini");
  form.Button9Click();
  EXPECT_EQ(dialogs.errors,
            QStringList({QString::fromStdString(tree.Path("Quillfen.ini")) + " に書き込めません"}));
  EXPECT_EQ(form.ExitStatus(), 2);
  EXPECT_EQ(TestTree::Read(tree.Path("dst/a.txt")), "a");
}

TEST_F(MainWindowTest, UnattendedSettingsFailureShowsNoBoxAndEnds) {
  tree.File("src/a.txt", "a");
  WriteSettings("[S]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n");
  TForm1& form = Start({"/S"});
  Show();
  ASSERT_EQ(::unlink(tree.Path("Quillfen.ini").c_str()), 0);
  tree.Dir("Quillfen.ini");
  form.Button9Click();
  EXPECT_TRUE(dialogs.shown.isEmpty());
  EXPECT_EQ(form.ExitStatus(), 2);
  EXPECT_FALSE(form.isVisible());  // the program ends: no retry 5 s later

  // With nothing to back up the run closes at once; the failing close still
  // shows nothing and ends the program.
  Start({"-s"});
  Show();
  Form().Button9Click();
  EXPECT_FALSE(Form().isVisible());
  EXPECT_TRUE(dialogs.shown.isEmpty());
  EXPECT_EQ(Form().ExitStatus(), 2);
}

// A screen reader announces each control by its caption, or by its role
// where it has none (lists and edits by the heading above them).
TEST_F(MainWindowTest, EveryControlIsAnnouncedByItsCaptionOrRole) {
  TForm1& form = Start();
  Show();
  const std::vector<std::pair<QWidget*, std::string>> names = {
      {form.Label8, "バックアップセット名"},
      {form.Label9, "バックアップ元"},
      {form.Label10, "バックアップ先"},
      {form.ListBox1, "バックアップセット名"},
      {form.ListBox2, "バックアップ元"},
      {form.ListBox3, "バックアップ先"},
      {form.Button7, "∧"},
      {form.Button8, "∨"},
      {form.Label3, "バックアップセット名"},
      {form.Edit3, "バックアップセット名"},
      {form.Button3, "新規"},
      {form.Button4, "更新"},
      {form.Button5, "削除"},
      {form.Label4, "バックアップ対象フォルダ"},
      {form.Edit1, "バックアップ対象フォルダ"},
      {form.Button1, "選択..."},
      {form.Label5, "バックアップ先フォルダ"},
      {form.Edit2, "バックアップ先フォルダ"},
      {form.Button2, "選択..."},
      {form.Button6, "Fileチェック"},
      {form.Button9, "Backup"},
      {form.Label1, "Original保存"},
      {form.Label2, "Backup対象外"},
      {form.CheckListBox1, "Original保存"},
      {form.CheckListBox2, "Backup対象外"},
      {form.StatusBar1, "ステータスバー"},
      {form.menuBar(), "メニューバー"},
      {form.HELP1, "Help"},
      {form.PopupMenu1, "Original保存"},
      {form.PopupMenu2, "Backup対象外"},
  };
  std::set<QWidget*> named;
  for (const auto& [widget, name] : names) {
    EXPECT_EQ(Accessible(widget, QAccessible::Name), name) << widget->objectName().toStdString();
    named.insert(widget);
  }
  QList<QWidget*> controls = form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  controls += form.centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* control : controls) {
    if (control == form.centralWidget() || !control->isVisible()) continue;
    EXPECT_TRUE(named.count(control)) << "unnamed: " << control->objectName().toStdString();
  }

  // Buttons whose captions do not say what they act on tell it.
  for (QPushButton* button : {form.Button1, form.Button2, form.Button7, form.Button8}) {
    EXPECT_NE(Accessible(button, QAccessible::Description), "")
        << button->objectName().toStdString();
  }
  EXPECT_NE(Accessible(form.Button1, QAccessible::Description),
            Accessible(form.Button2, QAccessible::Description));

  // The pop-up menus announce themselves and their two commands.
  for (QMenu* menu : {form.PopupMenu1, form.PopupMenu2}) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(menu);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::PopupMenu);
    ASSERT_EQ(iface->childCount(), 2);
    EXPECT_EQ(iface->child(0)->text(QAccessible::Name), "拡張子追加");
    EXPECT_EQ(iface->child(1)->text(QAccessible::Name), "拡張子削除");
  }

  // The status line's text stays readable beside its name.
  WriteSettings("[S]\r\nコピー元=" + tree.Path("missing") + "\r\nコピー先=/x\r\n");
  Restart();
  Form().Button9Click();
  EXPECT_EQ(Accessible(Form().StatusBar1, QAccessible::Name), "ステータスバー");
  EXPECT_EQ(Accessible(Form().StatusBar1, QAccessible::Description),
            "Sはコピー元フォルダが存在しません。");
  Form().Timer2Timer();
  EXPECT_EQ(Accessible(Form().StatusBar1, QAccessible::Description), "");
}

TEST_F(MainWindowTest, LinkReportsTheSelectedRowAndTickedEntries) {
  WriteSettings(
      "[A]\r\nコピー元=/sa\r\nコピー先=/da\r\n[B]\r\nコピー元=/sb\r\nコピー先=/db\r\n"
      "[Main]\r\nオリジナル保存拡張子=.b,.a,\r\n保存対象外拡張子=.z,\r\n");
  TForm1& form = Start();
  form.FormActivate();
  EXPECT_EQ(form.SelectedSetName(), "");
  form.ListBox1->setCurrentRow(1);
  form.ListBox2->setCurrentRow(1);
  form.ListBox3->setCurrentRow(1);
  EXPECT_EQ(form.SelectedSetName(), "B");
  EXPECT_EQ(form.SelectedSourceFolder(), "/sb");
  EXPECT_EQ(form.SelectedDestinationFolder(), "/db");
  form.CheckListBox1->item(0)->setCheckState(Qt::Unchecked);
  EXPECT_THAT(form.TickedKeepOriginal(), ElementsAre(".b"));
  EXPECT_THAT(form.TickedExcluded(), ElementsAre(".z"));
}

}  // namespace
