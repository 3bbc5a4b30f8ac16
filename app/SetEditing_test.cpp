// The plain rules behind set editing and the extension add rule.
#include "app/SetEditing.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/ExtensionInput.h"

using namespace quillfen_ui;

TEST(SetRules, OnlyTheFilesystemRootIsRefusedAsASource) {
  EXPECT_TRUE(IsFilesystemRoot("/"));
  EXPECT_TRUE(IsFilesystemRoot("//"));
  // Short paths are ordinary folders here.
  EXPECT_FALSE(IsFilesystemRoot("/a"));
  EXPECT_FALSE(IsFilesystemRoot("/srv"));
  EXPECT_FALSE(IsFilesystemRoot(""));
  EXPECT_EQ(WithoutTrailingSlashes("/srv/"), "/srv");
  EXPECT_EQ(WithoutTrailingSlashes("/srv//"), "/srv");
  EXPECT_EQ(WithoutTrailingSlashes("///"), "/");
  EXPECT_EQ(WithoutTrailingSlashes(""), "");
}

TEST(SetRules, DestinationIsParentSlashLastNameOfSource) {
  EXPECT_EQ(DestinationFolder("/backup", "/data/Work"), "/backup/Work");
  // One trailing separator of the parent goes, so the root gives "/Work".
  EXPECT_EQ(DestinationFolder("/", "/data/Work"), "/Work");
  EXPECT_EQ(DestinationFolder("/backup/", "/data/Work"), "/backup/Work");
  // The name is cut at the real '/', never inside a multi-byte character.
  EXPECT_EQ(DestinationFolder("/", QStringLiteral("/data/ソフト")), QStringLiteral("/ソフト"));
  EXPECT_EQ(DestinationFolder("/b", QStringLiteral("/d/写真😀")), QStringLiteral("/b/写真😀"));
  // A source without any '/' is a name by itself.
  EXPECT_EQ(LastFolderName("Work"), "Work");
  EXPECT_EQ(LastFolderName("/data/My Files"), "My Files");
}

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

TEST(SetRules, DuplicateNamesIgnoreLetterCase) {
  const QStringList names{"work", QStringLiteral("写真")};
  EXPECT_TRUE(NameIsTaken(names, "Work"));
  EXPECT_TRUE(NameIsTaken(names, "WORK"));
  EXPECT_TRUE(NameIsTaken(names, QStringLiteral("写真")));
  EXPECT_FALSE(NameIsTaken(names, "Work2"));
  EXPECT_FALSE(NameIsTaken({}, "Work"));
  EXPECT_TRUE(NameIsTaken({QStringLiteral("ＡＢＣ")}, QStringLiteral("ａｂｃ")));
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

TEST(SetRules, MovesStopAtTheEnds) {
  EXPECT_EQ(MovedRow(2, 3, -1), 1);
  EXPECT_EQ(MovedRow(0, 3, -1), -1);
  EXPECT_EQ(MovedRow(2, 3, +1), -1);
  EXPECT_EQ(MovedRow(0, 3, +1), 1);
  EXPECT_EQ(MovedRow(-1, 3, +1), -1);
  EXPECT_EQ(MovedRow(0, 0, +1), -1);
}

TEST(ExtensionInput, CandidateIsDotPlusTextAsTyped) {
  EXPECT_EQ(ExtensionCandidate("txt", {}), ".txt");
  EXPECT_EQ(ExtensionCandidate(".txt", {}), "..txt");
  EXPECT_EQ(ExtensionCandidate("tar.gz", {}), ".tar.gz");
  EXPECT_EQ(ExtensionCandidate(" Txt ", {}), ". Txt ");
  EXPECT_EQ(ExtensionCandidate(QStringLiteral("写真"), {}), QStringLiteral(".写真"));
}

TEST(ExtensionInput, RefusesEmptyTextAndEntriesOfTheOtherList) {
  EXPECT_EQ(ExtensionCandidate("", {}), std::nullopt);
  EXPECT_EQ(ExtensionCandidate("txt", {".doc", ".txt"}), std::nullopt);
  // Letter case counts against the other list.
  EXPECT_EQ(ExtensionCandidate("TXT", {".txt"}), ".TXT");
  EXPECT_EQ(ExtensionCandidate("txt", {"txt"}), ".txt");
  // A line break could not be kept on the settings file's one line.
  EXPECT_EQ(ExtensionCandidate("t\nxt", {}), std::nullopt);
  EXPECT_EQ(ExtensionCandidate("t\rxt", {}), std::nullopt);
}
