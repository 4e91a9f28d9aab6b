// Hiding to the notification area and back: the state table, the tooltips, the hotkey and the menus.
#include <gtest/gtest.h>

#include <optional>

#include "refresher/layout.h"
#include "refresher/maker.h"
#include "refresher/refresher.h"
#include "runtime/fake_ui.h"

namespace {

using refresher::kClickHint;
using refresher::kContactHint;
using rt::FakeUi;

enum Action { AltE, HideItem, ShowItem, TrayLeft, TrayDouble, TrayRight };

void Do(FakeUi& ui, Action a) {
  switch (a) {
    case AltE: ui.Raise("标签1", rt::Event::Feedback, {1, 0}); break;
    case HideItem: ui.Select(refresher::kHideItem); break;
    case ShowItem: ui.Select(refresher::kShowItem); break;
    case TrayLeft: ui.Raise("", rt::Event::Tray, {1}); break;
    case TrayDouble: ui.Raise("", rt::Event::Tray, {2}); break;
    case TrayRight: ui.Raise("", rt::Event::Tray, {3}); break;
  }
}

TEST(Tray, StateTable) {
  struct Row {
    const char* what;
    std::vector<Action> before;
    Action action;
    bool visible;
    std::optional<std::string_view> tooltip;  // the icon's tooltip afterwards; none = no icon
    bool menuOpened;
  } rows[] = {
      {"start, Alt+E", {}, AltE, false, kClickHint, false},
      {"start, hide item", {}, HideItem, false, kClickHint, false},
      {"start, show item", {}, ShowItem, true, std::nullopt, false},
      {"hidden, Alt+E", {AltE}, AltE, true, kClickHint, false},
      {"hidden, left click", {AltE}, TrayLeft, true, kContactHint, false},
      {"hidden, right click", {AltE}, TrayRight, false, kContactHint, true},
      {"shown with icon, right click", {AltE, AltE}, TrayRight, true, kContactHint, true},
      {"hidden, double click", {AltE}, TrayDouble, false, kContactHint, false},
      {"shown with icon, Alt+E", {AltE, TrayLeft}, AltE, false, kClickHint, false},
      {"shown with icon, hide item", {AltE, TrayLeft}, HideItem, false, kClickHint, false},
      {"hidden, show item keeps the icon", {AltE}, ShowItem, true, kClickHint, false},
  };
  for (const Row& row : rows) {
    FakeUi ui(refresher::kLayout, refresher::Bindings());
    for (Action a : row.before) Do(ui, a);
    ui.popups.clear();
    Do(ui, row.action);
    EXPECT_EQ(ui.IsWindowVisible(), row.visible) << row.what;
    if (row.tooltip) {
      ASSERT_FALSE(ui.trayIcons.empty()) << row.what;
      EXPECT_EQ(ui.trayIcons.back().tooltip, *row.tooltip) << row.what;
      EXPECT_EQ(ui.trayIcons.back().icon, refresher::kTrayIconImage) << row.what;
    } else {
      EXPECT_TRUE(ui.trayIcons.empty()) << row.what;
    }
    ASSERT_EQ(ui.popups.size(), row.menuOpened ? 1u : 0u) << row.what;
    if (row.menuOpened) {
      EXPECT_EQ(ui.popups[0].menu, "菜单") << row.what;
      EXPECT_TRUE(ui.popups[0].tray) << row.what;
    }
  }
}

TEST(Tray, ContactHintIsTwoLinesWithinTheTooltipLimit) {
  EXPECT_LE(kContactHint.size(), rt::kTooltipBytes);
  EXPECT_EQ(kContactHint.substr(0, kContactHint.find("\r\n")), "快捷键:Alt+E 显示界面");
  EXPECT_NE(kContactHint.find(MAKER_CONTACT), std::string_view::npos);
}

TEST(Tray, HotkeyIsAltERegisteredForTheHintLabel) {
  refresher::CreateState();  // the created event runs the update check first
  FakeUi ui(refresher::kLayout, refresher::Bindings());
  ui.Raise("", rt::Event::Created);
  ASSERT_EQ(ui.hotkeys.size(), 1u);
  EXPECT_EQ(ui.hotkeys[0].receiver, "标签1");
  EXPECT_EQ(ui.hotkeys[0].modifiers, 4);
  EXPECT_EQ(ui.hotkeys[0].virtualKey, 69);
  // A failed registration is silent: no message, and the menu can still add the icon.
  FakeUi taken(refresher::kLayout, refresher::Bindings());
  taken.hotkeyResult = 0;
  taken.Raise("", rt::Event::Created);
  EXPECT_TRUE(taken.messages.empty());
  taken.Select(refresher::kHideItem);
  EXPECT_EQ(taken.trayIcons.size(), 1u);
  refresher::CleanUp();
}

TEST(Tray, MenuItemsOpenTheSitesByTheirRoutes) {
  FakeUi ui(refresher::kLayout, refresher::Bindings());
  ui.Select(refresher::kHomeItem);
  ui.Select(refresher::kDomainItem);
  ui.Select(refresher::kDirectoryItem);
  EXPECT_EQ(ui.shellOpens, (std::vector<std::string>{"http://" MAKER_SITE "/?KORVA"}));
  EXPECT_EQ(ui.linkOpens,
            (std::vector<std::string>{"http://" MAKER_SITE "/?KORVA", "http://" DIRECTORY_SITE "/?KORVA"}));
  EXPECT_TRUE(ui.IsWindowVisible());
}

TEST(Tray, ExitEndsFromAnyState) {
  for (std::vector<Action> before : {std::vector<Action>{}, {AltE}, {AltE, TrayLeft}}) {
    FakeUi ui(refresher::kLayout, refresher::Bindings());
    for (Action a : before) Do(ui, a);
    ui.Select(refresher::kExitItem);
    EXPECT_FALSE(ui.IsWindowVisible());
    EXPECT_TRUE(ui.destroyPosted);
  }
}

}  // namespace
