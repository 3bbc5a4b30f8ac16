// TForm2, the folder comparison window.
#pragma once

#include <QDialog>

class UserDialogs;
class MainWindowLink;
namespace quillfen {
class Clock;
}

class TForm2 : public QDialog {
  Q_OBJECT

 public:
  TForm2(UserDialogs& dialogs, const quillfen::Clock& clock, MainWindowLink& mainWindow,
         QWidget* parent = nullptr);
};
