#include "engine/RunRecord.h"

#include <utility>

namespace quillfen {

void RunReport::Failed(std::string line) {
  if (kept_ >= kKeptLines) {
    ++pending_.notKept;
    return;
  }
  ++kept_;
  pending_.failures.push_back(std::move(line));
}

void RunReport::SetDone(std::string summary) {
  pending_.summary = std::move(summary);
  sets_.push_back(std::move(pending_));
  pending_ = SetReport();
}

void RunReport::Close(const std::string& summary) {
  if (!pending_.failures.empty() || pending_.notKept > 0) SetDone(summary);
}

bool RunReport::HasFailures() const {
  for (const SetReport& set : sets_) {
    if (!set.failures.empty() || set.notKept > 0) return true;
  }
  return false;
}

}  // namespace quillfen
