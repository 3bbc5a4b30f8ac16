// The names of the program's own temporary files. A copy or a settings file
// is written under such a name beside its target and renamed over it when
// complete; a process killed at the wrong moment leaves one behind, which the
// next run, selective copy or settings write removes from every folder it
// works in, and which no listing ever shows.
#pragma once

#include <string>
#include <string_view>

namespace quillfen {

// A fresh temporary name: ".quillfen-tmp-<pid>-<16 hexadecimal digits>".
// The process id says whose it is, so that a name still in use by a living
// process (another instance of the program) is never taken for a leftover.
std::string NewTemporaryName();

// Whether `name` is one of the program's temporary names: the form above,
// or ".quillfen-" followed by exactly ten lowercase hexadecimal digits, the
// form that earlier versions of the program used.
bool IsTemporaryName(std::string_view name);

// Whether `name` is a temporary name that earlier versions of the program
// left beside the settings file `settingsName` (".Quillfen.ini.Ab3xYz":
// a dot, the file's name, a dot and six letters and digits chosen at random,
// which are never all lowercase letters in the names this rule removes, so
// that a user's ".Quillfen.ini.backup" is not taken for one).
bool IsOldSettingsTemporaryName(std::string_view name, std::string_view settingsName);

// Removes from the open folder `folderFd` every regular file whose name is a
// temporary name of a process that is gone (see NewTemporaryName), and, when
// `settingsName` is not empty, the old settings-file temporary names of
// IsOldSettingsTemporaryName. Failures are silent: a leftover that cannot be
// removed now is tried again next time. Returns how many were removed.
int RemoveLeftoverTemporaryFiles(int folderFd, std::string_view settingsName = {});

}  // namespace quillfen
