// Editing backup sets in the main window, driven through its handlers and,
// for clicks, through simulated input.
#include <algorithm>
#include <iterator>
#include <vector>

#include <QDialog>
#include <QPushButton>
#include <QTimer>

#include "engine/IniFile.h"
#include "testing/MainWindowFixture.h"

namespace {

const QString kNotADrive = QStringLiteral("ドライブではなく、フォルダを選択してください。");
const QString kSourceFirst = QStringLiteral("保存元フォルダを先に選択してください！");
const QString kFieldMissing = QStringLiteral("入力されていない項目があります。");
const QString kDuplicate =
    QStringLiteral("保存セット名が重複しています。\n\r名前を変更してください。");
const QString kCreateFailed = QStringLiteral("新規フォルダの作成に失敗しました。");

class SetTable : public MainWindowFixture {};

TEST_F(SetTable, NameProposalIsMadeOnlyAtStart) {
  WriteSettings("[A]\r\nコピー元=/a\r\n[B]\r\nコピー元=/b\r\n");
  EXPECT_EQ(Form().Edit3->text(), QStringLiteral("新規3"));
  MakeFolder("src/Work");
  MakeFolder("dst");
  AddSet(QStringLiteral("新規3"), Path("src/Work"), Path("dst"));
  ASSERT_EQ(Form().ListBox1->count(), 3);
  EXPECT_EQ(Form().Edit3->text(), QStringLiteral("新規3"));
  // The fields keep their texts, so a second press reports the duplicate.
  dialogs.shown.clear();
  Form().Button3Click();
  EXPECT_EQ(dialogs.shown, QStringList{kDuplicate});
  EXPECT_EQ(Form().ListBox1->count(), 3);
}

TEST_F(SetTable, SourceChooserRefusesTheRootAndClearsTheDestination) {
  TForm1& form = Form();
  dialogs.folderAnswers = {"/srv", "/data/Work"};
  form.Button1Click();
  EXPECT_EQ(dialogs.captions.value(0), QStringLiteral("【保存元】フォルダを選択してください。"));
  EXPECT_EQ(form.Edit1->text(), "/srv");  // a short path is a folder
  form.Edit2->setText("/backup/srv");
  form.Button1Click();
  EXPECT_EQ(form.Edit1->text(), "/data/Work");
  EXPECT_EQ(form.Edit2->text(), "");  // the source changed
  EXPECT_TRUE(dialogs.shown.isEmpty());

  form.Edit2->setText("/backup/Work");
  dialogs.folderAnswers = {"/"};
  form.Button1Click();
  EXPECT_EQ(dialogs.shown, QStringList{kNotADrive});
  EXPECT_EQ(form.Edit1->text(), "");
  EXPECT_EQ(form.Edit2->text(), "");
}

TEST_F(SetTable, SameSourceKeepsTheDestinationAndCancelEmptiesBoth) {
  TForm1& form = Form();
  dialogs.folderAnswers = {"/data/Work", "/data/Work/"};
  form.Button1Click();
  form.Edit2->setText("/backup/Work");
  form.Button1Click();  // the same folder, with a trailing '/'
  EXPECT_EQ(form.Edit1->text(), "/data/Work");
  EXPECT_EQ(form.Edit2->text(), "/backup/Work");

  dialogs.folderAnswers = {""};
  form.Button1Click();
  EXPECT_EQ(form.Edit1->text(), "");
  EXPECT_EQ(form.Edit2->text(), "");
  // With both empty, cancelling again changes nothing and says nothing.
  dialogs.folderAnswers = {""};
  form.Button1Click();
  EXPECT_EQ(form.Edit1->text(), "");
  EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(SetTable, DestinationChooser) {
  TForm1& form = Form();
  form.Button2Click();
  EXPECT_EQ(dialogs.shown, QStringList{kSourceFirst});
  EXPECT_TRUE(dialogs.captions.isEmpty());  // no chooser opened

  dialogs.folderAnswers = {QStringLiteral("/data/ソフト"), "/", "", "/mnt/backup/"};
  form.Button1Click();
  form.Button2Click();
  EXPECT_EQ(dialogs.captions.value(1), QStringLiteral("【保存先】フォルダを選択してください。"));
  EXPECT_EQ(form.Edit2->text(), QStringLiteral("/ソフト"));
  form.Button2Click();  // cancelled
  EXPECT_EQ(form.Edit2->text(), QStringLiteral("/ソフト"));
  form.Button2Click();
  EXPECT_EQ(form.Edit2->text(), QStringLiteral("/mnt/backup/ソフト"));
  EXPECT_EQ(dialogs.shown.size(), 1);
}

TEST_F(SetTable, AddChecksFieldsAndDuplicatesIgnoringCase) {
  TForm1& form = Form();
  form.Edit3->setText("");
  form.Button3Click();
  EXPECT_EQ(dialogs.shown, QStringList{kFieldMissing});  // one message for all three
  form.Edit3->setText("Work");
  form.Edit1->setText("/data/Work");
  form.Button3Click();  // destination still empty
  EXPECT_EQ(dialogs.shown.size(), 2);
  EXPECT_EQ(dialogs.shown.value(1), kFieldMissing);
  EXPECT_EQ(form.ListBox1->count(), 0);

  MakeFolder("src/Work");
  MakeFolder("dst/Work");
  AddSet("work", Path("src/Work"), Path("dst"));
  ASSERT_EQ(form.ListBox1->count(), 1);
  EXPECT_EQ(dialogs.shown.size(), 2);  // the destination existed: nothing said
  form.Edit3->setText("Work");
  form.Button3Click();
  EXPECT_EQ(dialogs.shown.value(2), kDuplicate);
  EXPECT_EQ(form.ListBox1->count(), 1);
}

TEST_F(SetTable, AddAppendsSelectsAndCreatesTheDestination) {
  MakeFolder("src/One");
  MakeFolder("src/Two");
  MakeFolder("dst");
  AddSet("One", Path("src/One"), Path("dst"));
  AddSet("Two", Path("src/Two"), Path("dst"));
  TForm1& form = Form();
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"One", "Two"}));
  EXPECT_EQ(Rows(form.ListBox2), (QStringList{Path("src/One"), Path("src/Two")}));
  EXPECT_EQ(Rows(form.ListBox3), (QStringList{Path("dst/One"), Path("dst/Two")}));
  for (QListWidget* list : {form.ListBox1, form.ListBox2, form.ListBox3}) {
    EXPECT_EQ(Selected(list), 1);
  }
  EXPECT_EQ(dialogs.shown, (QStringList{Path("dst/One") + QStringLiteral("を作成しました。"),
                                        Path("dst/Two") + QStringLiteral("を作成しました。")}));
  EXPECT_TRUE(QDir(Path("dst/Two")).exists());
  EXPECT_EQ(ReadSettings(), QByteArray());  // added sets reach the file at the close

  // A destination whose parent is missing fails, and the set is added anyway.
  MakeFolder("src/Three");
  AddSet("Three", Path("src/Three"), Path("gone/deeper"));
  EXPECT_EQ(dialogs.shown.last(), kCreateFailed);
  EXPECT_EQ(form.ListBox1->count(), 3);
  EXPECT_EQ(Selected(form.ListBox3), 2);
  EXPECT_FALSE(QDir(Path("gone")).exists());
}

