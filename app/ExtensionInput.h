// The rule for adding an entry to one of the two extension lists.
#pragma once

#include <optional>

#include <QString>
#include <QStringList>

namespace quillfen_ui {

// The entry that the typed text adds: "." followed by the text exactly as
// typed (no trimming, no change of case, a typed dot kept). Refused (nullopt)
// when the text is empty, when the entry equals an entry of the other list
// (letter case significant), or when the text holds a control character,
// which the settings file could not keep on its one line. Entries already on
// the same list do not count: a list may hold an entry twice.
std::optional<QString> ExtensionCandidate(const QString& typed, const QStringList& otherList);

}  // namespace quillfen_ui
