// The updater's start-up through the fake window layer: the pause, the check and the task row.
#include <gtest/gtest.h>

#include "runtime/fake_ui.h"
#include "updater/layout.h"
#include "updater/updater.h"

namespace {

using rt::FakeUi;

struct Updater : ::testing::Test {
  FakeUi ui{updater::kLayout, updater::Bindings()};
  void SetUp() override { updater::CreateState(); }
  void TearDown() override { updater::CleanUp(); }
  void Start(std::string commandLine) {
    ui.sys.commandLine = std::move(commandLine);
    ui.Raise("", rt::Event::Created);
  }
};

TEST_F(Updater, RefusesBadInvocationsAfterTheFullPause) {
  struct Case {
    const char* line;
    bool refused;
  } cases[] = {
      {"update.exe qzmkhost_launcher http://h/p.zip 标题 run KORVA.exe", true},  // five arguments
      {"update.exe qzmkhost_launcher http://h/p.zip 标题 run KORVA.exe p.zip", false},
      {"update.exe qzmkhost_launcher a b c d e f g", false},
      {"update.exe Qzmkhost_launcher http://h/p.zip 标题 run KORVA.exe p.zip", true},
      {"update.exe qzmkhost_launcherx http://h/p.zip 标题 run KORVA.exe p.zip", true},
      {"update.exe", true},
      // An unquoted path with a blank: the rest of the path becomes argument 1.
      {"C:\\Program Files\\P\\data\\update.exe qzmkhost_launcher u t run KORVA.exe f", true},
      {"\"C:\\Program Files\\P\\data\\update.exe\" qzmkhost_launcher u t run KORVA.exe f", false},
  };
  for (const Case& c : cases) {
    FakeUi fresh(updater::kLayout, updater::Bindings());
    updater::CreateState();
    bool pausedFirst = false;
    fresh.whileMessageOpen = [&] { pausedFirst = fresh.messagePumps == 1000 && fresh.sleeps == 1000; };
    fresh.sys.commandLine = c.line;
    fresh.Raise("", rt::Event::Created);
    EXPECT_EQ(fresh.sys.ended, c.refused) << c.line;
    ASSERT_EQ(fresh.messages.size(), c.refused ? 1u : 0u) << c.line;
    if (c.refused) {
      EXPECT_TRUE(pausedFirst) << c.line;
      EXPECT_EQ(fresh.messages[0].text, "程序调用参数错误！");
      EXPECT_EQ(fresh.messages[0].style, rt::kIconError);
      EXPECT_EQ(fresh.sys.exitCode, 0u);
      EXPECT_EQ(fresh.GetText("编辑框1"), "") << c.line;  // nothing logged, no row built
      EXPECT_TRUE(updater::ProgramState()->taskRows.empty()) << c.line;
    } else {
      EXPECT_EQ(fresh.GetText("编辑框1"), "执行下载任务1") << c.line;
    }
  }
}

TEST_F(Updater, BuildsOneTaskRowFromTheTemplates) {
  Start("\"C:\\P\\data\\update.exe\" qzmkhost_launcher http://h/p.zip 标题 run KORVA.exe p.zip 说明");
  ASSERT_EQ(updater::ProgramState()->taskRows.size(), 1u);
  const updater::TaskRow& row = updater::ProgramState()->taskRows[0];
  struct Expect {
    const std::string& copy;
    const char* source;
    bool visible;
    int left, top;
  } expects[] = {
      {row.nameLabel, "标签6", true, 2, 21},          {row.sizeLabel, "标签7", true, 124, 21},
      {row.progressBar, "多功能条1", false, 184, 21}, {row.statusLabel, "标签9", true, 184, 21},
      {row.speedLabel, "标签8", true, 309, 21},       {row.separatorLine, "外形框1", true, 1, 42},
  };
  for (const Expect& e : expects) {
    ASSERT_FALSE(e.copy.empty()) << e.source;
    EXPECT_EQ(&ui.RowOf(e.copy), &ui.RowOf(e.source)) << e.source;  // same kind and properties
    EXPECT_EQ(ui.IsVisible(e.copy), e.visible) << e.source;
    EXPECT_EQ(ui.GetPlace(e.copy).left, e.left) << e.source;
    EXPECT_EQ(ui.GetPlace(e.copy).top, e.top) << e.source;
    EXPECT_EQ(ui.GetPlace(e.copy).width, ui.GetPlace(e.source).width) << e.source;
    EXPECT_EQ(ui.GetText(e.copy), "") << e.source;
    EXPECT_EQ(ui.NextChild(ui.WindowHandle(e.source)), ui.WindowHandle(e.copy)) << e.source;
    EXPECT_FALSE(ui.IsVisible(e.source)) << e.source;  // templates stay hidden, where they were
    EXPECT_EQ(ui.GetPlace(e.source).left, ui.RowOf(e.source).x) << e.source;
  }
  EXPECT_TRUE(row.unused1.empty() && row.unused2.empty() && row.unused3.empty());
  EXPECT_EQ(updater::ProgramState()->cmdArgs.size(), 7u);
  EXPECT_EQ(updater::ProgramState()->cmdArgs[2], "标题");
}

TEST_F(Updater, CloseDuringThePauseEndsQuietly) {
  ui.onProcessMessages = [&] {
    if (ui.messagePumps == 10) {
      EXPECT_TRUE(ui.Raise("", rt::Event::CloseQuery));  // no task yet: nothing to stop, the window may close
      ui.windowDestroyed = true;
    }
  };
  Start("update.exe qzmkhost_launcher u t run KORVA.exe f");
  EXPECT_EQ(ui.messagePumps, 10);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_FALSE(ui.sys.ended);
  EXPECT_TRUE(updater::ProgramState()->cmdArgs.empty());
  EXPECT_EQ(ui.GetText("编辑框1"), "");
}

}  // namespace
