// The window and its message loop, the hand-over of work onto its thread, and the Ui operations on
// its controls' properties.
#include "runtime/win32/window.h"

#include <commctrl.h>
#include <shellapi.h>

#include "runtime/timer.h"
#include "runtime/win32/app.h"
#include "runtime/win32/paint.h"
#include "runtime/win32/system_win32.h"

namespace rt::win32 {
namespace {

// The one window of the program. It is never freed: a worker of the download component may still
// hold it after the message loop has ended, and then finds it closed instead of freed.
Window* g_window = nullptr;

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    if (g_window && g_window->hwnd() == hwnd) return g_window->Proc(msg, wp, lp);
  } catch (...) {  // nothing unwinds through user32
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void RegisterClasses() {
  static bool done = false;
  if (done) return;
  done = true;
  WNDCLASSEXW wc{sizeof wc};
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpfnWndProc = MainWindowProc;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = PanelProc;
  wc.hbrBackground = nullptr;
  wc.lpszClassName = kPanelClass;
  RegisterClassExW(&wc);
}

// Esc and Tab as in a dialog, also for the controls inside tab pages and frames.
bool PreTranslate(HWND window, MSG& msg) { return IsWindow(window) && IsDialogMessageW(window, &msg) != FALSE; }

}  // namespace

Window::Window(const Layout& layout, std::span<const Binding> bindings) : layout_(layout), bindings_(bindings) {}

bool Window::Raise(std::string_view control, Event event, EventArgs args, bool otherwise) {
  return Dispatch(bindings_, *this, control, event, args, otherwise);
}

bool Window::Create() {
  RegisterClasses();
  const WindowRow& w = layout_.window;
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  if (w.sizable) style |= WS_THICKFRAME;
  if (w.minimizeBox) style |= WS_MINIMIZEBOX;
  if (w.maximizeBox) style |= WS_MAXIMIZEBOX;
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int x = work.left + (work.right - work.left - w.w) / 2;
  const int y = work.top + (work.bottom - work.top - w.h) / 2;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (w.iconId) {
    bigIcon_.reset(static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(w.iconId), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0)));
    smallIcon_.reset(static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(w.iconId), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0)));
  }
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, Wide(w.caption).c_str(), style, x, y, w.w, w.h, nullptr,
                          nullptr, instance, nullptr);
  if (!hwnd_) return false;
  hwndForOthers_ = hwnd_;
  if (bigIcon_) SendMessageW(hwnd_, WM_SETICON, ICON_BIG, LPARAM(bigIcon_.get()));
  if (smallIcon_) SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, LPARAM(smallIcon_.get()));
  if (w.bg != kFaceColour && w.bg != kDefaultColour) {
    backgroundBrush_.reset(CreateSolidBrush(COLORREF(w.bg)));
    SetClassLongPtrW(hwnd_, GCLP_HBRBACKGROUND, LONG_PTR(backgroundBrush_.get()));
  }
  uiFont_.reset(CreateChineseUiFont());
  defaultFont_ = uiFont_ ? uiFont_.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  CreateControls();
  return true;
}

