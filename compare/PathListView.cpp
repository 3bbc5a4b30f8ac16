#include "compare/PathListView.h"

#include <algorithm>
#include <utility>

#include <QAccessible>
#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QStyledItemDelegate>

#include "ui/FlagGuard.h"

using quillfen::RowSelection;

namespace {

// Beyond this many runs the visible area is repainted as a whole.
constexpr qsizetype kManyRuns = 64;
// Selections of up to this many runs are always mirrored into Qt's selection
// model (a few milliseconds at most), larger ones only while an assistive
// technology is active.
constexpr size_t kMirroredRuns = 256;

// Paints a row as selected exactly when the view's RowSelection says so.
class SelectionDelegate : public QStyledItemDelegate {
 public:
  SelectionDelegate(const RowSelection& selection, QObject* parent)
      : QStyledItemDelegate(parent), selection_(selection) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem shown(option);
    if (index.row() >= 0 && selection_.IsSelected(static_cast<size_t>(index.row()))) {
      shown.state |= QStyle::State_Selected;
    } else {
      shown.state &= ~QStyle::State_Selected;
    }
    QStyledItemDelegate::paint(painter, shown, index);
  }

 private:
  const RowSelection& selection_;
};

size_t RowOrNone(int row) {
  return row < 0 ? RowSelection::kNoRow : static_cast<size_t>(row);
}

}  // namespace

PathListView::PathListView(QWidget* parent) : QListView(parent) {
  setItemDelegate(new SelectionDelegate(selection_, this));
}

void PathListView::setSelectionModel(QItemSelectionModel* selectionModel) {
  QListView::setSelectionModel(selectionModel);
  connect(selectionModel, &QItemSelectionModel::selectionChanged, this,
          &PathListView::AdoptSelectionModelChange);
  reset();
}

void PathListView::reset() {
  QListView::reset();
  selection_.Reset(model() ? static_cast<size_t>(model()->rowCount(rootIndex())) : 0);
  mirrored_ = false;
  dragging_ = false;
  pressedRow_ = -1;
}

void PathListView::SetSelectedRows(const std::vector<char>& flags) {
  Changed(selection_.Assign(flags), false);
}

void PathListView::SelectAllRows() {
  Changed(selection_.SelectAll(), false);
}

void PathListView::selectAll() {
  Changed(selection_.SelectAll(), true);
}

void PathListView::Changed(bool changed, bool byUser) {
  if (!changed) return;
  viewport()->update();
  MirrorSelection();
  if (byUser) emit UserChangedSelection();
}

void PathListView::MirrorSelection() {
  QItemSelectionModel* selectionModel = this->selectionModel();
  if (!selectionModel) return;
  std::vector<std::pair<size_t, size_t>> runs;
  const size_t limit = QAccessible::isActive() ? RowSelection::kNoRow : kMirroredRuns;
  const bool complete = selection_.Runs(limit, runs);
  if (!mirrored_ && (!complete || runs.empty())) return;
  quillfen_ui::FlagGuard guard(mirroring_);
  // Clearing first keeps the model's comparison of old and new ranges linear.
  selectionModel->clearSelection();
  mirrored_ = false;
  if (!complete || runs.empty()) return;
  QItemSelection ranges;
  ranges.reserve(static_cast<qsizetype>(runs.size()));
  for (const auto& [first, last] : runs) {
    ranges.append(QItemSelectionRange(model()->index(static_cast<int>(first), modelColumn()),
                                      model()->index(static_cast<int>(last), modelColumn())));
  }
  selectionModel->select(ranges, QItemSelectionModel::Select);
  mirrored_ = true;
}

void PathListView::AdoptSelectionModelChange(const QItemSelection& selected,
                                             const QItemSelection& deselected) {
  if (mirroring_) return;
  std::vector<char> flags = selection_.Flags();
  const int rows = static_cast<int>(flags.size());
  auto mark = [&](const QItemSelection& ranges, char value) {
    for (const QItemSelectionRange& range : ranges) {
      for (int row = std::max(range.top(), 0); row <= std::min(range.bottom(), rows - 1); ++row) {
        flags[static_cast<size_t>(row)] = value;
      }
    }
  };
  mark(deselected, 0);
  mark(selected, 1);
  const bool changed = selection_.Assign(flags);
  // The selection model is in the middle of sending its signal: bring it in
  // line with the selection once it has finished.
  mirrored_ = true;
  QMetaObject::invokeMethod(this, &PathListView::MirrorSelection, Qt::QueuedConnection);
  if (!changed) return;
  viewport()->update();
  emit UserChangedSelection();
}

int PathListView::CurrentRow() const {
  const QModelIndex current = currentIndex();
  return current.isValid() ? current.row() : -1;
}

void PathListView::SetCurrentRow(int row, bool scroll) {
  const QModelIndex index = model()->index(row, modelColumn(), rootIndex());
  // The view scrolls to a new current item by itself only with autoScroll;
  // a click must not move the row under the mouse.
  const bool autoScroll = hasAutoScroll();
  setAutoScroll(false);
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
  setAutoScroll(autoScroll);
  if (scroll) scrollTo(index);
}