TEST_F(SetTable, NamesThatCannotBeSectionNamesAreRefused) {
  MakeFolder("src/Work");
  MakeFolder("dst/Work");
  for (const QString& name : {QString("a]b"), QString("[x"), QString("two\nlines")}) {
    dialogs.shown.clear();
    AddSet(name, Path("src/Work"), Path("dst"));
    ASSERT_EQ(dialogs.shown.size(), 1) << name.toStdString();
    EXPECT_EQ(Form().ListBox1->count(), 0);
  }
  AddSet("Work", Path("src/Work"), Path("dst"));
  ASSERT_EQ(Form().ListBox1->count(), 1);
  dialogs.shown.clear();
  Form().Edit3->setText("Wo]rk");
  Form().Button4Click();
  EXPECT_EQ(dialogs.shown.size(), 1);
  EXPECT_EQ(Rows(Form().ListBox1), QStringList{"Work"});
}

TEST_F(SetTable, AcceptedNamesComeBackUnchangedAfterARestart) {
  MakeFolder("src/Work");
  MakeFolder("dst/Work");
  const QStringList names{"a=b", " blank ", "x[1", QStringLiteral("写真;#"), "Main2"};
  for (const QString& name : names) AddSet(name, Path("src/Work"), Path("dst"));
  ASSERT_EQ(Rows(Form().ListBox1), names);
  CloseForm();
  EXPECT_EQ(Rows(Form().ListBox1), names);
  EXPECT_EQ(Rows(Form().ListBox3).value(1), Path("dst/Work"));
}

