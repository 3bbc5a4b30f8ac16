// The two extension lists of the main window: adding through the text input,
// deleting the highlighted entry, ticks by mouse and keyboard, the pop-up
// menus, and what a restart makes of the entries.
#include <QAction>
#include <QFileInfo>
#include <QMenu>
#include <QStyle>
#include <QStyleOptionViewItem>

#include "testing/MainWindowFixture.h"

namespace {

const QString kUnsuitable = QStringLiteral("拡張子が不適切です！");

class ExtensionLists : public MainWindowFixture {
 protected:
  static QStringList Entries(const QListWidget* list) { return Rows(list); }
  static Qt::CheckState Tick(const QListWidget* list, const QString& text) {
    const auto found = list->findItems(text, Qt::MatchExactly);
    return found.isEmpty() ? Qt::PartiallyChecked : found.first()->checkState();
  }
  // Adds through the keep-original list's command, typing `text`.
  void AddKeep(const QString& text) {
    dialogs.inputAnswers.push_back(text);
    Form().N1Click();
  }
  void AddExcluded(const QString& text) {
    dialogs.inputAnswers.push_back(text);
    Form().N4Click();
  }
};

TEST_F(ExtensionLists, AddPutsTheEntryUntickedAtItsSortedPlace) {
  AddKeep("zip");
  AddKeep("doc");
  AddKeep("txt");
  TForm1& form = Form();
  EXPECT_EQ(dialogs.captions.value(0),
            QStringLiteral("Original保存拡張子の入力|.なしで拡張子を入力してください"));
  EXPECT_EQ(Entries(form.CheckListBox1), (QStringList{".doc", ".txt", ".zip"}));
  EXPECT_EQ(Tick(form.CheckListBox1, ".txt"), Qt::Unchecked);
  EXPECT_TRUE(form.CheckListBox2->count() == 0);

  AddExcluded("tmp");
  EXPECT_EQ(dialogs.captions.value(3),
            QStringLiteral("backup対象外拡張子の入力|.なしで拡張子を入力してください"));
  EXPECT_EQ(Entries(form.CheckListBox2), QStringList{".tmp"});
  EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(ExtensionLists, InputIsTakenExactlyAsTyped) {
  AddKeep(".txt");
  AddKeep("tar.gz");
  AddKeep("txt");
  AddKeep("txt");  // a list may hold an entry twice
  EXPECT_EQ(Entries(Form().CheckListBox1), (QStringList{"..txt", ".tar.gz", ".txt", ".txt"}));
  EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(ExtensionLists, RefusesEmptyInputAndEntriesOfTheOtherList) {
  AddKeep("");
  EXPECT_EQ(dialogs.shown, QStringList{kUnsuitable});
  AddExcluded("txt");
  AddKeep("txt");
  EXPECT_EQ(dialogs.shown, (QStringList{kUnsuitable, kUnsuitable}));
  AddKeep("pdf");
  AddExcluded("pdf");  // the other direction
  EXPECT_EQ(dialogs.shown.size(), 3);
  AddKeep("TXT");  // letter case counts
  EXPECT_EQ(Entries(Form().CheckListBox1), (QStringList{".TXT", ".pdf"}));
  EXPECT_EQ(Entries(Form().CheckListBox2), QStringList{".txt"});
  EXPECT_EQ(dialogs.shown.size(), 3);
}

TEST_F(ExtensionLists, CancelChangesNothing) {
  dialogs.inputAnswers.push_back(std::nullopt);
  Form().N1Click();
  dialogs.inputAnswers.push_back(std::nullopt);
  Form().N4Click();
  EXPECT_EQ(Form().CheckListBox1->count(), 0);
  EXPECT_EQ(Form().CheckListBox2->count(), 0);
  EXPECT_TRUE(dialogs.shown.isEmpty());
}

TEST_F(ExtensionLists, DeleteRemovesOnlyTheHighlightedEntry) {
  AddKeep("a");
  AddKeep("b");
  AddKeep("c");
  TForm1& form = Form();
  form.CheckListBox1->item(0)->setCheckState(Qt::Checked);
  form.N2Click();  // nothing highlighted
  EXPECT_EQ(Entries(form.CheckListBox1), (QStringList{".a", ".b", ".c"}));
  // A current entry without a highlight does not count.
  form.CheckListBox1->setCurrentRow(2, QItemSelectionModel::NoUpdate);
  form.N2Click();
  EXPECT_EQ(form.CheckListBox1->count(), 3);

  form.CheckListBox1->setCurrentRow(1);
  form.N2Click();
  EXPECT_EQ(Entries(form.CheckListBox1), (QStringList{".a", ".c"}));
  EXPECT_EQ(Tick(form.CheckListBox1, ".a"), Qt::Checked);

  AddExcluded("x");
  AddExcluded("y");
  form.CheckListBox2->setCurrentRow(0);
  form.MenuItem2->trigger();  // the excluded list's delete command
  EXPECT_EQ(Entries(form.CheckListBox2), QStringList{".y"});
  EXPECT_EQ(Entries(form.CheckListBox1), (QStringList{".a", ".c"}));
}

TEST_F(ExtensionLists, MenuCommandsRunTheirHandlers) {
  TForm1& form = Form();
  dialogs.inputAnswers = {QString("k"), QString("e")};
  form.N1->trigger();
  form.MenuItem1->trigger();
  EXPECT_EQ(Entries(form.CheckListBox1), QStringList{".k"});
  EXPECT_EQ(Entries(form.CheckListBox2), QStringList{".e"});
  form.CheckListBox1->setCurrentRow(0);
  form.N2->trigger();
  EXPECT_EQ(form.CheckListBox1->count(), 0);
}

TEST_F(ExtensionLists, TicksToggleByMouseOnTheBoxAndBySpaceBar) {
  // Entries are added after the first activation, as the user would.
  Show();
  AddKeep("doc");
  AddKeep("txt");
  TForm1& form = Form();
  QListWidget* list = form.CheckListBox1;
  ASSERT_EQ(Tick(list, ".txt"), Qt::Unchecked);

  list->setCurrentRow(1);
  QTest::keyClick(list, Qt::Key_Space);
  EXPECT_EQ(Tick(list, ".txt"), Qt::Checked);
  QTest::keyClick(list, Qt::Key_Space);
  EXPECT_EQ(Tick(list, ".txt"), Qt::Unchecked);

  // The check box sits at the left of the entry.
  QStyleOptionViewItem option;
  option.initFrom(list->viewport());
  option.rect = list->visualItemRect(list->item(0));
  option.features = QStyleOptionViewItem::HasCheckIndicator;
  const QRect box =
      list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
  ASSERT_TRUE(box.isValid());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_EQ(Tick(list, ".doc"), Qt::Checked);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_EQ(Tick(list, ".doc"), Qt::Unchecked);
  EXPECT_EQ(Tick(list, ".txt"), Qt::Unchecked);
}

TEST_F(ExtensionLists, RightClickOpensTheMenuWithoutMovingTheHighlight) {
  Show();
  AddExcluded("a");
  AddExcluded("b");
  TForm1& form = Form();
  QListWidget* list = form.CheckListBox2;
  list->setCurrentRow(0);
  QTest::mouseClick(form.windowHandle(), Qt::RightButton, {}, RowPoint(list, 1));
  EXPECT_TRUE(form.PopupMenu2->isVisible());
  EXPECT_FALSE(form.PopupMenu1->isVisible());
  EXPECT_EQ(Selected(list), 0);
  form.PopupMenu2->close();

  // The delete command then removes the entry highlighted before.
  form.Delete2Click();
  EXPECT_EQ(Entries(list), QStringList{".b"});
}

TEST_F(ExtensionLists, AnEntryWithABlankComesBackAsTwoAfterARestart) {
  AddKeep("my ext");
  AddExcluded("tmp");
  EXPECT_EQ(Entries(Form().CheckListBox1), QStringList{".my ext"});
  CloseForm();
  Form().FormActivate();
  TForm1& form = Form();
  EXPECT_EQ(Entries(form.CheckListBox1), (QStringList{".my", "ext"}));
  // Every entry read at start is ticked, the one added unticked included.
  EXPECT_EQ(Tick(form.CheckListBox1, ".my"), Qt::Checked);
  EXPECT_EQ(Tick(form.CheckListBox2, ".tmp"), Qt::Checked);
}

TEST_F(ExtensionLists, OnlyTickedEntriesReachTheirUsers) {
  AddExcluded("tmp");
  AddExcluded("bak");
  TForm1& form = Form();
  EXPECT_TRUE(form.TickedExcluded().empty());
  form.CheckListBox2->findItems(".tmp", Qt::MatchExactly).first()->setCheckState(Qt::Checked);
  EXPECT_EQ(form.TickedExcluded(), std::vector<std::string>{".tmp"});
}

TEST_F(ExtensionLists, ARunUsesTheListsAndTicksAsTheyStand) {
  for (const char* file : {"src/One/a.tmp", "src/One/b.txt", "src/Two/c.tmp", "src/Two/d.txt"}) {
    MakeFolder(QFileInfo(file).path());
    QFile out(Path(file));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write("x");
  }
  MakeFolder("dst");
  Show();
  AddExcluded("tmp");  // added unticked: no effect yet
  AddSet("One", Path("src/One"), Path("dst"));
  Form().Button9Click();
  EXPECT_TRUE(QFile::exists(Path("dst/One/a.tmp")));
  EXPECT_TRUE(QFile::exists(Path("dst/One/b.txt")));

  Form().CheckListBox2->item(0)->setCheckState(Qt::Checked);
  AddSet("Two", Path("src/Two"), Path("dst"));
  Form().Button9Click();  // One is skipped (just backed up), Two runs
  EXPECT_FALSE(QFile::exists(Path("dst/Two/c.tmp")));
  EXPECT_TRUE(QFile::exists(Path("dst/Two/d.txt")));
}

}  // namespace
