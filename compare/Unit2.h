// TForm2, the folder comparison window: the files of the selected set's
// source and destination trees side by side, "compare and select", and the
// copy of selected files either way. Handlers feed the plain functions of
// CompareLogic.h / SelectiveCopy.h and write results back to the controls.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QDialog>
#include <QElapsedTimer>

#include "compare/PathListView.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QTimer;
class RelativePathModel;
class UserDialogs;
class MainWindowLink;
namespace quillfen {
class Clock;
enum class Side;
struct RunProgress;
struct SelectiveCopyRequest;
struct SelectiveCopyOutcome;
}  // namespace quillfen

class TForm2 : public QDialog {
  Q_OBJECT

 public:
  // The window stays hidden until the main window opens it with exec();
  // each opening lists both trees afresh (FormActivate).
  TForm2(UserDialogs& dialogs, const quillfen::Clock& clock, MainWindowLink& mainWindow,
         QWidget* parent = nullptr);

  // Handlers, public so that tests can run them as a click would.
  void FormActivate();
  void Button1Click();  // compare and select
  void Button2Click();  // select all on the left
  void Button3Click();  // select all on the right
  void Button4Click();  // backup: left list, source -> destination
  void Button5Click();  // restore: right list, destination -> source
  void ListBox1Click();
  void ListBox2Click();
  void Timer1Timer();

  // Called with every status-line text as it is shown (tests record them).
  void SetStatusObserver(std::function<void(const QString&)> observer) {
    statusObserver_ = std::move(observer);
  }
  // Sets the status line at once.
  void ShowStatus(const QString& text);
  // A status text from a long-running handler (comparison, copy), as UTF-8
  // bytes: the observer sees every one, the line itself is updated and
  // repainted at most every 100 ms and by FlushStatus, so 200,000 texts
  // cost no more than their conversion.
  void ShowStatusBytes(std::string_view text);
  // Puts the last ShowStatusBytes text on the line now.
  void FlushStatus();
  // Switches Timer1 on unless it is already running (a running count is kept).
  void StartTimer1();

  // Selection flags of a list, one per row.
  std::vector<char> SelectedRows(const PathListView* list) const;
  // Replaces a list's selection; does not run the click handlers.
  void SetSelectedRows(PathListView* list, const std::vector<char>& selected);
  // Relative paths (exact bytes) of a list, in display order.
  const std::vector<std::string>& Paths(const PathListView* list) const;

  // Controls, with their designed names.
  PathListView* ListBox1 = nullptr;
  PathListView* ListBox2 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* StatusBar1 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button4 = nullptr;
  QPushButton* Button5 = nullptr;
  QTimer* Timer1 = nullptr;
  // Shown while a copy works: the files looked at of those selected, the
  // bytes copied and the time.
  QProgressBar* CopyProgressBar = nullptr;
  QLabel* CopyProgressText = nullptr;

  // Whether a copy is under way (its buttons and lists disabled).
  bool CopyInProgress() const { return copying_; }
  // The copy under way is held in a destination that does not answer: the
  // status line says so, and the main window no longer waits for it.
  void CopyHeld(std::string_view line);

 public slots:
  // Escape or the close button: during a copy, stops it and keeps the window;
  // during a copy held in a destination that does not answer, offers to end
  // the program without waiting for it.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  enum class Direction { Backup, Restore };

  void CreateControls();
  PathListView* CreateList(RelativePathModel* model, int left, void (TForm2::*onClick)());
  RelativePathModel* ModelOf(const PathListView* list) const;
  void SelectAll(PathListView* list, QLabel* counter, quillfen::Side side);
  void ListBoxClick(PathListView* list, QLabel* counter, quillfen::Side side);
  // Writes the side's total text, then its selection text, from the list's
  // selection as it stands.
  void ShowCounts(const PathListView* list, QLabel* counter, quillfen::Side side);
  void SetCounter(QLabel* counter, const std::string& text);
  void SetRootLabel(QLabel* label, const std::string& root);
  // The status line's text, also given to screen readers.
  void SetStatusLine(const QString& text);
  void CopySelection(Direction direction);
  // Writes the copy to the log, and has the main window list its failures.
  void RecordCopy(const quillfen::SelectiveCopyRequest& request,
                  const quillfen::SelectiveCopyOutcome& outcome, bool backup);
  void SetCopyControls(bool copying, const quillfen::RunProgress* progress);
  void ShowCopyProgress();

  UserDialogs& dialogs_;
  const quillfen::Clock& clock_;
  MainWindowLink& mainWindow_;
  RelativePathModel* model1_ = nullptr;
  RelativePathModel* model2_ = nullptr;
  std::function<void(const QString&)> statusObserver_;
  int64_t lastRepaintMs_ = -1;  // when the status line was last repainted (CoarseMillis)
  std::string pendingStatus_;
  bool statusPending_ = false;
  bool copying_ = false;
  bool copyHeld_ = false;  // the copy is held in a destination that does not answer
  std::atomic<bool> stopAsked_{false};
  const quillfen::RunProgress* progress_ = nullptr;
  QTimer* progressTimer_ = nullptr;
  QElapsedTimer copyStart_;
};
