#include "app/ExtensionInput.h"

namespace quillfen_ui {

std::optional<QString> ExtensionCandidate(const QString& typed, const QStringList& otherList) {
  if (typed.isEmpty()) return std::nullopt;
  for (QChar c : typed) {
    if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
        c == QChar::ParagraphSeparator) {
      return std::nullopt;
    }
  }
  QString candidate = u'.' + typed;
  if (otherList.contains(candidate, Qt::CaseSensitive)) return std::nullopt;
  return candidate;
}

}  // namespace quillfen_ui
