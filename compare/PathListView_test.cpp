#include "compare/PathListView.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>

#include "compare/RelativePathModel.h"

using ::testing::ElementsAre;

namespace {

std::vector<std::string> Names(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "/f%03d", i);
    names.emplace_back(name);
  }
  return names;
}

class PathListViewTest : public ::testing::Test {
 protected:
  RelativePathModel model;
  PathListView view;
  int userChanges = 0;

  void SetUp() override {
    view.setSelectionMode(QAbstractItemView::ExtendedSelection);
    view.setUniformItemSizes(true);
    view.setModel(&model);
    model.SetPaths(Names(200));
    view.resize(193, 233);
    view.show();
    QObject::connect(&view, &PathListView::UserChangedSelection, [this] { ++userChanges; });
  }

  std::vector<size_t> Selected() const {
    std::vector<size_t> rows;
    const auto& s = view.Selection();
    for (size_t r = s.NextSelected(0); r != quillfen::RowSelection::kNoRow;
         r = s.NextSelected(r + 1)) {
      rows.push_back(r);
    }
    return rows;
  }
  int Current() const { return view.currentIndex().isValid() ? view.currentIndex().row() : -1; }
  QPoint Center(int row) const { return view.visualRect(model.index(row)).center(); }

  // Mouse events as the window system delivers them, the button state included.
  void Send(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons,
            Qt::KeyboardModifiers modifiers) {
    QWidget* viewport = view.viewport();
    QMouseEvent event(type, QPointF(pos), QPointF(viewport->mapToGlobal(pos)), button, buttons,
                      modifiers);
    QApplication::sendEvent(viewport, &event);
  }
  void Press(QPoint pos, Qt::KeyboardModifiers mods = Qt::NoModifier,
             Qt::MouseButton button = Qt::LeftButton) {
    Send(QEvent::MouseButtonPress, pos, button, button, mods);
  }
  void DragTo(QPoint pos, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    Send(QEvent::MouseMove, pos, Qt::NoButton, Qt::LeftButton, mods);
  }
  void Release(QPoint pos, Qt::KeyboardModifiers mods = Qt::NoModifier,
               Qt::MouseButton button = Qt::LeftButton) {
    Send(QEvent::MouseButtonRelease, pos, button, Qt::NoButton, mods);
  }
  void Click(int row, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    Press(Center(row), mods);
    Release(Center(row), mods);
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(&view, key, mods);
  }
};

TEST_F(PathListViewTest, ClickCtrlClickAndShiftClickSelectAsAListOfSeveralItems) {
  Click(2);
  EXPECT_THAT(Selected(), ElementsAre(2));
  EXPECT_EQ(Current(), 2);
  EXPECT_EQ(userChanges, 1);

  Click(5, Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(2, 5));
  EXPECT_EQ(Current(), 5);
  Click(8, Qt::ShiftModifier);  // from the row of the last click
  EXPECT_THAT(Selected(), ElementsAre(2, 5, 6, 7, 8));
  EXPECT_EQ(Current(), 8);
  Click(6, Qt::ShiftModifier);
  EXPECT_THAT(Selected(), ElementsAre(2, 5, 6));
  Click(2, Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(5, 6));
  EXPECT_EQ(userChanges, 5);

  Click(6);
  EXPECT_THAT(Selected(), ElementsAre(6));
  // A click that leaves the selection as it was is no change.
  Click(6);
  EXPECT_EQ(userChanges, 6);
  // Other buttons select an unselected row alone and leave a selected one.
  Press(Center(3), Qt::NoModifier, Qt::RightButton);
  Release(Center(3), Qt::NoModifier, Qt::RightButton);
  EXPECT_THAT(Selected(), ElementsAre(3));
  Click(4, Qt::ShiftModifier);
  Press(Center(4), Qt::NoModifier, Qt::RightButton);
  Release(Center(4), Qt::NoModifier, Qt::RightButton);
  EXPECT_THAT(Selected(), ElementsAre(3, 4));

  // The second press of a ctrl-double-click does not flip the row back.
  Click(8, Qt::ControlModifier);
  Send(QEvent::MouseButtonDblClick, Center(8), Qt::LeftButton, Qt::LeftButton, Qt::ControlModifier);
  Release(Center(8), Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(3, 4, 8));
}

TEST_F(PathListViewTest, AClickBesideTheRowsClearsTheSelectionUnlessShiftOrCtrlIsHeld) {
  model.SetPaths(Names(3));
  EXPECT_EQ(view.Selection().Rows(), 3u);
  Click(0);
  Click(2, Qt::ShiftModifier);
  const QPoint below(Center(0).x(), view.viewport()->height() - 2);
  ASSERT_FALSE(view.indexAt(below).isValid());
  Press(below, Qt::ControlModifier);
  Release(below, Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(0, 1, 2));
  Press(below);
  Release(below);
  EXPECT_THAT(Selected(), ElementsAre());
  EXPECT_EQ(userChanges, 3);
}

