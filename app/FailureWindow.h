// The window that lists, after a run or a selective copy, each set's result
// and the files that could not be copied with their reasons. It is modeless
// and stays until the user closes it; the log it comes from can be opened.
#pragma once

#include <string>
#include <vector>

#include <QDialog>

#include "engine/RunRecord.h"

class QPushButton;
class QTreeWidget;
class DocumentOpener;

class FailureWindow : public QDialog {
  Q_OBJECT

 public:
  // `documents` opens the log (may be null: the button is then disabled).
  FailureWindow(DocumentOpener* documents, QWidget* parent = nullptr);

  // Shows `sets` (each set's summary, its failure lines beneath; a set
  // with failures opened) in place of what was shown, with `logPath` the
  // log to open, and brings the window up without blocking anything.
  void ShowReport(const std::vector<quillfen::SetReport>& sets, const std::string& logPath);

  QTreeWidget* List = nullptr;
  QPushButton* OpenLog = nullptr;
  QPushButton* CloseButton = nullptr;

 private:
  void OpenLogClick();

  DocumentOpener* documents_;
  std::string logPath_;
};
