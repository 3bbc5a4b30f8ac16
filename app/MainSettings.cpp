#include "app/MainSettings.h"

#include "engine/AsciiCase.h"
#include "engine/CommaText.h"

namespace quillfen {
namespace {

const char kMainSection[] = "Main";
const char kSourceKey[] = "コピー元";
const char kDestinationKey[] = "コピー先";
const char kKeepOriginalKey[] = "オリジナル保存拡張子";
const char kExcludedKey[] = "保存対象外拡張子";
const char kProgramEndKey[] = "ソフト終了時刻";
const char kEndTimeKey[] = "終了時刻";
const char kEndDestinationKey[] = "前回のコピー先";

const char* KeyOf(ExtensionList list) {
  return list == ExtensionList::kKeepOriginal ? kKeepOriginalKey : kExcludedKey;
}

// The items each followed by ",", the last one too.
std::string ListValue(const std::vector<std::string>& items) {
  std::string value;
  for (const std::string& item : items) value.append(item).append(",");
  return value;
}

}  // namespace

std::vector<BackupSet> ReadSets(const IniFile& settings) {
  std::vector<BackupSet> sets;
  const std::string_view keys[] = {kSourceKey, kDestinationKey};
  settings.ForEachSection(
      keys, [&](std::string_view name, std::span<const std::string_view> folders) {
        if (name == kMainSection) return;
        sets.push_back({std::string(name), std::string(folders[0]), std::string(folders[1])});
      });
  return sets;
}

std::vector<std::string> ReadExtensionList(const IniFile& settings, ExtensionList list) {
  std::vector<std::string> items =
      SplitCommaText(settings.ReadString(kMainSection, KeyOf(list), ""));
  std::erase(items, std::string());
  return items;
}

Status WriteSettings(IniFile& settings, const std::vector<BackupSet>& sets,
                     const std::vector<std::string>& keepOriginal,
                     const std::vector<std::string>& excluded, DateTime now,
                     const std::vector<std::pair<std::string, std::string>>& renamed) {
  settings.BeginUpdate();
  Status status = Status::Ok();
  auto write = [&](const std::string& section, const char* key, const std::string& value) {
    if (status.ok()) status = settings.WriteString(section, key, value);
  };
  // Section names match without regard to ASCII case, as the file reads them.
  auto carried = [&](const std::string& name) {
    for (const BackupSet& set : sets) {
      if (SameIgnoringAsciiCase(set.name, name)) return true;
    }
    return false;
  };
  for (const auto& [former, name] : renamed) {
    if (!status.ok() || carried(former) || SameIgnoringAsciiCase(former, name)) continue;
    const std::string endTime = settings.ReadString(former, kEndTimeKey, "");
    if (settings.ReadString(name, kEndTimeKey, "").empty()) {
      if (!endTime.empty()) write(name, kEndTimeKey, endTime);
      // And the folder it was written for (or a first backup into it began
      // and did not end), which tells a missing destination of an absent
      // medium from a folder never backed up into.
      const std::string into = settings.ReadString(former, kEndDestinationKey, "");
      if (!into.empty()) write(name, kEndDestinationKey, into);
    }
    if (status.ok()) status = settings.EraseSection(former);
  }
  for (const BackupSet& set : sets) {
    write(set.name, kSourceKey, set.source);
    write(set.name, kDestinationKey, set.destination);
  }
  write(kMainSection, kKeepOriginalKey, ListValue(keepOriginal));
  write(kMainSection, kExcludedKey, ListValue(excluded));
  if (status.ok()) status = settings.WriteDateTime(kMainSection, kProgramEndKey, now);
  const Status flushed = settings.EndUpdate();
  return status.ok() ? flushed : status;
}

}  // namespace quillfen
