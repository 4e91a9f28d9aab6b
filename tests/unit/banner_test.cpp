// The banner's right-click interception over a fake window tree.
#include <gtest/gtest.h>

#include "refresher/layout.h"
#include "refresher/refresher.h"
#include "runtime/fake_ui.h"

namespace {

using refresher::BannerWindowProc;
using rt::FakeUi;
using rt::NativeWindow;

constexpr unsigned kRButtonDown = 0x0204, kRButtonUp = 0x0205;

struct Banner : ::testing::Test {
  FakeUi ui{refresher::kLayout, refresher::Bindings()};
  NativeWindow banner = 0, embedding = 0, view = 0, inner = 0, sibling = 0;

  void SetUp() override {
    refresher::CreateState();
    banner = ui.WindowHandle("超文本浏览框2");
    embedding = ui.AddWindow(banner);
    view = ui.AddWindow(embedding);
    inner = ui.AddWindow(view);
    sibling = ui.AddWindow(banner);
  }
  void TearDown() override { refresher::CleanUp(); }
  void Navigate() { ui.Raise("超文本浏览框2", rt::Event::BeforeNavigate); }
  std::vector<NativeWindow> Registered() const {
    std::vector<NativeWindow> out;
    for (const auto& e : *refresher::SubclassRegistry()) out.push_back(e.window);
    return out;
  }
};

TEST_F(Banner, WalkIsDepthFirstAndEntersEachWindowOnce) {
  Navigate();
  EXPECT_EQ(Registered(), (std::vector<NativeWindow>{banner, embedding, view, inner, sibling}));
  for (NativeWindow w : Registered()) EXPECT_EQ(ui.ProcOf(w), &BannerWindowProc);
  Navigate();
  EXPECT_EQ(Registered().size(), 5u);
  // Never installed over itself: what it replaced is the original procedure, not itself.
  for (const auto& e : *refresher::SubclassRegistry()) EXPECT_NE(e.previous, &BannerWindowProc);
}

TEST_F(Banner, WindowsCreatedLaterAreCaughtAtTheNextNavigation) {
  Navigate();
  const NativeWindow frame = ui.AddWindow(view);
  ui.Send(frame, kRButtonDown);
  EXPECT_EQ(ui.originalCalls.size(), 1u);  // not yet subclassed: the browser gets it
  EXPECT_TRUE(ui.popups.empty());
  Navigate();
  EXPECT_EQ(Registered().back(), frame);
  EXPECT_EQ(Registered().size(), 6u);
}

TEST_F(Banner, RoutesMessages) {
  Navigate();
  ui.cursorX = 300, ui.cursorY = 460;
  struct Case {
    unsigned message;
    intptr_t lParam;
    bool passedOn;
    bool menu;
  } cases[] = {
      {kRButtonDown, 0x0028FFFD /* x -3, y 40 */, false, true},
      {kRButtonUp, 0, false, false},
      {0x0201 /* left down */, 0, true, false},
      {0x0202 /* left up */, 0, true, false},
      {0x020A /* wheel */, 0, true, false},
      {0x0100 /* key down */, 0, true, false},
      {0x007B /* context menu */, 0, true, false},
      {0x0206 /* right double click */, 0, true, false},
  };
  for (const Case& c : cases) {
    ui.originalCalls.clear();
    ui.popups.clear();
    const intptr_t result = ui.Send(inner, c.message, 0, c.lParam);
    EXPECT_EQ(result, c.passedOn ? FakeUi::kOriginalResult : 0) << std::hex << c.message;
    EXPECT_EQ(ui.originalCalls.size(), c.passedOn ? 1u : 0u) << std::hex << c.message;
    ASSERT_EQ(ui.popups.size(), c.menu ? 1u : 0u) << std::hex << c.message;
    if (c.menu) {
      // At the pointer's screen position, top-left, not the press position in the window.
      EXPECT_EQ(ui.popups[0].menu, "菜单");
      EXPECT_FALSE(ui.popups[0].tray);
      EXPECT_EQ(ui.popups[0].x, 300);
      EXPECT_EQ(ui.popups[0].y, 460);
    }
  }
}

TEST_F(Banner, PressPositionReachesTheCallbackSigned) {
  static int gotX, gotY;
  refresher::SubclassWindowTree(ui, banner, [](int x, int y) { gotX = x, gotY = y; });
  ui.Send(view, kRButtonDown, 0, 0xFFF6000C);  // x 12, y -10
  EXPECT_EQ(gotX, 12);
  EXPECT_EQ(gotY, -10);
}

TEST_F(Banner, ARecycledHandleIsSubclassedAgain) {
  Navigate();
  ui.DestroyWindowTree(inner);  // WM_NCDESTROY reaches the browser's own procedure, then the entry goes
  EXPECT_EQ(ui.originalCalls.size(), 1u);
  EXPECT_EQ(Registered(), (std::vector<NativeWindow>{banner, embedding, view, sibling}));
  ui.AddWindow(view, inner);  // the system hands the same handle to a new window
  Navigate();
  EXPECT_EQ(Registered().back(), inner);
  EXPECT_EQ(ui.ProcOf(inner), &BannerWindowProc);
}

TEST_F(Banner, FailedSubclassingIsSilentAndSlotBrowsersAreLeftAlone) {
  ui.Raise("超文本浏览框1", rt::Event::BeforeNavigate);
  EXPECT_TRUE(Registered().empty());
  ui.failSubclassing = true;
  Navigate();
  EXPECT_TRUE(Registered().empty());
  EXPECT_EQ(ui.Send(inner, kRButtonDown), FakeUi::kOriginalResult);
  EXPECT_TRUE(ui.messages.empty());
}

}  // namespace
