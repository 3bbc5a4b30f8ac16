// Extension list handlers of TForm1: the two pop-up menus, adding an entry
// through the text input and deleting the highlighted entry.
#include <QAction>
#include <QEvent>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>

#include "app/ExtensionInput.h"
#include "app/Unit1.h"
#include "ui/UserDialogs.h"

namespace {

const QString kKeepOriginalCaption = QStringLiteral("Original保存拡張子の入力");
const QString kExcludedCaption = QStringLiteral("backup対象外拡張子の入力");
const QString kPrompt = QStringLiteral(".なしで拡張子を入力してください");
const QString kUnsuitable = QStringLiteral("拡張子が不適切です！");

// Keeps the secondary mouse button from changing the highlighted entry of a
// list: it only opens the pop-up menu (through the context-menu event, which
// the window system sends separately).
class RightButtonKeepsSelection : public QObject {
 public:
  explicit RightButtonKeepsSelection(QWidget* viewport) : QObject(viewport) {
    viewport->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) return true;
        break;
      default:
        break;
    }
    return QObject::eventFilter(watched, event);
  }
};

QStringList EntryTexts(const QListWidget* list) {
  QStringList texts;
  texts.reserve(list->count());
  for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
  return texts;
}

// Asks for an extension and adds it to `list`, unticked, at its sorted place
// (the list sorts itself), unless the rule of ExtensionCandidate refuses it.
void AddExtension(UserDialogs& dialogs, QListWidget* list, const QListWidget* other,
                  const QString& caption) {
  const std::optional<QString> typed = dialogs.InputText(caption, kPrompt);
  if (!typed) return;
  const std::optional<QString> entry = quillfen_ui::ExtensionCandidate(*typed, EntryTexts(other));
  if (!entry) {
    dialogs.ShowMessage(kUnsuitable);
    return;
  }
  auto* item = new QListWidgetItem(*entry);
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(Qt::Unchecked);
  list->addItem(item);
}

// Removes the highlighted entry, ticked or not; nothing when none is.
void DeleteHighlighted(QListWidget* list) {
  const QList<QListWidgetItem*> selected = list->selectedItems();
  if (selected.isEmpty()) return;
  delete list->takeItem(list->row(selected.first()));
}

}  // namespace

void TForm1::ConnectExtensionLists() {
  connect(N1, &QAction::triggered, this, &TForm1::N1Click);
  connect(N2, &QAction::triggered, this, &TForm1::N2Click);
  connect(MenuItem1, &QAction::triggered, this, &TForm1::N4Click);
  connect(MenuItem2, &QAction::triggered, this, &TForm1::Delete2Click);

  const std::pair<QListWidget*, QMenu*> menus[] = {{CheckListBox1, PopupMenu1},
                                                   {CheckListBox2, PopupMenu2}};
  for (const auto& [list, menu] : menus) {
    new RightButtonKeepsSelection(list->viewport());
    // The position comes in the coordinates of the list's viewport.
    connect(list, &QWidget::customContextMenuRequested, this,
            [this, list = list, menu = menu](const QPoint& pos) {
              PopupMenu1Popup();
              menu->popup(list->viewport()->mapToGlobal(pos));
            });
  }
}

void TForm1::PopupMenu1Popup() {
  // Both commands of both menus are always available.
}

void TForm1::N1Click() {
  if (running_) return;  // a run under way reads the sets and lists
  AddExtension(Dialogs(), CheckListBox1, CheckListBox2, kKeepOriginalCaption);
}

void TForm1::N4Click() {
  if (running_) return;  // a run under way reads the sets and lists
  AddExtension(Dialogs(), CheckListBox2, CheckListBox1, kExcludedCaption);
}

void TForm1::N2Click() {
  if (running_) return;  // a run under way reads the sets and lists
  DeleteHighlighted(CheckListBox1);
}

void TForm1::Delete2Click() {
  if (running_) return;  // a run under way reads the sets and lists
  DeleteHighlighted(CheckListBox2);
}
