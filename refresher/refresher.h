// The main program's handlers over the controls of its window, and its program-wide state.
#pragma once
#include <span>
#include <vector>
#include <string_view>

#include "runtime/ui.h"
#include "runtime/xml.h"
#include "site_config.h"

namespace refresher {

struct RefreshSlot {
  std::string_view pageCaption, addressBox, intervalBox, startButton, stopButton, timer, browser;
};

// The control numbering is irregular; this table is the binding.
inline constexpr RefreshSlot kSlots[5] = {
    {"挂机窗口1", "编辑框1", "编辑框2", "按钮1", "按钮2", "时钟1", "超文本浏览框1"},
    {"挂机窗口2", "编辑框4", "编辑框3", "按钮4", "按钮3", "时钟2", "超文本浏览框3"},
    {"挂机窗口3", "编辑框6", "编辑框5", "按钮6", "按钮5", "时钟3", "超文本浏览框4"},
    {"挂机窗口4", "编辑框8", "编辑框7", "按钮8", "按钮7", "时钟4", "超文本浏览框5"},
    {"挂机窗口5", "编辑框10", "编辑框9", "按钮10", "按钮9", "时钟5", "超文本浏览框6"},
};

inline constexpr std::string_view kStartedMessage = "自动挂机刷新页面已开启,你现在可以Alt+E快捷键到托盘隐藏起来!";
inline constexpr std::string_view kStoppedMessage = "自动挂机刷新页面已停止!";

void StartSlot(rt::Ui& ui, const RefreshSlot& slot);
void StopSlot(rt::Ui& ui, const RefreshSlot& slot);
void RefreshTick(rt::Ui& ui, const RefreshSlot& slot);

// The update check: the version document, and the hand-off to the updater when it announces a newer version.
inline constexpr double kOwnVersion = OWN_VERSION_NUMBER;
inline constexpr double kVersionTolerance = 1e-7;
inline constexpr std::string_view kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
extern const std::string_view kVersionDocumentAddress;
std::string UpdateMessage(std::string_view version, std::string_view notes);
void CheckForUpdate(rt::Ui& ui);

// Hiding to the notification area and back.
inline constexpr int kTrayIconImage = 1;  // the program's icon resource, five sizes
inline constexpr std::string_view kClickHint = "点击'左键'显示界面,点击'右键'显示菜单";
extern const std::string_view kContactHint;
inline constexpr int kTrayLeftUp = 1, kTrayLeftDoubleClick = 2, kTrayRightUp = 3;

void RegisterShowHideHotkey(rt::Ui& ui);
void ToggleMainWindow(rt::Ui& ui);
void HandleTrayEvent(rt::Ui& ui, int kind);

// The banner browser's right clicks open the program's own menu: every window of the banner is
// subclassed, again at each of its navigations.
struct SubclassEntry {
  rt::NativeWindow window;
  rt::WindowProc previous;
  void (*callback)(int x, int y);
};
void SubclassWindowTree(rt::Ui& ui, rt::NativeWindow window, void (*callback)(int x, int y));
const SubclassEntry* FindSubclassEntry(rt::NativeWindow window);
intptr_t RT_CALLBACK BannerWindowProc(rt::NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam);
void ShowMainMenuAtCursor(int x, int y);
void OnBannerNavigate(rt::Ui& ui);
const std::vector<SubclassEntry>* SubclassRegistry();  // null outside CreateState .. CleanUp

// Program-wide state: created before the window is loaded, released by CleanUp.
void CreateState();
void CleanUp();
rt::XmlReader* VersionReader();  // null outside CreateState .. CleanUp

std::span<const rt::Binding> Bindings();

}  // namespace refresher
