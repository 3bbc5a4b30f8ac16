// The modal dialogs the windows use, behind an interface so that tests script
// the answers and read every message shown, and so that an unattended run
// never waits for an answer nobody can give.
#pragma once

#include <optional>

#include <QString>

class UserDialogs {
 public:
  virtual ~UserDialogs() = default;

  // A message box with one text and an OK button.
  virtual void ShowMessage(const QString& text) = 0;
  // An error box (for "… に書き込めません").
  virtual void ShowError(const QString& text) = 0;
  // A yes/no question; true for yes.
  virtual bool AskYesNo(const QString& text) = 0;
  // The folder browser with `instruction` as its caption; the chosen folder,
  // or an empty text when cancelled.
  virtual QString ChooseFolder(const QString& instruction) = 0;
  // A one-line text input (at most 255 characters) starting empty; the text
  // as typed, or nullopt when cancelled.
  virtual std::optional<QString> InputText(const QString& caption, const QString& prompt) = 0;
};