TEST_F(SetTable, UpdateReplacesTheSelectedRowOrDoesNothingSilently) {
  MakeFolder("src/A");
  MakeFolder("src/B");
  MakeFolder("dst");
  AddSet("A", Path("src/A"), Path("dst"));
  AddSet("B", Path("src/B"), Path("dst"));
  TForm1& form = Form();
  dialogs.shown.clear();

  form.ListBox1->setCurrentRow(0);  // a user selection: fills the fields
  EXPECT_EQ(form.Edit3->text(), "A");
  form.Edit3->setText("");
  form.Button4Click();
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"A", "B"}));

  form.Edit3->setText("b");  // no name test on update
  dialogs.folderAnswers = {Path("src/B"), Path("src/B")};
  form.Button1Click();
  form.Button2Click();
  form.Button4Click();
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"b", "B"}));
  EXPECT_EQ(Rows(form.ListBox2), (QStringList{Path("src/B"), Path("src/B")}));
  EXPECT_EQ(Rows(form.ListBox3), (QStringList{Path("src/B/B"), Path("dst/B")}));
  for (QListWidget* list : {form.ListBox1, form.ListBox2, form.ListBox3}) {
    EXPECT_EQ(Selected(list), 0);
  }
  // A destination inside the source tree is accepted and created.
  EXPECT_EQ(dialogs.shown, QStringList{Path("src/B/B") + QStringLiteral("を作成しました。")});

  ClearSetSelection();
  form.Edit3->setText("C");
  form.Button4Click();
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"b", "B"}));
  EXPECT_EQ(dialogs.shown.size(), 1);
}

TEST_F(SetTable, MovesKeepTheSelectionAndStopSilentlyAtTheEnds) {
  MakeFolder("dst");
  for (const QString name : {"A", "B", "C"}) {
    MakeFolder("src/" + name);
    AddSet(name, Path("src/" + name), Path("dst"));
  }
  TForm1& form = Form();
  form.Edit3->setText("typed");
  form.Button7Click();  // row 3 (index 2) up
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"A", "C", "B"}));
  EXPECT_EQ(Rows(form.ListBox2), (QStringList{Path("src/A"), Path("src/C"), Path("src/B")}));
  EXPECT_EQ(Rows(form.ListBox3), (QStringList{Path("dst/A"), Path("dst/C"), Path("dst/B")}));
  form.Button7Click();
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"C", "A", "B"}));
  for (QListWidget* list : {form.ListBox1, form.ListBox2, form.ListBox3}) {
    EXPECT_EQ(Selected(list), 0);
  }
  form.Button7Click();  // at the top
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"C", "A", "B"}));
  form.Button8Click();
  form.Button8Click();
  form.Button8Click();  // at the bottom
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"A", "B", "C"}));
  EXPECT_EQ(Rows(form.ListBox3), (QStringList{Path("dst/A"), Path("dst/B"), Path("dst/C")}));
  EXPECT_EQ(Selected(form.ListBox2), 2);
  // The handlers' own selection changes did not refill the editing area.
  EXPECT_EQ(form.Edit3->text(), "typed");

  ClearSetSelection();
  form.Button8Click();
  EXPECT_EQ(Rows(form.ListBox1), (QStringList{"A", "B", "C"}));
}