TEST_F(PathListViewTest, DraggingSelectsTheRowsPassedAndGivesBackTheRowsLeft) {
  Press(Center(1));
  DragTo(Center(4));
  EXPECT_THAT(Selected(), ElementsAre(1, 2, 3, 4));
  EXPECT_EQ(Current(), 4);
  DragTo(Center(2));
  EXPECT_THAT(Selected(), ElementsAre(1, 2));
  Release(Center(2));
  // Moving without a button after the release selects nothing.
  Send(QEvent::MouseMove, Center(6), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  EXPECT_THAT(Selected(), ElementsAre(1, 2));

  // A ctrl-drag from an unselected row adds its range ...
  Press(Center(3), Qt::ControlModifier);
  DragTo(Center(5), Qt::ControlModifier);
  Release(Center(5), Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(1, 2, 3, 4, 5));
  // ... from a selected row takes its range out, the rest staying.
  Press(Center(2), Qt::ControlModifier);
  DragTo(Center(4), Qt::ControlModifier);
  Release(Center(4), Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(1, 5));
}

TEST_F(PathListViewTest, DraggingPastTheBottomEdgeScrollsAndSelectsOn) {
  QScrollBar* bar = view.verticalScrollBar();
  ASSERT_EQ(bar->value(), 0);
  const QModelIndex lastVisible = view.indexAt(QPoint(1, view.viewport()->height() - 1));
  ASSERT_TRUE(lastVisible.isValid());
  // Each report of the mouse below the list scrolls one row on (the view's
  // scroll timer repeats them while the mouse stays there).
  const QPoint below(Center(0).x(), view.viewport()->height() + 5);
  Press(Center(0));
  for (int i = 0; i < 3; ++i) DragTo(below);
  Release(below);
  EXPECT_GT(bar->value(), 0);
  const std::vector<size_t> rows = Selected();
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), 0u);
  EXPECT_GE(rows.back(), static_cast<size_t>(lastVisible.row()) + 2);  // rows not shown before
  EXPECT_EQ(rows.size(), rows.back() + 1);
  EXPECT_EQ(static_cast<size_t>(Current()), rows.back());
}

