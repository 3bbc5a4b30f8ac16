#include "app/RunNotice.h"

namespace quillfen {

std::optional<RunNotice> UnattendedRunNotice(const std::vector<std::string>& failedSets,
                                             size_t failureCount,
                                             const std::string& settingsError) {
  if (failedSets.empty() && failureCount == 0 && settingsError.empty()) return std::nullopt;
  RunNotice notice;
  if (failureCount > 0) {
    notice.summary = "Quillfen: バックアップできなかったファイルが" + std::to_string(failureCount) +
                     "件あります";
  } else {
    notice.summary = "Quillfen: 設定を保存できませんでした";
  }
  for (const std::string& line : failedSets) notice.body += line + "\n";
  if (!settingsError.empty()) notice.body += settingsError + "\n";
  if (!notice.body.empty()) notice.body.pop_back();
  return notice;
}

}  // namespace quillfen