TEST_F(SetTable, DeleteErasesTheSectionAtOnce) {
  WriteSettings(
      "[Keep]\r\nコピー元=/k\r\nコピー先=/kk\r\n[Gone]\r\nコピー元=/g\r\n"
      "コピー先=/gg\r\n終了時刻=2010/04/01 9:05:07\r\n[Main]\r\n");
  TForm1& form = Form();
  ASSERT_EQ(form.StartDir(), QDir::currentPath().toStdString());
  ASSERT_EQ(Rows(form.ListBox1), (QStringList{"Keep", "Gone"}));
  form.Button5Click();  // nothing selected
  EXPECT_EQ(form.ListBox1->count(), 2);

  form.ListBox1->setCurrentRow(1);
  form.Button5Click();
  EXPECT_EQ(Rows(form.ListBox1), QStringList{"Keep"});
  EXPECT_EQ(Rows(form.ListBox2), QStringList{"/k"});
  EXPECT_EQ(Rows(form.ListBox3), QStringList{"/kk"});
  EXPECT_EQ(Selected(form.ListBox1), -1);
  EXPECT_EQ(Selected(form.ListBox3), -1);
  EXPECT_EQ(form.Edit3->text(), "Gone");  // the fields keep the deleted set
  EXPECT_EQ(form.Edit1->text(), "/g");
  EXPECT_EQ(ReadSettings(), QByteArray("[Keep]\r\nコピー元=/k\r\nコピー先=/kk\r\n[Main]\r\n"));
  EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(SetTable, DeleteKeepsTheRowWhenTheSettingsFileCannotBeWritten) {
  WriteSettings("[Work]\r\nコピー元=/w\r\n");
  TForm1& form = Form();
  ASSERT_EQ(form.ListBox1->count(), 1);
  // A folder in the way of the file's replacement makes every write fail.
  ASSERT_TRUE(QFile::remove(Path("Quillfen.ini")));
  MakeFolder("Quillfen.ini/inside");
  form.ListBox1->setCurrentRow(0);
  form.Button5Click();
  EXPECT_EQ(dialogs.errors, QStringList{QString::fromStdString(form.SettingsPath()) +
                                        QStringLiteral(" に書き込めません")});
  EXPECT_EQ(Rows(form.ListBox1), QStringList{"Work"});
  EXPECT_EQ(form.ListBox2->count(), 1);
  EXPECT_EQ(form.ListBox3->count(), 1);
}

TEST_F(SetTable, UserSelectionFillsTheEditingAreaAndMovesTheFocus) {
  MakeFolder("dst");
  for (const QString name : {"A", "B"}) {
    MakeFolder("src/" + name);
    AddSet(name, Path("src/" + name), Path("dst"));
  }
  Show();
  TForm1& form = Form();
  form.Edit3->setText("typed");
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox2, 0));
  for (QListWidget* list : {form.ListBox1, form.ListBox2, form.ListBox3}) {
    EXPECT_EQ(Selected(list), 0);
  }
  EXPECT_EQ(form.Edit3->text(), "A");
  EXPECT_EQ(form.Edit1->text(), Path("src/A"));
  EXPECT_EQ(form.Edit2->text(), Path("dst/A"));
  EXPECT_EQ(form.focusWidget(), form.Button1);

  // Clicking the selected row again brings back its texts.
  form.Edit3->setText("typed");
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox3, 0));
  EXPECT_EQ(form.Edit3->text(), "A");
  EXPECT_EQ(form.focusWidget(), form.Button2);

  // The keyboard changes the selection too.
  form.ListBox1->setFocus();
  QTest::keyClick(form.ListBox1, Qt::Key_Down);
  EXPECT_EQ(Selected(form.ListBox3), 1);
  EXPECT_EQ(form.Edit3->text(), "B");
  EXPECT_EQ(form.Edit1->text(), Path("src/B"));
  EXPECT_EQ(form.focusWidget(), form.Edit3);
  EXPECT_TRUE(dialogs.shown.size() == 2);  // only the two creation messages
}

