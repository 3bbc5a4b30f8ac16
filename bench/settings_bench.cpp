// Settings file with many sets: the start-up read, the close (two keys per set
// in one batch), one end-time write and one section erase, each timed on a
// file of N sets (default 10,000) in a fresh temporary folder.
//   settings_bench [sets]
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/IniFile.h"

namespace {

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

bool Check(const quillfen::Status& st) {
  if (!st.ok()) std::fprintf(stderr, "%s: %s\n", st.message().c_str(), st.detail().c_str());
  return st.ok();
}

}  // namespace

int main(int argc, char** argv) {
  const int sets = argc > 1 ? std::atoi(argv[1]) : 10000;
  char tmpl[] = "/tmp/quillfen-settings-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string path = std::string(tmpl) + "/Quillfen.ini";
  const quillfen::DateTime now = quillfen::EncodeDateTime(2010, 4, 1, 9, 5, 7);
  auto name = [](int i) { return "Set " + std::to_string(i); };

  // The close: every set's two folders, then the three shared keys, one write.
  auto close = [&](const char* label) {
    auto start = std::chrono::steady_clock::now();
    quillfen::IniFile ini(path);
    ini.BeginUpdate();
    for (int i = 0; i < sets; ++i) {
      if (!Check(ini.WriteString(name(i), "コピー元", "/home/user/data/folder " + name(i))) ||
          !Check(ini.WriteString(name(i), "コピー先", "/mnt/backup/folder " + name(i)))) {
        return false;
      }
    }
    if (!Check(ini.WriteString("Main", "オリジナル保存拡張子", ".doc,.xls,")) ||
        !Check(ini.WriteString("Main", "保存対象外拡張子", ".tmp,")) ||
        !Check(ini.WriteDateTime("Main", "ソフト終了時刻", now)) || !Check(ini.EndUpdate())) {
      return false;
    }
    std::printf("%-36s %9.1f ms\n", label, MsSince(start));
    return true;
  };
  if (!close("close, new file")) return 1;
  if (!close("close, every key replaced")) return 1;

  // The start-up: list the sets and read both folders of each.
  auto start = std::chrono::steady_clock::now();
  size_t bytes = 0;
  {
    quillfen::IniFile ini(path);
    for (const std::string& section : ini.Sections()) {
      bytes += ini.ReadString(section, "コピー元", "").size();
      bytes += ini.ReadString(section, "コピー先", "").size();
    }
  }
  std::printf("%-36s %9.1f ms (%zu bytes of folders)\n", "start-up read", MsSince(start), bytes);

  // A run writes one end time per set, each a whole atomic rewrite.
  start = std::chrono::steady_clock::now();
  {
    quillfen::IniFile ini(path);
    if (!Check(ini.WriteDateTime(name(sets / 2), "終了時刻", now))) return 1;
  }
  std::printf("%-36s %9.1f ms\n", "open + one end time written", MsSince(start));

  start = std::chrono::steady_clock::now();
  {
    quillfen::IniFile ini(path);
    if (!Check(ini.EraseSection(name(sets / 3)))) return 1;
  }
  std::printf("%-36s %9.1f ms\n", "open + one section erased", MsSince(start));
  std::printf("file size %ju bytes, %d sets\n",
              static_cast<uintmax_t>(std::filesystem::file_size(path)), sets);
  std::filesystem::remove_all(tmpl);
  return 0;
}
