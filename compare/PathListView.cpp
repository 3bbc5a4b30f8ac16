#include "compare/PathListView.h"

#include <QItemSelection>

namespace {

// Beyond this many runs the visible area is repainted as a whole.
constexpr qsizetype kManyRuns = 64;

}  // namespace

QRegion PathListView::visualRegionForSelection(const QItemSelection& selection) const {
  if (selection.size() > kManyRuns) return QRegion(viewport()->rect());
  return QListView::visualRegionForSelection(selection);
}
