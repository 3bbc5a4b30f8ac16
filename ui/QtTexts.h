// The toolkit's own texts in Japanese: the buttons of message boxes and of the
// input dialog, the folder browser's labels, the context menus of edit
// fields. The program's own captions are set directly and never translated.
#pragma once

#include <QString>

class QCoreApplication;

// Installs the toolkit's Japanese translation (qtbase_ja) into `app`, looked
// up in `folder`, or in Qt's own translation folder when `folder` is empty.
// Returns the file loaded, or an empty string when there was none to load; the
// program then shows the toolkit's English texts.
QString LoadJapaneseQtTexts(QCoreApplication& app, const QString& folder = QString());
