// Backup set editing handlers of TForm1: choosing the two folders, adding,
// updating, deleting and reordering sets, the list clicks that fill the
// editing area, and the check before the comparison window opens.
#include <functional>

#include <QDialog>
#include <QEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>

#include "app/SetEditing.h"
#include "app/Unit1.h"
#include "engine/IniFile.h"
#include "ui/FlagGuard.h"
#include "ui/Messages.h"
#include "ui/UserDialogs.h"

using quillfen_ui::FlagGuard;
using quillfen_ui::FolderReady;

namespace {

const QString kChooseSource = QStringLiteral("【保存元】フォルダを選択してください。");
const QString kChooseDestination = QStringLiteral("【保存先】フォルダを選択してください。");
const QString kNotADrive = QStringLiteral("ドライブではなく、フォルダを選択してください。");
const QString kSourceFirst = QStringLiteral("保存元フォルダを先に選択してください！");
const QString kFieldMissing = QStringLiteral("入力されていない項目があります。");
const QString kDuplicateName =
    QStringLiteral("保存セット名が重複しています。\n\r名前を変更してください。");
const QString kUnstorableName = QStringLiteral(
    "保存セット名に使えない文字が含まれています。\n"
    "改行などの制御文字と「]」は使えません。また、「[」で始まる名前も使えません。");
const QString kSelectSet = QStringLiteral("チェック対象を選択してください！");
const QString kSourceMissing = QStringLiteral("保存対象フォルダは存在しません！");

// Runs an action on a left double-click on the watched widget. An edit field
// does not see the event (it would select a word first); a list view still
// does, after the action, so that it ends its click tracking and reports no
// further click for the double-click's second release.
class DoubleClickAction : public QObject {
 public:
  DoubleClickAction(QWidget* watched, bool passOn, std::function<void()> action)
      : QObject(watched), passOn_(passOn), action_(std::move(action)) {
    watched->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
      action_();
      return !passOn_;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool passOn_;
  std::function<void()> action_;
};

// Runs a set list's click handler once per user selection: when the user
// changes the selection (a mouse press or a key), and when a click lands on
// the row already selected, which changes nothing but brings the row's texts
// back. The click that follows a press which changed the selection has been
// handled by then.
class ListClicks : public QObject {
 public:
  ListClicks(QListWidget* list, std::function<void()> handler)
      : QObject(list), handler_(std::move(handler)) {
    list->viewport()->installEventFilter(this);
    connect(list, &QListWidget::itemSelectionChanged, this, [this] {
      selectionChangedSincePress_ = true;
      handler_();
    });
    connect(list, &QListWidget::itemClicked, this, [this] {
      if (!selectionChangedSincePress_) handler_();
    });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress) selectionChangedSincePress_ = false;
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> handler_;
  bool selectionChangedSincePress_ = false;
};

// The row of the list's selected entry, or -1 when none is selected. The
// current row alone does not count: it can be set without a selection.
int SelectedRow(const QListWidget* list) {
  const QList<QListWidgetItem*> selected = list->selectedItems();
  return selected.isEmpty() ? -1 : list->row(selected.first());
}

QString RowText(const QListWidget* list, int row) {
  const QListWidgetItem* item = list->item(row);
  return item ? item->text() : QString();
}

QStringList RowTexts(const QListWidget* list) {
  QStringList texts;
  texts.reserve(list->count());
  for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
  return texts;
}

}  // namespace

void TForm1::ConnectSetEditing() {
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
  connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
  connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);

  // A list's click handler runs once when the user changes its selection, by
  // mouse or keyboard, or clicks the row already selected. Changes made by the
  // handlers themselves are ignored.
  const std::pair<QListWidget*, void (TForm1::*)()> clicks[] = {
      {ListBox1, &TForm1::ListBox1Click},
      {ListBox2, &TForm1::ListBox2Click},
      {ListBox3, &TForm1::ListBox3Click},
  };
  for (const auto& [list, handler] : clicks) {
    new ListClicks(list, [this, handler = handler] {
      if (!changingSetRows_) (this->*handler)();
    });
  }

  // The selection of a double-click's row has already changed at its first
  // press, so the editing area shows the row before the chooser opens.
  new DoubleClickAction(Edit1, false, [this] { Button1Click(); });
  new DoubleClickAction(ListBox2->viewport(), true, [this] { Button1Click(); });
  new DoubleClickAction(Edit2, false, [this] { Button2Click(); });
  new DoubleClickAction(ListBox3->viewport(), true, [this] { Button2Click(); });
}

void TForm1::SelectSetRow(int row) {
  FlagGuard guard(changingSetRows_);
  for (QListWidget* list : {ListBox1, ListBox2, ListBox3}) {
    if (row >= 0 && row < list->count()) {
      list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    } else {
      list->clearSelection();
    }
  }
}

void TForm1::SetRowClicked(QListWidget* list, QWidget* focusTarget) {
  const int row = SelectedRow(list);
  if (row < 0) {
    // A click below the rows or a Ctrl+click took the selection from this
    // list alone; the table keeps one row selected in all three lists.
    for (QListWidget* other : {ListBox1, ListBox2, ListBox3}) {
      if (const int kept = SelectedRow(other); kept >= 0) {
        SelectSetRow(kept);
        break;
      }
    }
    return;
  }
  SelectSetRow(row);
  Edit3->setText(RowText(ListBox1, row));
  Edit2->setText(RowText(ListBox3, row));
  Edit1->setText(RowText(ListBox2, row));
  focusTarget->setFocus();
}

