// TForm3, the about box: the program's name and version, its web site and a
// copyright line, closed with its Close button. It is created hidden at
// start-up and shown modally each time the user asks for it.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TForm3 : public QDialog {
  Q_OBJECT

 public:
  // Creates the box hidden, with its designed size, position, colours and texts.
  explicit TForm3(QWidget* parent = nullptr);

  // The address shown between the brackets of the web-site line.
  static constexpr const char* kWebSite = "https://quillfen.example.org";

  // Controls, with their designed names.
  QLabel* Label1 = nullptr;       // name and version
  QLabel* StaticText1 = nullptr;  // web-site line
  QLabel* Label2 = nullptr;       // copyright line
  QPushButton* Button1 = nullptr;

  // "Close": ends the modal display.
  void Button1Click();

 private:
  void CreateControls();
};
