// Settings file with many sets, each section as the program leaves it (its
// two folders and the end time of its last run).
//
//   settings_bench [SETS]
//       Makes a file of SETS sets (default 10,000) in a fresh temporary
//       folder and times on it: the close (two keys per set in one batch) on
//       a new file and on the full one, the start-up read, one end-time write
//       and one section erase, each opening the file afresh. Then runs itself
//       with --roundtrip on the file, in a new process so that its peak
//       memory is that of the round trip alone.
//   settings_bench --roundtrip FILE
//       What the main window does with FILE from start to close: reads the
//       sets and both extension lists, then opens the file again and writes
//       everything back (WriteSettings). Prints the time, the peak resident
//       memory and its ratio to the file's size.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/MainSettings.h"
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

const quillfen::DateTime kNow = quillfen::EncodeDateTime(2010, 4, 1, 9, 5, 7);

int RoundTrip(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<quillfen::BackupSet> sets;
  std::vector<std::string> keep, excluded;
  {
    const quillfen::IniFile ini(path);
    sets = quillfen::ReadSets(ini);
    keep = quillfen::ReadExtensionList(ini, quillfen::ExtensionList::kKeepOriginal);
    excluded = quillfen::ReadExtensionList(ini, quillfen::ExtensionList::kExcluded);
  }
  const double readMs = MsSince(start);
  {
    quillfen::IniFile ini(path);
    if (!Check(quillfen::WriteSettings(ini, sets, keep, excluded, kNow))) return 1;
  }
  const double totalMs = MsSince(start);
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const double size = static_cast<double>(std::filesystem::file_size(path));
  const double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
  std::printf("%-36s %9.1f ms (read %.1f ms, %zu sets)\n", "round trip: start-up read + close",
              totalMs, readMs, sets.size());
  std::printf("%-36s %9.1f MB (%.2f x the file's %.1f MB)\n", "round trip: peak resident memory",
              peak / 1e6, peak / size, size / 1e6);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--roundtrip") return RoundTrip(argv[2]);
  const int sets = argc > 1 ? std::atoi(argv[1]) : 10000;
  char tmpl[] = "/tmp/quillfen-settings-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string path = std::string(tmpl) + "/Quillfen.ini";
  auto name = [](int i) { return "Set " + std::to_string(i); };

  // The close: every set's two folders, then the three shared keys, one write.
  auto close = [&](const char* label) {
    auto start = std::chrono::steady_clock::now();
    quillfen::IniFile ini(path);
    ini.BeginUpdate();
    for (int i = 0; i < sets; ++i) {
      if (!Check(ini.WriteString(name(i), "コピー元", "/home/user/data/" + std::to_string(i))) ||
          !Check(ini.WriteString(name(i), "コピー先", "/mnt/backup/" + std::to_string(i)))) {
        return false;
      }
    }
    if (!Check(ini.WriteString("Main", "オリジナル保存拡張子", ".doc,.xls,")) ||
        !Check(ini.WriteString("Main", "保存対象外拡張子", ".tmp,")) ||
        !Check(ini.WriteDateTime("Main", "ソフト終了時刻", kNow)) || !Check(ini.EndUpdate())) {
      return false;
    }
    std::printf("%-36s %9.1f ms\n", label, MsSince(start));
    return true;
  };
  if (!close("close, new file")) return 1;

  // Every set has run once: its end time is added after its folders.
  auto start = std::chrono::steady_clock::now();
  {
    quillfen::IniFile ini(path);
    ini.BeginUpdate();
    for (int i = 0; i < sets; ++i) {
      if (!Check(ini.WriteDateTime(name(i), "終了時刻", kNow))) return 1;
    }
    if (!Check(ini.EndUpdate())) return 1;
  }
  std::printf("%-36s %9.1f ms\n", "end time added to every set", MsSince(start));
  if (!close("close, every key replaced")) return 1;

  // The start-up: list the sets and read both folders of each.
  start = std::chrono::steady_clock::now();
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
    if (!Check(ini.WriteDateTime(name(sets / 2), "終了時刻", kNow))) return 1;
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
  std::fflush(stdout);

  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", argv[0], "--roundtrip", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 1;
  if (child < 0 || waitpid(child, &status, 0) != child) status = 1;
  std::filesystem::remove_all(tmpl);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
