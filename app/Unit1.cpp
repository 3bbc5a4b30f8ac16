#include "app/Unit1.h"

#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
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
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include "about/HelpPage.h"
#include "app/CommandLine.h"
#include "app/ExtensionFold.h"
#include "app/FailureWindow.h"
#include "app/MainSettings.h"
#include "app/RunNotice.h"
#include "engine/BackupRun.h"
#include "engine/DateTime.h"
#include "engine/IniFile.h"
#include "engine/RunLock.h"
#include "engine/RunLog.h"
#include "ui/DesktopNotices.h"
#include "ui/Messages.h"
#include "ui/ProgressText.h"
#include "ui/QtUserDialogs.h"
#include "ui/WindowFont.h"
#include "ui/WorkOffThread.h"

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
  CreateRunControls();
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

// An override cursor that is restored on every way out of a scope: busy, yet
// pointing, as the window still answers (the stop control, the menus).
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::BusyCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// Milliseconds of the monotonic clock.
int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The run's view of the main window, called on the run's thread: status
// texts and Timer2 go to the window's thread in order, failure lines to
// standard error and the log at once, and the report and progress are kept
// for the window to read.
class WindowRunView : public quillfen::BackupRunView {
 public:
  WindowRunView(std::function<void(const std::string&)> status, std::function<void()> startTimer2,
                std::function<bool()> stop, quillfen::RunLog& log,
                std::chrono::milliseconds patience, std::function<void(const std::string&)> hung)
      : status_(std::move(status)),
        startTimer2_(std::move(startTimer2)),
        stop_(std::move(stop)),
        log_(log),
        patience_(patience),
        hung_(std::move(hung)) {}
  void SetStatus(const std::string& text) override { status_(text); }
  void StartTimer2() override { startTimer2_(); }
  bool StopRequested() override { return stop_(); }
  bool StopWhileListing() override { return stop_(); }
  quillfen::TextFold CaseFold() override { return &quillfen::FoldUnicodeCase; }
  void Failed(const std::string& line) override;
  void SetDone(const std::string& line) override {
    log_.Append(line);
    report.SetDone(line);
  }
  quillfen::RunProgress* Progress() override { return &progress; }
  std::chrono::milliseconds DestinationPatience() override { return patience_; }
  void DestinationHung(const std::string& line) override {
    Failed(line);
    hung_(line);
  }

  quillfen::RunProgress progress;
  quillfen::RunReport report;

 private:
  std::function<void(const std::string&)> status_;
  std::function<void()> startTimer2_;
  std::function<bool()> stop_;
  quillfen::RunLog& log_;
  const std::chrono::milliseconds patience_;
  std::function<void(const std::string&)> hung_;
};

// Writes one line to standard error, each report kept on one line.
void WriteErrorLine(const std::string& text) {
  const std::string line = quillfen::OneLine(text) + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void WindowRunView::Failed(const std::string& line) {
  WriteErrorLine(line);
  log_.Append(line);
  report.Failed(line);
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
                              services_.clock->Now(), renamed_);
  if (status.ok()) {
    renamed_.clear();
    return true;
  }

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
  stopAsked_ = true;  // a copy of the comparison window stops too
  // Before the timer's run has ended (it closes the window itself), an
  // unattended program has not done its backup.
  if (Unattended() && signalNumber > 0) exitStatus_ = std::max(exitStatus_, 128 + signalNumber);
  if (WorkHeld()) {
    // A logout or shutdown does not wait for a destination that may never
    // answer again.
    EndWithoutWaiting();
    return;
  }
  if (running_) {
    // The run stops before its next file; the end follows once it has.
    endAfterRun_ = true;
    hide();
    return;
  }
  FinishEnding();
}

void TForm1::EndWithoutWaiting() {
  // The work did not finish: the status says so.
  const int status = std::max(exitStatus_, 1);
  quillfen::RunLog(quillfen::RunLog::PathBeside(SettingsPath()), *services_.clock)
      .Append(running_ && runHung_ ? "バックアップを中断しました（コピー先が応答しません）"
                                   : "コピーを中断しました（コピー先が応答しません）");
  if (saveOnClose_) static_cast<void>(FormClose());
  saveOnClose_ = false;
  if (services_.endAtOnce == nullptr) std::_Exit(status);
  services_.endAtOnce(status);
}

void TForm1::FinishEnding() {
  if (saveOnClose_) FormClose();
  saveOnClose_ = false;
  Timer1->stop();
  close();
  // Also leaves any modal window's loop (the comparison window, a question).
  QCoreApplication::exit(0);
}

void TForm1::Timer2Timer() {
  // During a run the line is emptied once the run is over, as the run's
  // texts are to be seen in their order.
  if (running_) {
    timer2Due_ = true;
    return;
  }
  StatusBar1->clearMessage();
  Timer2->stop();
}

