#include "compare/RowSelection.h"

#include <algorithm>
#include <bit>

namespace quillfen {

namespace {

constexpr size_t kBits = 64;

size_t WordsFor(size_t rows) {
  return (rows + kBits - 1) / kBits;
}

// Sets or clears the bits of rows first..last (inclusive, first <= last).
void SetBits(std::vector<uint64_t>& words, size_t first, size_t last, bool value) {
  const size_t firstWord = first / kBits;
  const size_t lastWord = last / kBits;
  for (size_t w = firstWord; w <= lastWord; ++w) {
    uint64_t mask = ~uint64_t{0};
    if (w == firstWord) mask &= ~uint64_t{0} << (first % kBits);
    if (w == lastWord && last % kBits != kBits - 1) mask &= (uint64_t{1} << (last % kBits + 1)) - 1;
    if (value) {
      words[w] |= mask;
    } else {
      words[w] &= ~mask;
    }
  }
}

}  // namespace

void RowSelection::Reset(size_t rows) {
  rows_ = rows;
  count_ = 0;
  words_.assign(WordsFor(rows), 0);
  base_.clear();
  before_.clear();
  anchor_ = kNoRow;
  rangeSelects_ = true;
}

bool RowSelection::IsSelected(size_t row) const {
  return row < rows_ && (words_[row / kBits] >> (row % kBits) & 1) != 0;
}

std::vector<char> RowSelection::Flags() const {
  std::vector<char> flags(rows_, 0);
  for (size_t w = 0; w < words_.size(); ++w) {
    uint64_t bits = words_[w];
    while (bits != 0) {
      flags[w * kBits + static_cast<size_t>(std::countr_zero(bits))] = 1;
      bits &= bits - 1;
    }
  }
  return flags;
}

size_t RowSelection::NextSelected(size_t row) const {
  if (row >= rows_) return kNoRow;
  size_t w = row / kBits;
  uint64_t bits = words_[w] & (~uint64_t{0} << (row % kBits));
  while (bits == 0) {
    if (++w == words_.size()) return kNoRow;
    bits = words_[w];
  }
  return w * kBits + static_cast<size_t>(std::countr_zero(bits));
}

size_t RowSelection::NextUnselected(size_t row) const {
  if (row >= rows_) return rows_;
  size_t w = row / kBits;
  uint64_t bits = ~words_[w] & (~uint64_t{0} << (row % kBits));
  while (bits == 0) {
    if (++w == words_.size()) return rows_;
    bits = ~words_[w];
  }
  // Bits past the last row are never set, so they read as unselected.
  return std::min(rows_, w * kBits + static_cast<size_t>(std::countr_zero(bits)));
}

bool RowSelection::Runs(size_t limit, std::vector<std::pair<size_t, size_t>>& runs) const {
  runs.clear();
  for (size_t first = NextSelected(0); first != kNoRow;) {
    if (runs.size() == limit) return false;
    const size_t end = NextUnselected(first);
    runs.emplace_back(first, end - 1);
    first = NextSelected(end);
  }
  return true;
}

bool RowSelection::Finish() {
  size_t count = 0;
  for (uint64_t word : words_) count += static_cast<size_t>(std::popcount(word));
  count_ = count;
  return words_ != before_;
}

bool RowSelection::Assign(const std::vector<char>& flags) {
  Snapshot();
  std::fill(words_.begin(), words_.end(), 0);
  const size_t n = std::min(rows_, flags.size());
  for (size_t row = 0; row < n; ++row) {
    if (flags[row] != 0) words_[row / kBits] |= uint64_t{1} << (row % kBits);
  }
  anchor_ = kNoRow;
  return Finish();
}

bool RowSelection::SelectAll() {
  Snapshot();
  if (rows_ > 0) SetBits(words_, 0, rows_ - 1, true);
  anchor_ = kNoRow;
  return Finish();
}

bool RowSelection::Clear() {
  Snapshot();
  std::fill(words_.begin(), words_.end(), 0);
  anchor_ = kNoRow;
  return Finish();
}

void RowSelection::SetAnchor(size_t row, bool rangeSelects) {
  base_ = words_;
  anchor_ = row;
  rangeSelects_ = rangeSelects;
}

void RowSelection::ApplyRange(size_t row) {
  words_ = base_;
  SetBits(words_, std::min(anchor_, row), std::max(anchor_, row), rangeSelects_);
}

bool RowSelection::Click(size_t row) {
  if (row >= rows_) return false;
  Snapshot();
  std::fill(words_.begin(), words_.end(), 0);
  SetAnchor(row, true);
  ApplyRange(row);
  return Finish();
}

bool RowSelection::ControlClick(size_t row) {
  if (row >= rows_) return false;
  Snapshot();
  SetAnchor(row, !IsSelected(row));
  ApplyRange(row);
  return Finish();
}

bool RowSelection::Add(size_t row) {
  if (row >= rows_) return false;
  Snapshot();
  SetAnchor(row, true);
  ApplyRange(row);
  return Finish();
}

bool RowSelection::ExtendTo(size_t row, size_t anchorIfNone) {
  if (row >= rows_) return false;
  Snapshot();
  if (anchor_ == kNoRow) SetAnchor(anchorIfNone < rows_ ? anchorIfNone : row, true);
  rangeSelects_ = true;
  ApplyRange(row);
  return Finish();
}

bool RowSelection::DragTo(size_t row) {
  if (row >= rows_ || anchor_ == kNoRow) return false;
  Snapshot();
  ApplyRange(row);
  return Finish();
}

}  // namespace quillfen
