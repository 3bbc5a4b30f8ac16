#include "ui/QtUserDialogs.h"

#include <cstdio>

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
  return QMessageBox::question(QApplication::activeWindow(), QApplication::applicationName(), text,
                               QMessageBox::Yes | QMessageBox::No,
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

namespace {
void WriteLine(const QString& text) {
  const QByteArray line = text.toUtf8() + '\n';
  std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
  std::fflush(stderr);
}
}  // namespace

void StderrDialogs::ShowMessage(const QString& text) {
  WriteLine(text);
}

void StderrDialogs::ShowError(const QString& text) {
  WriteLine(text);
}

bool StderrDialogs::AskYesNo(const QString& text) {
  WriteLine(text);
  return false;
}

QString StderrDialogs::ChooseFolder(const QString&) {
  return {};
}

std::optional<QString> StderrDialogs::InputText(const QString&, const QString&) {
  return std::nullopt;
}
