// The update check through the fake window layer: the version rule, the message and the hand-off.
#include <gtest/gtest.h>

#include "refresher/layout.h"
#include "refresher/refresher.h"
#include "runtime/fake_ui.h"

namespace {

using rt::FakeUi;

std::string Document(std::string_view version, std::string_view notes = "一#HHF二") {
  std::string d = "<?xml version=\"1.0\" encoding=\"gbk\"?>\n<!-- 版本 -->\n<最新版本><版本信息 版本号=\"";
  d.append(version).append("\" 升级说明=\"").append(notes);
  d.append("\" 下载地址=\"http://h/KORVA.zip\" 文件标题=\"页潮\" 文件名=\"KORVA.zip\"/></最新版本>");
  return d;
}

struct UpdateCheck : ::testing::Test {
  FakeUi ui{refresher::kLayout, refresher::Bindings()};
  void SetUp() override { refresher::CreateState(); }
  void TearDown() override { refresher::CleanUp(); }
  void Serve(std::string body) { ui.sys.urlBodies[std::string(refresher::kVersionDocumentAddress)] = std::move(body); }
};

TEST_F(UpdateCheck, VersionRule) {
  struct Case {
    std::string body;
    bool update;
  } cases[] = {
      {Document("1.1"), false},
      {Document("1.10"), false},
      {Document("1.1.5"), false},
      {Document("1.1 beta"), false},
      {Document("1.0"), false},
      {Document("abc"), false},
      {Document(""), false},
      {"", false},
      {Document("1.2"), true},
      {Document("2"), true},
      {Document("1.1000002"), true},
      {Document("1.10000001"), false},
      {"<最新版本><版本信息 文件名=\"x\"/></最新版本>", false},  // no version attribute
      {"<html><body>404 Not Found<hr></body></html>", false},
      // The same document in UTF-8: its names never match the GBK ones.
      {"<\xe6\x9c\x80\xe6\x96\xb0\xe7\x89\x88\xe6\x9c\xac><\xe7\x89\x88\xe6\x9c\xac\xe4\xbf\xa1\xe6\x81\xaf "
       "\xe7\x89\x88\xe6\x9c\xac\xe5\x8f\xb7=\"9\"/></\xe6\x9c\x80\xe6\x96\xb0\xe7\x89\x88\xe6\x9c\xac>",
       false},
  };
  for (const Case& c : cases) {
    FakeUi fresh(refresher::kLayout, refresher::Bindings());
    fresh.sys.urlBodies[std::string(refresher::kVersionDocumentAddress)] = c.body;
    fresh.Raise("", rt::Event::Created);
    EXPECT_EQ(fresh.sys.ended, c.update) << c.body;
    EXPECT_EQ(fresh.messages.size(), c.update ? 1u : 0u) << c.body;
    EXPECT_EQ(fresh.sys.startedProcesses.size(), c.update ? 1u : 0u) << c.body;
    // Without an update the start-up goes on to the hotkey.
    EXPECT_EQ(fresh.hotkeys.size(), c.update ? 0u : 1u) << c.body;
  }
}

TEST_F(UpdateCheck, FetchesTheDocumentWithTheUserAgent) {
  ui.Raise("", rt::Event::Created);
  ASSERT_EQ(ui.sys.urlReads.size(), 1u);
  EXPECT_EQ(ui.sys.urlReads[0],
            "http://" MAKER_SITE "/KORVA/data.xml|Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)");
}

TEST_F(UpdateCheck, ShowsTheNotesAndHandsThemOverRaw) {
  Serve(Document("1.2", "修正&amp;改进#HHF新增 托盘#hhf菜单"));
  ui.sys.programDirectory = "C:\\Program Files\\Pagetide";
  ui.Raise("", rt::Event::Created);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "发现有新的版本(1.2)可以更新，本次更新了如下内容：\r\n修正&改进\r\n新增 托盘#hhf菜单");
  EXPECT_EQ(ui.messages[0].style, rt::kIconInformation);
  ASSERT_EQ(ui.sys.startedProcesses.size(), 1u);
  EXPECT_EQ(ui.sys.startedProcesses[0],
            "\"C:\\Program Files\\Pagetide\\data\\update.exe\" qzmkhost_launcher http://h/KORVA.zip 页潮 run "
            "KORVA.exe KORVA.zip 修正&改进#HHF新增 托盘#hhf菜单");
  EXPECT_TRUE(ui.sys.ended);
  EXPECT_EQ(ui.sys.exitCode, 0u);
}

TEST_F(UpdateCheck, MissingAttributesGiveEmptyFields) {
  Serve("<最新版本><版本信息 版本号=\"3\"/></最新版本>");
  ui.sys.programDirectory = "D:";
  ui.Raise("", rt::Event::Created);
  ASSERT_EQ(ui.sys.startedProcesses.size(), 1u);
  EXPECT_EQ(ui.sys.startedProcesses[0], "\"D:\\data\\update.exe\" qzmkhost_launcher   run KORVA.exe  ");
  EXPECT_EQ(ui.messages[0].text, "发现有新的版本(3)可以更新，本次更新了如下内容：\r\n");
}

}  // namespace
