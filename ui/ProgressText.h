// The progress a window shows beside its status line while a backup run or a
// selective copy works, as text.
#pragma once

#include <string>

#include "engine/RunRecord.h"

namespace quillfen {

// "12,345 / 200,000 件確認　1,234 件コピー (56.7 MB)　0:15", with "失敗 N 件"
// added when files failed, and "一覧作成中" while the tree is listed.
// `elapsedMs`: the time since the work began.
std::string ProgressText(const RunProgress& progress, long long elapsedMs);

// 1234567 as "1,234,567".
std::string GroupedNumber(long long value);

// A byte count for people: "512 B", "56.7 KB", "1.2 GB" (powers of 1024).
std::string ByteText(long long bytes);

}  // namespace quillfen
