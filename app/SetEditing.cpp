#include "app/SetEditing.h"

#include <sys/stat.h>

#include <QFile>

namespace quillfen_ui {

QString WithoutTrailingSlashes(const QString& folder) {
  qsizetype end = folder.size();
  while (end > 1 && folder[end - 1] == u'/') --end;
  return folder.left(end);
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
  if (path.isEmpty()) return false;
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

FolderReady EnsureFolder(const QString& path) {
  if (IsExistingFolder(path)) return FolderReady::kExisted;
  if (path.isEmpty()) return FolderReady::kFailed;
  // 0777 so that the user's umask decides, as for any folder they make.
  return ::mkdir(QFile::encodeName(path).constData(), 0777) == 0 ? FolderReady::kCreated
                                                                 : FolderReady::kFailed;
}

int MovedRow(int selected, int count, int step) {
  if (selected < 0 || selected >= count) return -1;
  const int target = selected + step;
  return (target < 0 || target >= count) ? -1 : target;
}

}  // namespace quillfen_ui
