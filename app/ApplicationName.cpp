#include "app/ApplicationName.h"

#include <QApplication>

namespace quillfen_ui {

void NameApplication() {
  QApplication::setApplicationName("Quillfen");
  QApplication::setApplicationDisplayName("Quillfen");
}

}  // namespace quillfen_ui
