// What the main window keeps in the settings file, read and written without
// widgets: the sets (one section each, in file order) and, in the section
// "Main", the two extension lists and the program's end time.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "engine/BackupRun.h"
#include "engine/DateTime.h"
#include "engine/DestinationWatch.h"
#include "engine/IniFile.h"
#include "engine/Status.h"

namespace quillfen {

// Every set of the file in section order: each section but the one named
// exactly "Main" (Main2 and main are sets), with its source and destination
// folders ("" where a key is missing).
std::vector<BackupSet> ReadSets(const IniFile& settings);

// The two extension lists.
enum class ExtensionList { kKeepOriginal, kExcluded };

// The non-empty items of the stored list, in stored order (the comma text
// ".doc,.xls," gives .doc and .xls).
std::vector<std::string> ReadExtensionList(const IniFile& settings, ExtensionList list);

// What the close writes, in this order and as one write of the file: the
// source and destination of every set (a missing section added at the end),
// each list as its items each followed by ",", and `now` as the program's end
// time. Sections and keys not written keep their content and place. The
// first failing write stops the rest.
//
// `renamed` lists the sets renamed since the start (former name, new name),
// in the order renamed: a former name that no set carries any more has its
// section erased, its end time first carried to the new name's section when
// that has none, so that a renamed set neither comes back under its former
// name nor counts as never backed up.
Status WriteSettings(IniFile& settings, const std::vector<BackupSet>& sets,
                     const std::vector<std::string>& keepOriginal,
                     const std::vector<std::string>& excluded, DateTime now,
                     const std::vector<std::pair<std::string, std::string>>& renamed = {});

}  // namespace quillfen