void Window::Run() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (PreTranslate(hwnd_, msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

LRESULT Window::Proc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kInvokeMessage: (*reinterpret_cast<FunctionRef<void()>*>(lp))(); return 1;
    case WM_COMMAND: {
      if (LOWORD(wp) == IDCANCEL && lp == 0) {  // Esc, through IsDialogMessage
        PostMessageW(hwnd_, WM_CLOSE, 0, 0);
        return 0;
      }
      if (lp == 0 && HIWORD(wp) == 0) {
        const int item = int(LOWORD(wp)) - kFirstMenuId;
        if (item >= 0 && size_t(item) < menuNames_.size()) Raise(menuNames_[size_t(item)], Event::Selected);
        return 0;
      }
      if (HIWORD(wp) == BN_CLICKED)
        if (Control* c = FindByWindow(reinterpret_cast<HWND>(lp)); c && c->row->kind == Kind::Button)
          Raise(c->row->name, Event::Clicked);
      return 0;
    }
    case WM_NOTIFY: {
      auto* nm = reinterpret_cast<NMHDR*>(lp);
      if (nm->code == TCN_SELCHANGE) ShowPage(int(SendMessageW(nm->hwndFrom, TCM_GETCURSEL, 0, 0)));
      return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
      if (HBRUSH b = ColourControl(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp))) return LRESULT(b);
      break;
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      if (item->CtlType == ODT_STATIC) DrawGradientLabel(*item);
      if (item->CtlType == ODT_MENU) PaintMenuItem(*item, defaultFont_);
      return TRUE;
    }
    case WM_MEASUREITEM: {
      auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lp);
      if (item->CtlType != ODT_MENU) break;
      MeasureMenuItem(*item, defaultFont_);
      return TRUE;
    }
    case WM_SIZE:
      for (Control& c : controls_)
        if (c.row->kind == Kind::StatusBar && c.hwnd) SendMessageW(c.hwnd, WM_SIZE, 0, 0);
      return 0;
    case WM_TIMER: {
      if (wp == kFlushTimer) {
        Flush();
        return 0;
      }
      const size_t index = size_t(wp) - kFirstControlId;
      if (index < controls_.size() && controls_[index].row->kind == Kind::Timer && controls_[index].period > 0)
        Raise(controls_[index].row->name, Event::Tick);
      return 0;
    }
    case kTrayMessage:
      // Legacy notify-icon messages; WM_CONTEXTMENU is what the context-menu key gives on newer shells.
      switch (LOWORD(lp)) {
        case WM_LBUTTONUP: Raise("", Event::Tray, {1}); break;
        case WM_LBUTTONDBLCLK: Raise("", Event::Tray, {2}); break;
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU: Raise("", Event::Tray, {3}); break;
      }
      return 0;
    case WM_HOTKEY:
      if (!hotkeyReceiver_.empty()) Raise(hotkeyReceiver_, Event::Feedback, {int(wp), 0});
      return 0;
    case WM_CLOSE:
      if (!Raise("", Event::CloseQuery)) return 0;
      DestroyWindow(hwnd_);
      return 0;
    case WM_ENDSESSION:  // the session ends: the system will not let the message loop finish
      if (wp) RunCleanup();
      return 0;
    case kDestroyMessage: DestroyWindow(hwnd_); return 0;
    case WM_DESTROY: OnDestroy(); return 0;
  }
  if (msg == taskbarCreated_ && trayAdded_) AddOrModifyTrayIcon(NIM_ADD);  // the shell restarted
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

void Window::OnDestroy() {
  hwndForOthers_ = nullptr;  // from now on work handed over is refused, not run
  RemoveTrayIcon();
  for (size_t i = 0; i < controls_.size(); ++i)
    if (controls_[i].period > 0) KillTimer(hwnd_, kFirstControlId + i);
  for (Control& c : controls_) c.browser.reset();
  PostQuitMessage(0);
}

bool Window::Invoke(FunctionRef<void()> work) {
  if (GetCurrentThreadId() == thread_) {
    work();
    return true;
  }
  HWND target = hwndForOthers_;
  // A window destroyed meanwhile answers 0: the work was not run.
  return target && SendMessageW(target, kInvokeMessage, 0, reinterpret_cast<LPARAM>(&work)) == 1;
}

void Window::RaiseFeedback(std::string_view label, int a, int b) {
  Invoke([&] { Raise(label, Event::Feedback, {a, b}); });
}

void Window::Wait(int ms) {
  // Sent messages are delivered inside the wait and the peek; posted ones stay queued for the loop.
  const ULONGLONG end = GetTickCount64() + ULONGLONG(ms < 0 ? 0 : ms);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (now >= end) return;
    MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(end - now), QS_SENDMESSAGE, 0);
  }
}

