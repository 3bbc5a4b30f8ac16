#include "compare/CompareLogic.h"

#include <algorithm>
#include <unordered_set>

#include "engine/FileAccess.h"

namespace quillfen {

namespace {

const char kSearching[] = "を検索中";

std::string SideWord(Side side) {
  return side == Side::Source ? "保存元 " : "保存先 ";
}

// Shows "<path>を検索中" for every item, last item first.
void ShowSearching(const std::vector<std::string>& items, StatusSink& status) {
  std::string text;
  for (size_t i = items.size(); i-- > 0;) {
    text.assign(items[i]);
    text += kSearching;
    status.ShowStatus(text);
  }
}

bool IsSorted(const std::vector<std::string>& items) {
  return std::is_sorted(items.begin(), items.end(), [](const std::string& a, const std::string& b) {
    return FolderPathLess(a, b);
  });
}

// Both lists in FolderPathLess order, whose equal elements are exactly the
// byte-identical ones: one merge walk finds every common path.
void MarkCommonSorted(const std::vector<std::string>& left, const std::vector<std::string>& right,
                      Comparison& result) {
  size_t i = 0, j = 0;
  while (i < left.size() && j < right.size()) {
    if (FolderPathLess(left[i], right[j])) {
      ++i;
    } else if (FolderPathLess(right[j], left[i])) {
      ++j;
    } else {
      // Repeated paths all count as present on the other side.
      const std::string& key = left[i];
      while (i < left.size() && left[i] == key) result.leftSelected[i++] = 0;
      while (j < right.size() && right[j] == key) result.rightSelected[j++] = 0;
    }
  }
}

// Lists in any order: hash lookup of each item in the other side.
void MarkCommonHashed(const std::vector<std::string>& left, const std::vector<std::string>& right,
                      Comparison& result) {
  std::unordered_set<std::string_view> rightSet(right.begin(), right.end());
  for (size_t i = 0; i < left.size(); ++i)
    if (rightSet.count(left[i]) != 0) result.leftSelected[i] = 0;
  std::unordered_set<std::string_view> leftSet(left.begin(), left.end());
  for (size_t j = 0; j < right.size(); ++j)
    if (leftSet.count(right[j]) != 0) result.rightSelected[j] = 0;
}

}  // namespace

std::vector<std::string> ListRelativeFiles(std::string_view root, std::string_view leaveOut) {
  if (root.empty()) return {};
  std::vector<std::string> files = ListTreeFiles(root, leaveOut);
  std::sort(files.begin(), files.end(),
            [](const std::string& a, const std::string& b) { return FolderPathLess(a, b); });
  return files;
}

Comparison CompareListings(const std::vector<std::string>& left,
                           const std::vector<std::string>& right, StatusSink& status) {
  Comparison result{std::vector<char>(left.size(), 1), std::vector<char>(right.size(), 1)};
  if (IsSorted(left) && IsSorted(right))
    MarkCommonSorted(left, right, result);
  else
    MarkCommonHashed(left, right, result);
  ShowSearching(left, status);
  ShowSearching(right, status);
  return result;
}

std::string TotalText(Side side, size_t total) {
  return SideWord(side) + std::to_string(total) + " ファイル";
}

std::string SelectionText(Side side, size_t selected, size_t total) {
  return std::to_string(selected) + "／" + TotalText(side, total);
}

}  // namespace quillfen
