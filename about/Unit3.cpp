#include "about/Unit3.h"

#include <algorithm>

#include <QFontMetrics>
#include <QLabel>
#include <QPalette>
#include <QPushButton>

#include "ui/WindowFont.h"

namespace {

constexpr int kClientWidth = 262;
constexpr int kClientHeight = 131;
const QColor kGreen(0x00, 0x80, 0x00);

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry,
                  const QFont& font) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(geometry);
  label->setFont(font);
  label->setTextInteractionFlags(Qt::NoTextInteraction);
  label->setFocusPolicy(Qt::NoFocus);
  return label;
}

void SetTextColour(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

}  // namespace

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
  CreateControls();
}

void TForm3::CreateControls() {
  setObjectName("Form3");
  setWindowTitle(QStringLiteral("Version情報"));
  // A fixed border with a system menu and a close button, no minimize or
  // maximize box and no context-help button.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(kClientWidth, kClientHeight);
  move(45, 205);
  setFont(quillfen_ui::WindowFont(12));

  // Background in the light 3-D colour of the current palette.
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Active, QPalette::Midlight));
  setPalette(palette);
  setAutoFillBackground(true);

  QFont titleFont = quillfen_ui::WindowFont(19);
  titleFont.setBold(true);
  titleFont.setItalic(true);
  Label1 = MakeLabel(this, "Label1", QStringLiteral("Quillfen\u3000\u3000\u3000Ver,1.2"),
                     QRect(0, 8, 262, 25), titleFont);
  Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  SetTextColour(Label1, kGreen);

  StaticText1 =
      MakeLabel(this, "StaticText1",
                QStringLiteral("WebSite【") + QString::fromLatin1(kWebSite) + QStringLiteral("】"),
                QRect(0, 56, 256, 16), quillfen_ui::WindowFont(12));
  StaticText1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  SetTextColour(StaticText1, kGreen);

  QFont copyrightFont = quillfen_ui::WindowFont(12);
  copyrightFont.setUnderline(true);
  Label2 = MakeLabel(this, "Label2", QStringLiteral("Copyright © 2026 Quillfen developers"),
                     QRect(0, 88, 261, 12), copyrightFont);
  Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // The designed 12 pixels fit the glyphs of a 12-pixel font but not the line
  // below them, so the label grows to the font's line height, at most to the
  // Close button's row (16 pixels), to keep the underline visible.
  const int lineHeight = QFontMetrics(copyrightFont).height() + 1;
  Label2->resize(261, std::clamp(lineHeight, 12, 16));
  SetTextColour(Label2, palette.color(QPalette::Active, QPalette::WindowText));

  Button1 = new QPushButton(QStringLiteral("Close"), this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(184, 104, 75, 25);
  Button1->setAutoDefault(false);
  // The only control that takes focus, so it is first in the tab order and
  // holds the focus whenever the box opens.
  Button1->setFocus();
  connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
}

void TForm3::Button1Click() {
  close();
}
