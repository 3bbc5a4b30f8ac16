#include "app/ExtensionFold.h"

#include <QByteArray>
#include <QString>

namespace quillfen {

std::string FoldUnicodeCase(std::string_view utf8) {
  const QString decoded =
      QString::fromUtf8(QByteArray(utf8.data(), static_cast<qsizetype>(utf8.size())));
  return decoded.toCaseFolded().toUtf8().toStdString();
}

}  // namespace quillfen
