// Plain rules behind the editing of backup sets in the main window: what a
// folder choice means, how a destination folder is formed, which set names
// can be kept in the settings file, and how a destination folder is made
// ready. No widgets here; the handlers in Unit1Sets.cpp feed these functions
// with the texts of their controls.
#pragma once

#include <QString>
#include <QStringList>

namespace quillfen_ui {

// A folder as the chooser returned it, without trailing '/' characters; the
// filesystem root stays "/". Empty stays empty.
QString WithoutTrailingSlashes(const QString& folder);

// True when `folder` is the filesystem root ("/", or only '/' characters),
// which is not accepted as a folder to back up. "/srv" and "/a" are folders.
bool IsFilesystemRoot(const QString& folder);

// The characters of `folder` after its last '/', or the whole text when it
// has none. Works on characters, so a multi-byte name is never cut inside a
// character.
QString LastFolderName(const QString& folder);

// The destination folder for the chosen parent folder and the source folder:
// the parent with one trailing '/' removed, then "/" and the source's last
// name. Parent "/" and source "/data/Work" give "/Work".
QString DestinationFolder(const QString& chosenParent, const QString& sourceFolder);

// True when `name` can be written as a section name of the settings file and
// read back unchanged: it holds no control character (line breaks included),
// no ']', and does not begin with '['. The empty name is not storable either.
bool IsStorableSetName(const QString& name);

// True when `names` already holds `name`, letter case ignored (Unicode case
// folding, so "Work" and "work" collide, as do "Ａ" and "ａ").
bool NameIsTaken(const QStringList& names, const QString& name);

// True when `path` names an existing directory (a link to one counts). The
// empty text is never a directory.
bool IsExistingFolder(const QString& path);

enum class FolderReady {
  kExisted,  // `path` was already a directory; nothing was done
  kCreated,  // the one missing directory was created
  kFailed,   // it could not be created (missing parent, a file in the way, no permission)
};

// Makes sure `path` names a directory, creating that one directory when it is
// missing. Its parent must exist; no intermediate directories are created.
FolderReady EnsureFolder(const QString& path);

// The row a set moves to when row `selected` of `count` rows moves by `step`
// (-1 up, +1 down), or -1 when there is no selection or the move would leave
// the table.
int MovedRow(int selected, int count, int step);

}  // namespace quillfen_ui
