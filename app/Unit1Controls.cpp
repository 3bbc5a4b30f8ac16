// The controls of TForm1 as designed: names, captions, places, fonts, the
// menus, the timers, the names screen readers announce, the tab order.
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include "app/Unit1.h"
#include "ui/WindowFont.h"

namespace {

// Client area of the designed window; the status bar takes its bottom 19 pixels.
constexpr int kClientWidth = 466;
constexpr int kClientHeight = 268;
constexpr int kStatusHeight = 19;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->move(left, top);
  label->adjustSize();
  return label;
}

template <typename W>
W* Place(W* widget, const char* name, int left, int top, int width, int height) {
  widget->setObjectName(name);
  widget->setGeometry(left, top, width, height);
  return widget;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, int left,
                        int top, int width, int height) {
  return Place(new QPushButton(caption, parent), name, left, top, width, height);
}

QAction* MakeAction(QMenu* menu, const char* name, const QString& caption) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(name);
  return action;
}

QTimer* MakeTimer(QObject* parent, const char* name, int interval) {
  auto* timer = new QTimer(parent);
  timer->setObjectName(name);
  timer->setInterval(interval);
  // Precise: a coarse timer may end its count up to 5 % early, and the
  // unattended run must not start before its 5 seconds.
  timer->setTimerType(Qt::PreciseTimer);
  return timer;
}

}  // namespace

void TForm1::CreateControls() {
  CreateWindowFrame();
  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  setCentralWidget(client);
  CreateSetTable(client);
  CreateEditingArea(client);
  CreateExtensionLists(client);
  CreateStatusLineAndMenus();
  Timer1 = MakeTimer(this, "Timer1", 5000);
  Timer2 = MakeTimer(this, "Timer2", 7000);
  NameControlsForScreenReaders();
  SetTabOrderSizeAndPlace();
}

void TForm1::CreateWindowFrame() {
  setObjectName("Form1");
  setWindowTitle("Quillfen");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFont(quillfen_ui::WindowFont(12));
}

void TForm1::CreateSetTable(QWidget* client) {
  Label8 = MakeLabel(client, "Label8", "バックアップセット名", 0, 0);
  Label9 = MakeLabel(client, "Label9", "バックアップ元", 160, 0);
  Label10 = MakeLabel(client, "Label10", "バックアップ先", 296, 0);
  ListBox1 = Place(new QListWidget(client), "ListBox1", 0, 16, 161, 105);
  ListBox2 = Place(new QListWidget(client), "ListBox2", 160, 16, 137, 105);
  ListBox3 = Place(new QListWidget(client), "ListBox3", 296, 16, 137, 105);
  for (QListWidget* list : {ListBox1, ListBox2, ListBox3}) {
    list->setSelectionMode(QAbstractItemView::SingleSelection);
  }
  Button7 = MakeButton(client, "Button7", "∧", 440, 16, 25, 49);
  Button8 = MakeButton(client, "Button8", "∨", 440, 72, 25, 49);
}

void TForm1::CreateEditingArea(QWidget* client) {
  Label3 = MakeLabel(client, "Label3", "バックアップセット名", 0, 128);
  Edit3 = Place(new QLineEdit(client), "Edit3", 0, 144, 177, 21);
  Button3 = MakeButton(client, "Button3", "新規", 208, 128, 81, 25);
  Button4 = MakeButton(client, "Button4", "更新", 296, 128, 81, 25);
  Button5 = MakeButton(client, "Button5", "削除", 384, 128, 81, 25);
  Label4 = MakeLabel(client, "Label4", "バックアップ対象フォルダ", 0, 168);
  Edit1 = Place(new QLineEdit(client), "Edit1", 0, 184, 177, 21);
  Button1 = MakeButton(client, "Button1", "選択...", 184, 184, 33, 25);
  Label5 = MakeLabel(client, "Label5", "バックアップ先フォルダ", 0, 208);
  Edit2 = Place(new QLineEdit(client), "Edit2", 0, 224, 177, 21);
  Button2 = MakeButton(client, "Button2", "選択...", 184, 224, 33, 25);
  const QFont editFont = quillfen_ui::WindowFont(13);
  for (QLineEdit* edit : {Edit1, Edit2, Edit3}) edit->setFont(editFont);
  for (QLineEdit* edit : {Edit1, Edit2}) {
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
  }
  Button6 = MakeButton(client, "Button6", "Fileチェック", 224, 176, 65, 33);
  Button9 = MakeButton(client, "Button9", "Backup", 224, 216, 65, 33);
}

