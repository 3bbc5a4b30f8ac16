// UserDialogs shown with Qt's message boxes, folder browser and input dialog.
#pragma once

#include "ui/UserDialogs.h"

class QtUserDialogs : public UserDialogs {
 public:
  void ShowMessage(const QString& text) override;
  void ShowError(const QString& text) override;
  bool AskYesNo(const QString& text) override;
  QString ChooseFolder(const QString& instruction) override;
  std::optional<QString> InputText(const QString& caption, const QString& prompt) override;
};

// UserDialogs of an unattended run: nobody is there to answer, so texts go to
// standard error, one line each, and nothing waits. Questions are answered
// "no" (nothing is changed on a guess); folder and text inputs are cancelled.
class StderrDialogs : public UserDialogs {
 public:
  void ShowMessage(const QString& text) override;
  void ShowError(const QString& text) override;
  bool AskYesNo(const QString& text) override;
  QString ChooseFolder(const QString& instruction) override;
  std::optional<QString> InputText(const QString& caption, const QString& prompt) override;
};
