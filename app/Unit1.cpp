#include "app/Unit1.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>

#include <QAction>
#include <QApplication>
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

#include "about/HelpPage.h"
#include "app/BackupRun.h"
#include "app/CommandLine.h"
#include "engine/CommaText.h"
#include "engine/DateTime.h"
#include "engine/IniFile.h"
#include "ui/Messages.h"
#include "ui/QtUserDialogs.h"
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

}  // namespace

TForm1::TForm1(const MainWindowServices& services, QWidget* parent)
    : QMainWindow(parent), services_(services) {
  CreateControls();
  connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Button9Click);
  connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
  connect(About1, &QAction::triggered, this, &TForm1::About1Click);
  connect(Help2, &QAction::triggered, this, &TForm1::Help2Click);
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

  // Precise: a coarse timer may end its count up to 5 % early, and the
  // unattended run must not start before its 5 seconds.
  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(5000);
  Timer1->setTimerType(Qt::PreciseTimer);
  Timer2 = new QTimer(this);
  Timer2->setObjectName("Timer2");
  Timer2->setInterval(7000);
  Timer2->setTimerType(Qt::PreciseTimer);

  // Screen readers announce buttons and labels by their captions; the lists
  // and edits are named after the headings above them, the rest after their
  // roles. The status line keeps its name and reads out its text as its
  // description.
  const std::pair<QWidget*, const char*> accessibleNames[] = {
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
  for (const auto& [control, name] : accessibleNames) control->setAccessibleName(name);
  menuBar()->setObjectName("MainMenu1");
  // Captions that do not say what the button acts on.
  Button1->setAccessibleDescription("バックアップ対象フォルダを選択");
  Button2->setAccessibleDescription("バックアップ先フォルダを選択");
  Button7->setAccessibleDescription("選択したセットを上へ移動");
  Button8->setAccessibleDescription("選択したセットを下へ移動");
  connect(StatusBar1, &QStatusBar::messageChanged, StatusBar1, &QWidget::setAccessibleDescription);

  QWidget* order[] = {ListBox1, ListBox2, ListBox3, Button7, Button8, Edit3,  Button1,
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

// ---- Life cycle ----

namespace {

const char kMainSection[] = "Main";
const char kSourceKey[] = "コピー元";
const char kDestinationKey[] = "コピー先";
const char kKeepOriginalKey[] = "オリジナル保存拡張子";
const char kExcludedKey[] = "保存対象外拡張子";
const char kProgramEndKey[] = "ソフト終了時刻";

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return ".";  // the folder is gone; writes will fail and say so
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::string ItemText(const QListWidgetItem* item) {
  return item->text().toStdString();
}

std::string RowText(const QListWidget* list, int row) {
  const QListWidgetItem* item = list->item(row);
  return item ? ItemText(item) : std::string();
}

std::string SelectedText(const QListWidget* list) {
  const QListWidgetItem* item = list->currentItem();
  if (item == nullptr || !item->isSelected()) return {};
  return ItemText(item);
}

std::vector<std::string> TickedEntries(const QListWidget* list) {
  std::vector<std::string> entries;
  for (int i = 0; i < list->count(); ++i) {
    const QListWidgetItem* item = list->item(i);
    if (item->checkState() == Qt::Checked) entries.push_back(ItemText(item));
  }
  return entries;
}

// Every item in displayed order, each followed by ",", ticked or not.
std::string ListValue(const QListWidget* list) {
  std::string value;
  for (int i = 0; i < list->count(); ++i) value += ItemText(list->item(i)) + ",";
  return value;
}

// Fills `list` with the non-empty items of the stored value, all ticked.
void LoadExtensionList(const quillfen::IniFile& ini, const char* key, QListWidget* list) {
  const bool sorting = list->isSortingEnabled();
  list->setSortingEnabled(false);  // sort once at the end, not per item
  for (const std::string& entry : quillfen::SplitCommaText(ini.ReadString(kMainSection, key, ""))) {
    if (entry.empty()) continue;
    auto* item = new QListWidgetItem(QString::fromStdString(entry));
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Checked);
    list->addItem(item);
  }
  for (int i = 0; i < list->count(); ++i) list->item(i)->setCheckState(Qt::Checked);
  list->setSortingEnabled(sorting);
  if (sorting) list->sortItems(Qt::AscendingOrder);
}

// An override cursor that is restored on every way out of a scope.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// The run's view of the main window: the status line, repainted at once
// without handling events, and Timer2.
class StatusLineView : public quillfen::BackupRunView {
 public:
  StatusLineView(QStatusBar* statusBar, std::function<void()> startTimer2)
      : statusBar_(statusBar), startTimer2_(std::move(startTimer2)) {}
  void SetStatus(const std::string& text) override {
    statusBar_->showMessage(QString::fromStdString(text));
    statusBar_->repaint();
  }
  void StartTimer2() override { startTimer2_(); }

 private:
  QStatusBar* statusBar_;
  std::function<void()> startTimer2_;
};

// Writes one line to standard error. Control characters (a file name may hold
// a line break) are written as \xNN so that each report stays one line.
void WriteErrorLine(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 1);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool TForm1::Unattended() const {
  return Timer1->isActive();
}

UserDialogs& TForm1::Dialogs() {
  if (Unattended()) {
    if (!unattendedDialogs_) unattendedDialogs_ = std::make_unique<StderrDialogs>();
    return *unattendedDialogs_;
  }
  return *services_.dialogs;
}

void TForm1::ReportSettingsError(const quillfen::Status& status) {
  exitStatus_ = 2;
  const std::string message = quillfen_ui::CannotWriteMessage(SettingsPath());
  if (Unattended()) {
    WriteErrorLine(status.detail().empty() ? message : message + " (" + status.detail() + ")");
  } else {
    Dialogs().ShowError(QString::fromStdString(message));
  }
}

void TForm1::FormCreate() {
  startDir_ = CurrentDirectory();
  const quillfen::IniFile ini(SettingsPath());
  std::vector<std::string> names = ini.Sections();
  // Only the exact name "Main" is the shared section; Main2 or main are sets.
  std::erase(names, std::string(kMainSection));

  ListBox1->clear();
  ListBox2->clear();
  ListBox3->clear();
  for (const std::string& name : names) ListBox1->addItem(QString::fromStdString(name));
  Edit3->setText(QStringLiteral("新規") + QString::number(names.size() + 1));
  Label1->setText(QStringLiteral("Original保存"));
  Label1->adjustSize();
  Label2->setText(QStringLiteral("Backup対象外"));
  Label2->adjustSize();
  for (const std::string& name : names) {
    ListBox2->addItem(QString::fromStdString(ini.ReadString(name, kSourceKey, "")));
    ListBox3->addItem(QString::fromStdString(ini.ReadString(name, kDestinationKey, "")));
  }
}

void TForm1::FormShow() {
  for (const QString& argument : services_.arguments) {
    if (quillfen::IsUnattendedSwitch(argument.toStdString())) SwitchOn(Timer1);
  }
}

void TForm1::FormActivate() {
  if (activated_) return;  // once per program start, whatever windows come and go
  activated_ = true;
  const quillfen::IniFile ini(SettingsPath());
  LoadExtensionList(ini, kKeepOriginalKey, CheckListBox1);
  LoadExtensionList(ini, kExcludedKey, CheckListBox2);
}

bool TForm1::FormClose() {
  // The lists are written back below; they must have been loaded first, or a
  // close before the first activation would empty them in the file.
  FormActivate();
  quillfen::IniFile ini(SettingsPath());
  ini.BeginUpdate();
  quillfen::Status status = quillfen::Status::Ok();
  auto write = [&](const std::string& section, const char* key, const std::string& value) {
    if (status.ok()) status = ini.WriteString(section, key, value);
  };
  const int rows = std::min({ListBox1->count(), ListBox2->count(), ListBox3->count()});
  for (int i = 0; i < rows; ++i) {
    const std::string name = RowText(ListBox1, i);
    write(name, kSourceKey, RowText(ListBox2, i));
    write(name, kDestinationKey, RowText(ListBox3, i));
  }
  write(kMainSection, kKeepOriginalKey, ListValue(CheckListBox1));
  write(kMainSection, kExcludedKey, ListValue(CheckListBox2));
  if (status.ok()) {
    status = ini.WriteDateTime(kMainSection, kProgramEndKey, services_.clock->Now());
  }
  const quillfen::Status flushed = ini.EndUpdate();
  if (status.ok()) status = flushed;
  if (status.ok()) return true;

  ReportSettingsError(status);
  // Unattended, nobody can answer: the reason is on standard error and the
  // program ends with status 2. Otherwise the user chooses.
  if (Unattended()) return true;
  return Dialogs().AskYesNo(QStringLiteral("設定を保存せずに終了しますか？"));
}

void TForm1::Timer2Timer() {
  StatusBar1->clearMessage();
  Timer2->stop();
}

void TForm1::Button9Click() {
  FormActivate();  // the extension lists take part in the run
  std::vector<quillfen::BackupSet> sets;
  const int rows = std::min({ListBox1->count(), ListBox2->count(), ListBox3->count()});
  sets.reserve(rows);
  for (int i = 0; i < rows; ++i) {
    sets.push_back({RowText(ListBox1, i), RowText(ListBox2, i), RowText(ListBox3, i)});
  }
  quillfen::BackupRunResult result;
  {
    const WaitCursor waitCursor;
    quillfen::IniFile ini(SettingsPath());
    StatusLineView view(StatusBar1, [this] { SwitchOn(Timer2); });
    result = quillfen::RunBackup(sets, TickedKeepOriginal(), TickedExcluded(), *services_.clock,
                                 ini, view);
  }
  for (const std::string& failure : result.failures) WriteErrorLine(failure);
  if (!result.failures.empty()) exitStatus_ = std::max(exitStatus_, 1);

  if (!result.settingsError.ok()) {
    const bool unattended = Unattended();
    ReportSettingsError(result.settingsError);
    if (unattended) {
      // No retry 5 s later in a loop: the unattended program ends here,
      // without another attempt to write the settings.
      saveOnClose_ = false;
      close();
    }
    return;
  }
  if (Timer1->isActive()) close();
}

void TForm1::About1Click() {
  if (form3_ != nullptr) form3_->exec();
}

void TForm1::Help2Click() {
  if (services_.documents != nullptr) {
    services_.documents->Open(HelpPageRequest(startDir_, services_.executablePath));
  }
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  FormShow();
  // Some platforms never activate the window (offscreen, some window
  // managers): load the lists shortly after the first show all the same.
  QTimer::singleShot(0, this, &TForm1::FormActivate);
}

bool TForm1::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) FormActivate();
  // Menu items (and any control with a status tip) report their tips to the
  // window, which would show them in the status line and wipe a notice or a
  // failure count. The status line is written by the handlers alone.
  if (event->type() == QEvent::StatusTip) return true;
  return QMainWindow::event(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!saveOnClose_ || FormClose()) {
    event->accept();
  } else {
    event->ignore();
  }
}

std::string TForm1::SelectedSetName() const {
  return SelectedText(ListBox1);
}
std::string TForm1::SelectedSourceFolder() const {
  return SelectedText(ListBox2);
}
std::string TForm1::SelectedDestinationFolder() const {
  return SelectedText(ListBox3);
}
std::vector<std::string> TForm1::TickedKeepOriginal() const {
  return TickedEntries(CheckListBox1);
}
std::vector<std::string> TForm1::TickedExcluded() const {
  return TickedEntries(CheckListBox2);
}
std::string TForm1::SettingsPath() const {
  return startDir_ + "/Quillfen.ini";
}