TEST_F(SetTable, ClicksBesideTheRowsKeepTheSelection) {
  MakeFolder("src/A");
  MakeFolder("dst");
  AddSet("A", Path("src/A"), Path("dst"));
  Show();
  TForm1& form = Form();
  for (QListWidget* list : {form.ListBox1, form.ListBox2, form.ListBox3}) {
    const QPoint below =
        list->viewport()->mapTo(&form, list->viewport()->rect().bottomLeft() + QPoint(5, -5));
    QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, below);
    for (QListWidget* other : {form.ListBox1, form.ListBox2, form.ListBox3}) {
      EXPECT_EQ(Selected(other), 0) << list->objectName().toStdString();
    }
  }
  // Nor does a Ctrl+click on the selected row take it away.
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, Qt::ControlModifier,
                    RowPoint(form.ListBox2, 0));
  EXPECT_EQ(Selected(form.ListBox2), 0);
  EXPECT_EQ(Selected(form.ListBox1), 0);
}

// The main window, counting the runs of the three list click handlers.
class CountingForm : public TForm1 {
 public:
  using TForm1::TForm1;
  int runs[3] = {};
  void ListBox1Click() override {
    ++runs[0];
    TForm1::ListBox1Click();
  }
  void ListBox2Click() override {
    ++runs[1];
    TForm1::ListBox2Click();
  }
  void ListBox3Click() override {
    ++runs[2];
    TForm1::ListBox3Click();
  }
  std::vector<int> TakeRuns() {
    std::vector<int> taken(std::begin(runs), std::end(runs));
    std::fill(std::begin(runs), std::end(runs), 0);
    return taken;
  }
};

class ListClicks : public SetTable {
 protected:
  std::unique_ptr<TForm1> MakeForm(const MainWindowServices& services) override {
    return std::make_unique<CountingForm>(services);
  }
  CountingForm& Counting() { return static_cast<CountingForm&>(Form()); }
};

TEST_F(ListClicks, EachClickOrKeyRunsItsHandlerOnce) {
  MakeFolder("dst");
  for (const QString name : {"A", "B", "C"}) {
    MakeFolder("src/" + name);
    AddSet(name, Path("src/" + name), Path("dst"));
  }
  Show();
  CountingForm& form = Counting();
  // Adding selected each new row without running the handlers.
  EXPECT_EQ(form.TakeRuns(), (std::vector<int>{0, 0, 0}));

  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox2, 0));
  EXPECT_EQ(form.TakeRuns(), (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(form.Edit3->text(), "A");
  // The row already selected: its texts come back, again from one run.
  form.Edit3->setText("typed");
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox3, 0));
  EXPECT_EQ(form.TakeRuns(), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(form.Edit3->text(), "A");
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox1, 2));
  EXPECT_EQ(form.TakeRuns(), (std::vector<int>{1, 0, 0}));
  EXPECT_EQ(form.Edit3->text(), "C");

  QTest::keyClick(form.ListBox1, Qt::Key_Up);
  EXPECT_EQ(form.TakeRuns(), (std::vector<int>{1, 0, 0}));
  EXPECT_EQ(form.Edit3->text(), "B");
  // After a key, a click on the row it selected still runs the handler.
  form.Edit3->setText("typed");
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox1, 1));
  EXPECT_EQ(form.TakeRuns(), (std::vector<int>{1, 0, 0}));
  EXPECT_EQ(form.Edit3->text(), "B");

  form.Button8Click();  // the handlers' own selection changes run nothing
  EXPECT_EQ(form.TakeRuns(), (std::vector<int>{0, 0, 0}));
}

