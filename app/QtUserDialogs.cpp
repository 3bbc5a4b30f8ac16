#include "app/QtUserDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

void QtUserDialogs::ShowMessage(const QString& text) {
  QMessageBox::information(QApplication::activeWindow(), QApplication::applicationName(), text);
}

void QtUserDialogs::ShowError(const QString& text) {
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), text);
}

bool QtUserDialogs::AskYesNo(const QString& text) {
  return QMessageBox::question(QApplication::activeWindow(), QApplication::applicationName(),
                               text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

QString QtUserDialogs::ChooseFolder(const QString& instruction) {
  return QFileDialog::getExistingDirectory(QApplication::activeWindow(), instruction);
}

std::optional<QString> QtUserDialogs::InputText(const QString& caption, const QString& prompt) {
  QInputDialog dialog(QApplication::activeWindow());
  dialog.setWindowTitle(caption);
  dialog.setLabelText(prompt);
  dialog.setTextValue(QString());
  if (auto* edit = dialog.findChild<QLineEdit*>()) edit->setMaxLength(255);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.textValue();
}
