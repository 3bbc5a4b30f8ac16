// The fixture of the main window's GUI tests: a temporary working folder (so
// StartDir and Quillfen.ini are the test's own), scripted dialogs, the fake
// clock, and helpers to start, show and close the window, to read and write
// the settings file, and to click.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QTest>

#include "app/Unit1.h"
#include "engine/DateTime.h"
#include "engine/IniFile.h"
#include "testing/FakeClock.h"
#include "testing/ScriptedDialogs.h"
#include "testing/TestTree.h"

class MainWindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::getcwd(oldCwd_, sizeof oldCwd_), nullptr);
    ASSERT_EQ(::chdir(tree.root().c_str()), 0);
  }
  void TearDown() override {
    form_.reset();
    ASSERT_EQ(::chdir(oldCwd_), 0);
  }

  // The main window, created now with `arguments` as its command line.
  TForm1& Start(QStringList arguments = {}) {
    MainWindowServices services;
    services.dialogs = &dialogs;
    services.clock = &clock;
    services.arguments = std::move(arguments);
    services.pendingEnd = pendingEnd;
    services.endAtOnce = endAtOnce;
    form_ = MakeForm(services);
    return *form_;
  }
  // The main window, created on first use (so a test can write the settings
  // file first).
  TForm1& Form() { return form_ ? *form_ : Start(); }
  // The window Start() creates; a fixture may create a derived one.
  virtual std::unique_ptr<TForm1> MakeForm(const MainWindowServices& services) {
    return std::make_unique<TForm1>(services);
  }
  // Shows the window and lets the queued first-show work run.
  void Show() {
    Form().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }
  // Closes as the user would (writing the settings); true when it closed.
  bool Close() { return form_->close(); }
  // Closes as the user would and forgets the window.
  void CloseForm() {
    form_->close();
    form_.reset();
  }
  // A new start of the program on the same settings file.
  void Restart() {
    form_.reset();
    Start();
  }

  QString Path(const QString& relative) const {
    return QString::fromStdString(tree.Path(relative.toStdString()));
  }
  void MakeFolder(const QString& relative) const { ASSERT_TRUE(QDir().mkpath(Path(relative))); }

  void WriteSettings(std::string_view text) const { tree.File("Quillfen.ini", text); }
  void WriteSettings(const char* text) const { WriteSettings(std::string_view(text)); }
  void WriteSettings(const QByteArray& text) const { WriteSettings(text.toStdString()); }
  std::string Settings() const { return quillfen::testing::TestTree::Read(IniPath()); }
  QByteArray ReadSettings() const { return QByteArray::fromStdString(Settings()); }
  std::string IniPath() const { return tree.Path("Quillfen.ini"); }
  quillfen::DateTime EndTime(const std::string& set) const {
    return quillfen::IniFile(IniPath()).ReadDateTime(set, "終了時刻", -1.0);
  }

  // Adds a set through the editing area as the user would.
  void AddSet(const QString& name, const QString& source, const QString& parent) {
    TForm1& form = Form();
    dialogs.folderAnswers.push_back(source);
    form.Button1Click();
    dialogs.folderAnswers.push_back(parent);
    form.Button2Click();
    form.Edit3->setText(name);
    form.Button3Click();
  }

  static QStringList Rows(const QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
  }
  static int Selected(const QListWidget* list) {
    const auto items = list->selectedItems();
    return items.isEmpty() ? -1 : list->row(items.first());
  }
  // No row selected in any of the three set lists, as after start-up. A user
  // cannot get there by clicking, so the lists' signals are held back.
  void ClearSetSelection() {
    for (QListWidget* list : {Form().ListBox1, Form().ListBox2, Form().ListBox3}) {
      const QSignalBlocker blocker(list);
      list->clearSelection();
    }
  }
  // The centre of `row` in the coordinates of the top-level window, for input
  // sent through the window system layer (as a real mouse would).
  static QPoint RowPoint(QListWidget* list, int row) {
    const QPoint inViewport = list->visualItemRect(list->item(row)).center();
    return list->viewport()->mapTo(list->window(), inViewport);
  }

  quillfen::testing::TestTree tree;
  ScriptedDialogs dialogs;
  quillfen::testing::FakeClock clock;
  // What the window is told of a signal asking the program to end.
  int (*pendingEnd)() = nullptr;
  // What ends the program at once (null: the program's own end).
  void (*endAtOnce)(int status) = nullptr;

 private:
  char oldCwd_[4096] = {};
  std::unique_ptr<TForm1> form_;
};
