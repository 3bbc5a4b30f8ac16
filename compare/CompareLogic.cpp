#include "compare/CompareLogic.h"

#include <algorithm>
#include <unordered_set>

#include "engine/FileAccess.h"

namespace quillfen {

namespace {

unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

const char kSearching[] = "を検索中";

std::string SideWord(Side side) {
  return side == Side::Source ? "保存元 " : "保存先 ";
}

// Marks on one side, last item first, the items missing from `other`.
std::vector<char> MarkMissing(const std::vector<std::string>& items,
                              const std::unordered_set<std::string_view>& other,
                              StatusSink& status) {
  std::vector<char> selected(items.size(), 1);
  std::string text;
  for (size_t i = items.size(); i-- > 0;) {
    text.assign(items[i]);
    text += kSearching;
    status.ShowStatus(text);
    if (other.count(items[i]) != 0) selected[i] = 0;
  }
  return selected;
}

std::unordered_set<std::string_view> ToSet(const std::vector<std::string>& items) {
  std::unordered_set<std::string_view> set;
  set.reserve(items.size());
  for (const std::string& item : items) set.insert(item);
  return set;
}

}  // namespace

bool RelativePathLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = FoldAscii(a[i]), y = FoldAscii(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::string FolderToLeaveOut(std::string_view source, std::string_view destination) {
  const std::string src = TrimTrailingSlashes(source);
  const std::string dst = TrimTrailingSlashes(destination);
  if (src.empty() || dst.empty() || dst == src) return {};
  const std::string prefix = src == "/" ? src : src + "/";
  if (dst.size() > prefix.size() && dst.compare(0, prefix.size(), prefix) == 0) return dst;
  return {};
}

std::vector<std::string> ListRelativeFiles(std::string_view root, std::string_view leaveOut) {
  if (root.empty()) return {};
  std::vector<std::string> files = ListTreeFiles(root, leaveOut);
  std::sort(files.begin(), files.end(),
            [](const std::string& a, const std::string& b) { return RelativePathLess(a, b); });
  return files;
}

Comparison CompareListings(const std::vector<std::string>& left,
                           const std::vector<std::string>& right, StatusSink& status) {
  Comparison result;
  result.leftSelected = MarkMissing(left, ToSet(right), status);
  result.rightSelected = MarkMissing(right, ToSet(left), status);
  return result;
}

std::string TotalText(Side side, size_t total) {
  return SideWord(side) + std::to_string(total) + " ファイル";
}

std::string SelectionText(Side side, size_t selected, size_t total) {
  return std::to_string(selected) + "／" + TotalText(side, total);
}

}  // namespace quillfen
