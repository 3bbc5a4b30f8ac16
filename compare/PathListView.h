// The list view of the comparison window: a QListView whose selection
// changes repaint cheaply however many separate runs of rows they touch.
#pragma once

#include <QListView>

class PathListView : public QListView {
 public:
  explicit PathListView(QWidget* parent = nullptr) : QListView(parent) {}

 protected:
  // A comparison selects up to one run of rows for every other row (500,000
  // runs among 1,000,000 files), and a click that clears such a selection
  // hands all of them here. Working out the screen rectangle of each costs
  // far more than painting the few visible rows, so past a few dozen runs
  // the whole visible area is the region to repaint.
  QRegion visualRegionForSelection(const QItemSelection& selection) const override;
};
