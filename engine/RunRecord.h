// What a window shows of a backup run or a selective copy while and after it
// works: the progress figures, written by the work and read by the window at
// any time, and the report of each set with its failure lines, bounded so
// that a million failing files cost no more than a few thousand lines.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace quillfen {

// How far the work has come. The work writes it as it goes (relaxed atomics,
// a store or two per file); a window reads it a few times a second.
struct RunProgress {
  std::atomic<int> set{-1};            // the set being backed up (its row), -1 before
  std::atomic<bool> listing{false};    // its tree is being listed
  std::atomic<long long> files{0};     // the files to look at, once known
  std::atomic<long long> lookedAt{0};  // of them, the files passed by so far
  std::atomic<long long> copied{0};    // copies made so far
  std::atomic<long long> bytes{0};     // bytes of those copies
  std::atomic<long long> failed{0};    // failure lines so far
};

// One set's result: its summary line and the failure lines found for it.
struct SetReport {
  std::string summary;
  std::vector<std::string> failures;
  size_t notKept = 0;  // failure lines beyond the bound, counted only
};

// Collects the failure lines of the set under way and closes each set with
// its summary. Not thread safe: one thread reports, and the window reads
// once the work has returned.
class RunReport {
 public:
  // Failure lines kept over all sets; the rest are counted (the log has them).
  static constexpr size_t kKeptLines = 10000;

  // A failure line of the set under way.
  void Failed(std::string line);
  // The set under way is done: its summary, with the lines since the last.
  void SetDone(std::string summary);
  // Lines reported after the last SetDone go with the next set; a report
  // that ends without one (the work threw) gets them under `summary`.
  void Close(const std::string& summary);

  const std::vector<SetReport>& sets() const { return sets_; }
  // Whether any set had failures.
  bool HasFailures() const;

 private:
  std::vector<SetReport> sets_;
  SetReport pending_;
  size_t kept_ = 0;
};

}  // namespace quillfen
