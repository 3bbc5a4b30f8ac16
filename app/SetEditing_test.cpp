// The set-name and folder rules that the window tests do not reach in full.
#include "app/SetEditing.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/ExtensionInput.h"

using namespace quillfen_ui;

TEST(SetRules, SetNamesThatCannotBeSectionNamesAreRefused) {
  EXPECT_TRUE(IsStorableSetName("Work"));
  EXPECT_TRUE(IsStorableSetName(QStringLiteral("写真 2010")));
  EXPECT_TRUE(IsStorableSetName("a=b"));
  EXPECT_TRUE(IsStorableSetName("x[1"));  // '[' only matters at the start
  EXPECT_TRUE(IsStorableSetName("Main"));
  EXPECT_FALSE(IsStorableSetName(""));
  EXPECT_FALSE(IsStorableSetName("[Work"));
  EXPECT_FALSE(IsStorableSetName("Wo]rk"));
  EXPECT_FALSE(IsStorableSetName("Work]"));
  EXPECT_FALSE(IsStorableSetName("line\nbreak"));
  EXPECT_FALSE(IsStorableSetName("line\rbreak"));
  EXPECT_FALSE(IsStorableSetName("tab\there"));
  EXPECT_FALSE(IsStorableSetName(QString("nul") + QChar(0) + "x"));
  EXPECT_FALSE(IsStorableSetName(QString("del") + QChar(0x7f)));
  EXPECT_FALSE(IsStorableSetName(QString("nel") + QChar(0x85)));
  EXPECT_FALSE(IsStorableSetName(QString("ls") + QChar(0x2028)));
}

TEST(SetRules, EnsureFolderCreatesOneLevelOnly) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString root = dir.path();
  EXPECT_EQ(EnsureFolder(root), FolderReady::kExisted);

  const QString fresh = root + QStringLiteral("/ソフト");
  EXPECT_EQ(EnsureFolder(fresh), FolderReady::kCreated);
  EXPECT_TRUE(QDir(fresh).exists());
  EXPECT_EQ(EnsureFolder(fresh), FolderReady::kExisted);

  const QString deep = root + "/missing/Work";
  EXPECT_EQ(EnsureFolder(deep), FolderReady::kFailed);
  EXPECT_FALSE(QDir(root + "/missing").exists());

  QFile file(root + "/file");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  EXPECT_EQ(EnsureFolder(root + "/file"), FolderReady::kFailed);
  EXPECT_FALSE(IsExistingFolder(root + "/file"));

  ASSERT_TRUE(QFile::link(fresh, root + "/link"));
  EXPECT_EQ(EnsureFolder(root + "/link"), FolderReady::kExisted);
  EXPECT_FALSE(IsExistingFolder(""));
}

TEST(ExtensionInput, RefusesControlCharacters) {
  EXPECT_EQ(ExtensionCandidate(" Txt ", {}), ". Txt ");
  // A line break could not be kept on the settings file's one line.
  EXPECT_EQ(ExtensionCandidate("t\nxt", {}), std::nullopt);
  EXPECT_EQ(ExtensionCandidate("t\rxt", {}), std::nullopt);
}
