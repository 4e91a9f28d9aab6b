#include "refresher/refresher.h"

#include "refresher/layout.h"
#include "refresher/maker.h"
#include <memory>

#include "common/handoff.h"
#include "runtime/system.h"
#include "runtime/text.h"

namespace refresher {

void StartSlot(rt::Ui& ui, const RefreshSlot& slot) {
  ui.SetPeriod(slot.timer, rt::TextToInt(ui.GetText(slot.intervalBox)));
  ui.ShowMessage(kStartedMessage, rt::kIconInformation);
}

void StopSlot(rt::Ui& ui, const RefreshSlot& slot) {
  ui.SetPeriod(slot.timer, 0);
  ui.ShowMessage(kStoppedMessage, rt::kIconInformation);
}

void RefreshTick(rt::Ui& ui, const RefreshSlot& slot) { ui.Navigate(slot.browser, ui.GetText(slot.addressBox)); }

namespace {
std::unique_ptr<rt::XmlReader> g_versionReader;
constexpr std::string_view kInfoPath = "最新版本/版本信息";
constexpr std::string_view kNotesLineBreakMarker = "#HHF";
}  // namespace

const std::string_view kVersionDocumentAddress = "http://" MAKER_SITE "/KORVA/data.xml";

std::string UpdateMessage(std::string_view version, std::string_view notes) {
  std::string text = "发现有新的版本(";
  text.append(version).append(")可以更新，本次更新了如下内容：\r\n");
  text.append(rt::ReplaceAll(notes, kNotesLineBreakMarker, "\r\n"));
  return text;
}

void CheckForUpdate(rt::Ui& ui) {
  rt::XmlReader& reader = *g_versionReader;
  rt::System& system = ui.system();
  reader.Load(system.ReadUrl(kVersionDocumentAddress, kUserAgent));
  const double version = rt::TextToNumber(reader.Attribute(kInfoPath, "版本号"));
  if (!(version - kOwnVersion > kVersionTolerance)) return;

  const std::string notes = reader.Attribute(kInfoPath, "升级说明");
  ui.ShowMessage(UpdateMessage(reader.Attribute(kInfoPath, "版本号"), notes), rt::kIconInformation);
  system.StartProcess(BuildHandOffCommandLine(system.ProgramDirectory(), reader.Attribute(kInfoPath, "下载地址"),
                                              reader.Attribute(kInfoPath, "文件标题"),
                                              reader.Attribute(kInfoPath, "文件名"), notes));
  system.EndProcess(0);
}

const std::string_view kContactHint = "快捷键:Alt+E 显示界面\r\n联系QQ:" MAKER_CONTACT " " MAKER_SITE;

void RegisterShowHideHotkey(rt::Ui& ui) {
  ui.RegisterHotkey("标签1", rt::kModAlt, 69);  // Alt+E; without it the tray and menus still work
}

void ToggleMainWindow(rt::Ui& ui) {
  ui.SetWindowVisible(!ui.IsWindowVisible());
  ui.SetTrayIcon(kTrayIconImage, kClickHint);
}

void HandleTrayEvent(rt::Ui& ui, int kind) {
  ui.SetTrayIcon(kTrayIconImage, kContactHint);
  if (kind == kTrayRightUp) ui.PopupTrayMenu("菜单");
  if (kind == kTrayLeftUp) ui.SetWindowVisible(true);
}

namespace {
std::unique_ptr<std::vector<SubclassEntry>> g_subclassRegistry;
rt::Ui* g_bannerUi = nullptr;  // what the subclass procedure reaches the platform through
constexpr unsigned kRightButtonDown = 0x0204, kRightButtonUp = 0x0205, kNcDestroy = 0x0082;
}  // namespace

const SubclassEntry* FindSubclassEntry(rt::NativeWindow window) {
  if (!g_subclassRegistry) return nullptr;
  for (const SubclassEntry& entry : *g_subclassRegistry)
    if (entry.window == window) return &entry;
  return nullptr;
}

static void SubclassOne(rt::Ui& ui, rt::NativeWindow window, void (*callback)(int, int)) {
  if (rt::WindowProc previous = ui.ReplaceWindowProc(window, BannerWindowProc))
    g_subclassRegistry->push_back({window, previous, callback});
}

void SubclassWindowTree(rt::Ui& ui, rt::NativeWindow window, void (*callback)(int x, int y)) {
  if (!FindSubclassEntry(window)) SubclassOne(ui, window, callback);
  for (rt::NativeWindow child = ui.FirstChild(window); child; child = ui.NextChild(child)) {
    if (!FindSubclassEntry(child)) SubclassOne(ui, child, callback);
    SubclassWindowTree(ui, child, callback);
  }
}

namespace {
intptr_t HandleBannerMessage(rt::Ui& ui, rt::NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  const SubclassEntry* found = FindSubclassEntry(window);
  if (!found) return ui.DefaultWindowProc(window, message, wParam, lParam);
  const SubclassEntry entry = *found;  // the popup's message loop may grow the registry
  if (message == kRightButtonDown) {
    if (entry.callback) entry.callback(int16_t(lParam & 0xFFFF), int16_t((uint32_t(lParam) >> 16) & 0xFFFF));
    return 0;
  }
  if (message == kRightButtonUp) return 0;
  const intptr_t result = ui.CallPreviousProc(entry.previous, window, message, wParam, lParam);
  // A destroyed window's handle may be given to a new window later; that one must be subclassed too.
  if (message == kNcDestroy) {
    auto& registry = *g_subclassRegistry;
    for (auto it = registry.begin(); it != registry.end(); ++it)
      if (it->window == window) {
        registry.erase(it);
        break;
      }
  }
  return result;
}
}  // namespace

intptr_t RT_CALLBACK BannerWindowProc(rt::NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  rt::Ui& ui = *g_bannerUi;
  try {
    return HandleBannerMessage(ui, window, message, wParam, lParam);
  } catch (...) {  // nothing unwinds through the system's window procedure
    return ui.DefaultWindowProc(window, message, wParam, lParam);
  }
}

void ShowMainMenuAtCursor(int, int) {
  int x = 0, y = 0;
  g_bannerUi->CursorPosition(x, y);
  g_bannerUi->PopupMenuAt("菜单", x, y);
}

void OnBannerNavigate(rt::Ui& ui) {
  g_bannerUi = &ui;
  SubclassWindowTree(ui, ui.WindowHandle("超文本浏览框2"), ShowMainMenuAtCursor);
}

const std::vector<SubclassEntry>* SubclassRegistry() { return g_subclassRegistry.get(); }

void CreateState() {
  g_versionReader = std::make_unique<rt::XmlReader>();
  g_subclassRegistry = std::make_unique<std::vector<SubclassEntry>>();
}

void CleanUp() {
  g_versionReader.reset();
  g_subclassRegistry.reset();
}

rt::XmlReader* VersionReader() { return g_versionReader.get(); }

namespace {

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  CheckForUpdate(ui);
  RegisterShowHideHotkey(ui);
  return true;
}

// Each slot's bindings carry the slot's number.
bool OnStart(rt::Ui& ui, const rt::EventArgs& args) {
  StartSlot(ui, kSlots[args.context]);
  return true;
}
bool OnStop(rt::Ui& ui, const rt::EventArgs& args) {
  StopSlot(ui, kSlots[args.context]);
  return true;
}
bool OnTick(rt::Ui& ui, const rt::EventArgs& args) {
  RefreshTick(ui, kSlots[args.context]);
  return true;
}

bool OnBannerAboutToNavigate(rt::Ui& ui, const rt::EventArgs&) {
  OnBannerNavigate(ui);
  return true;  // the navigation always proceeds
}

bool OnHotkey(rt::Ui& ui, const rt::EventArgs&) {
  ToggleMainWindow(ui);
  return true;
}

bool OnTray(rt::Ui& ui, const rt::EventArgs& args) {
  HandleTrayEvent(ui, args.a);
  return true;
}

bool OnHideItem(rt::Ui& ui, const rt::EventArgs&) {
  ui.SetWindowVisible(false);
  ui.SetTrayIcon(kTrayIconImage, kClickHint);
  return true;
}

bool OnShowItem(rt::Ui& ui, const rt::EventArgs&) {
  ui.SetWindowVisible(true);
  return true;
}

bool OnExitItem(rt::Ui& ui, const rt::EventArgs&) {
  ui.SetWindowVisible(false);
  ui.PostDestroyWindow();
  return true;
}

bool OnHomeItem(rt::Ui& ui, const rt::EventArgs&) {
  ui.OpenInShell(MAKER_HOME);
  return true;
}

bool OnDirectoryItem(rt::Ui& ui, const rt::EventArgs&) {
  ui.SetLinkAddress("超级链接框1", DIRECTORY_HOME);
  ui.NavigateLink("超级链接框1");
  return true;
}

bool OnDomainItem(rt::Ui& ui, const rt::EventArgs&) {
  ui.SetLinkAddress("超级链接框1", MAKER_HOME);
  ui.NavigateLink("超级链接框1");
  return true;
}

constexpr rt::Binding kBindings[] = {
    {"", rt::Event::Created, OnCreated},
    {kSlots[0].startButton, rt::Event::Clicked, OnStart, 0},
    {kSlots[0].stopButton, rt::Event::Clicked, OnStop, 0},
    {kSlots[0].timer, rt::Event::Tick, OnTick, 0},
    {kSlots[1].startButton, rt::Event::Clicked, OnStart, 1},
    {kSlots[1].stopButton, rt::Event::Clicked, OnStop, 1},
    {kSlots[1].timer, rt::Event::Tick, OnTick, 1},
    {kSlots[2].startButton, rt::Event::Clicked, OnStart, 2},
    {kSlots[2].stopButton, rt::Event::Clicked, OnStop, 2},
    {kSlots[2].timer, rt::Event::Tick, OnTick, 2},
    {kSlots[3].startButton, rt::Event::Clicked, OnStart, 3},
    {kSlots[3].stopButton, rt::Event::Clicked, OnStop, 3},
    {kSlots[3].timer, rt::Event::Tick, OnTick, 3},
    {kSlots[4].startButton, rt::Event::Clicked, OnStart, 4},
    {kSlots[4].stopButton, rt::Event::Clicked, OnStop, 4},
    {kSlots[4].timer, rt::Event::Tick, OnTick, 4},
    {"", rt::Event::Tray, OnTray},
    {"超文本浏览框2", rt::Event::BeforeNavigate, OnBannerAboutToNavigate},
    {"标签1", rt::Event::Feedback, OnHotkey},
    {kHideItem, rt::Event::Selected, OnHideItem},
    {kShowItem, rt::Event::Selected, OnShowItem},
    {kExitItem, rt::Event::Selected, OnExitItem},
    {kHomeItem, rt::Event::Selected, OnHomeItem},
    {kDirectoryItem, rt::Event::Selected, OnDirectoryItem},
    {kDomainItem, rt::Event::Selected, OnDomainItem},
};

}  // namespace

std::span<const rt::Binding> Bindings() { return kBindings; }

}  // namespace refresher
