#include "refresher/refresher.h"

#include "refresher/layout.h"
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

void CheckForUpdate(rt::Ui&) {}

void RegisterShowHideHotkey(rt::Ui&) {}

void CreateState() {}

void CleanUp() {}

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

bool OnExitItem(rt::Ui& ui, const rt::EventArgs&) {
  ui.SetWindowVisible(false);
  ui.PostDestroyWindow();
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
    {kExitItem, rt::Event::Selected, OnExitItem},
};

}  // namespace

std::span<const rt::Binding> Bindings() { return kBindings; }

}  // namespace refresher
