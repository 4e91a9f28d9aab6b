#include "runtime/fake_ui.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "runtime/text.h"
#include "runtime/timer.h"

namespace rt {
namespace {

// Window handles are unique across every fake of the process, so the original window procedure,
// a plain function, finds the fake a handle belongs to.
std::atomic<NativeWindow> g_nextHandle{0x100};
std::mutex g_ownersMutex;
std::map<NativeWindow, FakeUi*>& Owners() {
  static std::map<NativeWindow, FakeUi*> owners;
  return owners;
}

intptr_t RT_CALLBACK OriginalProc(NativeWindow window, unsigned message, uintptr_t, intptr_t) {
  FakeUi* owner = nullptr;
  {
    std::lock_guard lock(g_ownersMutex);
    auto it = Owners().find(window);
    if (it != Owners().end()) owner = it->second;
  }
  if (owner) owner->originalCalls.push_back({window, message});
  return FakeUi::kOriginalResult;
}

}  // namespace

FakeUi::FakeUi(const Layout& layout, std::span<const Binding> bindings) : layout_(layout), bindings_(bindings) {
  for (const ControlRow& row : layout.controls) {
    if (row.kind == Kind::Timer) timers_[std::string(row.name)];
    texts_[std::string(row.name)] = std::string(row.text);
    states_[std::string(row.name)] = {&row, {row.x, row.y, row.w, row.h}, (row.flags & kHidden) == 0};
    if (row.kind != Kind::Timer && row.kind != Kind::Zip) {
      auto parent = controlWindows_.find(row.parent);
      controlWindows_[std::string(row.name)] = AddWindow(parent == controlWindows_.end() ? 0 : parent->second);
    }
    if (row.kind == Kind::Browser && !row.text.empty())
      navigations.push_back({std::string(row.name), std::string(row.text), 0});
  }
}

FakeUi::~FakeUi() {
  CloseWindow();
  std::lock_guard lock(g_ownersMutex);
  std::erase_if(Owners(), [this](const auto& entry) { return entry.second == this; });
}

// A layout name the program does not have is a fault of the program, not of the user.
#define FAKE_REQUIRE(cond, name)                                                                 \
  do {                                                                                           \
    if (!(cond)) {                                                                               \
      std::fprintf(stderr, "FakeUi: no such control %.*s\n", int((name).size()), (name).data()); \
      std::abort();                                                                              \
    }                                                                                            \
  } while (0)

// Every property lives in a map keyed by the control's name; a missing name aborts the test.
template <typename Map>
static auto& Lookup(Map& map, std::string_view name) {
  auto it = map.find(name);
  FAKE_REQUIRE(it != map.end(), name);
  return it->second;
}

void FakeUi::RequireWindowThread() const {
  if (std::this_thread::get_id() == windowThread_) return;
  std::fprintf(stderr, "FakeUi: the window's state was touched from another thread\n");
  std::abort();
}

// Every control operation: run on the window's thread, handed over from any other. After the end of
// the process nothing changes any more, as nothing would in the real program; reads still answer,
// for the tests' sake.
template <typename F>
auto FakeUi::OnWindowThread(F f) -> decltype(f()) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    Invoke([&] {
      if (!sys.ended) f();
    });
  } else {
    R result{};
    Invoke([&] { result = f(); });
    return result;
  }
}

bool FakeUi::Invoke(FunctionRef<void()> work) {
  if (std::this_thread::get_id() == windowThread_) {
    work();
    return true;
  }
  Pending pending{work};
  std::unique_lock lock(mutex_);
  if (closed_) return false;
  pending_.push_back(&pending);
  changed_.notify_all();
  changed_.wait(lock, [&] { return pending.done || closed_; });
  std::erase(pending_, &pending);  // still queued when the window closed first
  return pending.done;
}

void FakeUi::RunPending() {
  RequireWindowThread();
  std::unique_lock lock(mutex_);
  while (!pending_.empty() && !closed_) {
    Pending* next = pending_.front();
    pending_.pop_front();
    lock.unlock();
    next->work();
    lock.lock();
    next->done = true;
    changed_.notify_all();
  }
}

void FakeUi::Wait(int ms) {
  RunPending();
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms), [&] { return !pending_.empty() || closed_; });
  lock.unlock();
  RunPending();
}

bool FakeUi::PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Wait(5);
  }
  return true;
}

