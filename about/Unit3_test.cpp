#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "about/Unit3.h"

namespace {

TEST(AboutBox, ShowsItsDesignedTextsAndLayout) {
  TForm3 form;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Version情報"));
  EXPECT_EQ(form.Label1->text(), QStringLiteral("Quillfen\u3000\u3000\u3000Ver,1.2"));
  EXPECT_EQ(form.StaticText1->text(), QStringLiteral("WebSite【https://quillfen.example.org】"));
  EXPECT_FALSE(form.Label2->text().isEmpty());
  EXPECT_EQ(form.Button1->text(), QStringLiteral("Close"));

  EXPECT_EQ(form.size(), QSize(262, 131));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the box must not be resizable";
  EXPECT_EQ(form.pos(), QPoint(45, 205));
  EXPECT_EQ(form.Label1->geometry(), QRect(0, 8, 262, 25));
  EXPECT_EQ(form.StaticText1->geometry(), QRect(0, 56, 256, 16));
  EXPECT_EQ(form.Label2->pos(), QPoint(0, 88));
  EXPECT_EQ(form.Label2->width(), 261);
  // Tall enough for the underline of its font, never reaching the Close button's row.
  EXPECT_GE(form.Label2->height(), std::min(16, form.Label2->fontMetrics().height()));
  EXPECT_LE(form.Label2->geometry().bottom(), form.Button1->y() - 1);
  EXPECT_EQ(form.Button1->geometry(), QRect(184, 104, 75, 25));

  const Qt::WindowFlags flags = form.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
}

TEST(AboutBox, UsesItsDesignedFontsAndColours) {
  TForm3 form;
  const QColor green(0x00, 0x80, 0x00);
  EXPECT_EQ(form.Label1->font().pixelSize(), 19);
  EXPECT_TRUE(form.Label1->font().bold());
  EXPECT_TRUE(form.Label1->font().italic());
  EXPECT_EQ(form.Label1->palette().color(QPalette::WindowText), green);
  EXPECT_TRUE(form.Label1->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(form.StaticText1->font().pixelSize(), 12);
  EXPECT_EQ(form.StaticText1->palette().color(QPalette::WindowText), green);
  EXPECT_TRUE(form.StaticText1->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(form.Label2->font().pixelSize(), 12);
  EXPECT_TRUE(form.Label2->font().underline());
  EXPECT_EQ(form.Label2->palette().color(QPalette::WindowText),
            QApplication::palette().color(QPalette::WindowText));
  EXPECT_EQ(form.font().pixelSize(), 12);
  EXPECT_TRUE(form.font().families().contains(QStringLiteral("ＭＳ Ｐゴシック")));
  EXPECT_TRUE(form.autoFillBackground());
  EXPECT_EQ(form.palette().color(QPalette::Window),
            QApplication::palette().color(QPalette::Midlight));
}

// A screen reader reads every control of the box by the text it shows.
TEST(AboutBox, EveryControlIsAnnouncedByItsText) {
  TForm3 form;
  form.show();
  auto name = [](QWidget* widget) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    return iface ? iface->text(QAccessible::Name) : QString();
  };
  EXPECT_EQ(name(&form), QStringLiteral("Version情報"));
  const std::set<QWidget*> controls = {form.Label1, form.StaticText1, form.Label2, form.Button1};
  EXPECT_EQ(name(form.Label1), form.Label1->text());
  EXPECT_EQ(name(form.StaticText1), form.StaticText1->text());
  EXPECT_EQ(name(form.Label2), form.Label2->text());
  EXPECT_EQ(name(form.Button1), QStringLiteral("Close"));
  for (QWidget* control : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!control->isVisible()) continue;
    EXPECT_TRUE(controls.count(control))
        << "unknown control " << control->objectName().toStdString();
    EXPECT_FALSE(name(control).isEmpty()) << control->objectName().toStdString();
  }
}

// Runs `step` once the box's modal loop is running.
void WhenModal(TForm3& form, std::function<void()> step) {
  QTimer::singleShot(0, &form, [&form, step] {
    if (QApplication::activeModalWidget() != &form) {
      ADD_FAILURE() << "the about box is not the active modal window";
      form.reject();  // do not hang the test
      return;
    }
    step();
    if (form.isVisible()) {
      ADD_FAILURE() << "the about box is still open";
      form.reject();
    }
  });
}

TEST(AboutBox, OpensModallyWithFocusOnCloseAndCloseEndsIt) {
  TForm3 form;
  EXPECT_FALSE(form.isVisible()) << "created hidden";
  // Opened twice: closing hides the box, and it can be shown again.
  for (int round = 0; round < 2; ++round) {
    bool stepRan = false;
    WhenModal(form, [&] {
      stepRan = true;
      EXPECT_TRUE(form.isVisible());
      EXPECT_TRUE(form.isModal());
      EXPECT_EQ(form.focusWidget(), form.Button1) << "Close is first in the tab order";
      form.Button1->click();
    });
    form.exec();
    EXPECT_TRUE(stepRan);
    EXPECT_FALSE(form.isVisible());
  }
}

TEST(AboutBox, ClosingFromTheTitleBarEndsItToo) {
  TForm3 form;
  bool stepRan = false;
  WhenModal(form, [&] {
    stepRan = true;
    form.close();  // what the title bar's close button and the system menu do
  });
  form.exec();
  EXPECT_TRUE(stepRan);
  EXPECT_FALSE(form.isVisible());
}

}  // namespace
