// TForm1, the main window: the set table, the editing area, the two extension
// lists, the Backup button and the status line. Handlers read the controls,
// call plain functions for the work and write the results back.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "compare/MainWindowLink.h"

class QAction;
class QCloseEvent;
class QDialog;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QShortcut;
class QToolButton;
class FailureWindow;
class QPushButton;
class QStatusBar;
class QTimer;
class UserDialogs;
class DocumentOpener;
class DesktopNotices;
namespace quillfen {
class Clock;
class Status;
struct BackupSet;
}  // namespace quillfen

// What the main window needs from outside; tests pass fakes.
struct MainWindowServices {
  UserDialogs* dialogs = nullptr;
  const quillfen::Clock* clock = nullptr;
  DocumentOpener* documents = nullptr;  // opens the help page
  QStringList arguments;                // command line after the program name
  std::string executablePath;           // for the help page's working folder
  // The number of a signal that asked the program to end, or 0; a backup run
  // stops before its next file when it is not 0. Null: never asked.
  int (*pendingEnd)() = nullptr;
  // Where an unattended program that ends with failures leaves a notice.
  DesktopNotices* notices = nullptr;
  // Ends the program at once with the given status, without waiting for a
  // run or copy held in a destination that does not answer. Null:
  // std::_Exit. Tests record the call instead (it then returns).
  void (*endAtOnce)(int status) = nullptr;
};

class TForm1 : public QMainWindow, public MainWindowLink {
  Q_OBJECT

 public:
  // Creates the controls and runs FormCreate.
  explicit TForm1(const MainWindowServices& services, QWidget* parent = nullptr);
  ~TForm1() override;

  // The windows opened modally by Button6Click and About1Click.
  void SetModalWindows(QDialog* form2, QDialog* form3);

  // Exit status of the program: 0 success, 1 some files could not be copied,
  // 2 the settings file could not be written.
  int ExitStatus() const { return exitStatus_; }
  // The exit status of an unattended run that did not start because another
  // run held the settings file (EX_TEMPFAIL: try again later).
  static constexpr int kAnotherRunExitStatus = 75;

  // The working directory captured by FormCreate.
  const std::string& StartDir() const { return startDir_; }

  // The rows of the set table, name, source and destination.
  std::vector<quillfen::BackupSet> SetTable() const;

  // Whether a backup run is under way: the controls that start runs or
  // change what a run reads are disabled meanwhile.
  bool RunInProgress() const { return running_; }
  // Asks the run under way to stop before its next file (Escape, the stop
  // control); the window stays open. Nothing when no run is under way.
  void StopRun();

  // MainWindowLink
  bool StopRequested() const override;
  void ShowFailures(const std::vector<quillfen::SetReport>& sets) override;
  std::string SelectedSetName() const override;
  std::string SelectedSourceFolder() const override;
  std::string SelectedDestinationFolder() const override;
  std::vector<std::string> TickedKeepOriginal() const override;
  std::vector<std::string> TickedExcluded() const override;
  std::string SettingsPath() const override;
  void CopyHeld(bool held) override { copyHeld_ = held; }
  // Also the end while this window's run is held: the settings written and
  // the line logged, then the program ends at once with status 1 or more.
  void EndWithoutWaiting() override;

  // Controls, with their designed names.
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label8 = nullptr;
  QLabel* Label9 = nullptr;
  QLabel* Label10 = nullptr;
  QListWidget* ListBox1 = nullptr;
  QListWidget* ListBox2 = nullptr;
  QListWidget* ListBox3 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button4 = nullptr;
  QPushButton* Button5 = nullptr;
  QPushButton* Button6 = nullptr;
  QPushButton* Button7 = nullptr;
  QPushButton* Button8 = nullptr;
  QPushButton* Button9 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QLineEdit* Edit3 = nullptr;
  QListWidget* CheckListBox1 = nullptr;
  QListWidget* CheckListBox2 = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QMenu* HELP1 = nullptr;
  QAction* About1 = nullptr;
  QAction* Help2 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* N1 = nullptr;
  QAction* N2 = nullptr;
  QMenu* PopupMenu2 = nullptr;
  QAction* MenuItem1 = nullptr;
  QAction* MenuItem2 = nullptr;
  QTimer* Timer1 = nullptr;
  QTimer* Timer2 = nullptr;
  // Shown beside the status line while a run works: its progress (the last
  // figures stay after it), a bar, and the control that stops it.
  QLabel* RunProgressText = nullptr;
  QProgressBar* RunProgressBar = nullptr;
  QToolButton* StopButton = nullptr;
  // The files a run could not copy, with their reasons (created when needed).
  FailureWindow* Failures = nullptr;

