#include "app/SetEditing.h"

#include <QFile>

#include "engine/Path.h"

namespace quillfen_ui {

QString WithoutTrailingSlashes(const QString& folder) {
  return QFile::decodeName(QByteArray::fromStdString(
      quillfen::TrimTrailingSlashes(QFile::encodeName(folder).toStdString())));
}

bool IsFilesystemRoot(const QString& folder) {
  if (folder.isEmpty()) return false;
  for (QChar c : folder) {
    if (c != u'/') return false;
  }
  return true;
}

QString LastFolderName(const QString& folder) {
  // '/' is never part of a surrogate pair, so a search on UTF-16 units finds
  // only real separators.
  return folder.mid(folder.lastIndexOf(u'/') + 1);
}

QString DestinationFolder(const QString& chosenParent, const QString& sourceFolder) {
  QString parent = chosenParent;
  if (parent.endsWith(u'/')) parent.chop(1);
  return parent + u'/' + LastFolderName(sourceFolder);
}

bool IsStorableSetName(const QString& name) {
  if (name.isEmpty() || name.startsWith(u'[')) return false;
  for (QChar c : name) {
    if (c == u']') return false;
    // Cc covers C0, DEL and C1 (NEL included); the Unicode line and paragraph
    // separators would break the line as well.
    if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
        c == QChar::ParagraphSeparator) {
      return false;
    }
  }
  return true;
}

bool NameIsTaken(const QStringList& names, const QString& name) {
  for (const QString& existing : names) {
    if (existing.compare(name, Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

bool IsExistingFolder(const QString& path) {
  return quillfen::IsFolder(QFile::encodeName(path).toStdString());
}

FolderReady EnsureFolder(const QString& path) {
  if (IsExistingFolder(path)) return FolderReady::kExisted;
  return quillfen::MakeFolder(QFile::encodeName(path).toStdString()) ? FolderReady::kCreated
                                                                     : FolderReady::kFailed;
}

int MovedRow(int selected, int count, int step) {
  if (selected < 0 || selected >= count) return -1;
  const int target = selected + step;
  return (target < 0 || target >= count) ? -1 : target;
}

}  // namespace quillfen_ui
