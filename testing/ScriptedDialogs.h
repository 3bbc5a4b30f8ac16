// Test double of UserDialogs: answers come from queues filled by the test,
// and every text shown is recorded in order.
#pragma once

#include <deque>
#include <stdexcept>

#include <QStringList>

#include "ui/UserDialogs.h"

class ScriptedDialogs : public UserDialogs {
 public:
  // Everything shown, in order: messages, errors and questions alike.
  QStringList shown;
  QStringList errors;
  std::deque<bool> yesNoAnswers;
  std::deque<QString> folderAnswers;
  std::deque<std::optional<QString>> inputAnswers;
  QStringList captions;  // captions/instructions of folder and input dialogs

  void ShowMessage(const QString& text) override { shown << text; }
  void ShowError(const QString& text) override {
    shown << text;
    errors << text;
  }
  bool AskYesNo(const QString& text) override {
    shown << text;
    return Take(yesNoAnswers, "AskYesNo");
  }
  QString ChooseFolder(const QString& instruction) override {
    captions << instruction;
    return Take(folderAnswers, "ChooseFolder");
  }
  std::optional<QString> InputText(const QString& caption, const QString& prompt) override {
    captions << caption + "|" + prompt;
    return Take(inputAnswers, "InputText");
  }

 private:
  template <typename T>
  static T Take(std::deque<T>& q, const char* what) {
    if (q.empty()) throw std::logic_error(std::string("unscripted dialog: ") + what);
    T v = q.front();
    q.pop_front();
    return v;
  }
};