void TForm1::Button9Click() {
  // One run at a time: a press or a tick of Timer1 during a run is dropped.
  if (running_) return;
  FormActivate();  // the extension lists take part in the run
  const std::vector<quillfen::BackupSet> sets = SetTable();
  const std::vector<std::string> keepOriginal = TickedKeepOriginal();
  const std::vector<std::string> excluded = TickedExcluded();
  const std::string settingsPath = SettingsPath();
  quillfen::RunLog log(quillfen::RunLog::PathBeside(settingsPath), *services_.clock);
  // One run at a time per settings file, also across processes: a run
  // started by cron while the last one still works does not start at all.
  const quillfen::RunLock lock(settingsPath);
  if (lock.busy()) {
    const std::string line = "another backup run is using " + settingsPath + " (" + lock.path() +
                             " is locked): this run does not start";
    log.Append(line);
    if (NobodyAnswers()) {
      WriteErrorLine(line);
      exitStatus_ = std::max(exitStatus_, kAnotherRunExitStatus);
      if (Timer1->isActive()) close();  // the unattended program ends, as after a run
    } else {
      Dialogs().ShowMessage(QStringLiteral("別のバックアップが実行中のため、開始しませんでした。"));
    }
    return;
  }
  log.Append("バックアップを開始します（" + std::to_string(sets.size()) + " セット）");
  WindowRunView view(
      [this](const std::string& text) {
        QMetaObject::invokeMethod(
            StatusBar1,
            [bar = StatusBar1, text = QString::fromStdString(text)] { bar->showMessage(text); },
            Qt::QueuedConnection);
      },
      [this] {
        QMetaObject::invokeMethod(
            this, [this] { SwitchOn(Timer2); }, Qt::QueuedConnection);
      },
      [this] { return StopRequested(); }, log,
      quillfen::ReadDestinationPatience(quillfen::IniFile(settingsPath)),
      [this, &log, unattended = NobodyAnswers()](const std::string& line) {
        // On the heartbeat's thread, while the run may be held in the
        // destination for as long as it hangs.
        if (unattended) {
          // Nobody waits at a window: the program ends now, in bounded time,
          // the set due (its end time is not written) and the lock let go.
          log.Append("バックアップを中断しました（コピー先が応答しません）");
          std::_Exit(1);
        }
        QMetaObject::invokeMethod(
            this,
            [this, text = QString::fromStdString(line)] {
              runHung_ = true;
              StatusBar1->showMessage(QStringLiteral("コピー先が応答しません: ") + text);
            },
            Qt::QueuedConnection);
      });
  quillfen::BackupRunResult result;
  {
    const WaitCursor waitCursor;
    stopAsked_ = ending_;
    progress_ = &view.progress;
    SetRunControls(true);
    const quillfen::Clock& clock = *services_.clock;
    WorkOffThread([&] {
      quillfen::IniFile ini(settingsPath);
      try {
        result = quillfen::RunBackup(sets, keepOriginal, excluded, clock, ini, view);
      } catch (const std::exception& error) {
        // Out of memory, most likely. The run ends there like a stopped one:
        // the set it was in has no new end time, and the failure is shown
        // and logged as any other, not lost with the program.
        const int row = view.progress.set.load(std::memory_order_relaxed);
        const std::string name =
            row >= 0 && row < static_cast<int>(sets.size()) ? sets[row].name : std::string("?");
        const std::string line = name + ": the backup run stopped: " + error.what();
        const std::string stopped = name + "のバックアップは途中で終了しました。";
        view.Failed(line);
        view.SetDone(stopped);
        result = quillfen::BackupRunResult();
        result.failures.push_back(line);
        result.failedSets.push_back(stopped);
        result.stopped = true;
      }
    });
    SetRunControls(false);
    runHung_ = false;
    progress_ = nullptr;
  }
  if (result.settingsError.ok()) {
    log.Append("バックアップを終了しました（" + std::to_string(result.filesCopied) +
               " 件コピー、失敗 " +
               std::to_string(result.failures.size() + result.failuresNotKept) + " 件）");
  } else {
    log.Append(result.settingsError.message());
  }
  if (!result.failures.empty()) exitStatus_ = std::max(exitStatus_, 1);
  failureCount_ += result.failures.size() + result.failuresNotKept;
  failedSets_.insert(failedSets_.end(), result.failedSets.begin(), result.failedSets.end());
  const int signalNumber = services_.pendingEnd != nullptr ? services_.pendingEnd() : 0;
  if (result.stopped && signalNumber != 0) {
    exitStatus_ = std::max(exitStatus_, 128 + signalNumber);
  }
  if (timer2Due_) {
    timer2Due_ = false;
    Timer2Timer();
  }
  if (endAfterRun_) {
    endAfterRun_ = false;
    FinishEnding();
    return;
  }
  // Someone at the window sees what failed, and where the log is.
  if (!NobodyAnswers() && !closeAfterRun_ && signalNumber == 0 && view.report.HasFailures()) {
    ShowFailures(view.report.sets());
  }

  if (!result.settingsError.ok()) {
    const bool unattended = Unattended();
    ReportSettingsError(result.settingsError);
    if (unattended) {
      // No retry 5 s later in a loop: the unattended program ends here,
      // without another attempt to write the settings.
      saveOnClose_ = false;
      close();
      return;
    }
    if (!closeAfterRun_) return;
  }
  if (closeAfterRun_) {
    // The close the user asked for during the run, now that it is over.
    closeAfterRun_ = false;
    if (close()) {
      QCoreApplication::exit(0);
    } else {
      show();  // the user chose to stay, the settings not written
    }
    return;
  }
  if (Timer1->isActive()) close();
}

