// Which rows of a list are selected, one bit per row, and the gestures of a
// list in which the user selects several items: click, ctrl-click,
// shift-click, drag and their keyboard forms. Every operation costs at most
// one pass over rows/64 words, so a list of 1,000,000 rows with 500,000
// separate runs selected changes in microseconds (a Qt selection model keeps
// one range per run and needs a tenth of a second to clear them).
//
// The gestures follow Qt's extended selection: a click or a ctrl-click sets
// the anchor; shift-click, shift+arrow keys and a drag then change the range
// between the anchor and the row they reach, on top of the selection as it
// was when the anchor was set, so that going back over rows undoes the change
// for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillfen {

class RowSelection {
 public:
  static constexpr size_t kNoRow = static_cast<size_t>(-1);

  // `rows` rows, none selected, no anchor.
  void Reset(size_t rows);

  size_t Rows() const { return rows_; }
  // Number of selected rows.
  size_t Count() const { return count_; }
  // False for a row past the end.
  bool IsSelected(size_t row) const;
  // One flag (0 or 1) per row.
  std::vector<char> Flags() const;
  // The first selected row at or after `row`, or kNoRow.
  size_t NextSelected(size_t row) const;
  // The first unselected row at or after `row`, or Rows().
  size_t NextUnselected(size_t row) const;
  // The runs of selected rows as first and last row, in order, into `runs`.
  // Stops and returns false once there are more than `limit`.
  bool Runs(size_t limit, std::vector<std::pair<size_t, size_t>>& runs) const;

  // Changes made by the program rather than by a gesture; the anchor is
  // dropped. Assign takes one flag per row (non-zero: selected); rows past
  // the end of `flags` become unselected, flags past the last row are
  // ignored. Each returns whether the selection changed.
  bool Assign(const std::vector<char>& flags);
  bool SelectAll();
  bool Clear();

  // Gestures on a row below Rows() (a row past the end changes nothing).
  // Each returns whether the selection changed.
  //
  // Click: the row alone is selected; it becomes the anchor.
  bool Click(size_t row);
  // Ctrl-click: the row's state flips, the rest stays; it becomes the anchor
  // and a drag from it gives the range the row's new state.
  bool ControlClick(size_t row);
  // Space: the row is selected, the rest stays; it becomes the anchor.
  bool Add(size_t row);
  // Shift-click or shift+arrow: the rows from the anchor to `row` are
  // selected, replacing the range of the previous extension from the same
  // anchor. Without an anchor `anchorIfNone` becomes one first (the current
  // item of the list; `row` itself when that is kNoRow or past the end).
  bool ExtendTo(size_t row, size_t anchorIfNone);
  // A drag reaching `row`: as ExtendTo, but the range takes the state the
  // gesture that set the anchor gave (deselected after a ctrl-click that
  // deselected the anchor). Without an anchor nothing changes.
  bool DragTo(size_t row);

  size_t Anchor() const { return anchor_; }

 private:
  // Sets the anchor at `row` with the current selection as the base.
  void SetAnchor(size_t row, bool rangeSelects);
  // Makes the selection the base with [anchor, row] set to the range state.
  void ApplyRange(size_t row);
  // Recounts; returns whether words_ differs from before_.
  bool Finish();
  void Snapshot() { before_ = words_; }

  size_t rows_ = 0;
  size_t count_ = 0;
  std::vector<uint64_t> words_;   // bit r % 64 of word r / 64: row r selected
  std::vector<uint64_t> base_;    // the selection when the anchor was set
  std::vector<uint64_t> before_;  // the selection before the running change
  size_t anchor_ = kNoRow;
  bool rangeSelects_ = true;
};

}  // namespace quillfen