int PathListView::RowNear(const QPoint& point) const {
  const int rows = model() ? model()->rowCount(rootIndex()) : 0;
  if (rows == 0) return -1;
  // Rows span the whole width: look at the left edge, where every row is.
  const QModelIndex index = indexAt(QPoint(1, point.y()));
  if (index.isValid()) return index.row();
  const QRect first = visualRect(model()->index(0, modelColumn(), rootIndex()));
  return point.y() < first.top() ? 0 : rows - 1;
}

void PathListView::mousePressEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  dragging_ = false;
  pressedRow_ = index.isValid() ? index.row() : -1;
  if (event->button() != Qt::LeftButton) {
    // Another button selects an unselected row alone and leaves a selected
    // row, and with shift or ctrl anything, as it is.
    if (pressedRow_ >= 0 && !shift && !ctrl && !selection_.IsSelected(RowOrNone(pressedRow_))) {
      SetCurrentRow(pressedRow_, false);
      Changed(selection_.Click(RowOrNone(pressedRow_)), true);
    }
    return;
  }
  if (pressedRow_ < 0) {
    // A plain click beside the rows clears the selection.
    if (!shift && !ctrl) Changed(selection_.Clear(), true);
    return;
  }
  const size_t previous = RowOrNone(CurrentRow());
  const size_t row = RowOrNone(pressedRow_);
  SetCurrentRow(pressedRow_, false);
  bool changed = false;
  if (shift) {
    changed = selection_.ExtendTo(row, previous);
  } else if (ctrl) {
    changed = selection_.ControlClick(row);
  } else {
    changed = selection_.Click(row);
  }
  dragging_ = true;
  setState(DragSelectingState);
  Changed(changed, true);
}

void PathListView::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() == Qt::NoButton) {
    QListView::mouseMoveEvent(event);  // hover
    return;
  }
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return;
  const QPoint pos = event->position().toPoint();
  const int row = RowNear(pos);
  if (row < 0) return;
  const bool changed = selection_.DragTo(RowOrNone(row));
  if (row != CurrentRow()) {
    // Scrolls one row on when the mouse is just past an edge.
    SetCurrentRow(row, true);
  } else if (!viewport()
                  ->rect()
                  .adjusted(0, autoScrollMargin(), 0, -autoScrollMargin())
                  .contains(pos)) {
    // Near or past an edge: the view scrolls on by itself and reports the
    // mouse again, which extends the range.
    startAutoScroll();
  }
  Changed(changed, true);
}

void PathListView::mouseReleaseEvent(QMouseEvent* event) {
  dragging_ = false;
  stopAutoScroll();
  if (state() == DragSelectingState) setState(NoState);
  event->accept();
}

void PathListView::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double-click on the row just pressed changes
  // nothing; on another row it is a press of its own.
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && index.row() == pressedRow_) {
    event->accept();
    return;
  }
  mousePressEvent(event);
}

void PathListView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
    event->accept();
    return;
  }
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  CursorAction action = MoveDown;
  switch (event->key()) {
    case Qt::Key_Up:
      action = MoveUp;
      break;
    case Qt::Key_Down:
      action = MoveDown;
      break;
    case Qt::Key_Left:
      action = MoveLeft;
      break;
    case Qt::Key_Right:
      action = MoveRight;
      break;
    case Qt::Key_Home:
      action = MoveHome;
      break;
    case Qt::Key_End:
      action = MoveEnd;
      break;
    case Qt::Key_PageUp:
      action = MovePageUp;
      break;
    case Qt::Key_PageDown:
      action = MovePageDown;
      break;
    case Qt::Key_Space: {
      // Space selects the current item, ctrl+space flips it.
      const size_t row = RowOrNone(CurrentRow());
      if (row != RowSelection::kNoRow) {
        Changed(ctrl ? selection_.ControlClick(row) : selection_.Add(row), true);
      }
      event->accept();
      return;
    }
    default:
      QListView::keyPressEvent(event);  // typing searches (keyboardSearch), Esc closes
      return;
  }
  event->accept();
  const int before = CurrentRow();
  const QModelIndex next = moveCursor(action, event->modifiers());
  if (!next.isValid() || next.row() == before) return;
  SetCurrentRow(next.row(), true);
  if (shift) {
    Changed(selection_.ExtendTo(RowOrNone(next.row()), RowOrNone(before)), true);
  } else if (!ctrl) {
    // Ctrl moves the current item alone.
    Changed(selection_.Click(RowOrNone(next.row())), true);
  }
}

void PathListView::keyboardSearch(const QString& search) {
  const int before = CurrentRow();
  QListView::keyboardSearch(search);  // moves the current item only
  const int after = CurrentRow();
  if (after >= 0 && after != before) Changed(selection_.Click(RowOrNone(after)), true);
}

QItemSelectionModel::SelectionFlags PathListView::selectionCommand(const QModelIndex&,
                                                                   const QEvent*) const {
  return QItemSelectionModel::NoUpdate;
}

QRegion PathListView::visualRegionForSelection(const QItemSelection& selection) const {
  if (selection.size() > kManyRuns) return QRegion(viewport()->rect());
  return QListView::visualRegionForSelection(selection);
}
