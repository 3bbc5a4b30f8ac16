#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "about/HelpPage.h"
#include "about/XdgDocumentOpener.h"

namespace {

TEST(HelpPageRequest, TakesThePageFromTheStartFolderAndWorksInTheExecutablesFolder) {
  const DocumentRequest r = HelpPageRequest("/home/yuki/backup", "/opt/quillfen/bin/quillfen");
  EXPECT_EQ(r.document, "/home/yuki/backup/Quillfen.html");
  EXPECT_EQ(r.workingFolder, "/opt/quillfen/bin/");
}

TEST(HelpPageRequest, KeepsPathsAsTheyAre) {
  // The start folder is used as given: the root gives a doubled separator,
  // which names the same file.
  EXPECT_EQ(HelpPageRequest("/", "/usr/bin/quillfen").document, "//Quillfen.html");
  EXPECT_EQ(HelpPageRequest("/srv", "/quillfen").workingFolder, "/");
  // Names are bytes: a folder name that is not UTF-8 comes through unchanged.
  const std::string latin1Folder = "/data/caf\xe9";
  EXPECT_EQ(HelpPageRequest(latin1Folder, "/usr/bin/quillfen").document,
            latin1Folder + "/Quillfen.html");
  // An executable named without a folder has no working folder of its own.
  EXPECT_EQ(HelpPageRequest("/srv", "quillfen").workingFolder, "");
}

// Waits until the file at `path` has content (the opener writes one line,
// after making the file), at most a few seconds.
bool WaitForFile(const QString& path) {
  for (int i = 0; i < 200; ++i) {
    if (QFileInfo(path).size() > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

// Reads a whole file as bytes.
std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(XdgDocumentOpener, StartsTheOpenerWithTheDocumentInTheWorkingFolder) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const std::string root = QFile::encodeName(QDir(temp.path()).canonicalPath()).toStdString();
  // Folder names as bytes: one in Japanese, one that is not UTF-8 at all.
  const std::string workFolder = root + "/\xe5\xae\x9f\xe8\xa1\x8c bin";
  const std::string startFolder = root + "/start caf\xe9";
  ASSERT_EQ(::mkdir(workFolder.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(startFolder.c_str(), 0700), 0);

  // A stand-in for xdg-open that records where it ran and what it was given.
  const std::string record = root + "/record.txt";
  const std::string opener = root + "/fake-open";
  {
    std::ofstream script(opener);
    script << "#!/bin/sh\n"
           << "printf '%s\\n%s\\n%s\\n' \"$(pwd -P)\" \"$1\" \"$#\" > '" << record << ".tmp'\n"
           << "mv '" << record << ".tmp' '" << record << "'\n";
  }
  ASSERT_EQ(::chmod(opener.c_str(), 0700), 0);

  XdgDocumentOpener(opener).Open(HelpPageRequest(startFolder, workFolder + "/quillfen"));
  // The opener is not a child of this program: nothing is left to reap.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  ASSERT_TRUE(WaitForFile(QFile::decodeName(QByteArray::fromStdString(record))))
      << "the opener was not started";
  EXPECT_EQ(ReadBytes(record), workFolder + "\n" + startFolder + "/Quillfen.html\n1\n");
}

TEST(XdgDocumentOpener, FindsTheOpenerOnThePath) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const std::string root = QFile::encodeName(temp.path()).toStdString();
  const std::string record = root + "/record.txt";
  {
    std::ofstream script(root + "/fake-open");
    script << "#!/bin/sh\necho \"$1\" > '" << record << "'\n";
  }
  ASSERT_EQ(::chmod((root + "/fake-open").c_str(), 0700), 0);
  const QByteArray oldPath = qgetenv("PATH");
  qputenv("PATH", QByteArray::fromStdString("/nonexistent:" + root + ":") + oldPath);
  XdgDocumentOpener("fake-open").Open(HelpPageRequest(root, "/usr/bin/quillfen"));
  qputenv("PATH", oldPath);
  ASSERT_TRUE(WaitForFile(QFile::decodeName(QByteArray::fromStdString(record))));
  EXPECT_EQ(ReadBytes(record), root + "/Quillfen.html\n");
}

TEST(XdgDocumentOpener, AMissingOpenerIsPassedOverSilently) {
  QTemporaryDir temp;
  ASSERT_TRUE(temp.isValid());
  const auto started = std::chrono::steady_clock::now();
  XdgDocumentOpener(QFile::encodeName(temp.path()).toStdString() + "/no-such-opener")
      .Open(HelpPageRequest(temp.path().toStdString(), "/usr/bin/quillfen"));
  // Returns at once and leaves nothing behind in the start folder.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(QDir(temp.path()).isEmpty());
}

}  // namespace
