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

// Stops the run with the failed condition named, so that libFuzzer keeps the input.
#define Check(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

const char kMissing[] = "\x01missing";
const char* const kKeys[] = {"コピー元", "コピー先", "終了時刻", "オリジナル保存拡張子",
                             "保存対象外拡張子"};

std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

const std::string& WorkPath() {
  static const std::string path = [] {
    // Every write syncs the file; on a RAM disk that costs nothing.
    std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    dir += "/quillfen-ini-fuzz-XXXXXX";
    if (!mkdtemp(dir.data())) std::abort();
    return dir + "/Quillfen.ini";
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
    for (const char* key : kKeys) s.values.push_back(ini.ReadString(section, key, kMissing));
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

  // A value that code page 932 cannot hold turns a file read in that code
  // page into UTF-8. Lines that never decoded keep their bytes and may become
  // readable then, but nothing that was readable may change or go.
  const std::string wide = "/d/na\u00efve \u2603 \U0001F600";
  if (!reread.WriteString(fresh, "コピー元", wide).ok()) std::abort();
  quillfen::IniFile third(path);
  const std::vector<std::string> last = third.Sections();
  Check(!last.empty() && last.back() == fresh);
  Check(third.ReadString(fresh, "コピー元", "") == wide);
  size_t found = 0;
  for (const std::string& section : last)
    if (found < before.sections.size() && section == before.sections[found]) ++found;
  Check(found == before.sections.size());
  size_t v = 0;
  for (const std::string& section : before.sections) {
    for (const char* key : kKeys) {
      const std::string& was = before.values[v++];
      if (was != kMissing) Check(third.ReadString(section, key, kMissing) == was);
    }
  }
  return 0;
}
