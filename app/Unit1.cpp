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
#include "app/MainSettings.h"
#include "app/RunNotice.h"
#include "engine/DateTime.h"
#include "engine/IniFile.h"
#include "ui/DesktopNotices.h"
#include "ui/Messages.h"
#include "ui/QtUserDialogs.h"
#include "ui/WindowFont.h"

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

void TForm1::SwitchOn(QTimer* timer) {
  if (!timer->isActive()) timer->start();
}

// ---- Life cycle ----

namespace {

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

// Every item in displayed order, ticked or not.
std::vector<std::string> AllEntries(const QListWidget* list) {
  std::vector<std::string> entries;
  for (int i = 0; i < list->count(); ++i) entries.push_back(ItemText(list->item(i)));
  return entries;
}

// Fills `list` with `entries`, all ticked, in the list's sorted order.
void FillExtensionList(QListWidget* list, const std::vector<std::string>& entries) {
  const bool sorting = list->isSortingEnabled();
  list->setSortingEnabled(false);  // sort once at the end, not per item
  for (const std::string& entry : entries) {
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
  StatusLineView(QStatusBar* statusBar, std::function<void()> startTimer2, int (*pendingEnd)())
      : statusBar_(statusBar), startTimer2_(std::move(startTimer2)), pendingEnd_(pendingEnd) {}
  void SetStatus(const std::string& text) override {
    statusBar_->showMessage(QString::fromStdString(text));
    statusBar_->repaint();
  }
  void StartTimer2() override { startTimer2_(); }
  bool StopRequested() override { return pendingEnd_ != nullptr && pendingEnd_() != 0; }

 private:
  QStatusBar* statusBar_;
  std::function<void()> startTimer2_;
  int (*pendingEnd_)();
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

bool TForm1::NobodyAnswers() const {
  return Unattended() || ending_;
}

UserDialogs& TForm1::Dialogs() {
  if (NobodyAnswers()) {
    if (!unattendedDialogs_) unattendedDialogs_ = std::make_unique<StderrDialogs>();
    return *unattendedDialogs_;
  }
  return *services_.dialogs;
}

void TForm1::ReportSettingsError(const quillfen::Status& status) {
  exitStatus_ = 2;
  const std::string message = quillfen_ui::CannotWriteMessage(SettingsPath());
  settingsErrorText_ = message;
  if (NobodyAnswers()) {
    WriteErrorLine(status.detail().empty() ? message : message + " (" + status.detail() + ")");
  } else {
    Dialogs().ShowError(QString::fromStdString(message));
  }
}

void TForm1::FormCreate() {
  startDir_ = CurrentDirectory();
  const std::vector<quillfen::BackupSet> sets =
      quillfen::ReadSets(quillfen::IniFile(SettingsPath()));
  ListBox1->clear();
  ListBox2->clear();
  ListBox3->clear();
  for (const quillfen::BackupSet& set : sets) ListBox1->addItem(QString::fromStdString(set.name));
  Edit3->setText(QStringLiteral("新規") + QString::number(sets.size() + 1));
  Label1->setText(QStringLiteral("Original保存"));
  Label1->adjustSize();
  Label2->setText(QStringLiteral("Backup対象外"));
  Label2->adjustSize();
  for (const quillfen::BackupSet& set : sets) {
    ListBox2->addItem(QString::fromStdString(set.source));
    ListBox3->addItem(QString::fromStdString(set.destination));
  }
}

void TForm1::FormShow() {
  for (const QString& argument : services_.arguments) {
    if (quillfen::IsUnattendedSwitch(argument.toStdString())) {
      SwitchOn(Timer1);
      startedUnattended_ = true;
    }
  }
}

void TForm1::FormActivate() {
  if (activated_) return;  // once per program start, whatever windows come and go
  activated_ = true;
  const quillfen::IniFile ini(SettingsPath());
  using quillfen::ExtensionList;
  FillExtensionList(CheckListBox1, ReadExtensionList(ini, ExtensionList::kKeepOriginal));
  FillExtensionList(CheckListBox2, ReadExtensionList(ini, ExtensionList::kExcluded));
}

bool TForm1::FormClose() {
  // The lists are written back below; they must have been loaded first, or a
  // close before the first activation would empty them in the file.
  FormActivate();
  quillfen::IniFile ini(SettingsPath());
  const quillfen::Status status =
      quillfen::WriteSettings(ini, SetTable(), AllEntries(CheckListBox1), AllEntries(CheckListBox2),
                              services_.clock->Now());
  if (status.ok()) return true;

  ReportSettingsError(status);
  // Unattended or ending from outside, nobody can answer: the reason is on
  // standard error and the program ends with status 2. Otherwise the user
  // chooses.
  if (NobodyAnswers()) return true;
  return Dialogs().AskYesNo(QStringLiteral("設定を保存せずに終了しますか？"));
}

void TForm1::EndOnRequest(int signalNumber) {
  if (ending_) return;
  ending_ = true;
  // Before the timer's run has ended (it closes the window itself), an
  // unattended program has not done its backup.
  if (Unattended() && signalNumber > 0) exitStatus_ = std::max(exitStatus_, 128 + signalNumber);
  if (saveOnClose_) FormClose();
  saveOnClose_ = false;
  Timer1->stop();
  close();
  // Also leaves any modal window's loop (the comparison window, a question).
  QCoreApplication::exit(0);
}

void TForm1::Timer2Timer() {
  StatusBar1->clearMessage();
  Timer2->stop();
}

void TForm1::Button9Click() {
  FormActivate();  // the extension lists take part in the run
  const std::vector<quillfen::BackupSet> sets = SetTable();
  quillfen::BackupRunResult result;
  {
    const WaitCursor waitCursor;
    quillfen::IniFile ini(SettingsPath());
    StatusLineView view(
        StatusBar1, [this] { SwitchOn(Timer2); }, services_.pendingEnd);
    result = quillfen::RunBackup(sets, TickedKeepOriginal(), TickedExcluded(), *services_.clock,
                                 ini, view);
  }
  for (const std::string& failure : result.failures) WriteErrorLine(failure);
  if (!result.failures.empty()) exitStatus_ = std::max(exitStatus_, 1);
  failureCount_ += result.failures.size();
  failedSets_.insert(failedSets_.end(), result.failedSets.begin(), result.failedSets.end());
  if (result.stopped && services_.pendingEnd != nullptr) {
    exitStatus_ = std::max(exitStatus_, 128 + services_.pendingEnd());
  }

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
    if (startedUnattended_) NoticeUnattendedEnd();
  } else {
    event->ignore();
  }
}

void TForm1::NoticeUnattendedEnd() {
  if (noticeGiven_ || services_.notices == nullptr) return;
  noticeGiven_ = true;
  if (const std::optional<quillfen::RunNotice> notice =
          quillfen::UnattendedRunNotice(failedSets_, failureCount_, settingsErrorText_)) {
    services_.notices->Notify(notice->summary, notice->body);
  }
}

std::vector<quillfen::BackupSet> TForm1::SetTable() const {
  std::vector<quillfen::BackupSet> sets;
  const int rows = std::min({ListBox1->count(), ListBox2->count(), ListBox3->count()});
  sets.reserve(rows);
  for (int i = 0; i < rows; ++i) {
    sets.push_back({RowText(ListBox1, i), RowText(ListBox2, i), RowText(ListBox3, i)});
  }
  return sets;
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
