// Project2, the main program: creates the main window, then the comparison
// window and the about box hidden, and runs the event loop. The exit status
// is the main window's: 0 success, 1 some files could not be copied, 2 the
// settings file could not be written, 128 + N ended by signal N before the
// unattended backup was over; 1 without a display to show the window on.
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include <QApplication>

#include "about/Unit3.h"
#include "about/XdgDocumentOpener.h"
#include "app/CommandLine.h"
#include "app/EndRequests.h"
#include "app/Unit1.h"
#include "compare/Unit2.h"
#include "engine/DateTime.h"
#include "ui/ApplicationName.h"
#include "ui/DBusDesktopNotices.h"
#include "ui/QtTexts.h"
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

// While the toolkit starts, its messages are held back: a display that cannot
// be opened produces notices that only the program's own line should replace.
// They are passed on unchanged when a display was found.
std::vector<std::pair<QtMsgType, QString>> heldMessages;
QtMessageHandler passOn = nullptr;

void HoldMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
  heldMessages.emplace_back(type, text);
}

void PassOnHeldMessages() {
  qInstallMessageHandler(passOn);
  for (const auto& [type, text] : heldMessages) {
    passOn(type, QMessageLogContext(), text);
  }
  heldMessages.clear();
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
  // With the window to show, a display that is missing or cannot be opened
  // ends the start in one clear line instead of the toolkit's abort.
  const std::optional<std::string> windowPlatforms = quillfen::WindowPlatforms(
      argc, argv, [](const char* name) -> const char* { return std::getenv(name); });
  if (windowPlatforms) {
    setenv("QT_QPA_PLATFORM", windowPlatforms->c_str(), 1);
    passOn = qInstallMessageHandler(HoldMessage);
  }
  QApplication app(argc, argv);
  if (windowPlatforms) {
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
      std::fprintf(stderr, "%s\n", quillfen::kNoDisplayMessage);
      return 1;
    }
    PassOnHeldMessages();
  }
  quillfen_ui::NameApplication();
  LoadJapaneseQtTexts(app);
  // A logout, a shutdown or `kill` ends the program through its normal close.
  EndRequests endRequests;

  QtUserDialogs dialogs;
  quillfen::SystemClock clock;
  XdgDocumentOpener documents;
  DBusDesktopNotices notices;
  MainWindowServices services;
  services.dialogs = &dialogs;
  services.clock = &clock;
  services.documents = &documents;
  services.arguments = QApplication::arguments().mid(1);
  services.executablePath = QApplication::applicationFilePath().toStdString();
  services.pendingEnd = &EndRequests::PendingSignal;
  services.notices = &notices;

  TForm1 form1(services);
  TForm2 form2(dialogs, clock, form1, &form1);
  TForm3 form3(&form1);
  form1.SetModalWindows(&form2, &form3);
  QObject::connect(&endRequests, &EndRequests::Requested, &form1, &TForm1::EndOnRequest);
  form1.show();
  const int loop = app.exec();
  return loop != 0 ? loop : form1.ExitStatus();
}