void TForm1::StopRun() {
  if (running_) stopAsked_ = true;
}

bool TForm1::StopRequested() const {
  return stopAsked_ || (services_.pendingEnd != nullptr && services_.pendingEnd() != 0);
}

void TForm1::ShowFailures(const std::vector<quillfen::SetReport>& sets) {
  if (Failures == nullptr) Failures = new FailureWindow(services_.documents, this);
  Failures->ShowReport(sets, quillfen::RunLog::PathBeside(SettingsPath()));
}

void TForm1::CreateRunControls() {
  RunProgressText = new QLabel(StatusBar1);
  RunProgressText->setObjectName("RunProgressText");
  RunProgressText->setAccessibleName("進捗");
  RunProgressBar = new QProgressBar(StatusBar1);
  RunProgressBar->setObjectName("RunProgressBar");
  RunProgressBar->setAccessibleName("進捗");
  RunProgressBar->setRange(0, 1000);
  RunProgressBar->setTextVisible(false);
  RunProgressBar->setMaximumSize(80, 14);
  RunProgressBar->hide();
  StopButton = new QToolButton(StatusBar1);
  StopButton->setObjectName("StopButton");
  StopButton->setText("中止");
  StopButton->setToolTip("バックアップを中止します (Esc)");
  StopButton->setAccessibleName("中止");
  StopButton->setAutoRaise(true);
  StopButton->hide();
  StatusBar1->addPermanentWidget(RunProgressText);
  StatusBar1->addPermanentWidget(RunProgressBar);
  StatusBar1->addPermanentWidget(StopButton);
  connect(StopButton, &QToolButton::clicked, this, &TForm1::StopRun);
  stopShortcut_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  stopShortcut_->setEnabled(false);
  connect(stopShortcut_, &QShortcut::activated, this, &TForm1::StopRun);
  progressTimer_ = new QTimer(this);
  progressTimer_->setObjectName("ProgressTimer");
  progressTimer_->setInterval(250);
  connect(progressTimer_, &QTimer::timeout, this, &TForm1::ShowProgress);
}

void TForm1::SetRunControls(bool running) {
  running_ = running;
  for (QWidget* control : std::initializer_list<QWidget*>{
           Button1, Button2, Button3, Button4, Button5, Button6, Button7, Button8, Button9, Edit1,
           Edit2, Edit3, CheckListBox1, CheckListBox2}) {
    control->setEnabled(!running);
  }
  stopShortcut_->setEnabled(running);
  StopButton->setVisible(running);
  RunProgressBar->setVisible(running);
  if (running) {
    runStartMs_ = MonotonicMs();
    ShowProgress();
    progressTimer_->start();
  } else {
    ShowProgress();  // the last figures stay
    progressTimer_->stop();
  }
}

void TForm1::ShowProgress() {
  if (progress_ == nullptr) return;
  RunProgressText->setText(
      QString::fromStdString(quillfen::ProgressText(*progress_, MonotonicMs() - runStartMs_)));
  const long long files = progress_->files.load(std::memory_order_relaxed);
  if (progress_->listing.load(std::memory_order_relaxed) || files <= 0) {
    RunProgressBar->setRange(0, 0);  // busy: how many is not known yet
  } else {
    RunProgressBar->setRange(0, 1000);
    const long long looked = progress_->lookedAt.load(std::memory_order_relaxed);
    RunProgressBar->setValue(static_cast<int>(std::min(1000LL, looked * 1000 / files)));
  }
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
  if (WorkHeld()) {
    // The run is held in a destination that does not answer, perhaps for
    // ever: the settings are written now and the program ends without it.
    event->ignore();
    EndWithoutWaiting();
    return;
  }
  if (running_) {
    // The window goes at once; the run stops before its next file, and the
    // close (the settings written) follows once it has.
    event->ignore();
    closeAfterRun_ = true;
    StopRun();
    hide();
    return;
  }
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
