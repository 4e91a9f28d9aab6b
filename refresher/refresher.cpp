#include "refresher/refresher.h"

#include "refresher/layout.h"
#include "refresher/maker.h"
#include <memory>

#include "common/handoff.h"
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

void RefreshTick(rt::Ui& ui, const RefreshSlot& slot) {
  ui.Navigate(slot.browser, ui.GetText(slot.addressBox));
}

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
  reader.Load(ui.ReadUrl(kVersionDocumentAddress, kUserAgent));
  const double version = rt::TextToNumber(reader.Attribute(kInfoPath, "版本号"));
  if (!(version - kOwnVersion > kVersionTolerance)) return;

  const std::string notes = reader.Attribute(kInfoPath, "升级说明");
  ui.ShowMessage(UpdateMessage(reader.Attribute(kInfoPath, "版本号"), notes), rt::kIconInformation);
  ui.StartProcess(BuildHandOffCommandLine(ui.ProgramDirectory(), reader.Attribute(kInfoPath, "下载地址"),
                                          reader.Attribute(kInfoPath, "文件标题"),
                                          reader.Attribute(kInfoPath, "文件名"), notes));
  ui.EndProcess(0);
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

void CreateState() { g_versionReader = std::make_unique<rt::XmlReader>(); }

void CleanUp() { g_versionReader.reset(); }

rt::XmlReader* VersionReader() { return g_versionReader.get(); }

namespace {

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  CheckForUpdate(ui);
  RegisterShowHideHotkey(ui);
  return true;
}

template <int N>
bool OnStart(rt::Ui& ui, const rt::EventArgs&) {
  StartSlot(ui, kSlots[N]);
  return true;
}
template <int N>
bool OnStop(rt::Ui& ui, const rt::EventArgs&) {
  StopSlot(ui, kSlots[N]);
  return true;
}
template <int N>
bool OnTick(rt::Ui& ui, const rt::EventArgs&) {
  RefreshTick(ui, kSlots[N]);
  return true;
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

template <int N>
constexpr rt::Binding kSlotBindings[3] = {
    {kSlots[N].startButton, rt::Event::Clicked, OnStart<N>},
    {kSlots[N].stopButton, rt::Event::Clicked, OnStop<N>},
    {kSlots[N].timer, rt::Event::Tick, OnTick<N>},
};

constexpr rt::Binding kBindings[] = {
    {"", rt::Event::Created, OnCreated},
    kSlotBindings<0>[0], kSlotBindings<0>[1], kSlotBindings<0>[2],
    kSlotBindings<1>[0], kSlotBindings<1>[1], kSlotBindings<1>[2],
    kSlotBindings<2>[0], kSlotBindings<2>[1], kSlotBindings<2>[2],
    kSlotBindings<3>[0], kSlotBindings<3>[1], kSlotBindings<3>[2],
    kSlotBindings<4>[0], kSlotBindings<4>[1], kSlotBindings<4>[2],
    {"", rt::Event::Tray, OnTray},
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
