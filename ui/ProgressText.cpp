#include "ui/ProgressText.h"

#include <cstdio>

namespace quillfen {

std::string GroupedNumber(long long value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return value < 0 ? "-" + digits : digits;
}

std::string ByteText(long long bytes) {
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  // Rounded as it is printed: 1023.7 KB is shown as "1.0 MB", not "1024 KB".
  while (value >= 1023.5 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 99.95 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

std::string ProgressText(const RunProgress& progress, long long elapsedMs) {
  const long long seconds = elapsedMs / 1000;
  char clock[32];
  if (seconds >= 3600) {
    std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  } else {
    std::snprintf(clock, sizeof clock, "%lld:%02lld", seconds / 60, seconds % 60);
  }
  std::string text;
  if (progress.listing.load(std::memory_order_relaxed)) {
    text = "一覧作成中";
  } else {
    text = GroupedNumber(progress.lookedAt.load(std::memory_order_relaxed)) + " / " +
           GroupedNumber(progress.files.load(std::memory_order_relaxed)) + " 件確認";
  }
  text += "　" + GroupedNumber(progress.copied.load(std::memory_order_relaxed)) + " 件コピー (" +
          ByteText(progress.bytes.load(std::memory_order_relaxed)) + ")";
  if (const long long failed = progress.failed.load(std::memory_order_relaxed); failed > 0) {
    text += "　失敗 " + GroupedNumber(failed) + " 件";
  }
  return text + "　" + clock;
}

}  // namespace quillfen
