// A headless window layer for tests: the controls of a layout with their properties, a virtual
// clock driving the timers, and a record of what the handlers asked the platform to do.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

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

  // Thrown by EndProcess, which never returns in the real program; Raise catches it.
  struct ProcessEnded {};

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
  std::vector<Tray> trayIcons;      // every SetTrayIcon, in order
  std::vector<Hotkey> hotkeys;
  int hotkeyResult = 1;             // what RegisterHotkey answers
  std::vector<Popup> popups;
  int cursorX = 0, cursorY = 0;
  std::vector<std::string> shellOpens;
  std::vector<std::string> linkOpens;  // the address each NavigateLink opened
  std::map<std::string, std::string> urlBodies;  // what ReadUrl answers; other addresses give ""
  std::vector<std::string> urlReads;             // "address|user agent" of every ReadUrl
  std::string programDirectory = "C:\\Pagetide";
  std::vector<std::string> startedProcesses;
  bool ended = false;
  unsigned exitCode = 0;

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

  std::string commandLine;
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
  std::string ReadUrl(std::string_view url, std::string_view userAgent) override;
  std::string ProgramDirectory() override { return programDirectory; }
  bool StartProcess(std::string_view commandLine) override;
  void EndProcess(unsigned code) override;
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
  bool ProcessMessages() override;
  void Sleep(int) override { ++sleeps; }
  std::string CommandLine() override { return commandLine; }
  // The layout row a control (or a copy) was made from.
  const ControlRow& RowOf(std::string_view control) const;

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
  int copies_ = 0;
  NativeWindow nextHandle_ = 0x100;
  bool visible_ = true;
};

}  // namespace rt
