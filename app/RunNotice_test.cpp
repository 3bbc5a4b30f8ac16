// The notice an unattended program leaves on the desktop: only when something
// failed, naming the sets and the number of failures.
#include "app/RunNotice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Unit1.h"
#include "testing/MainWindowFixture.h"
#include "ui/DesktopNotices.h"

namespace quillfen {
namespace {

using ::testing::HasSubstr;

TEST(UnattendedRunNotice, OnlyWhenSomethingFailedAndNamingTheSets) {
  EXPECT_EQ(UnattendedRunNotice({}, 0, ""), std::nullopt);

  const auto failed = UnattendedRunNotice(
      {"Aのコピーに失敗したファイルが2件あります。", "Bはコピー先フォルダが指定されていません。"},
      3, "");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->summary, "Quillfen: バックアップできなかったファイルが3件あります");
  EXPECT_EQ(
      failed->body,
      "Aのコピーに失敗したファイルが2件あります。\nBはコピー先フォルダが指定されていません。");

  const auto settings = UnattendedRunNotice({}, 0, "/home/u/Quillfen.ini に書き込めません");
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->summary, "Quillfen: 設定を保存できませんでした");
  EXPECT_EQ(settings->body, "/home/u/Quillfen.ini に書き込めません");
}

class RecordingNotices : public DesktopNotices {
 public:
  std::vector<std::pair<std::string, std::string>> sent;
  void Notify(const std::string& summary, const std::string& body) override {
    sent.emplace_back(summary, body);
  }
};

class NoticeWindowTest : public MainWindowFixture {
 protected:
  std::unique_ptr<TForm1> MakeForm(const MainWindowServices& services) override {
    MainWindowServices withNotices = services;
    withNotices.notices = &notices;
    return std::make_unique<TForm1>(withNotices);
  }
  RecordingNotices notices;
};

// One notice when the unattended program ends with failed copies; none for
// a good unattended run, none for the window the user watches.
TEST_F(NoticeWindowTest, UnattendedEndWithFailuresLeavesOneNotice) {
  tree.File("src/a.txt", "a");
  tree.File("src/b.txt", "b");
  tree.Dir("dst/b.txt/in-the-way");
  WriteSettings("[Photos]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") +
                "\r\n");
  Start();
  Form().Button9Click();  // the user's own run: the window shows it
  EXPECT_TRUE(notices.sent.empty());

  clock.NextDay();
  Start({"-s"});
  Show();
  ::testing::internal::CaptureStderr();
  Form().Button9Click();
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(Form().isVisible());
  ASSERT_EQ(notices.sent.size(), 1u);
  EXPECT_EQ(notices.sent[0].first, "Quillfen: バックアップできなかったファイルが1件あります");
  EXPECT_EQ(notices.sent[0].second, "Photosのコピーに失敗したファイルが1件あります。");

  notices.sent.clear();
  ASSERT_EQ(::rmdir(tree.Path("dst/b.txt/in-the-way").c_str()), 0);
  ASSERT_EQ(::rmdir(tree.Path("dst/b.txt").c_str()), 0);
  clock.NextDay();
  Start({"-s"});
  Show();
  Form().Button9Click();
  EXPECT_FALSE(Form().isVisible());
  EXPECT_EQ(Form().ExitStatus(), 0);
  EXPECT_TRUE(notices.sent.empty());
}

TEST_F(NoticeWindowTest, UnattendedEndWithAnUnwritableSettingsFileLeavesOneNotice) {
  Start({"-s"});
  Show();
  tree.Dir("Quillfen.ini");
  ::testing::internal::CaptureStderr();
  Form().Button9Click();  // nothing to back up: the close fails
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Form().ExitStatus(), 2);
  ASSERT_EQ(notices.sent.size(), 1u);
  EXPECT_THAT(notices.sent[0].second, HasSubstr(tree.Path("Quillfen.ini") + " に書き込めません"));
}

}  // namespace
}  // namespace quillfen
