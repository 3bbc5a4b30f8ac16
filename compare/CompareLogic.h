// The comparison window's plain logic: listing a tree as sorted relative
// paths, comparing two listings by presence, and the counter texts.
// No widgets here; the window feeds these functions and writes back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/PathOrder.h"

namespace quillfen {

// Receives status-line texts in the order they are shown (UTF-8 bytes; a
// file name that is not valid UTF-8 passes through unchanged).
class StatusSink {
 public:
  virtual ~StatusSink() = default;
  virtual void ShowStatus(std::string_view text) = 0;
};

// Every file under `root` as a relative path ("/name", "/sub/name"), sorted
// by FolderPathLess; no folders. Only the root prefix is removed, never
// another occurrence of its text. A missing or unreadable root gives nothing.
// `leaveOut`, when not empty, is a relative folder left out with all below it
// (see FolderToLeaveOut). The program's temporary files are never listed.
std::vector<std::string> ListRelativeFiles(std::string_view root, std::string_view leaveOut = {});

// Selection flags of both sides after "compare and select": on each side
// exactly the items whose identical bytes (letter case counts) the other side
// lacks.
struct Comparison {
  std::vector<char> leftSelected;
  std::vector<char> rightSelected;
};

// Compares two listings by presence only. Shows "<path>を検索中" once per
// item, left side from the last item to the first, then right side likewise.
// Runs in linear time on lists in FolderPathLess order (a merge walk) and
// in expected linear time on any others (hash lookup).
Comparison CompareListings(const std::vector<std::string>& left,
                           const std::vector<std::string>& right, StatusSink& status);

enum class Side { Source, Destination };

// "保存元 120 ファイル" / "保存先 120 ファイル".
std::string TotalText(Side side, size_t total);
// "35／保存元 120 ファイル".
std::string SelectionText(Side side, size_t selected, size_t total);

}  // namespace quillfen
