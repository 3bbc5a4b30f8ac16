#include "engine/TemporaryFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/FolderRead.h"

namespace quillfen {
namespace {

constexpr std::string_view kPrefix = ".quillfen-tmp-";
constexpr std::string_view kOldPrefix = ".quillfen-";
constexpr size_t kRandomDigits = 16;
constexpr size_t kOldDigits = 10;

bool IsLowerHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool AllLowerHex(std::string_view text) {
  for (char c : text) {
    if (!IsLowerHex(c)) return false;
  }
  return true;
}

// A well-mixed 64-bit number for the n-th name of this process.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

uint64_t Seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return seed;
}

// The process id in a temporary name of the current form, or -1 when `name`
// has another form.
long PidOf(std::string_view name) {
  if (name.substr(0, kPrefix.size()) != kPrefix) return -1;
  name.remove_prefix(kPrefix.size());
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9 || name[0] == '0') return -1;
  long pid = 0;
  for (size_t i = 0; i < dash; ++i) {
    if (!IsDigit(name[i])) return -1;
    pid = pid * 10 + (name[i] - '0');
  }
  const std::string_view random = name.substr(dash + 1);
  if (random.size() != kRandomDigits || !AllLowerHex(random)) return -1;
  return pid;
}

bool IsOldTemporaryName(std::string_view name) {
  return name.size() == kOldPrefix.size() + kOldDigits &&
         name.substr(0, kOldPrefix.size()) == kOldPrefix &&
         AllLowerHex(name.substr(kOldPrefix.size()));
}

// Whether the temporary file of process `pid` is a leftover: the process is
// gone, or it is this process, which never leaves one in a folder it is about
// to work in (such a name stems from an earlier process with the same id).
bool ProcessIsGone(long pid) {
  if (pid == static_cast<long>(getpid())) return true;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string NewTemporaryName() {
  static const uint64_t seed = Seed();
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = Mix(seed + counter.fetch_add(1, std::memory_order_relaxed));
  char name[64];
  std::snprintf(name, sizeof name, "%.*s%ld-%016llx", static_cast<int>(kPrefix.size()),
                kPrefix.data(), static_cast<long>(getpid()), static_cast<unsigned long long>(n));
  return name;
}

bool IsTemporaryName(std::string_view name) {
  return PidOf(name) > 0 || IsOldTemporaryName(name);
}

bool IsOldSettingsTemporaryName(std::string_view name, std::string_view settingsName) {
  if (settingsName.empty() || name.size() != settingsName.size() + 8 || name[0] != '.' ||
      name.substr(1, settingsName.size()) != settingsName || name[settingsName.size() + 1] != '.') {
    return false;
  }
  bool allLowerLetters = true;
  for (char c : name.substr(settingsName.size() + 2)) {
    const bool lower = c >= 'a' && c <= 'z';
    const bool other = (c >= 'A' && c <= 'Z') || IsDigit(c);
    if (!lower && !other) return false;
    allLowerLetters = allLowerLetters && lower;
  }
  return !allLowerLetters;
}

int RemoveLeftoverTemporaryFiles(int folderFd, std::string_view settingsName) {
  if (lseek(folderFd, 0, SEEK_SET) != 0) return 0;
  std::vector<std::string> leftovers;
  // A folder that cannot be read to its end: the leftovers found so far go.
  ForEachFolderEntry(folderFd, [&](const struct dirent64& entry) {
    const std::string_view name(entry.d_name);
    // Almost every name is over after its first two bytes.
    if (name.size() < 2 || name[0] != '.') return;
    const long pid = PidOf(name);
    if ((pid > 0 && ProcessIsGone(pid)) || IsOldTemporaryName(name) ||
        IsOldSettingsTemporaryName(name, settingsName)) {
      leftovers.emplace_back(name);
    }
  });
  int removed = 0;
  for (const std::string& name : leftovers) {
    if (unlinkat(folderFd, name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace quillfen
