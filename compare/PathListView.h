// The list view of the comparison window. It keeps which rows are selected
// itself, one bit per row (RowSelection), instead of in Qt's selection model:
// a comparison selects up to one run of rows for every other row (500,000
// runs among 1,000,000 files), and Qt's model keeps one range with persistent
// indexes per run, which takes a tenth of a second or more to clear or merge
// on every click. The view handles mouse and keyboard input as a list with
// extended selection does and paints the selected rows through its delegate.
//
// Qt's selection model mirrors the selection when it has at most a few
// hundred runs, and always while an assistive technology is active, so that
// screen readers read the same selected items as before; otherwise it is
// empty. A change made to it from outside (such as an accessibility action)
// is taken over.
#pragma once

#include <vector>

#include <QItemSelection>
#include <QListView>

#include "compare/RowSelection.h"

class PathListView : public QListView {
  Q_OBJECT

 public:
  explicit PathListView(QWidget* parent = nullptr);

  // The selection, one bit per row of the model.
  const quillfen::RowSelection& Selection() const { return selection_; }
  // Replaces the selection with `flags` (one per row; see RowSelection::
  // Assign). A change made by the program: UserChangedSelection is not sent.
  void SetSelectedRows(const std::vector<char>& flags);
  // Selects every row, also without UserChangedSelection.
  void SelectAllRows();

  // A new model or a model reset: no row selected.
  void setSelectionModel(QItemSelectionModel* selectionModel) override;
  void reset() override;
  // The select-all key (ctrl+A): a change by the user.
  void selectAll() override;
  void keyboardSearch(const QString& search) override;

 signals:
  // The user changed the selection with the mouse or the keyboard; sent only
  // when the set of selected rows actually changed.
  void UserChangedSelection();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // Qt's own input handling never selects: everything goes through the
  // handlers above.
  QItemSelectionModel::SelectionFlags selectionCommand(
      const QModelIndex& index, const QEvent* event = nullptr) const override;
  // While the selection model mirrors a selection of many runs, its changes
  // repaint the visible area as a whole rather than run by run.
  QRegion visualRegionForSelection(const QItemSelection& selection) const override;

 private:
  // Repaints, mirrors for accessibility and, for a user's change, signals.
  void Changed(bool changed, bool byUser);
  // Copies the selection into Qt's selection model, or empties it for a
  // large selection while no assistive technology is active.
  void MirrorSelection();
  // A change of the selection model not made by MirrorSelection.
  void AdoptSelectionModelChange(const QItemSelection& selected, const QItemSelection& deselected);
  // The row under a point of the viewport, the first or last row when the
  // point lies above or below all rows, -1 for an empty list.
  int RowNear(const QPoint& point) const;
  // Makes `row` the current item; `scroll` lets the view scroll to it.
  void SetCurrentRow(int row, bool scroll);
  int CurrentRow() const;

  quillfen::RowSelection selection_;
  bool mirroring_ = false;  // MirrorSelection is changing the selection model
  bool mirrored_ = false;   // the selection model holds a mirrored selection
  bool dragging_ = false;   // the left button went down on a row
  int pressedRow_ = -1;     // the row of the last press, for the double-click
};
