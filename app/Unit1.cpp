#include "app/Unit1.h"

#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include "app/WindowFont.h"

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

}  // namespace

TForm1::TForm1(const MainWindowServices& services, QWidget* parent)
    : QMainWindow(parent), services_(services) {
  CreateControls();
  ConnectSetEditing();
  ConnectExtensionLists();
  FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::SetModalWindows(QDialog* form2, QDialog* form3) {
  form2_ = form2;
  form3_ = form3;
}

void TForm1::CreateControls() {
  setObjectName("Form1");
  setWindowTitle("Quillfen");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFont(quillfen_ui::WindowFont(12));

  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  setCentralWidget(client);

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

  const QFont editFont = quillfen_ui::WindowFont(13);
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
  for (QLineEdit* edit : {Edit1, Edit2, Edit3}) edit->setFont(editFont);
  for (QLineEdit* edit : {Edit1, Edit2}) {
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
  }
  Button6 = MakeButton(client, "Button6", "Fileチェック", 224, 176, 65, 33);
  Button9 = MakeButton(client, "Button9", "Backup", 224, 216, 65, 33);

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

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setSizeGripEnabled(false);
  StatusBar1->setFixedHeight(kStatusHeight);
  setStatusBar(StatusBar1);

  HELP1 = menuBar()->addMenu("Help");
  HELP1->setObjectName("HELP1");
  About1 = HELP1->addAction("バージョン情報");
  About1->setObjectName("About1");
  Help2 = HELP1->addAction("Help");
  Help2->setObjectName("Help2");

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  N1 = PopupMenu1->addAction("拡張子追加");
  N1->setObjectName("N1");
  N2 = PopupMenu1->addAction("拡張子削除");
  N2->setObjectName("N2");
  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName("PopupMenu2");
  MenuItem1 = PopupMenu2->addAction("拡張子追加");
  MenuItem1->setObjectName("MenuItem1");
  MenuItem2 = PopupMenu2->addAction("拡張子削除");
  MenuItem2->setObjectName("MenuItem2");

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(5000);
  Timer2 = new QTimer(this);
  Timer2->setObjectName("Timer2");
  Timer2->setInterval(7000);

  QWidget* order[] = {ListBox1, ListBox2, ListBox3, Button7, Button8, Edit3, Button1,
                      Button2,  Button3,  Button4,  Button5, Button6, Button9};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  const int menuHeight = menuBar()->sizeHint().height();
  setFixedSize(kClientWidth, menuHeight + kClientHeight);
  move(156, 376);
  Edit3->setFocus();
}

void TForm1::SwitchOn(QTimer* timer) {
  if (!timer->isActive()) timer->start();
}

// ---- Life cycle (skeleton until the main-window work lands) ----

void TForm1::FormCreate() {}
void TForm1::showEvent(QShowEvent* event) { QMainWindow::showEvent(event); }
bool TForm1::event(QEvent* event) { return QMainWindow::event(event); }
void TForm1::closeEvent(QCloseEvent* event) { QMainWindow::closeEvent(event); }
std::string TForm1::SelectedSetName() const { return {}; }
std::string TForm1::SelectedSourceFolder() const { return {}; }
std::string TForm1::SelectedDestinationFolder() const { return {}; }
std::vector<std::string> TForm1::TickedKeepOriginal() const { return {}; }
std::vector<std::string> TForm1::TickedExcluded() const { return {}; }
std::string TForm1::SettingsPath() const { return startDir_ + "/Quillfen.ini"; }