  // Life cycle and run (Unit1.cpp).
  void FormCreate();
  void FormShow();
  void FormActivate();
  // Writes the settings at the close; false keeps the window open.
  bool FormClose();
  // The program was asked to end from outside: by signal `signalNumber`, or
  // by the end of the session (0). Runs the close as the user's close would,
  // without a question nobody could answer (a settings file that cannot be
  // written is reported on standard error, status 2), and ends the program.
  // An unattended run ended before its backup is over ends with status
  // 128 + the signal's number.
  void EndOnRequest(int signalNumber);
  void Timer2Timer();
  void Button9Click();
  void About1Click();
  void Help2Click();

  // Backup set editing (Unit1Sets.cpp).
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void Button7Click();
  void Button8Click();
  // Virtual so that tests can count the runs.
  virtual void ListBox1Click();
  virtual void ListBox2Click();
  virtual void ListBox3Click();

  // Extension lists (Unit1Extensions.cpp).
  void N1Click();
  void N2Click();
  void N4Click();
  void Delete2Click();
  void PopupMenu1Popup();

 protected:
  void showEvent(QShowEvent* event) override;
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The controls as designed (Unit1Controls.cpp), in steps.
  void CreateControls();
  void CreateWindowFrame();
  void CreateSetTable(QWidget* client);
  void CreateEditingArea(QWidget* client);
  void CreateExtensionLists(QWidget* client);
  void CreateStatusLineAndMenus();
  void NameControlsForScreenReaders();
  void SetTabOrderSizeAndPlace();
  void ConnectSetEditing();      // Unit1Sets.cpp
  void ConnectExtensionLists();  // Unit1Extensions.cpp
  // Set editing helpers (Unit1Sets.cpp). SelectSetRow selects `row` in the
  // three set lists, or clears their selection for -1, without running the
  // list click handlers.
  void SelectSetRow(int row);
  // The user selected a row in `list`: the same row everywhere, the editing
  // area filled from it, the focus moved to `focusTarget`.
  void SetRowClicked(QListWidget* list, QWidget* focusTarget);
  // Moves the selected set one row up (step -1) or down (+1) in the three set
  // lists and selects it there; nothing at the first or last row, or with no
  // row selected.
  void MoveSelectedSet(int step);
  // Makes sure Edit2's folder exists, creating that one folder if needed.
  void EnsureDestinationFolder();
  // True while a handler itself changes the set lists' rows or selection.
  bool changingSetRows_ = false;
  // Switches a timer on without restarting a running count.
  static void SwitchOn(QTimer* timer);
  // Whether this is the unattended run: Timer1 on.
  bool Unattended() const;
  // Whether no one can answer a message box: unattended, or ending on a
  // request from outside.
  bool NobodyAnswers() const;
  // The dialogs to use now: the services' ones, or standard error when
  // unattended (no modal box waits for an answer nobody can give).
  UserDialogs& Dialogs();
  // Reports a settings file that cannot be written, with the system's reason.
  void ReportSettingsError(const quillfen::Status& status);
  // The run's controls: what is disabled while it works, and its progress.
  void CreateRunControls();
  void SetRunControls(bool running);
  void ShowProgress();
  // The end asked for from outside, once no run is under way.
  void FinishEnding();
  // Whether a run or the comparison window's copy is held in a destination
  // that does not answer: nothing can wait for it to end.
  bool WorkHeld() const { return (running_ && runHung_) || copyHeld_; }

  // The run under way: started, asked to stop, its figures, and what
  // happens when it is over.
  bool running_ = false;
  bool runHung_ = false;   // the run is held in a destination that does not answer
  bool copyHeld_ = false;  // so is the comparison window's copy
  std::atomic<bool> stopAsked_{false};
  const quillfen::RunProgress* progress_ = nullptr;
  int64_t runStartMs_ = 0;
  QTimer* progressTimer_ = nullptr;
  QShortcut* stopShortcut_ = nullptr;
  bool closeAfterRun_ = false;  // the user closed the window during the run
  bool endAfterRun_ = false;    // asked to end from outside during the run
  bool timer2Due_ = false;      // Timer2 fired during the run: it empties the line after
  // Sets renamed with 更新 since the start (former name, new name), in order:
  // the close moves their sections.
  std::vector<std::pair<std::string, std::string>> renamed_;

  MainWindowServices services_;
  QDialog* form2_ = nullptr;
  QDialog* form3_ = nullptr;
  std::string startDir_;
  bool shown_ = false;
  bool activated_ = false;
  int exitStatus_ = 0;
  std::unique_ptr<UserDialogs> unattendedDialogs_;
  // False once an unattended run has failed to write the settings file: the
  // window then closes without writing them again.
  bool saveOnClose_ = true;
  // Set once the program ends on a request from outside.
  bool ending_ = false;
  // What the notice at the end of an unattended program names: the sets with
  // failures, the failure lines, the settings file's error.
  void NoticeUnattendedEnd();
  bool startedUnattended_ = false;
  bool noticeGiven_ = false;
  std::vector<std::string> failedSets_;
  size_t failureCount_ = 0;
  std::string settingsErrorText_;
};
