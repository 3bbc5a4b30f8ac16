#include "app/BackupRun.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include <QString>

#include "engine/FiCheck.h"
#include "engine/FileAccess.h"
#include "engine/FileCopy.h"
#include "engine/FolderCopyCheck.h"
#include "engine/TargetFolder.h"

namespace quillfen {
namespace {

const char kEndTimeKey[] = "終了時刻";

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The key under which an extension is looked up: ASCII lowered directly (the
// common case, no conversion), other valid UTF-8 case-folded through QString,
// and anything else kept as its bytes behind a 0xFF byte, which valid UTF-8
// never contains, so such keys match only the same bytes.
std::string FoldKey(std::string_view text) {
  if (IsAscii(text)) {
    std::string key(text);
    for (char& c : key) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
  }
  const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
  const QString decoded = QString::fromUtf8(bytes);
  if (decoded.toUtf8() != bytes) {
    std::string key(1, '\xff');
    return key.append(text);
  }
  return decoded.toCaseFolded().toUtf8().toStdString();
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder joined with a relative path that begins with '/'.
std::string Join(const std::string& folder, const std::string& relative) {
  if (folder == "/") return relative;
  return folder + relative;
}

// A folder joined with a relative folder path that is empty (the folder
// itself) or begins with '/'.
std::string JoinFolder(const std::string& folder, const std::string& relative) {
  if (relative.empty()) return folder;
  return Join(folder, relative);
}

// The path of the file `name` in `folder`.
std::string JoinName(const std::string& folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder);
  if (path.back() != '/') path.push_back('/');
  return path.append(name);
}

// Whether `inner` lies strictly beneath `outer` (both without trailing '/').
bool IsStrictlyInside(std::string_view inner, std::string_view outer) {
  if (outer == "/") return inner.size() > 1 && inner.front() == '/';
  return inner.size() > outer.size() + 1 && inner.substr(0, outer.size()) == outer &&
         inner[outer.size()] == '/';
}

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
  if (ec) return {};
  return TrimTrailingSlashes(resolved.string());
}

}  // namespace

ExtensionSet::ExtensionSet(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    if (!entry.empty()) keys_.insert(FoldKey(entry));
  }
}

bool ExtensionSet::Contains(std::string_view extension) const {
  if (extension.empty() || keys_.empty()) return false;
  return keys_.count(FoldKey(extension)) != 0;
}

std::string FolderToSkip(std::string_view source, std::string_view destination) {
  const std::string src = TrimTrailingSlashes(source);
  const std::string dst = TrimTrailingSlashes(destination);
  if (src.empty() || dst.empty()) return {};
  if (IsStrictlyInside(dst, src)) return dst;
  // The same place may be reached through symbolic links: compare resolved
  // paths, and name the folder as the listing of `src` will see it.
  const std::string realSrc = Canonical(src);
  const std::string realDst = Canonical(dst);
  if (realSrc.empty() || realDst.empty() || !IsStrictlyInside(realDst, realSrc)) return {};
  const std::string_view rest =
      std::string_view(realDst).substr(realSrc == "/" ? 0 : realSrc.size());
  return Join(src, std::string(rest));
}

BackupRunResult RunBackup(const std::vector<BackupSet>& sets,
                          const std::vector<std::string>& keepOriginal,
                          const std::vector<std::string>& excluded, const Clock& clock,
                          IniFile& settings, BackupRunView& view) {
  BackupRunResult result;
  const ExtensionSet excludedSet(excluded);
  const ExtensionSet keepSet(keepOriginal);

  for (const BackupSet& set : sets) {
    const DateTime now = clock.Now();
    const DateTime lastEnd = settings.ReadDateTime(set.name, kEndTimeKey, 0.0);
    if (WholeHoursBetween(now, lastEnd) <= 23) {
      view.SetStatus(set.name + "は標準時間が経過していませんでした。");
      view.StartTimer2();
      continue;
    }
    const std::string source = TrimTrailingSlashes(set.source);
    if (!IsFolder(source)) {
      view.SetStatus(set.name + "はコピー元フォルダが存在しません。");
      view.StartTimer2();
      continue;
    }
    const std::string destination = TrimTrailingSlashes(set.destination);
    if (destination.empty()) {
      // Joining an empty destination with the relative paths would write the
      // whole tree into the file system root.
      view.SetStatus(set.name + "はコピー先フォルダが指定されていません。");
      view.StartTimer2();
      result.failures.push_back(set.name + ": no destination folder");
      continue;
    }
    view.SetStatus(set.name + "をバックアップ中");

    // The whole tree is listed before the first copy. Files come folder by
    // folder, so each pair of folders is opened once for all its files.
    const TreeListing listing = ListTree(source, FolderToSkip(source, destination));
    FolderCopyCheck check;
    // Links planted in the destination tree are replaced, never followed: no
    // copy may leave the tree through one, and none passes for a copy.
    const bool replaceLinks = MayReplaceLinks(source, destination);
    TargetPlaces places(destination);
    // Replaced targets are closed for the last time on a second thread.
    DeferredCloser replaced;
    long long failed = 0;
    long long copied = 0;
    for (const TreeListing::Folder& folder : listing.folders) {
      const std::string sourceFolder = JoinFolder(source, folder.relative);
      const std::string targetFolder = JoinFolder(destination, folder.relative);
      bool entered = false;
      TreeListing::ForEachName(listing, folder, [&](std::string_view name) {
        const std::string_view extension = FileExtension(name);
        if (excludedSet.Contains(extension)) return;
        const bool keepFirstCopy = keepSet.Contains(extension);
        if (!entered) {
          if (replaceLinks) places.EnterFolder(folder.relative);
          check.Enter(sourceFolder, targetFolder);
          entered = true;
        }
        if (!check.NeedsCopy(name.data(), !keepFirstCopy, replaceLinks)) return;
        const std::string sourcePath = JoinName(sourceFolder, name);
        const std::string targetPath = JoinName(targetFolder, name);
        // Through the open folders when both could be opened; otherwise by
        // path, which names the reason of the failure.
        const Status copy =
            check.sourceFolderFd() >= 0 && check.targetFolderFd() >= 0
                ? CopyFileAt(check.sourceFolderFd(), name.data(), check.targetFolderFd(),
                             name.data(), sourcePath, targetPath, &replaced)
                : CopyFile(sourcePath, targetPath);
        if (copy.ok()) {
          ++copied;
        } else {
          ++failed;
          result.failures.push_back(copy.message());
        }
      });
    }
    replaced.Wait();
    result.filesCopied += copied;
    if (failed > 0) {
      view.SetStatus(set.name + "のコピーに失敗したファイルが" + std::to_string(failed) +
                     "件あります。");
      view.StartTimer2();
    }
    if (copied > 0) {
      // The end time must not claim copies that a power loss could take back:
      // when the flush fails, the set stays due.
      const Status sync = SyncFileSystem(destination);
      if (!sync.ok()) {
        result.failures.push_back(sync.message());
        continue;
      }
    }
    const Status written = settings.WriteDateTime(set.name, kEndTimeKey, clock.Now());
    if (!written.ok()) {
      result.settingsError = written;
      return result;
    }
    ++result.setsBackedUp;
  }
  return result;
}

}  // namespace quillfen
