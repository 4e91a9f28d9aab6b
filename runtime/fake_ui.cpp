#include "runtime/fake_ui.h"

#include <cstdio>
#include <cstdlib>

#include "runtime/timer.h"

namespace rt {

FakeUi::FakeUi(const Layout& layout, std::span<const Binding> bindings)
    : layout_(layout), bindings_(bindings) {
  for (const ControlRow& row : layout.controls) {
    if (row.kind == Kind::Timer) timers_[std::string(row.name)];
    texts_[std::string(row.name)] = std::string(row.text);
    if (row.kind == Kind::Browser && !row.text.empty())
      navigations.push_back({std::string(row.name), std::string(row.text), 0});
  }
}

// A layout name the program does not have is a fault of the program, not of the user.
#define FAKE_REQUIRE(cond, name)                                                       \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "FakeUi: no such control %.*s\n", int((name).size()), (name).data()); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

bool FakeUi::Raise(std::string_view control, Event event, EventArgs args) {
  return Dispatch(bindings_, *this, control, event, args);
}

void FakeUi::Advance(int64_t ms) {
  const int64_t end = now + ms;
  while (true) {
    Timer* next = nullptr;
    std::string_view name;
    for (const ControlRow& row : layout_.controls) {
      if (row.kind != Kind::Timer) continue;
      Timer& t = timers_.find(row.name)->second;
      if (t.period > 0 && t.due <= end && (!next || t.due < next->due)) next = &t, name = row.name;
    }
    if (!next) break;
    now = next->due;
    next->due += next->period;
    Raise(name, Event::Tick);
  }
  now = end;
}

Text FakeUi::GetText(std::string_view control) {
  auto it = texts_.find(control);
  FAKE_REQUIRE(it != texts_.end(), control);
  return it->second;
}

void FakeUi::SetText(std::string_view control, std::string_view text) {
  auto it = texts_.find(control);
  FAKE_REQUIRE(it != texts_.end(), control);
  it->second = std::string(text);
}

int FakeUi::GetPeriod(std::string_view timer) {
  auto it = timers_.find(timer);
  FAKE_REQUIRE(it != timers_.end(), timer);
  return it->second.period;
}

void FakeUi::SetPeriod(std::string_view timer, int ms) {
  auto it = timers_.find(timer);
  FAKE_REQUIRE(it != timers_.end(), timer);
  if (WritePeriod(it->second.period, ms) == TimerChange::Start) it->second.due = now + it->second.period;
}

void FakeUi::Navigate(std::string_view browser, std::string_view address) {
  const ControlRow* row = layout_.Find(browser);
  FAKE_REQUIRE(row && row->kind == Kind::Browser, browser);
  navigations.push_back({std::string(browser), std::string(address), now});
}

int FakeUi::ShowMessage(std::string_view text, unsigned style) {
  messages.push_back({std::string(text), style});
  if (whileMessageOpen) whileMessageOpen();
  return 1;  // IDOK
}

}  // namespace rt
