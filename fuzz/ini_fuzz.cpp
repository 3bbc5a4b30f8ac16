// Fuzzes the settings-file reader and writer: any file content is read without
// a crash, and adding a key to a new section writes the file back with every
// earlier section and value still readable, in the same order.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/IniFile.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

const char* const kKeys[] = {"コピー元", "コピー先", "終了時刻", "オリジナル保存拡張子",
                             "保存対象外拡張子"};

std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

const std::string& WorkPath() {
  static const std::string path = [] {
    char dir[] = "/tmp/quillfen-ini-fuzz-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    return std::string(dir) + "/Quillfen.ini";
  }();
  return path;
}

struct Snapshot {
  std::vector<std::string> sections;
  std::vector<std::string> values;  // every key of kKeys in every section
};

Snapshot Take(const quillfen::IniFile& ini) {
  Snapshot s;
  s.sections = ini.Sections();
  for (const std::string& section : s.sections)
    for (const char* key : kKeys) s.values.push_back(ini.ReadString(section, key, "\x01missing"));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = WorkPath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  quillfen::IniFile ini(path);
  const Snapshot before = Take(ini);
  for (const std::string& section : before.sections)
    (void)ini.ReadDateTime(section, "終了時刻", 0.0);

  // A section name that no existing section matches, ignoring case.
  std::string fresh = "FuzzNew";
  auto taken = [&](const std::string& name) {
    return std::any_of(before.sections.begin(), before.sections.end(),
                       [&](const std::string& s) { return LowerAscii(s) == LowerAscii(name); });
  };
  while (taken(fresh)) fresh += "x";

  if (!ini.WriteString(fresh, "終了時刻", "2010/04/01 9:05:07").ok()) std::abort();

  quillfen::IniFile reread(path);
  Snapshot after = Take(reread);
  Check(!after.sections.empty() && after.sections.back() == fresh);
  after.sections.pop_back();
  after.values.resize(after.values.size() - std::size(kKeys));
  Check(after.sections == before.sections);
  Check(after.values == before.values);
  Check(reread.ReadString(fresh, "終了時刻", "") == "2010/04/01 9:05:07");
  return 0;
}