void TForm1::ListBox1Click() {
  SetRowClicked(ListBox1, Edit3);
}
void TForm1::ListBox2Click() {
  SetRowClicked(ListBox2, Button1);
}
void TForm1::ListBox3Click() {
  SetRowClicked(ListBox3, Button2);
}

void TForm1::Button1Click() {
  const QString before = Edit1->text();
  QString folder = quillfen_ui::WithoutTrailingSlashes(Dialogs().ChooseFolder(kChooseSource));
  if (quillfen_ui::IsFilesystemRoot(folder)) {
    Dialogs().ShowMessage(kNotADrive);
    folder.clear();
  }
  Edit1->setText(folder);
  // The destination is named after the source, so a new source needs a new one.
  if (Edit1->text() != before) Edit2->clear();
}

void TForm1::Button2Click() {
  if (Edit1->text().isEmpty()) {
    Dialogs().ShowMessage(kSourceFirst);
    return;
  }
  const QString parent = Dialogs().ChooseFolder(kChooseDestination);
  if (parent.isEmpty()) return;
  Edit2->setText(quillfen_ui::DestinationFolder(parent, Edit1->text()));
}

void TForm1::EnsureDestinationFolder() {
  switch (quillfen_ui::EnsureFolder(Edit2->text())) {
    case FolderReady::kExisted:
      break;
    case FolderReady::kCreated:
      Dialogs().ShowMessage(
          QString::fromStdString(quillfen_ui::FolderCreatedMessage(Edit2->text().toStdString())));
      break;
    case FolderReady::kFailed:
      Dialogs().ShowMessage(QString::fromUtf8(quillfen_ui::kFolderNotCreated));
      break;
  }
}

void TForm1::Button3Click() {
  if (running_) return;  // a run under way reads the sets and lists
  if (Edit1->text().isEmpty() || Edit2->text().isEmpty() || Edit3->text().isEmpty()) {
    Dialogs().ShowMessage(kFieldMissing);
    return;
  }
  const QString name = Edit3->text();
  if (quillfen_ui::NameIsTaken(RowTexts(ListBox1), name)) {
    Dialogs().ShowMessage(kDuplicateName);
    return;
  }
  if (!quillfen_ui::IsStorableSetName(name)) {
    Dialogs().ShowMessage(kUnstorableName);
    return;
  }
  {
    FlagGuard guard(changingSetRows_);
    ListBox1->addItem(name);
    ListBox2->addItem(Edit1->text());
    ListBox3->addItem(Edit2->text());
  }
  SelectSetRow(ListBox1->count() - 1);
  EnsureDestinationFolder();
}

void TForm1::Button4Click() {
  if (running_) return;  // a run under way reads the sets and lists
  const int row = SelectedRow(ListBox1);
  if (row < 0 || Edit1->text().isEmpty() || Edit2->text().isEmpty() || Edit3->text().isEmpty()) {
    return;
  }
  if (!quillfen_ui::IsStorableSetName(Edit3->text())) {
    Dialogs().ShowMessage(kUnstorableName);
    return;
  }
  // A new name moves the set: its section is renamed when the settings are
  // written, or the former one would come back as a set of its own.
  const std::string former = RowText(ListBox1, row).toStdString();
  const std::string name = Edit3->text().toStdString();
  if (former != name) renamed_.emplace_back(former, name);
  {
    FlagGuard guard(changingSetRows_);
    const std::pair<QListWidget*, QString> rows[] = {
        {ListBox1, Edit3->text()}, {ListBox2, Edit1->text()}, {ListBox3, Edit2->text()}};
    for (const auto& [list, text] : rows) {
      if (QListWidgetItem* item = list->item(row)) item->setText(text);
    }
  }
  SelectSetRow(row);
  EnsureDestinationFolder();
}

void TForm1::Button5Click() {
  if (running_) return;  // a run under way reads the sets and lists
  const int row = SelectedRow(ListBox1);
  if (row < 0) return;
  // The section goes first: if the file cannot be written the set stays.
  quillfen::IniFile settings(SettingsPath());
  const quillfen::Status erased = settings.EraseSection(RowText(ListBox1, row).toStdString());
  if (!erased.ok()) {
    Dialogs().ShowError(QString::fromStdString(quillfen_ui::CannotWriteMessage(SettingsPath())));
    return;
  }
  FlagGuard guard(changingSetRows_);
  for (QListWidget* list : {ListBox3, ListBox2, ListBox1}) delete list->takeItem(row);
  // No row is selected afterwards, in any of the three lists.
  SelectSetRow(-1);
}

void TForm1::MoveSelectedSet(int step) {
  if (running_) return;  // a run under way reads the sets and lists
  const int row = SelectedRow(ListBox1);
  const int target = quillfen_ui::MovedRow(row, ListBox1->count(), step);
  if (target < 0) return;
  {
    FlagGuard guard(changingSetRows_);
    for (QListWidget* list : {ListBox1, ListBox2, ListBox3}) {
      list->insertItem(target, list->takeItem(row));
    }
  }
  SelectSetRow(target);
}

void TForm1::Button7Click() {
  MoveSelectedSet(-1);
}

void TForm1::Button8Click() {
  MoveSelectedSet(+1);
}

void TForm1::Button6Click() {
  if (running_) return;  // a run under way reads the sets and lists
  if (SelectedRow(ListBox1) < 0 || SelectedRow(ListBox2) < 0 || SelectedRow(ListBox3) < 0) {
    Dialogs().ShowMessage(kSelectSet);
    return;
  }
  if (!quillfen_ui::IsExistingFolder(RowText(ListBox2, SelectedRow(ListBox2)))) {
    Dialogs().ShowMessage(kSourceMissing);
    return;
  }
  if (form2_) form2_->exec();
}