TEST_F(PathListViewTest, KeysMoveSelectExtendAndSelectAll) {
  Click(3);
  Key(Qt::Key_Down);
  EXPECT_THAT(Selected(), ElementsAre(4));
  Key(Qt::Key_Down, Qt::ShiftModifier);
  Key(Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_THAT(Selected(), ElementsAre(4, 5, 6));
  Key(Qt::Key_Up, Qt::ShiftModifier);
  Key(Qt::Key_Up, Qt::ShiftModifier);
  Key(Qt::Key_Up, Qt::ShiftModifier);
  EXPECT_THAT(Selected(), ElementsAre(3, 4));
  EXPECT_EQ(Current(), 3);
  const int changes = userChanges;
  // Ctrl moves the current item alone.
  Key(Qt::Key_Down, Qt::ControlModifier);
  Key(Qt::Key_Down, Qt::ControlModifier);
  Key(Qt::Key_Down, Qt::ControlModifier);
  EXPECT_EQ(Current(), 6);
  EXPECT_THAT(Selected(), ElementsAre(3, 4));
  EXPECT_EQ(userChanges, changes);
  Key(Qt::Key_Space);
  EXPECT_THAT(Selected(), ElementsAre(3, 4, 6));
  Key(Qt::Key_Space, Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(3, 4));
  Key(Qt::Key_Space, Qt::ControlModifier);
  EXPECT_THAT(Selected(), ElementsAre(3, 4, 6));
  EXPECT_EQ(userChanges, changes + 3);

  Key(Qt::Key_End);
  EXPECT_THAT(Selected(), ElementsAre(199));
  EXPECT_TRUE(view.viewport()->rect().contains(Center(199)));  // scrolled to it
  Key(Qt::Key_Home);
  EXPECT_THAT(Selected(), ElementsAre(0));
  Key(Qt::Key_PageDown, Qt::ShiftModifier);
  EXPECT_GT(view.Selection().Count(), 5u);
  EXPECT_EQ(view.Selection().Count(), static_cast<size_t>(Current()) + 1);

  Key(Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(view.Selection().Count(), 200u);
  EXPECT_EQ(userChanges, changes + 7);

  // Typing a name's beginning selects the next item it starts.
  Click(5);
  QTest::keyClicks(&view, "/");
  EXPECT_THAT(Selected(), ElementsAre(6));
  EXPECT_EQ(Current(), 6);
}

TEST_F(PathListViewTest, TheProgramsChangesSendNoSignalAndANewListingSelectsNothing) {
  view.SetSelectedRows({1, 0, 1});
  EXPECT_THAT(Selected(), ElementsAre(0, 2));
  view.SelectAllRows();
  EXPECT_EQ(view.Selection().Count(), 200u);
  EXPECT_EQ(userChanges, 0);
  model.SetPaths(Names(70));
  EXPECT_EQ(view.Selection().Rows(), 70u);
  EXPECT_EQ(view.Selection().Count(), 0u);
  // Neither the anchor nor the current item of a click survives a new
  // listing: a shift-click then selects its own row alone.
  Click(2);
  model.SetPaths(Names(70));
  Click(4, Qt::ShiftModifier);
  EXPECT_THAT(Selected(), ElementsAre(4));
}

// The rows painted as selected are exactly the selected rows.
TEST_F(PathListViewTest, SelectedRowsArePaintedAsSelected) {
  auto painted = [this](int rows) {
    const QImage image = view.viewport()->grab().toImage();
    std::vector<QRgb> colours;
    for (int row = 0; row < rows; ++row) {
      // Right of the text, where only the row's background is painted.
      colours.push_back(image.pixel(view.viewport()->width() - 3, Center(row).y()));
    }
    return colours;
  };
  view.SetSelectedRows({0, 1, 0, 1, 1, 0});
  std::vector<QRgb> colours = painted(6);
  EXPECT_NE(colours[0], colours[1]);
  EXPECT_EQ(colours[0], colours[2]);
  EXPECT_EQ(colours[0], colours[5]);
  EXPECT_EQ(colours[1], colours[3]);
  EXPECT_EQ(colours[1], colours[4]);
  const QRgb unselected = colours[0], selected = colours[1];

  Click(2, Qt::ControlModifier);
  Click(4, Qt::ControlModifier);
  colours = painted(6);
  EXPECT_THAT(colours,
              ElementsAre(unselected, selected, selected, selected, unselected, unselected));

  // A selection of many separate runs, as a comparison makes.
  model.SetPaths(Names(2000));
  QCoreApplication::processEvents();  // the view lays out the new rows
  std::vector<char> everyOther(2000);
  for (size_t i = 1; i < everyOther.size(); i += 2) everyOther[i] = 1;
  view.SetSelectedRows(everyOther);
  colours = painted(7);
  colours.erase(colours.begin());  // the first row may be tinted as the current one
  EXPECT_THAT(colours,
              ElementsAre(selected, unselected, selected, unselected, selected, unselected));
}

// Screen readers read the selected rows from Qt's selection model, and a
// selection made through their actions is taken over.
TEST_F(PathListViewTest, ScreenReadersSeeTheSelectionAndCanChangeIt) {
  model.SetPaths(Names(1000));
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&view);
  ASSERT_NE(list, nullptr);
  QAccessibleTableInterface* table = list->tableInterface();
  ASSERT_NE(table, nullptr);
  auto selected = [&](int row) { return table->cellAt(row, 0)->state().selected; };

  Click(1);
  Click(3, Qt::ShiftModifier);
  EXPECT_FALSE(selected(0));
  EXPECT_TRUE(selected(1));
  EXPECT_TRUE(selected(3));
  EXPECT_FALSE(selected(4));
  EXPECT_TRUE(table->cellAt(1, 0)->state().extSelectable);
  EXPECT_EQ(table->selectedCellCount(), 3);
  view.SetSelectedRows({1});
  EXPECT_TRUE(selected(0));
  EXPECT_FALSE(selected(1));

  const int changes = userChanges;
  EXPECT_TRUE(table->selectRow(5));
  QCoreApplication::processEvents();
  EXPECT_THAT(Selected(), ElementsAre(0, 5));
  EXPECT_EQ(userChanges, changes + 1);
  EXPECT_TRUE(table->unselectRow(0));
  QCoreApplication::processEvents();
  EXPECT_THAT(Selected(), ElementsAre(5));
  EXPECT_EQ(table->selectedCellCount(), 1);
  EXPECT_TRUE(selected(5));

  // After a selection of many runs (not mirrored while no screen reader is
  // active) a small one is mirrored afresh, with nothing left of the earlier.
  std::vector<char> everyOther(1000);
  for (size_t i = 0; i < everyOther.size(); i += 2) everyOther[i] = 1;
  view.SetSelectedRows(everyOther);
  // Whether mirrored or not, no row is reported selected that is not.
  EXPECT_FALSE(selected(5));
  Click(1);
  EXPECT_EQ(table->selectedCellCount(), 1);
  EXPECT_TRUE(selected(1));
  EXPECT_FALSE(selected(0));
  EXPECT_FALSE(selected(2));
}

}  // namespace
