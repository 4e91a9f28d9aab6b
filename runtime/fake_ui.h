// A headless window layer for tests: the controls of a layout with their properties, a virtual
// clock driving the timers, and a record of what the handlers asked the platform to do.
//
// Threads: the thread that constructs the fake is its window's thread. A control operation called
// from any other thread is handed over as in the real window layer and blocks until the window's
// thread serves it (ProcessMessages, Wait or PumpUntil); the control state itself aborts the test when
// it is touched from another thread.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "runtime/fake_system.h"
#include "runtime/ui.h"

namespace rt {

class FakeUi : public Ui {
 public:
  struct Navigation {
    std::string browser;
    std::string address;
    int64_t at;  // virtual milliseconds
  };
  struct Message {
    std::string text;
    unsigned style;
  };
  struct Tray {
    int icon;
    std::string tooltip;
  };
  struct Hotkey {
    std::string receiver;
    int modifiers, virtualKey;
  };
  struct Popup {
    std::string menu;
    bool tray;  // true: tray placement at the pointer; false: top-left at (x, y)
    int x, y;
  };

  FakeUi(const Layout& layout, std::span<const Binding> bindings);
  ~FakeUi() override;

  // The process and the files. Once the process has ended (sys.ended), nothing runs any more.
  FakeSystem sys;

  // What a user or the system does. Returns the handler's result.
  bool Raise(std::string_view control, Event event, EventArgs args = {});
  void Click(std::string_view button) { Raise(button, Event::Clicked); }
  void Select(std::string_view menuItem) { Raise(menuItem, Event::Selected); }
  // Moves the clock on, delivering every timer tick that falls due, in time order.
  void Advance(int64_t ms);

  int64_t now = 0;
  std::vector<Navigation> navigations;
  std::vector<Message> messages;
  bool destroyPosted = false;
  // Runs while a message box is "open", as the box's own message loop would (e.g. Advance).
  std::function<void()> whileMessageOpen;
  std::vector<Tray> trayIcons;  // every SetTrayIcon, in order
  std::vector<Hotkey> hotkeys;
  int hotkeyResult = 1;  // what RegisterHotkey answers
  std::vector<Popup> popups;
  int cursorX = 0, cursorY = 0;
  std::vector<std::string> shellOpens;
  std::vector<std::string> linkOpens;  // the address each NavigateLink opened

  // A window tree: every control has a window; tests add the windows a browser would create.
  struct Call {
    NativeWindow window;
    unsigned message;
  };
  std::vector<Call> originalCalls;  // messages that reached a window's original procedure
  static constexpr intptr_t kOriginalResult = 7;
  NativeWindow AddWindow(NativeWindow parent, NativeWindow handle = 0);  // appended as the last child
  // Delivers WM_NCDESTROY to the window and its descendants (children first) and removes them.
  void DestroyWindowTree(NativeWindow window);
  intptr_t Send(NativeWindow window, unsigned message, uintptr_t wParam = 0, intptr_t lParam = 0);
  WindowProc ProcOf(NativeWindow window) const;
  bool failSubclassing = false;

  int messagePumps = 0, sleeps = 0;
  std::function<void()> onProcessMessages;  // what the pending messages do (e.g. a close request)
  bool windowDestroyed = false;

  // Ui
  Text GetText(std::string_view control) override;
  void SetText(std::string_view control, std::string_view text) override;
  int GetPeriod(std::string_view timer) override;
  void SetPeriod(std::string_view timer, int ms) override;
  void Navigate(std::string_view browser, std::string_view address) override;
  bool IsWindowVisible() override { return visible_; }
  void SetWindowVisible(bool visible) override { visible_ = visible; }
  void PostDestroyWindow() override { destroyPosted = true; }
  int ShowMessage(std::string_view text, unsigned style) override;
  void SetTrayIcon(int icon, std::string_view tooltip) override;
  int RegisterHotkey(std::string_view receiver, int modifiers, int virtualKey) override;
  void PopupTrayMenu(std::string_view menu) override;
  void PopupMenuAt(std::string_view menu, int x, int y) override;
  void CursorPosition(int& x, int& y) override { x = cursorX, y = cursorY; }
  bool OpenInShell(std::string_view address) override;
  void SetLinkAddress(std::string_view link, std::string_view address) override;
  void NavigateLink(std::string_view link) override;
  NativeWindow WindowHandle(std::string_view control) override;
  NativeWindow FirstChild(NativeWindow window) override;
  NativeWindow NextChild(NativeWindow child) override;
  WindowProc ReplaceWindowProc(NativeWindow window, WindowProc proc) override;
  intptr_t CallPreviousProc(WindowProc proc, NativeWindow window, unsigned message, uintptr_t wParam,
                            intptr_t lParam) override;
  intptr_t DefaultWindowProc(NativeWindow, unsigned, uintptr_t, intptr_t) override { return 0; }
  Place GetPlace(std::string_view control) override;
  void MoveTo(std::string_view control, int left, int top) override;
  bool IsVisible(std::string_view control) override;
  void SetVisible(std::string_view control, bool visible) override;
  std::string CopyControl(std::string_view source) override;
  void AppendText(std::string_view edit, std::string_view text) override;
  void SetBarPosition(std::string_view bar, int position) override;
  bool Invoke(FunctionRef<void()> work) override;
  void RaiseFeedback(std::string_view label, int a, int b) override;
  void Wait(int ms) override;
  bool ProcessMessages() override;
  void Sleep(int) override { ++sleeps; }
  System& system() override { return sys; }

  // The layout row a control (or a copy) was made from.
  const ControlRow& RowOf(std::string_view control) const;
  int BarPosition(std::string_view bar);
  // Serves hand-overs from other threads until `done` holds or `timeoutMs` has passed; answers `done`.
  bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);
  // The window goes away: hand-overs waiting now, and later ones, return false without running.
  void CloseWindow();
  size_t PendingHandovers();

 private:
  struct Timer {
    int period = 0;
    int64_t due = 0;
  };
  const Layout& layout_;
  std::span<const Binding> bindings_;
  std::map<std::string, std::string, std::less<>> texts_;
  std::map<std::string, Timer, std::less<>> timers_;
  std::map<std::string, std::string, std::less<>> linkAddresses_;
  struct Win {
    NativeWindow parent = 0;
    std::vector<NativeWindow> children;
    WindowProc proc = nullptr;
  };
  std::map<NativeWindow, Win> windows_;
  std::map<std::string, NativeWindow, std::less<>> controlWindows_;
  struct State {
    const ControlRow* row;
    Place place;
    bool visible;
  };
  std::map<std::string, State, std::less<>> states_;
  std::map<std::string, int, std::less<>> barPositions_;
  int copies_ = 0;
  bool visible_ = true;

  // Hand-over of work from other threads.
  struct Pending {
    FunctionRef<void()> work;
    bool done = false;
  };
  template <typename F>
  auto OnWindowThread(F f) -> decltype(f());
  void RunPending();
  void RequireWindowThread() const;
  std::string Copy(std::string_view source);
  const std::thread::id windowThread_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Pending*> pending_;
  bool closed_ = false;
};

}  // namespace rt
