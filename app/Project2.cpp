// Project2, the main program: creates the main window, then the comparison
// window and the about box hidden, and runs the event loop.
#include <QApplication>

#include "about/Unit3.h"
#include "app/QtUserDialogs.h"
#include "app/Unit1.h"
#include "compare/Unit2.h"
#include "engine/DateTime.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quillfen");
  QApplication::setApplicationDisplayName("Quillfen");

  QtUserDialogs dialogs;
  quillfen::SystemClock clock;
  MainWindowServices services;
  services.dialogs = &dialogs;
  services.clock = &clock;
  services.arguments = QApplication::arguments().mid(1);
  services.executablePath = QApplication::applicationFilePath().toStdString();

  TForm1 form1(services);
  TForm2 form2(dialogs, clock, form1, &form1);
  TForm3 form3(&form1);
  form1.SetModalWindows(&form2, &form3);
  form1.show();
  const int loop = app.exec();
  return loop != 0 ? loop : form1.ExitStatus();
}