TEST_F(SetTable, DoubleClickSelectsTheRowBeforeChoosing) {
  MakeFolder("dst");
  for (const QString name : {"A", "B"}) {
    MakeFolder("src/" + name);
    AddSet(name, Path("src/" + name), Path("dst"));
  }
  Show();
  TForm1& form = Form();
  dialogs.captions.clear();
  dialogs.folderAnswers = {"/elsewhere"};
  QTest::mouseDClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox3, 0));
  // The row was shown first, so the destination is named after A's source,
  // and nothing after the double-click put the row's old texts back.
  EXPECT_EQ(dialogs.captions.size(), 1);
  EXPECT_EQ(form.Edit3->text(), "A");
  EXPECT_EQ(form.Edit2->text(), "/elsewhere/A");

  dialogs.folderAnswers = {Path("src/A")};
  QTest::mouseDClick(form.windowHandle(), Qt::LeftButton, {}, RowPoint(form.ListBox2, 1));
  EXPECT_EQ(form.Edit3->text(), "B");
  EXPECT_EQ(form.Edit1->text(), Path("src/A"));
  EXPECT_EQ(form.Edit2->text(), "");  // another source: choose the destination again

  form.Edit2->setText("/kept");
  dialogs.folderAnswers = {Path("src/A"), Path("src/B")};
  const QPoint inEdit1 = form.Edit1->mapTo(&form, form.Edit1->rect().center());
  QTest::mouseDClick(form.windowHandle(), Qt::LeftButton, {}, inEdit1);
  EXPECT_EQ(form.Edit2->text(), "/kept");  // same source: destination kept
  QTest::mouseDClick(form.windowHandle(), Qt::LeftButton, {}, inEdit1);
  EXPECT_EQ(form.Edit1->text(), Path("src/B"));
  EXPECT_EQ(form.Edit2->text(), "");
  EXPECT_TRUE(dialogs.folderAnswers.empty());
}

TEST_F(SetTable, FileCheckNeedsASelectedSetWithAnExistingSource) {
  MakeFolder("src/Work");
  MakeFolder("dst");
  AddSet("Work", Path("src/Work"), Path("dst"));
  TForm1& form = Form();
  QDialog form2;
  int opened = 0;
  QObject::connect(&form2, &QDialog::finished, [&opened] { ++opened; });
  form.SetModalWindows(&form2, nullptr);
  dialogs.shown.clear();

  ClearSetSelection();
  form.Button6Click();
  EXPECT_EQ(dialogs.shown, QStringList{QStringLiteral("チェック対象を選択してください！")});

  form.ListBox1->setCurrentRow(0);
  QTimer::singleShot(0, &form2, &QDialog::accept);
  form.Button6Click();
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(dialogs.shown.size(), 1);

  ASSERT_TRUE(QDir(Path("src/Work")).removeRecursively());
  form.Button6Click();
  EXPECT_EQ(dialogs.shown.value(1), QStringLiteral("保存対象フォルダは存在しません！"));
  EXPECT_EQ(opened, 1);
}

TEST_F(SetTable, FileCheckRefusesASetLoadedWithoutSource) {
  WriteSettings("[Work]\r\nコピー先=/backup/Work\r\n");
  TForm1& form = Form();
  ASSERT_EQ(Rows(form.ListBox2), QStringList{""});
  form.ListBox1->setCurrentRow(0);
  form.Button6Click();
  EXPECT_EQ(dialogs.shown, QStringList{QStringLiteral("保存対象フォルダは存在しません！")});
  // Such a set cannot be updated until a source is chosen.
  form.Edit3->setText("Renamed");
  form.Button4Click();
  EXPECT_EQ(Rows(form.ListBox1), QStringList{"Work"});
}

}  // namespace
