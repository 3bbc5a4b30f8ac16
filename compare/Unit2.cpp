#include "compare/Unit2.h"

#include <time.h>

#include <algorithm>
#include <cstdint>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QShowEvent>
#include <QThread>
#include <QTimer>

#include "compare/CompareLogic.h"
#include "compare/MainWindowLink.h"
#include "compare/PathListView.h"
#include "compare/RelativePathModel.h"
#include "compare/SelectiveCopy.h"
#include "engine/DateTime.h"
#include "engine/DestinationWatch.h"
#include "engine/IniFile.h"
#include "engine/Path.h"
#include "engine/RunLog.h"
#include "ui/ProgressText.h"
#include "ui/UserDialogs.h"
#include "ui/WindowFont.h"
#include "ui/WorkOffThread.h"

using quillfen::Side;

namespace {

QString FromBytes(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Right edges of the counter labels, which stay put as their texts change.
constexpr int kLabel3Right = 141 + 58;
constexpr int kLabel4Right = 405 + 58;
constexpr int kCounterTop = 16;
constexpr int kCounterWidth = 58;
constexpr int kCounterHeight = 13;
// How often the status line is repainted while a handler keeps the event
// loop waiting (a long comparison or copy).
constexpr int64_t kStatusRepaintMs = 100;

// Milliseconds of the monotonic clock at its coarse resolution (a few ms):
// read for every one of up to 2,000,000 status texts of a comparison, where
// the precise clock would cost a system clock read each time.
int64_t CoarseMillis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Feeds the window's status line, message boxes and timer to the plain logic.
class WindowFeedback : public quillfen::CopyFeedback {
 public:
  WindowFeedback(TForm2& form, UserDialogs& dialogs) : form_(form), dialogs_(dialogs) {}
  void ShowStatus(std::string_view text) override { form_.ShowStatusBytes(text); }
  // The status line is current while a message box is open.
  void ShowMessage(std::string_view text) override {
    form_.FlushStatus();
    dialogs_.ShowMessage(FromBytes(text));
  }
  void ShowError(std::string_view text) override {
    form_.FlushStatus();
    dialogs_.ShowError(FromBytes(text));
  }
  void StartStatusTimer() override {
    form_.FlushStatus();
    form_.StartTimer1();
  }

 private:
  TForm2& form_;
  UserDialogs& dialogs_;
};

// Runs `call` on `window`'s thread, in order with what was posted before;
// `wait` also waits for it (a message box the copy needs answered). Called
// there already (no thread could be started), it runs at once.
void OnWindowThread(QObject* window, std::function<void()> call, bool wait) {
  if (QThread::currentThread() == window->thread()) {
    call();
    return;
  }
  QMetaObject::invokeMethod(window, std::move(call),
                            wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

// The copy's feedback from its own thread: every status text, message and
// timer start reaches the window in order; progress and stop are shared.
class CopyWorkFeedback : public quillfen::CopyFeedback {
 public:
  CopyWorkFeedback(TForm2& form, UserDialogs& dialogs, std::function<bool()> stop)
      : form_(form), dialogs_(dialogs), stop_(std::move(stop)) {}
  void ShowStatus(std::string_view text) override {
    OnWindowThread(
        &form_, [form = &form_, text = std::string(text)] { form->ShowStatusBytes(text); }, false);
  }
  void ShowMessage(std::string_view text) override {
    OnWindowThread(
        &form_,
        [this, text = FromBytes(text)] {
          form_.FlushStatus();
          dialogs_.ShowMessage(text);
        },
        true);
  }
  void ShowError(std::string_view text) override {
    OnWindowThread(
        &form_,
        [this, text = FromBytes(text)] {
          form_.FlushStatus();
          dialogs_.ShowError(text);
        },
        true);
  }
  void DestinationHung(std::string_view line) override {
    // On the heartbeat's thread, while the copy may be held in the share.
    OnWindowThread(
        &form_, [form = &form_, text = std::string(line)] { form->CopyHeld(text); }, false);
  }
  void StartStatusTimer() override {
    OnWindowThread(
        &form_,
        [form = &form_] {
          form->FlushStatus();
          form->StartTimer1();
        },
        false);
  }
  bool StopRequested() override { return stop_(); }
  quillfen::RunProgress* Progress() override { return &progress; }

  quillfen::RunProgress progress;

 private:
  TForm2& form_;
  UserDialogs& dialogs_;
  std::function<bool()> stop_;
};

}  // namespace

TForm2::TForm2(UserDialogs& dialogs, const quillfen::Clock& clock, MainWindowLink& mainWindow,
               QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), clock_(clock), mainWindow_(mainWindow) {
  setObjectName("Form2");
  setWindowTitle("フォルダの比較");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(quillfen_ui::WindowFont(12));
  setFixedSize(466, 291);
  move(169, 279);
  CreateControls();
}

void TForm2::CreateControls() {
  model1_ = new RelativePathModel(this);
  model2_ = new RelativePathModel(this);
  ListBox1 = CreateList(model1_, 0, &TForm2::ListBox1Click);
  ListBox1->setObjectName("ListBox1");
  ListBox2 = CreateList(model2_, 272, &TForm2::ListBox2Click);
  ListBox2->setObjectName("ListBox2");

  const QFont labelFont = quillfen_ui::WindowFont(13);
  auto label = [&](const char* name, const QString& caption, int left, int top) {
    auto* l = new QLabel(caption, this);
    l->setObjectName(name);
    l->setFont(labelFont);
    l->move(left, top);
    l->adjustSize();
    return l;
  };
  Label1 = label("Label1", "総数", 0, 0);
  Label2 = label("Label2", "総数", 264, 0);
  Label3 = label("Label3", "フォルダ名", 141, kCounterTop);
  Label4 = label("Label4", "フォルダ名", 405, kCounterTop);
  for (QLabel* counter : {Label3, Label4}) {
    counter->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    SetCounter(counter, counter->text().toStdString());
  }

  auto button = [&](const char* name, const QString& caption, int left, int top, int width,
                    void (TForm2::*handler)()) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(name);
    b->setGeometry(left, top, width, 41);
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    return b;
  };
  Button1 = button("Button1", "比較選択", 200, 32, 65, &TForm2::Button1Click);
  Button2 = button("Button2", "ALL", 200, 80, 25, &TForm2::Button2Click);
  Button3 = button("Button3", "ALL", 240, 80, 25, &TForm2::Button3Click);
  Button4 = button("Button4", "バックアップ", 200, 128, 65, &TForm2::Button4Click);
  Button5 = button("Button5", "レストア", 200, 176, 65, &TForm2::Button5Click);

  // The copy's progress, in the free place below the copy buttons: the files
  // looked at of those selected, and beneath, the bytes and the time.
  CopyProgressBar = new QProgressBar(this);
  CopyProgressBar->setObjectName("CopyProgressBar");
  CopyProgressBar->setGeometry(200, 224, 65, 16);
  CopyProgressBar->setFormat("%v/%m");
  CopyProgressBar->setAccessibleName("進捗");
  CopyProgressBar->hide();
  CopyProgressText = new QLabel(this);
  CopyProgressText->setObjectName("CopyProgressText");
  CopyProgressText->setGeometry(196, 242, 74, 28);
  CopyProgressText->setFont(quillfen_ui::WindowFont(10));
  CopyProgressText->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  CopyProgressText->setWordWrap(true);
  CopyProgressText->setAccessibleName("進捗");
  CopyProgressText->hide();
  progressTimer_ = new QTimer(this);
  progressTimer_->setInterval(250);
  connect(progressTimer_, &QTimer::timeout, this, &TForm2::ShowCopyProgress);

  StatusBar1 = new QLabel(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setGeometry(0, 272, 466, 19);
  StatusBar1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  StatusBar1->setIndent(2);

  // Screen readers announce buttons and labels by their captions, the lists by
  // the side they show and the status line by its role; the status text is
  // read out as its description.
  ListBox1->setAccessibleName("保存元");
  ListBox2->setAccessibleName("保存先");
  StatusBar1->setAccessibleName("ステータスバー");
  Button2->setAccessibleDescription("保存元のファイルをすべて選択");
  Button3->setAccessibleDescription("保存先のファイルをすべて選択");

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(5000);
  Timer1->setTimerType(Qt::PreciseTimer);  // a running count is kept exactly
  connect(Timer1, &QTimer::timeout, this, &TForm2::Timer1Timer);
}

PathListView* TForm2::CreateList(RelativePathModel* model, int left, void (TForm2::*onClick)()) {
  auto* list = new PathListView(this);
  list->setGeometry(left, 32, 193, 233);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
  list->setUniformItemSizes(true);       // keeps 100,000 rows cheap to lay out
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setModel(model);
  // Only the user's changes run the click handler; the handlers' own
  // changes (SetSelectedRows, SelectAllRows, a new listing) send nothing.
  connect(list, &PathListView::UserChangedSelection, this, onClick);
  return list;
}

RelativePathModel* TForm2::ModelOf(const PathListView* list) const {
  return list == ListBox1 ? model1_ : model2_;
}

const std::vector<std::string>& TForm2::Paths(const PathListView* list) const {
  return ModelOf(list)->Paths();
}

std::vector<char> TForm2::SelectedRows(const PathListView* list) const {
  return list->Selection().Flags();
}

void TForm2::SetSelectedRows(PathListView* list, const std::vector<char>& selected) {
  list->SetSelectedRows(selected);
}

void TForm2::SetCounter(QLabel* counter, const std::string& text) {
  const QString shown = FromBytes(text);
  counter->setText(shown);
  const int width =
      std::max(kCounterWidth, QFontMetrics(counter->font()).horizontalAdvance(shown) + 2);
  const int right = counter == Label3 ? kLabel3Right : kLabel4Right;
  counter->setGeometry(right - width, kCounterTop, width, kCounterHeight);
}

void TForm2::SetRootLabel(QLabel* label, const std::string& root) {
  label->setText(FromBytes(root));
  label->adjustSize();
}

void TForm2::ShowCounts(const PathListView* list, QLabel* counter, Side side) {
  const quillfen::RowSelection& selection = list->Selection();
  SetCounter(counter, quillfen::TotalText(side, selection.Rows()));
  SetCounter(counter, quillfen::SelectionText(side, selection.Count(), selection.Rows()));
}

void TForm2::ShowStatus(const QString& text) {
  statusPending_ = false;
  SetStatusLine(text);
  if (statusObserver_) statusObserver_(text);
}

void TForm2::SetStatusLine(const QString& text) {
  StatusBar1->setText(text);
  StatusBar1->setAccessibleDescription(text);
}

void TForm2::ShowStatusBytes(std::string_view text) {
  if (statusObserver_) statusObserver_(FromBytes(text));
  pendingStatus_.assign(text);
  statusPending_ = true;
  if (lastRepaintMs_ < 0 || CoarseMillis() - lastRepaintMs_ >= kStatusRepaintMs) FlushStatus();
}

void TForm2::FlushStatus() {
  if (!statusPending_) return;
  statusPending_ = false;
  SetStatusLine(FromBytes(pendingStatus_));
  // The handler keeps the event loop waiting: paint the line now.
  if (StatusBar1->isVisible()) StatusBar1->repaint();
  lastRepaintMs_ = CoarseMillis();
}

void TForm2::StartTimer1() {
  if (!Timer1->isActive()) Timer1->start();
}

void TForm2::showEvent(QShowEvent* event) {
  // A window shown again after being minimized is not a new opening.
  if (!event->spontaneous()) FormActivate();
  QDialog::showEvent(event);
}

void TForm2::FormActivate() {
  // Listing a large tree takes a moment; no message box opens meanwhile.
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const auto restoreCursor = qScopeGuard([] { QApplication::restoreOverrideCursor(); });
  model1_->SetPaths({});
  model2_->SetPaths({});
  const std::string source = mainWindow_.SelectedSourceFolder();
  const std::string destination = mainWindow_.SelectedDestinationFolder();
  model1_->SetPaths(
      quillfen::ListRelativeFiles(source, quillfen::FolderToLeaveOut(source, destination)));
  model2_->SetPaths(quillfen::ListRelativeFiles(destination));
  SetRootLabel(Label1, source);
  SetRootLabel(Label2, destination);
  SetCounter(Label3, quillfen::TotalText(Side::Source, model1_->Paths().size()));
  SetCounter(Label4, quillfen::TotalText(Side::Destination, model2_->Paths().size()));
  StartTimer1();
}

void TForm2::Button1Click() {
  WindowFeedback feedback(*this, dialogs_);
  const quillfen::Comparison result =
      quillfen::CompareListings(model1_->Paths(), model2_->Paths(), feedback);
  FlushStatus();
  SetSelectedRows(ListBox1, result.leftSelected);
  ShowCounts(ListBox1, Label3, Side::Source);
  SetSelectedRows(ListBox2, result.rightSelected);
  ShowCounts(ListBox2, Label4, Side::Destination);
  StartTimer1();
  dialogs_.ShowMessage("保存元と保存先のファイルの比較が終了しました。");
}

void TForm2::SelectAll(PathListView* list, QLabel* counter, Side side) {
  list->SelectAllRows();
  ShowCounts(list, counter, side);
}

void TForm2::Button2Click() {
  SelectAll(ListBox1, Label3, Side::Source);
}
void TForm2::Button3Click() {
  SelectAll(ListBox2, Label4, Side::Destination);
}

void TForm2::ListBoxClick(PathListView* list, QLabel* counter, Side side) {
  ShowCounts(list, counter, side);
  if (list->Selection().Count() == 1) {
    ShowStatus(ModelOf(list)->Text(list->currentIndex().row()));
    StartTimer1();
  } else {
    ShowStatus(QString());
  }
}

void TForm2::ListBox1Click() {
  ListBoxClick(ListBox1, Label3, Side::Source);
}
void TForm2::ListBox2Click() {
  ListBoxClick(ListBox2, Label4, Side::Destination);
}

void TForm2::Timer1Timer() {
  ShowStatus(QString());
  Timer1->stop();
}

void TForm2::CopySelection(Direction direction) {
  const bool backup = direction == Direction::Backup;
  PathListView* list = backup ? ListBox1 : ListBox2;
  const std::string source = mainWindow_.SelectedSourceFolder();
  const std::string destination = mainWindow_.SelectedDestinationFolder();

  quillfen::SelectiveCopyRequest request;
  request.fromRoot = backup ? source : destination;
  request.toRoot = backup ? destination : source;
  request.replacePlantedLinks = backup;
  request.items = Paths(list);
  request.selected = SelectedRows(list);
  request.keepOriginal = mainWindow_.TickedKeepOriginal();
  request.excluded = mainWindow_.TickedExcluded();
  request.setName = mainWindow_.SelectedSetName();
  request.settingsPath = mainWindow_.SettingsPath();
  request.patience = quillfen::ReadDestinationPatience(quillfen::IniFile(request.settingsPath));

  CopyWorkFeedback feedback(*this, dialogs_, [this] {
    return stopAsked_.load(std::memory_order_relaxed) || mainWindow_.StopRequested();
  });
  quillfen::SelectiveCopyOutcome outcome;
  SetCopyControls(true, &feedback.progress);
  WorkOffThread([&] { outcome = quillfen::CopySelected(request, feedback); });
  if (copyHeld_) {
    // The destination answered again after all.
    copyHeld_ = false;
    mainWindow_.CopyHeld(false);
  }
  SetCopyControls(false, &feedback.progress);
  FlushStatus();
  RecordCopy(request, outcome, backup);
  if (outcome.stopped) {
    // What was copied is deselected; the rest stays for another try, and
    // no end time claims a copy that did not finish.
    SetSelectedRows(list, outcome.selected);
    return;
  }
  // The list shows what was left alone before the completion message opens.
  if (outcome.completed) SetSelectedRows(list, outcome.selected);
  request.now = clock_.Now();
  WindowFeedback finish(*this, dialogs_);
  quillfen::FinishSelectiveCopy(request, outcome, finish);
  if (outcome.closeWindow) accept();
}

void TForm2::RecordCopy(const quillfen::SelectiveCopyRequest& request,
                        const quillfen::SelectiveCopyOutcome& outcome, bool backup) {
  if (!outcome.completed) return;
  quillfen::RunLog log(quillfen::RunLog::PathBeside(request.settingsPath), clock_);
  quillfen::RunReport report;
  for (const std::string& line : outcome.failures) {
    log.Append(line);
    report.Failed(line);
  }
  std::string summary = request.setName + (backup ? ": バックアップ " : ": レストア ") +
                        std::to_string(outcome.copied) + " 件コピー";
  if (outcome.failed > 0) summary += "、失敗 " + std::to_string(outcome.failed) + " 件";
  if (outcome.stopped) summary += "、途中で終了しました";
  if (!outcome.sync.ok()) summary += "、" + outcome.sync.message();
  log.Append(summary);
  report.SetDone(summary);
  if (report.HasFailures()) mainWindow_.ShowFailures(report.sets());
}

void TForm2::SetCopyControls(bool copying, const quillfen::RunProgress* progress) {
  copying_ = copying;
  stopAsked_ = false;
  for (QWidget* control : {static_cast<QWidget*>(Button1), static_cast<QWidget*>(Button2),
                           static_cast<QWidget*>(Button3), static_cast<QWidget*>(Button4),
                           static_cast<QWidget*>(Button5), static_cast<QWidget*>(ListBox1),
                           static_cast<QWidget*>(ListBox2)}) {
    control->setEnabled(!copying);
  }
  progress_ = progress;
  if (copying) {
    copyStart_.start();
    CopyProgressBar->show();
    CopyProgressText->show();
    progressTimer_->start();
  } else {
    ShowCopyProgress();  // the last figures stay
    CopyProgressBar->hide();
    progressTimer_->stop();
    progress_ = nullptr;
  }
}

void TForm2::ShowCopyProgress() {
  if (progress_ == nullptr) return;
  const long long files = progress_->files.load(std::memory_order_relaxed);
  CopyProgressBar->setRange(0, static_cast<int>(std::min<long long>(files, INT32_MAX)));
  CopyProgressBar->setValue(static_cast<int>(
      std::min<long long>(progress_->lookedAt.load(std::memory_order_relaxed), INT32_MAX)));
  const long long seconds = copyStart_.elapsed() / 1000;
  CopyProgressText->setText(
      FromBytes(quillfen::ByteText(progress_->bytes.load(std::memory_order_relaxed)) + " " +
                std::to_string(seconds / 60) + ":" + (seconds % 60 < 10 ? "0" : "") +
                std::to_string(seconds % 60)));
}

void TForm2::CopyHeld(std::string_view line) {
  if (!copying_) return;
  ShowStatusBytes("コピー先が応答しません: " + std::string(line));
  FlushStatus();
  copyHeld_ = true;
  mainWindow_.CopyHeld(true);
}

void TForm2::reject() {
  // Escape or the close button during a copy stops it; the window stays.
  if (copying_) {
    stopAsked_ = true;
    // A copy held in a destination that does not answer may never stop:
    // the user may end the program instead of waiting for it.
    if (copyHeld_ && dialogs_.AskYesNo(QStringLiteral(
                         "コピー先が応答しません。コピーの終わりを待たずに終了しますか？"))) {
      mainWindow_.EndWithoutWaiting();
    }
    return;
  }
  QDialog::reject();
}

void TForm2::Button4Click() {
  CopySelection(Direction::Backup);
}
void TForm2::Button5Click() {
  CopySelection(Direction::Restore);
}
