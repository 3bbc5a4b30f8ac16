// UserDialogs shown with Qt's message boxes, folder browser and input dialog.
#pragma once

#include "app/UserDialogs.h"

class QtUserDialogs : public UserDialogs {
 public:
  void ShowMessage(const QString& text) override;
  void ShowError(const QString& text) override;
  bool AskYesNo(const QString& text) override;
  QString ChooseFolder(const QString& instruction) override;
  std::optional<QString> InputText(const QString& caption, const QString& prompt) override;
};