void TForm1::CreateExtensionLists(QWidget* client) {
  Label1 = MakeLabel(client, "Label1", "Label1", 296, 160);
  Label2 = MakeLabel(client, "Label2", "Label2", 384, 160);
  CheckListBox1 = Place(new QListWidget(client), "CheckListBox1", 296, 176, 81, 73);
  CheckListBox2 = Place(new QListWidget(client), "CheckListBox2", 384, 176, 81, 73);
  for (QListWidget* list : {CheckListBox1, CheckListBox2}) {
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSortingEnabled(true);
    list->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
    list->setContextMenuPolicy(Qt::CustomContextMenu);
  }
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  N1 = MakeAction(PopupMenu1, "N1", "拡張子追加");
  N2 = MakeAction(PopupMenu1, "N2", "拡張子削除");
  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName("PopupMenu2");
  MenuItem1 = MakeAction(PopupMenu2, "MenuItem1", "拡張子追加");
  MenuItem2 = MakeAction(PopupMenu2, "MenuItem2", "拡張子削除");
}

void TForm1::CreateStatusLineAndMenus() {
  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setSizeGripEnabled(false);
  StatusBar1->setFixedHeight(kStatusHeight);
  setStatusBar(StatusBar1);
  menuBar()->setObjectName("MainMenu1");
  HELP1 = menuBar()->addMenu("Help");
  HELP1->setObjectName("HELP1");
  About1 = MakeAction(HELP1, "About1", "バージョン情報");
  Help2 = MakeAction(HELP1, "Help2", "Help");
}

void TForm1::NameControlsForScreenReaders() {
  // Buttons and labels are announced by their captions; the lists and edits
  // are named after the headings above them, the rest after their roles. The
  // status line reads out its text as its description.
  const std::pair<QWidget*, const char*> names[] = {
      {ListBox1, "バックアップセット名"},
      {ListBox2, "バックアップ元"},
      {ListBox3, "バックアップ先"},
      {Edit3, "バックアップセット名"},
      {Edit1, "バックアップ対象フォルダ"},
      {Edit2, "バックアップ先フォルダ"},
      {CheckListBox1, "Original保存"},
      {CheckListBox2, "Backup対象外"},
      {PopupMenu1, "Original保存"},
      {PopupMenu2, "Backup対象外"},
      {HELP1, "Help"},
      {menuBar(), "メニューバー"},
      {StatusBar1, "ステータスバー"},
  };
  for (const auto& [control, name] : names) control->setAccessibleName(name);
  // Captions that do not say what the button acts on.
  Button1->setAccessibleDescription("バックアップ対象フォルダを選択");
  Button2->setAccessibleDescription("バックアップ先フォルダを選択");
  Button7->setAccessibleDescription("選択したセットを上へ移動");
  Button8->setAccessibleDescription("選択したセットを下へ移動");
  connect(StatusBar1, &QStatusBar::messageChanged, StatusBar1, &QWidget::setAccessibleDescription);
}

void TForm1::SetTabOrderSizeAndPlace() {
  QWidget* order[] = {ListBox1, ListBox2, ListBox3, Button7, Button8, Edit3,  Button1,
                      Button2,  Button3,  Button4,  Button5, Button6, Button9};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  const int menuHeight = menuBar()->sizeHint().height();
  setFixedSize(kClientWidth, menuHeight + kClientHeight);
  move(156, 376);
  Edit3->setFocus();
}