void FakeUi::CloseWindow() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  windowDestroyed = true;
  changed_.notify_all();
}

size_t FakeUi::PendingHandovers() {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

void FakeUi::RaiseFeedback(std::string_view label, int a, int b) {
  Invoke([&] { Raise(label, Event::Feedback, {a, b}); });
}

bool FakeUi::Raise(std::string_view control, Event event, EventArgs args) {
  RequireWindowThread();
  if (sys.ended) return false;  // nothing runs after the end of the process
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
  return OnWindowThread([&] { return Lookup(texts_, control); });
}

void FakeUi::SetText(std::string_view control, std::string_view text) {
  OnWindowThread([&] { Lookup(texts_, control) = std::string(text); });
}

int FakeUi::GetPeriod(std::string_view timer) {
  return OnWindowThread([&] {
    auto& found = Lookup(timers_, timer);
    return found.period;
  });
}

void FakeUi::SetPeriod(std::string_view timer, int ms) {
  OnWindowThread([&] {
    auto& found = Lookup(timers_, timer);
    if (WritePeriod(found.period, ms) == TimerChange::Start) found.due = now + found.period;
  });
}

void FakeUi::Navigate(std::string_view browser, std::string_view address) {
  OnWindowThread([&] {
    const ControlRow* row = layout_.Find(browser);
    FAKE_REQUIRE(row && row->kind == Kind::Browser, browser);
    navigations.push_back({std::string(browser), std::string(address), now});
  });
}

int FakeUi::ShowMessage(std::string_view text, unsigned style) {
  return OnWindowThread([&] {
    if (sys.ended) return 0;
    messages.push_back({std::string(text), style});
    if (whileMessageOpen) whileMessageOpen();
    return 1;  // IDOK
  });
}

void FakeUi::SetTrayIcon(int icon, std::string_view tooltip) {
  OnWindowThread([&] { trayIcons.push_back({icon, std::string(CutAtCharBoundary(tooltip, kTooltipBytes))}); });
}

int FakeUi::RegisterHotkey(std::string_view receiver, int modifiers, int virtualKey) {
  return OnWindowThread([&] {
    if (sys.ended) return 0;
    FAKE_REQUIRE(layout_.Find(receiver), receiver);
    hotkeys.push_back({std::string(receiver), modifiers, virtualKey});
    return hotkeyResult;
  });
}

static bool HasMenu(const Layout& layout, std::string_view menu) {
  for (const MenuRow& row : layout.menu)
    if (row.topLevel && row.name == menu) return true;
  return false;
}

void FakeUi::PopupTrayMenu(std::string_view menu) {
  OnWindowThread([&] {
    FAKE_REQUIRE(HasMenu(layout_, menu), menu);
    popups.push_back({std::string(menu), true, cursorX, cursorY});
  });
}

void FakeUi::PopupMenuAt(std::string_view menu, int x, int y) {
  OnWindowThread([&] {
    FAKE_REQUIRE(HasMenu(layout_, menu), menu);
    popups.push_back({std::string(menu), false, x, y});
  });
}

bool FakeUi::OpenInShell(std::string_view address) {
  return OnWindowThread([&] {
    if (sys.ended) return false;
    shellOpens.emplace_back(address);
    return true;
  });
}

void FakeUi::SetLinkAddress(std::string_view link, std::string_view address) {
  OnWindowThread([&] {
    const ControlRow* row = layout_.Find(link);
    FAKE_REQUIRE(row && row->kind == Kind::Hyperlink, link);
    linkAddresses_[std::string(link)] = std::string(address);
  });
}

void FakeUi::NavigateLink(std::string_view link) {
  OnWindowThread([&] {
    const ControlRow* row = layout_.Find(link);
    FAKE_REQUIRE(row && row->kind == Kind::Hyperlink, link);
    linkOpens.push_back(linkAddresses_[std::string(link)]);
  });
}

NativeWindow FakeUi::AddWindow(NativeWindow parent, NativeWindow handle) {
  if (!handle) handle = g_nextHandle += 0x10;
  windows_[handle] = Win{parent, {}, OriginalProc};
  {
    std::lock_guard lock(g_ownersMutex);
    Owners()[handle] = this;
  }
  if (parent) windows_[parent].children.push_back(handle);
  return handle;
}

void FakeUi::DestroyWindowTree(NativeWindow window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  for (NativeWindow child : std::vector<NativeWindow>(it->second.children)) DestroyWindowTree(child);
  Send(window, 0x0082 /* WM_NCDESTROY */);
  const NativeWindow parent = windows_[window].parent;
  windows_.erase(window);
  if (auto p = windows_.find(parent); p != windows_.end()) std::erase(p->second.children, window);
}

intptr_t FakeUi::Send(NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  WindowProc proc = ProcOf(window);
  return proc ? proc(window, message, wParam, lParam) : 0;
}

WindowProc FakeUi::ProcOf(NativeWindow window) const {
  auto it = windows_.find(window);
  return it == windows_.end() ? nullptr : it->second.proc;
}

NativeWindow FakeUi::WindowHandle(std::string_view control) { return Lookup(controlWindows_, control); }

NativeWindow FakeUi::FirstChild(NativeWindow window) {
  auto it = windows_.find(window);
  return it == windows_.end() || it->second.children.empty() ? 0 : it->second.children.front();
}

NativeWindow FakeUi::NextChild(NativeWindow child) {
  auto it = windows_.find(child);
  if (it == windows_.end()) return 0;
  const auto& siblings = windows_[it->second.parent].children;
  for (size_t i = 0; i + 1 < siblings.size(); ++i)
    if (siblings[i] == child) return siblings[i + 1];
  return 0;
}

WindowProc FakeUi::ReplaceWindowProc(NativeWindow window, WindowProc proc) {
  auto it = windows_.find(window);
  if (it == windows_.end() || failSubclassing) return nullptr;
  return std::exchange(it->second.proc, proc);
}

intptr_t FakeUi::CallPreviousProc(WindowProc proc, NativeWindow window, unsigned message, uintptr_t wParam,
                                  intptr_t lParam) {
  return proc ? proc(window, message, wParam, lParam) : 0;
}

const ControlRow& FakeUi::RowOf(std::string_view control) const {
  RequireWindowThread();
  auto& found = Lookup(states_, control);
  return *found.row;
}

Ui::Place FakeUi::GetPlace(std::string_view control) {
  return OnWindowThread([&] { return Lookup(states_, control).place; });
}

void FakeUi::MoveTo(std::string_view control, int left, int top) {
  OnWindowThread([&] {
    auto& found = Lookup(states_, control);
    found.place.left = left;
    found.place.top = top;
  });
}

bool FakeUi::IsVisible(std::string_view control) {
  return OnWindowThread([&] { return Lookup(states_, control).visible; });
}

void FakeUi::SetVisible(std::string_view control, bool visible) {
  OnWindowThread([&] { Lookup(states_, control).visible = visible; });
}

std::string FakeUi::CopyControl(std::string_view source) {
  return OnWindowThread([&] { return sys.ended ? std::string() : Copy(source); });
}

std::string FakeUi::Copy(std::string_view source) {
  RequireWindowThread();
  auto& found = Lookup(states_, source);
  const std::string name = std::string(source) + kCopySeparator + std::to_string(++copies_);
  states_[name] = found;
  texts_[name] = texts_[std::string(source)];
  const NativeWindow src = controlWindows_[std::string(source)];
  const NativeWindow parent = windows_[src].parent;
  const NativeWindow copy = AddWindow(parent);
  auto& siblings = windows_[parent].children;
  siblings.pop_back();
  siblings.insert(std::find(siblings.begin(), siblings.end(), src) + 1, copy);
  controlWindows_[name] = copy;
  return name;
}

void FakeUi::AppendText(std::string_view edit, std::string_view text) {
  OnWindowThread([&] {
    FAKE_REQUIRE(RowOf(edit).kind == Kind::Edit, edit);
    Lookup(texts_, edit).append(text);
  });
}

void FakeUi::SetBarPosition(std::string_view bar, int position) {
  OnWindowThread([&] {
    FAKE_REQUIRE(RowOf(bar).kind == Kind::Bar, bar);
    barPositions_[std::string(bar)] = position;
  });
}

int FakeUi::BarPosition(std::string_view bar) {
  RequireWindowThread();
  FAKE_REQUIRE(RowOf(bar).kind == Kind::Bar, bar);
  auto it = barPositions_.find(bar);
  return it == barPositions_.end() ? 0 : it->second;
}

bool FakeUi::ProcessMessages() {
  ++messagePumps;
  RunPending();
  if (onProcessMessages && !windowDestroyed) onProcessMessages();
  return !windowDestroyed;
}

}  // namespace rt
