// The toolkit's dialogs speak Japanese once its translation is loaded: the
// folder browser, message boxes and the input dialog, as the user sees them.
#include "ui/QtTexts.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>

#include "testing/TestTree.h"

namespace {

// The texts of the buttons and labels a dialog shows.
QStringList ShownTexts(const QWidget& dialog) {
  QStringList texts;
  for (const QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
    if (!button->text().isEmpty()) texts << button->text();
  }
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    if (!label->text().isEmpty()) texts << label->text();
  }
  return texts;
}

// English words the toolkit shows when untranslated ("OK" is Japanese too).
bool HasEnglishWord(const QStringList& texts) {
  static const QRegularExpression kEnglish(
      QStringLiteral("\\b(Look in|Directory|Choose|Cancel|Yes|No|Open|Files of type)\\b"));
  return texts.join('\n').contains(kEnglish);
}

TEST(QtTexts, DialogsShowJapaneseOnceLoaded) {
  quillfen::testing::TestTree empty;
  // Nothing to load: the toolkit's English stays, and the caller learns it.
  EXPECT_EQ(LoadJapaneseQtTexts(*qApp, QString::fromStdString(empty.root())), QString());
  QMessageBox before(QMessageBox::Question, "Quillfen", "?", QMessageBox::Yes | QMessageBox::No);
  EXPECT_TRUE(HasEnglishWord(ShownTexts(before)));

  const QString loaded = LoadJapaneseQtTexts(*qApp);
  ASSERT_FALSE(loaded.isEmpty()) << "qtbase_ja.qm (qt6-translations-l10n) is not installed";
  EXPECT_TRUE(loaded.endsWith("qtbase_ja.qm")) << loaded.toStdString();

  QMessageBox box(QMessageBox::Question, "Quillfen", "?", QMessageBox::Yes | QMessageBox::No);
  EXPECT_FALSE(HasEnglishWord(ShownTexts(box))) << ShownTexts(box).join('|').toStdString();

  QInputDialog input;
  input.setLabelText(QStringLiteral("バックアップ名"));
  input.show();  // the buttons are made when it is shown
  EXPECT_FALSE(HasEnglishWord(ShownTexts(input))) << ShownTexts(input).join('|').toStdString();
  input.hide();

  // The folder browser as the set editing opens it (the toolkit's own dialog).
  QFileDialog browser(nullptr, QStringLiteral("フォルダを選択"));
  browser.setOption(QFileDialog::DontUseNativeDialog);
  browser.setFileMode(QFileDialog::Directory);
  browser.setOption(QFileDialog::ShowDirsOnly);
  browser.show();
  const QStringList shown = ShownTexts(browser);
  EXPECT_FALSE(HasEnglishWord(shown)) << shown.join('|').toStdString();
  EXPECT_TRUE(
      shown.join('\n').contains(QRegularExpression("[\\x{3040}-\\x{30ff}\\x{4e00}-\\x{9fff}]")))
      << shown.join('|').toStdString();
  browser.hide();
}

}  // namespace