bool Window::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(int(msg.wParam));  // the outer loop must still see it
      return false;
    }
    if (PreTranslate(hwnd_, msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return IsWindow(hwnd_) != FALSE;
}

void Window::Sleep(int ms) { ::Sleep(DWORD(ms < 0 ? 0 : ms)); }

System& Window::system() { return TheSystem(); }

Shown& Window::Pending(Control& c) {
  if (!c.shown.dirty) {
    c.shown.dirty = true;
    dirty_.push_back(&c);
    if (!flushArmed_) flushArmed_ = SetTimer(hwnd_, kFlushTimer, kFlushDelayMs, nullptr) != 0;
  }
  return c.shown;
}

void Window::FlushControl(Control& c) {
  Shown& s = c.shown;
  if (!s.dirty) return;
  s.dirty = false;
  if (s.textDirty) SetWindowTextW(c.hwnd, s.text.c_str());
  if (s.positionDirty) {
    const bool progress = (c.row->flags & kProgress) != 0;
    SendMessageW(c.hwnd, progress ? PBM_SETPOS : TBM_SETPOS, progress ? WPARAM(s.position) : TRUE, s.position);
  }
  if (s.visibleDirty) ShowWindow(c.hwnd, s.visible ? SW_SHOWNA : SW_HIDE);
  if (!s.appended.empty()) {
    const int end = GetWindowTextLengthW(c.hwnd);
    SendMessageW(c.hwnd, EM_SETSEL, end, end);
    SendMessageW(c.hwnd, EM_SCROLLCARET, 0, 0);
    SendMessageW(c.hwnd, EM_REPLACESEL, FALSE, LPARAM(s.appended.c_str()));
    s.appended.clear();
    s.appended.shrink_to_fit();
  }
  s.textDirty = s.visibleDirty = s.positionDirty = false;
}

// Under Wine a visible edit box takes milliseconds per append and a progress bar about one per
// position, so a fast download's thousands of events a second are painted together, every
// kFlushDelayMs. What a control holds is always what was last written: reads answer it at once.
void Window::Flush() {
  if (flushArmed_) KillTimer(hwnd_, kFlushTimer);
  flushArmed_ = false;
  std::vector<Control*> dirty;
  dirty.swap(dirty_);
  for (Control* c : dirty) FlushControl(*c);
}

static std::wstring WindowText(HWND hwnd) {
  std::wstring text(size_t(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(size_t(GetWindowTextW(hwnd, text.data(), int(text.size()))));
  return text;
}

Text Window::GetText(std::string_view control) {
  return OnWindowThread([&]() -> Text {
    Control* c = Find(control);
    if (!c || !c->hwnd) return {};
    if (c->shown.textDirty) return Narrow(c->shown.text);
    FlushControl(*c);  // an edit's pending lines
    return Narrow(WindowText(c->hwnd));
  });
}

void Window::SetText(std::string_view control, std::string_view text) {
  OnWindowThread([&] {
    Control* c = Find(control);
    if (!c || !c->hwnd) return;
    std::wstring wanted = Wide(text);
    if (c->row->kind == Kind::Edit) {  // what the user may be typing into is written at once
      FlushControl(*c);
      SetWindowTextW(c->hwnd, wanted.c_str());
      return;
    }
    // The same caption again costs no repaint (the transfer events rewrite captions per block).
    if (wanted == (c->shown.textDirty ? c->shown.text : WindowText(c->hwnd))) return;
    Shown& shown = Pending(*c);
    shown.text = std::move(wanted);
    shown.textDirty = true;
  });
}

int Window::GetPeriod(std::string_view timer) {
  return OnWindowThread([&] {
    Control* c = Find(timer);
    return c ? c->period : 0;
  });
}

void Window::SetPeriod(std::string_view timer, int ms) {
  OnWindowThread([&] {
    auto it = byName_.find(timer);
    if (it == byName_.end() || controls_[it->second].row->kind != Kind::Timer) return;
    Control* c = &controls_[it->second];
    const UINT_PTR id = kFirstControlId + it->second;
    switch (WritePeriod(c->period, ms)) {
      case TimerChange::None: break;
      case TimerChange::Stop: KillTimer(hwnd_, id); break;
      case TimerChange::Start:  // SetTimer on a running id restarts its count from now
        KillTimer(hwnd_, id);
        SetTimer(hwnd_, id, UINT(c->period), nullptr);
        break;
    }
  });
}

void Window::Navigate(std::string_view browser, std::string_view address) {
  OnWindowThread([&] {
    if (Control* c = Find(browser); c && c->browser) c->browser->Navigate(Wide(address));
  });
}

bool Window::IsWindowVisible() {
  return OnWindowThread([&] { return ::IsWindowVisible(hwnd_) != FALSE; });
}

void Window::SetWindowVisible(bool visible) {
  OnWindowThread([&] {
    if (!visible) {
      ShowWindow(hwnd_, SW_HIDE);
      return;
    }
    // Brought back from the tray, a window hidden while minimised should not stay a task-bar button.
    ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hwnd_);
  });
}

void Window::PostDestroyWindow() { PostMessageW(hwnd_, kDestroyMessage, 0, 0); }

int Window::ShowMessage(std::string_view text, unsigned style) {
  return OnWindowThread([&] {
    Flush();  // the box should not stand over a stale window
    return MessageBoxW(nullptr, Wide(text).c_str(), Wide("信息：").c_str(), style | MB_OK | MB_TASKMODAL);
  });
}

NativeWindow Window::WindowHandle(std::string_view control) {
  return OnWindowThread([&] {
    Control* c = Find(control);
    return c ? NativeWindow(c->hwnd) : NativeWindow(0);
  });
}

NativeWindow Window::FirstChild(NativeWindow window) {
  return NativeWindow(GetWindow(reinterpret_cast<HWND>(window), GW_CHILD));
}

NativeWindow Window::NextChild(NativeWindow child) {
  return NativeWindow(GetWindow(reinterpret_cast<HWND>(child), GW_HWNDNEXT));
}

WindowProc Window::ReplaceWindowProc(NativeWindow window, WindowProc proc) {
  return reinterpret_cast<WindowProc>(
      SetWindowLongPtrW(reinterpret_cast<HWND>(window), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
}

intptr_t Window::CallPreviousProc(WindowProc proc, NativeWindow window, unsigned message, uintptr_t wParam,
                                  intptr_t lParam) {
  // CallWindowProcW also takes the handles of ANSI procedures that SetWindowLongPtrW can answer.
  auto previous = reinterpret_cast<WNDPROC>(reinterpret_cast<void (*)()>(proc));
  return ::CallWindowProcW(previous, reinterpret_cast<HWND>(window), message, wParam, lParam);
}

intptr_t Window::DefaultWindowProc(NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  return DefWindowProcW(reinterpret_cast<HWND>(window), message, wParam, lParam);
}

static bool Visible(const Control& c) {
  return c.shown.visibleDirty ? c.shown.visible : (GetWindowLongW(c.hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

bool Window::IsVisible(std::string_view control) {
  return OnWindowThread([&] {
    Control* c = Find(control);
    return c && c->hwnd && Visible(*c);
  });
}

void Window::SetVisible(std::string_view control, bool visible) {
  OnWindowThread([&] {
    Control* c = Find(control);
    if (!c || !c->hwnd || Visible(*c) == visible) return;
    Shown& shown = Pending(*c);
    shown.visible = visible;
    shown.visibleDirty = true;
  });
}

void Window::AppendText(std::string_view edit, std::string_view text) {
  OnWindowThread([&] {
    Control* c = Find(edit);
    if (!c || !c->hwnd || c->row->kind != Kind::Edit || text.empty()) return;
    Pending(*c).appended += Wide(text);
  });
}

void Window::SetBarPosition(std::string_view bar, int position) {
  OnWindowThread([&] {
    Control* c = Find(bar);
    if (!c || !c->hwnd || c->row->kind != Kind::Bar) return;
    const bool progress = (c->row->flags & kProgress) != 0;
    const int now = c->shown.positionDirty ? c->shown.position
                                           : int(SendMessageW(c->hwnd, progress ? PBM_GETPOS : TBM_GETPOS, 0, 0));
    if (now == position) return;
    Shown& shown = Pending(*c);
    shown.position = position;
    shown.positionDirty = true;
  });
}

int RunWindow(const Layout& layout, std::span<const Binding> bindings) {
  g_window = new Window(layout, bindings);  // never freed, see g_window
  if (g_window->Create()) {
    ShowWindow(g_window->hwnd(), SW_SHOW);
    UpdateWindow(g_window->hwnd());
    g_window->Raise("", Event::Created);
    g_window->Run();
  }
  RunCleanup();
  return 0;
}

}  // namespace rt::win32
