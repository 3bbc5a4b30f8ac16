// The font of every window: "ＭＳ Ｐゴシック", with its metric-compatible
// substitute IPA P Gothic where it is not installed.
#pragma once

#include <QFont>

namespace quillfen_ui {

inline QFont WindowFont(int pixelSize) {
  QFont font;
  font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                    QStringLiteral("IPAPGothic")});
  font.setPixelSize(pixelSize);
  return font;
}

}  // namespace quillfen_ui
