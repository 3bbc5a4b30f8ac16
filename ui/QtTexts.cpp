#include "ui/QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

QString LoadJapaneseQtTexts(QCoreApplication& app, const QString& folder) {
  const QString where =
      folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : folder;
  // Owned by the application, which keeps it installed for its whole life.
  auto* translator = new QTranslator(&app);
  // Japanese whatever the user's locale: the program's own texts are Japanese.
  if (!translator->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                        QStringLiteral("_"), where)) {
    delete translator;
    return QString();
  }
  QCoreApplication::installTranslator(translator);
  return translator->filePath();
}
