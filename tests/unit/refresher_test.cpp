// The main window's handlers driven through the fake window layer.
#include <gtest/gtest.h>

#include "refresher/layout.h"
#include "refresher/refresher.h"
#include "runtime/fake_ui.h"
#include "site_config.h"

namespace {

using refresher::kSlots;
using rt::FakeUi;

struct Refresher : ::testing::Test {
  FakeUi ui{refresher::kLayout, refresher::Bindings()};

  std::vector<FakeUi::Navigation> NavigationsAfterLoad() const {
    return {ui.navigations.begin() + 2, ui.navigations.end()};
  }
};

TEST_F(Refresher, LoadsWithSlotsStoppedAndTwoBrowsersNavigating) {
  for (const auto& slot : kSlots) {
    EXPECT_EQ(ui.GetText(slot.intervalBox), "3000");
    EXPECT_EQ(ui.GetPeriod(slot.timer), 0);
  }
  EXPECT_EQ(ui.GetText("编辑框1"), "http://" MAKER_SITE "/?soft");
  for (int i = 1; i < 5; ++i) EXPECT_EQ(ui.GetText(kSlots[i].addressBox), "");
  ASSERT_EQ(ui.navigations.size(), 2u);
  EXPECT_EQ(ui.navigations[0].browser, "超文本浏览框1");
  EXPECT_EQ(ui.navigations[0].address, "http://" MAKER_SITE "/KORVA/a.htm");
  EXPECT_EQ(ui.navigations[1].browser, "超文本浏览框2");
  EXPECT_EQ(ui.navigations[1].address, "http://" MAKER_SITE "/KORVA/1.htm");
  EXPECT_EQ(refresher::kLayout.window.caption, "Pagetide V" OWN_VERSION_TEXT);
}

// Each slot reads its own boxes and drives its own timer and browser, and nothing else.
TEST_F(Refresher, EverySlotIsBoundToItsOwnControls) {
  for (int i = 0; i < 5; ++i) {
    FakeUi fresh(refresher::kLayout, refresher::Bindings());
    const auto& slot = kSlots[i];
    for (const auto& other : kSlots) {
      fresh.SetText(other.intervalBox, "9999");
      fresh.SetText(other.addressBox, "other");
    }
    fresh.SetText(slot.intervalBox, "100");
    fresh.SetText(slot.addressBox, "mine");
    fresh.Click(slot.startButton);
    for (const auto& other : kSlots) EXPECT_EQ(fresh.GetPeriod(other.timer), &other == &slot ? 100 : 0) << i;
    fresh.Advance(250);
    ASSERT_EQ(fresh.navigations.size(), 4u) << i;
    for (size_t n = 2; n < 4; ++n) {
      EXPECT_EQ(fresh.navigations[n].browser, slot.browser) << i;
      EXPECT_EQ(fresh.navigations[n].address, "mine") << i;
    }
    fresh.Click(slot.stopButton);
    EXPECT_EQ(fresh.GetPeriod(slot.timer), 0) << i;
  }
}

TEST_F(Refresher, StartShowsTheMessageWhateverTheIntervalConvertsTo) {
  struct Case {
    const char* text;
    int period;
  } cases[] = {
      {"3000", 3000}, {" 1500ms", 1500}, {"2.9", 2},        {"abc", 0},
      {"", 0},        {"-10", 0},        {"4294967296", 0}, {"2147483648", 0},
  };
  for (const Case& c : cases) {
    ui.messages.clear();
    ui.SetText("编辑框2", c.text);
    ui.Click("按钮1");
    EXPECT_EQ(ui.GetPeriod("时钟1"), c.period) << c.text;
    ASSERT_EQ(ui.messages.size(), 1u) << c.text;
    EXPECT_EQ(ui.messages[0].text, refresher::kStartedMessage);
    EXPECT_EQ(ui.messages[0].style, rt::kIconInformation);
  }
  EXPECT_EQ(refresher::kStartedMessage, "自动挂机刷新页面已开启,你现在可以Alt+E快捷键到托盘隐藏起来!");
}

TEST_F(Refresher, FirstReloadComesOneIntervalAfterStart) {
  ui.SetText("编辑框4", "http://example.test/x");
  ui.Click("按钮4");  // slot 2, interval "3000"
  ui.Advance(2999);
  EXPECT_TRUE(NavigationsAfterLoad().empty());
  ui.Advance(1);
  ASSERT_EQ(NavigationsAfterLoad().size(), 1u);
  EXPECT_EQ(NavigationsAfterLoad()[0].at, 3000);
  EXPECT_EQ(NavigationsAfterLoad()[0].browser, "超文本浏览框3");
}

TEST_F(Refresher, StartingAgainKeepsOrRestartsThePhase) {
  ui.SetText("编辑框2", "1000");
  ui.Click("按钮1");
  ui.Advance(1500);   // tick at 1000
  ui.Click("按钮1");  // same interval: phase kept
  ui.Advance(600);    // tick at 2000
  ui.SetText("编辑框2", "700");
  ui.Click("按钮1");  // at 2100: restarted
  ui.Advance(1500);   // ticks at 2800, 3500
  std::vector<int64_t> at;
  for (const auto& n : NavigationsAfterLoad()) at.push_back(n.at);
  EXPECT_EQ(at, (std::vector<int64_t>{1000, 2000, 2800, 3500}));
}

TEST_F(Refresher, TicksReadTheAddressAfreshAndIgnoreIntervalEdits) {
  ui.SetText("编辑框6", " first ");
  ui.SetText("编辑框5", "100");
  ui.Click("按钮6");
  ui.Advance(100);
  ui.SetText("编辑框6", "second");
  ui.SetText("编辑框5", "5000");  // not read until start is pressed again
  ui.Advance(100);
  auto navs = NavigationsAfterLoad();
  ASSERT_EQ(navs.size(), 2u);
  EXPECT_EQ(navs[0].address, " first ");  // exactly as typed
  EXPECT_EQ(navs[1].address, "second");
  EXPECT_EQ(ui.GetPeriod("时钟3"), 100);
}

TEST_F(Refresher, StopStopsAndAlwaysShowsTheMessage) {
  ui.Click("按钮9");  // stop on a stopped slot 5
  ui.SetText("编辑框9", "50");
  ui.Click("按钮10");
  ui.Advance(120);
  ui.Click("按钮9");
  ui.Advance(1000);
  EXPECT_EQ(NavigationsAfterLoad().size(), 2u);
  EXPECT_EQ(ui.GetPeriod("时钟5"), 0);
  ASSERT_EQ(ui.messages.size(), 3u);
  EXPECT_EQ(ui.messages[0].text, "自动挂机刷新页面已停止!");
  EXPECT_EQ(ui.messages[2].text, "自动挂机刷新页面已停止!");
  EXPECT_EQ(ui.messages[2].style, rt::kIconInformation);
}

TEST_F(Refresher, RunningSlotsReloadWhileAMessageBoxIsOpen) {
  ui.SetText("编辑框2", "200");
  ui.Click("按钮1");
  ui.whileMessageOpen = [&] { ui.Advance(1000); };
  ui.Click("按钮5");  // stopping slot 3 shows a box; slot 1 goes on meanwhile
  EXPECT_EQ(NavigationsAfterLoad().size(), 5u);
}

TEST_F(Refresher, ExitItemHidesThenDestroysTheWindow) {
  ui.Select(refresher::kExitItem);
  EXPECT_FALSE(ui.IsWindowVisible());
  EXPECT_TRUE(ui.destroyPosted);
}

}  // namespace
