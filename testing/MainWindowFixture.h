// Test bed for GUI tests of the main window: a temporary working directory
// (so StartDir and Quillfen.ini are the test's own), scripted dialogs, a fixed
// clock, and helpers to read and write the settings file and to click.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QTemporaryDir>
#include <QTest>

#include "app/Unit1.h"
#include "engine/DateTime.h"
#include "testing/FakeClock.h"
#include "testing/ScriptedDialogs.h"

class Unit1TestBed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    oldCwd_ = QDir::currentPath();
    ASSERT_EQ(::chdir(QFile::encodeName(dir_.path()).constData()), 0);
  }
  void TearDown() override {
    form_.reset();
    ASSERT_EQ(::chdir(QFile::encodeName(oldCwd_).constData()), 0);
  }

  // The main window, created on first use (so a test can write the settings
  // file first).
  TForm1& Form() {
    if (!form_) {
      MainWindowServices services;
      services.dialogs = &dialogs;
      services.clock = &clock;
      form_ = MakeForm(services);
    }
    return *form_;
  }
  // The window Form() creates; a test bed may create a derived one.
  virtual std::unique_ptr<TForm1> MakeForm(const MainWindowServices& services) {
    return std::make_unique<TForm1>(services);
  }
  // Closes the window as the user would (writing the settings) and forgets it.
  void CloseForm() {
    form_->close();
    form_.reset();
  }

  QString Path(const QString& relative) const { return dir_.path() + "/" + relative; }
  void MakeFolder(const QString& relative) const { ASSERT_TRUE(QDir().mkpath(Path(relative))); }

  void WriteSettings(const QByteArray& text) const {
    QFile file(Path("Quillfen.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
  }
  QByteArray ReadSettings() const {
    QFile file(Path("Quillfen.ini"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
  void Show() {
    Form().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));
  }

  ScriptedDialogs dialogs;
  quillfen::testing::FakeClock clock;

 private:
  QTemporaryDir dir_;
  QString oldCwd_;
  std::unique_ptr<TForm1> form_;
};
