// The window built from a layout table, and the Ui the handlers see over it. Its definitions live in
// rooms of their own: the window and its message loop (window.cpp), controls from the layout, tab
// pages and copies (controls.cpp), painting (paint.cpp), and tray, hotkey, menus and shell (shell.cpp).
//
// Threads: everything below runs on the window's thread. The Ui operations may be called from any
// thread; off it, Invoke carries them over with a sent message and the caller waits.
#pragma once
#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/layout.h"
#include "runtime/ui.h"
#include "runtime/win32/browser_host.h"
#include "runtime/win32/handle.h"
#include "runtime/win32/paint.h"

namespace rt::win32 {

inline constexpr wchar_t kWindowClass[] = L"RtWindow";
inline constexpr wchar_t kPanelClass[] = L"RtPanel";
inline constexpr int kFirstControlId = 100;
inline constexpr int kFirstMenuId = 40000;
inline constexpr UINT kDestroyMessage = WM_APP + 1;
inline constexpr UINT kTrayMessage = WM_APP + 2;
inline constexpr UINT kInvokeMessage = WM_APP + 3;  // lParam: the FunctionRef<void()> to run
inline constexpr UINT_PTR kFlushTimer = 1;          // timer ids of the layout's timers start at kFirstControlId
inline constexpr UINT kFlushDelayMs = 50;
// Tab pages start under the header strip; their rows are placed relative to the tab control.
inline constexpr int kTabHeaderHeight = 23;

// What a control is to show, ahead of what it shows: changes are painted together a moment later
// (see Window::Flush), so a burst of them costs one repaint.
struct Shown {
  bool dirty = false;
  bool textDirty = false, visibleDirty = false, positionDirty = false;
  std::wstring text;
  bool visible = false;
  int position = 0;
  std::wstring appended;  // edits: text still to be appended
};

struct Control {
  const ControlRow* row = nullptr;
  HWND hwnd = nullptr;  // owned by its parent window
  std::unique_ptr<BrowserHost> browser;
  int period = 0;
  UniqueBrush brush;  // the background brush answered to WM_CTLCOLOR*, made once
  UniqueFont font;
  Shown shown;
};

class Window final : public Ui {
 public:
  Window(const Layout& layout, std::span<const Binding> bindings);

  bool Create();
  HWND hwnd() const { return hwnd_; }
  LRESULT Proc(UINT msg, WPARAM wp, LPARAM lp);
  bool Raise(std::string_view control, Event event, EventArgs args = {}, bool otherwise = true);
  // The message loop until the window is gone.
  void Run();

  // Ui: window.cpp
  Text GetText(std::string_view control) override;
  void SetText(std::string_view control, std::string_view text) override;
  int GetPeriod(std::string_view timer) override;
  void SetPeriod(std::string_view timer, int ms) override;
  void Navigate(std::string_view browser, std::string_view address) override;
  bool IsWindowVisible() override;
  void SetWindowVisible(bool visible) override;
  void PostDestroyWindow() override;
  int ShowMessage(std::string_view text, unsigned style) override;
  NativeWindow WindowHandle(std::string_view control) override;
  NativeWindow FirstChild(NativeWindow window) override;
  NativeWindow NextChild(NativeWindow child) override;
  WindowProc ReplaceWindowProc(NativeWindow window, WindowProc proc) override;
  intptr_t CallPreviousProc(WindowProc proc, NativeWindow window, unsigned message, uintptr_t wParam,
                            intptr_t lParam) override;
  intptr_t DefaultWindowProc(NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) override;
  bool IsVisible(std::string_view control) override;
  void SetVisible(std::string_view control, bool visible) override;
  void AppendText(std::string_view edit, std::string_view text) override;
  void SetBarPosition(std::string_view bar, int position) override;
  bool Invoke(FunctionRef<void()> work) override;
  void RaiseFeedback(std::string_view label, int a, int b) override;
  void Wait(int ms) override;
  bool ProcessMessages() override;
  void Sleep(int ms) override;
  System& system() override;

  // Ui: controls.cpp
  Place GetPlace(std::string_view control) override;
  void MoveTo(std::string_view control, int left, int top) override;
  std::string CopyControl(std::string_view source) override;

  // Ui: shell.cpp
  void SetTrayIcon(int icon, std::string_view tooltip) override;
  int RegisterHotkey(std::string_view receiver, int modifiers, int virtualKey) override;
  void PopupTrayMenu(std::string_view menu) override;
  void PopupMenuAt(std::string_view menu, int x, int y) override;
  void CursorPosition(int& x, int& y) override;
  bool OpenInShell(std::string_view address) override;
  void SetLinkAddress(std::string_view link, std::string_view address) override;
  void NavigateLink(std::string_view link) override;

 private:
  template <typename F>
  auto OnWindowThread(F f) -> decltype(f());
  void OnDestroy();
  // Deferred painting: a change marks its control and arms a short timer; Flush paints them all.
  Shown& Pending(Control& c);
  void Flush();
  void FlushControl(Control& c);

  // controls.cpp
  Control* Find(std::string_view name);
  Control* FindByWindow(HWND hwnd);
  HWND ParentWindow(const ControlRow& row, int& dx, int& dy);
  void CreateControls();
  void CreateControl(size_t index);
  void CreateMenuBar();
  void ShowPage(int index);

  // paint.cpp
  HBRUSH ColourControl(HDC dc, HWND child);
  void DrawGradientLabel(const DRAWITEMSTRUCT& item);

  // shell.cpp
  HMENU Submenu(std::string_view menu);
  void Popup(std::string_view menu, int x, int y, UINT flags);
  bool AddOrModifyTrayIcon(DWORD action);
  void RemoveTrayIcon();

  const Layout& layout_;
  std::span<const Binding> bindings_;
  const DWORD thread_ = GetCurrentThreadId();
  std::atomic<HWND> hwndForOthers_{nullptr};  // what other threads send their work to; null once gone
  HWND hwnd_ = nullptr;
  UniqueFont uiFont_;                   // for every control whose row names no font, and the menus
  HFONT defaultFont_ = nullptr;         // uiFont_, or the stock GUI font if it could not be made
  std::deque<MenuItemText> menuTexts_;  // what the owner-drawn menu items show
  std::deque<Control> controls_;        // grows with copies; references stay valid
  std::deque<ControlRow> copiedRows_;
  std::deque<std::string> copiedNames_;
  std::map<std::string_view, size_t> byName_;
  std::vector<std::string_view> menuNames_;
  std::map<std::string_view, HMENU> submenus_;  // owned by the menu bar
  std::vector<size_t> pages_;
  UniqueBrush backgroundBrush_;
  UniqueIcon bigIcon_, smallIcon_, trayIcon_;
  std::wstring trayTip_;
  bool trayAdded_ = false;
  UINT taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  std::string_view hotkeyReceiver_;
  std::map<std::string_view, std::string> linkAddresses_;
  std::vector<Control*> dirty_;  // controls with changes not yet painted
  bool flushArmed_ = false;
};

// Every Ui operation: run on the window's thread, handed over from any other.
template <typename F>
auto Window::OnWindowThread(F f) -> decltype(f()) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    Invoke(f);
  } else {
    R result{};
    Invoke([&] { result = f(); });
    return result;
  }
}

}  // namespace rt::win32
