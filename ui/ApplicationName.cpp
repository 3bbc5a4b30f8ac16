#include "ui/ApplicationName.h"

#include <QApplication>

namespace quillfen_ui {

void NameApplication() {
  QApplication::setApplicationName("Quillfen");
  // No display name: the X11 and Wayland plug-ins would append " — Quillfen"
  // to every window title that does not already end in it, and each window
  // and dialog carries exactly its own caption. The task list still shows
  // "Quillfen", the window class taken from the application name.
}

}  // namespace quillfen_ui
