// Project2, the main program: creates the main window, then the comparison
// window and the about box hidden, and runs the event loop. The exit status
// is the main window's: 0 success, 1 some files could not be copied, 2 the
// settings file could not be written.
#include <cstdio>
#include <cstdlib>

#include <QApplication>

#include "about/Unit3.h"
#include "about/XdgDocumentOpener.h"
#include "app/CommandLine.h"
#include "app/Unit1.h"
#include "compare/Unit2.h"
#include "engine/DateTime.h"
#include "ui/ApplicationName.h"
#include "ui/QtUserDialogs.h"

namespace {

// An unattended run is silent on success: the toolkit's notices about its
// environment (no runtime folder under cron, ...) would read as failures in a
// cron mail. Only critical and fatal messages still reach standard error.
void UnattendedMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type == QtCriticalMsg || type == QtFatalMsg) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (quillfen::HasUnattendedSwitch(argc, argv)) qInstallMessageHandler(UnattendedMessages);
  // An unattended run from cron or a systemd timer may have no display, or
  // one that is gone: it runs on the offscreen platform then, instead of
  // failing to start.
  if (const std::optional<std::string> platforms = quillfen::UnattendedPlatforms(
          argc, argv, [](const char* name) -> const char* { return std::getenv(name); })) {
    setenv("QT_QPA_PLATFORM", platforms->c_str(), 1);
  }
  QApplication app(argc, argv);
  quillfen_ui::NameApplication();

  QtUserDialogs dialogs;
  quillfen::SystemClock clock;
  XdgDocumentOpener documents;
  MainWindowServices services;
  services.dialogs = &dialogs;
  services.clock = &clock;
  services.documents = &documents;
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
