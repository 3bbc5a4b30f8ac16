#include "app/FailureWindow.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "about/HelpPage.h"
#include "ui/ProgressText.h"
#include "ui/WindowFont.h"

namespace {

QString FromBytes(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

FailureWindow::FailureWindow(DocumentOpener* documents, QWidget* parent)
    : QDialog(parent), documents_(documents) {
  setObjectName("FailureWindow");
  setWindowTitle("コピーできなかったファイル");
  setModal(false);
  setFont(quillfen_ui::WindowFont(12));
  resize(640, 360);

  List = new QTreeWidget(this);
  List->setObjectName("List");
  List->setHeaderHidden(true);
  List->setUniformRowHeights(true);
  List->setAccessibleName("コピーできなかったファイル");
  List->header()->setStretchLastSection(true);

  OpenLog = new QPushButton("ログを開く", this);
  OpenLog->setObjectName("OpenLog");
  OpenLog->setAutoDefault(false);
  CloseButton = new QPushButton("閉じる", this);
  CloseButton->setObjectName("CloseButton");
  connect(OpenLog, &QPushButton::clicked, this, &FailureWindow::OpenLogClick);
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::close);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OpenLog);
  buttons->addWidget(CloseButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(List);
  layout->addLayout(buttons);
}

void FailureWindow::ShowReport(const std::vector<quillfen::SetReport>& sets,
                               const std::string& logPath) {
  logPath_ = logPath;
  OpenLog->setEnabled(documents_ != nullptr && !logPath.empty());
  List->clear();
  for (const quillfen::SetReport& set : sets) {
    auto* item = new QTreeWidgetItem(List, QStringList(FromBytes(set.summary)));
    for (const std::string& line : set.failures) {
      new QTreeWidgetItem(item, QStringList(FromBytes(line)));
    }
    if (set.notKept > 0) {
      new QTreeWidgetItem(
          item, QStringList(FromBytes("ほか " +
                                      quillfen::GroupedNumber(static_cast<long long>(set.notKept)) +
                                      " 件はログにあります")));
    }
    item->setExpanded(item->childCount() > 0);
  }
  show();
  raise();
  activateWindow();
}

void FailureWindow::OpenLogClick() {
  if (documents_ == nullptr || logPath_.empty()) return;
  const size_t slash = logPath_.rfind('/');
  documents_->Open({logPath_, slash == std::string::npos ? "." : logPath_.substr(0, slash + 1)});
}
