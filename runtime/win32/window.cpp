// The window built from a layout table, and the Ui the handlers see over it.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/http.h"
#include "runtime/text.h"
#include "runtime/timer.h"
#include "runtime/win32/app.h"
#include "runtime/win32/browser_host.h"
#include "runtime/win32/html_line_win32.h"

namespace rt::win32 {
namespace {

constexpr wchar_t kWindowClass[] = L"RtWindow";
constexpr wchar_t kPanelClass[] = L"RtPanel";
constexpr int kFirstControlId = 100;
constexpr int kFirstMenuId = 40000;
constexpr UINT kDestroyMessage = WM_APP + 1;
constexpr UINT kTrayMessage = WM_APP + 2;
constexpr UINT kTrayId = 1;
constexpr int kHotkeyId = 1;
// Tab pages start under the header strip; their rows are placed relative to the tab control.
constexpr int kTabHeaderHeight = 23;

COLORREF Colour(uint32_t c, int systemFallback) {
  if (c == kDefaultColour || c == kFaceColour) return GetSysColor(c == kFaceColour ? COLOR_BTNFACE : systemFallback);
  return COLORREF(c);
}

struct Control {
  const ControlRow* row = nullptr;
  HWND hwnd = nullptr;
  std::unique_ptr<BrowserHost> browser;
  int period = 0;
  HBRUSH brush = nullptr;
  HFONT font = nullptr;
};

class Window final : public Ui {
 public:
  Window(const Layout& layout, std::span<const Binding> bindings) : layout_(layout), bindings_(bindings) {}
  ~Window() override { ReleaseGdi(); }

  bool Create();
  HWND hwnd() const { return hwnd_; }
  LRESULT Proc(UINT msg, WPARAM wp, LPARAM lp);
  bool Raise(std::string_view control, Event event, EventArgs args = {}, bool otherwise = true) {
    return Dispatch(bindings_, *this, control, event, args, otherwise);
  }

  // Ui
  Text GetText(std::string_view control) override;
  void SetText(std::string_view control, std::string_view text) override;
  int GetPeriod(std::string_view timer) override;
  void SetPeriod(std::string_view timer, int ms) override;
  void Navigate(std::string_view browser, std::string_view address) override;
  bool IsWindowVisible() override { return ::IsWindowVisible(hwnd_) != FALSE; }
  void SetWindowVisible(bool visible) override {
    if (!visible) {
      ShowWindow(hwnd_, SW_HIDE);
      return;
    }
    // Brought back from the tray, a window hidden while minimised should not stay a task-bar button.
    ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hwnd_);
  }
  void PostDestroyWindow() override { PostMessageW(hwnd_, kDestroyMessage, 0, 0); }
  int ShowMessage(std::string_view text, unsigned style) override;
  void SetTrayIcon(int icon, std::string_view tooltip) override;
  int RegisterHotkey(std::string_view receiver, int modifiers, int virtualKey) override;
  void PopupTrayMenu(std::string_view menu) override;
  void PopupMenuAt(std::string_view menu, int x, int y) override;
  void CursorPosition(int& x, int& y) override;
  bool OpenInShell(std::string_view address) override;
  void SetLinkAddress(std::string_view link, std::string_view address) override;
  void NavigateLink(std::string_view link) override;
  std::string ReadUrl(std::string_view url, std::string_view userAgent) override;
  std::string ProgramDirectory() override { return win32::ProgramDirectory(); }
  bool StartProcess(std::string_view commandLine) override;
  void EndProcess(unsigned code) override { win32::EndProcess(code); }
  NativeWindow WindowHandle(std::string_view control) override {
    Control* c = Find(control);
    return c ? NativeWindow(c->hwnd) : 0;
  }
  NativeWindow FirstChild(NativeWindow window) override {
    return NativeWindow(GetWindow(reinterpret_cast<HWND>(window), GW_CHILD));
  }
  NativeWindow NextChild(NativeWindow child) override {
    return NativeWindow(GetWindow(reinterpret_cast<HWND>(child), GW_HWNDNEXT));
  }
  WindowProc ReplaceWindowProc(NativeWindow window, WindowProc proc) override {
    return reinterpret_cast<WindowProc>(
        SetWindowLongPtrW(reinterpret_cast<HWND>(window), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
  }
  static WNDPROC AsWndProc(WindowProc proc) {
    return reinterpret_cast<WNDPROC>(reinterpret_cast<void (*)()>(proc));
  }
  intptr_t CallPreviousProc(WindowProc proc, NativeWindow window, unsigned message, uintptr_t wParam,
                          intptr_t lParam) override {
    // CallWindowProcW also takes the handles of ANSI procedures that SetWindowLongPtrW can answer.
    return ::CallWindowProcW(AsWndProc(proc), reinterpret_cast<HWND>(window), message, wParam, lParam);
  }
  intptr_t DefaultWindowProc(NativeWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) override {
    return DefWindowProcW(reinterpret_cast<HWND>(window), message, wParam, lParam);
  }
  Place GetPlace(std::string_view control) override;
  void MoveTo(std::string_view control, int left, int top) override;
  bool IsVisible(std::string_view control) override {
    Control* c = Find(control);
    return c && c->hwnd && (GetWindowLongW(c->hwnd, GWL_STYLE) & WS_VISIBLE);
  }
  void SetVisible(std::string_view control, bool visible) override {
    if (Control* c = Find(control); c && c->hwnd) ShowWindow(c->hwnd, visible ? SW_SHOWNA : SW_HIDE);
  }
  std::string CopyControl(std::string_view source) override;
  void AppendText(std::string_view edit, std::string_view text) override;
  bool ProcessMessages() override;
  void Sleep(int ms) override { ::Sleep(DWORD(ms < 0 ? 0 : ms)); }
  std::string CommandLine() override { return GetCommandLineA(); }

 private:
  Control* Find(std::string_view name);
  Control* FindByWindow(HWND hwnd);
  HWND ParentWindow(const ControlRow& row, int& dx, int& dy);
  void CreateControl(size_t index);
  void CreateMenuBar();
  void ShowPage(int index);
  HBRUSH ColourControl(HDC dc, HWND child);
  void ReleaseGdi();
  void DrawGradientLabel(const DRAWITEMSTRUCT& item);
  HMENU Submenu(std::string_view menu);
  void Popup(std::string_view menu, int x, int y, UINT flags);
  bool AddOrModifyTrayIcon(DWORD action);

  const Layout& layout_;
  std::span<const Binding> bindings_;
  HWND hwnd_ = nullptr;
  HFONT defaultFont_ = nullptr;
  std::deque<Control> controls_;  // grows with copies; references stay valid
  std::deque<ControlRow> copiedRows_;
  std::deque<std::string> copiedNames_;
  std::map<std::string_view, size_t> byName_;
  std::vector<std::string_view> menuNames_;
  std::map<std::string_view, HMENU> submenus_;
  std::vector<size_t> pages_;
  HBRUSH backgroundBrush_ = nullptr;
  HICON bigIcon_ = nullptr, smallIcon_ = nullptr;
  HICON trayIcon_ = nullptr;
  std::wstring trayTip_;
  bool trayAdded_ = false;
  UINT taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  std::string_view hotkeyReceiver_;
  std::map<std::string_view, std::string> linkAddresses_;
};

Window* g_window = nullptr;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (g_window && g_window->hwnd() == hwnd) return g_window->Proc(msg, wp, lp);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// Containers (tab pages, frames, picture boxes) draw their background and outline and hand every
// notification of their children to the top-level window, where the controls are known by name.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_DRAWITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
      return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wp, lp);
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      auto* row = reinterpret_cast<const ControlRow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      const bool line = row && row->kind == Kind::Line;
      HBRUSH bg = CreateSolidBrush(line ? COLORREF(row->lineColour) : Colour(row ? row->bg : kFaceColour, COLOR_BTNFACE));
      FillRect(dc, &rc, bg);
      DeleteObject(bg);
      if (row && !line && row->lineWidth > 0) {
        HBRUSH outline = CreateSolidBrush(COLORREF(row->lineColour));
        for (int i = 0; i < row->lineWidth; ++i) {
          RECT r{rc.left + i, rc.top + i, rc.right - i, rc.bottom - i};
          FrameRect(dc, &r, outline);
        }
        DeleteObject(outline);
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
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
  wc.lpfnWndProc = WindowProc;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = PanelProc;
  wc.hbrBackground = nullptr;
  wc.lpszClassName = kPanelClass;
  RegisterClassExW(&wc);
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
    bigIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(w.iconId), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(w.iconId), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  }
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, Wide(w.caption).c_str(), style, x, y, w.w, w.h,
                          nullptr, nullptr, instance, nullptr);
  if (!hwnd_) return false;
  if (bigIcon_) SendMessageW(hwnd_, WM_SETICON, ICON_BIG, LPARAM(bigIcon_));
  if (smallIcon_) SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, LPARAM(smallIcon_));
  if (w.bg != kFaceColour && w.bg != kDefaultColour)
    SetClassLongPtrW(hwnd_, GCLP_HBRBACKGROUND, LONG_PTR(backgroundBrush_ = CreateSolidBrush(COLORREF(w.bg))));

  defaultFont_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

  CreateMenuBar();
  controls_.resize(layout_.controls.size());
  for (size_t i = 0; i < layout_.controls.size(); ++i) {
    controls_[i].row = &layout_.controls[i];
    byName_[layout_.controls[i].name] = i;
  }
  for (size_t i = 0; i < controls_.size(); ++i) CreateControl(i);
  return true;
}

void Window::CreateMenuBar() {
  if (layout_.menu.empty()) return;
  HMENU bar = CreateMenu();
  HMENU popup = nullptr;
  for (size_t i = 0; i < layout_.menu.size(); ++i) {
    const MenuRow& m = layout_.menu[i];
    menuNames_.push_back(m.name);
    if (m.topLevel) {
      popup = CreatePopupMenu();
      submenus_[m.name] = popup;
      AppendMenuW(bar, MF_POPUP | MF_STRING, UINT_PTR(popup), Wide(m.text).c_str());
    } else if (popup) {
      AppendMenuW(popup, MF_STRING, kFirstMenuId + i, Wide(m.text).c_str());
    }
  }
  SetMenu(hwnd_, bar);  // destroyed with the window
}

HWND Window::ParentWindow(const ControlRow& row, int& dx, int& dy) {
  dx = dy = 0;
  if (row.parent.empty()) return hwnd_;
  Control* parent = Find(row.parent);
  if (!parent || !parent->hwnd) return hwnd_;
  if (parent->row->kind == Kind::TabPage) dy = -kTabHeaderHeight;
  return parent->hwnd;
}

void Window::CreateControl(size_t index) {
  Control& c = controls_[index];
  const ControlRow& row = *c.row;
  const int id = kFirstControlId + int(index);
  int dx, dy;
  HWND parent = ParentWindow(row, dx, dy);
  const int x = row.x + dx, y = row.y + dy;
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS | ((row.flags & kHidden) ? 0 : WS_VISIBLE) |
                ((row.flags & kTabStop) ? WS_TABSTOP : 0);
  DWORD exStyle = 0;
  if (row.flags & kStaticEdge) exStyle |= WS_EX_STATICEDGE;
  if (row.flags & kThinBorder) style |= WS_BORDER;
  const std::wstring text = Wide(row.text);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto make = [&](const wchar_t* cls, DWORD extraStyle, const wchar_t* caption, int cx, int cy, int cw, int ch) {
    return CreateWindowExW(exStyle, cls, caption, style | extraStyle, cx, cy, cw, ch, parent,
                           reinterpret_cast<HMENU>(INT_PTR(id)), instance, nullptr);
  };

  switch (row.kind) {
    case Kind::Tab:
      c.hwnd = make(WC_TABCONTROLW, WS_CLIPCHILDREN, L"", x, y, row.w, row.h);
      SetWindowLongPtrW(c.hwnd, GWL_EXSTYLE, GetWindowLongPtrW(c.hwnd, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
      break;
    case Kind::TabPage: {
      Control* tab = Find(row.parent);
      if (!tab || !tab->hwnd) break;
      RECT rc{};
      GetClientRect(tab->hwnd, &rc);
      TCITEMW item{};
      item.mask = TCIF_TEXT;
      std::wstring caption = text;
      item.pszText = caption.data();
      const int page = int(pages_.size());
      SendMessageW(tab->hwnd, TCM_INSERTITEMW, page, LPARAM(&item));
      pages_.push_back(index);
      style &= ~WS_VISIBLE;
      exStyle |= WS_EX_CONTROLPARENT;
      c.hwnd = CreateWindowExW(exStyle, kPanelClass, caption.c_str(), style | WS_CLIPCHILDREN, 0, kTabHeaderHeight,
                               rc.right, rc.bottom - kTabHeaderHeight, tab->hwnd,
                               reinterpret_cast<HMENU>(INT_PTR(id)), instance, nullptr);
      SetWindowLongPtrW(c.hwnd, GWLP_USERDATA, LONG_PTR(&row));
      if (row.flags & kCurrentPage) ShowPage(page);
      break;
    }
    case Kind::Frame:
    case Kind::Picture:
    case Kind::Line:
      exStyle |= WS_EX_CONTROLPARENT;
      c.hwnd = make(kPanelClass, WS_CLIPCHILDREN, L"", x, y, row.w, row.h);
      SetWindowLongPtrW(c.hwnd, GWLP_USERDATA, LONG_PTR(&row));
      break;
    case Kind::Edit: {
      DWORD es = (row.flags & kMultiline) ? ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL : ES_AUTOHSCROLL;
      c.hwnd = make(L"EDIT", es, text.c_str(), x, y, row.w, row.h);
      SendMessageW(c.hwnd, EM_SETLIMITTEXT, 0, 0);  // 0 = as long as the system allows
      break;
    }
    case Kind::Button:
      c.hwnd = make(L"BUTTON", BS_PUSHBUTTON | BS_CENTER | BS_VCENTER, text.c_str(), x, y, row.w, row.h);
      break;
    case Kind::Label:
    case Kind::TransparentLabel: {
      DWORD ss = SS_NOPREFIX | ((row.flags & kCentre) ? SS_CENTER : SS_LEFT) |
                 ((row.flags & kVCentre) ? SS_CENTERIMAGE : 0);
      if (row.flags & kGradient) ss = SS_OWNERDRAW;
      c.hwnd = make(L"STATIC", ss, text.c_str(), x, y, row.w, row.h);
      break;
    }
    case Kind::Hyperlink:
      c.hwnd = make(L"STATIC", SS_NOPREFIX | SS_NOTIFY, L"", x, y, row.w, row.h);
      break;
    case Kind::Browser: {
      std::string_view name = row.name;
      c.browser = BrowserHost::Create(parent, x, y, row.w, row.h, id,
                                      [this, name] { Raise(name, Event::BeforeNavigate); });
      if (c.browser) {
        c.hwnd = c.browser->Window();
        if (!row.text.empty()) c.browser->Navigate(text);
      }
      break;
    }
    case Kind::HtmlText:
      c.hwnd = CreateHtmlLineWindow(parent, x, y, row.w, row.h, id, row.text, row.extra);
      break;
    case Kind::StatusBar:
      c.hwnd = make(STATUSCLASSNAMEW, 0, L"", 0, 0, 0, 0);
      break;
    case Kind::Bar: {
      if (row.flags & kProgress) {
        c.hwnd = make(PROGRESS_CLASSW, PBS_SMOOTH, L"", x, y, row.w, row.h);
        SendMessageW(c.hwnd, PBM_SETRANGE32, 0, 100);
        break;
      }
      c.hwnd = make(TRACKBAR_CLASSW, (row.flags & kVertical) ? TBS_VERT : TBS_HORZ, L"", x, y, row.w, row.h);
      SendMessageW(c.hwnd, TBM_SETRANGE, FALSE, MAKELPARAM(0, 100));
      SendMessageW(c.hwnd, TBM_SETPAGESIZE, 0, 10);
      SendMessageW(c.hwnd, TBM_SETLINESIZE, 0, 1);
      break;
    }
    case Kind::Timer:
    case Kind::Zip:
      break;
  }
  if (c.hwnd && row.kind != Kind::Browser && row.kind != Kind::HtmlText) {
    if (row.font) {
      c.font = CreateFontW(row.font->height, 0, 0, 0, row.font->weight, FALSE, FALSE, FALSE, BYTE(row.font->charset),
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                           Wide(row.font->face).c_str());
    }
    SendMessageW(c.hwnd, WM_SETFONT, WPARAM(c.font ? c.font : defaultFont_), FALSE);
  }
  // Later rows lie over earlier ones (the hint label over the tab strip).
  if (c.hwnd && row.parent.empty()) SetWindowPos(c.hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Window::ShowPage(int index) {
  for (size_t i = 0; i < pages_.size(); ++i)
    if (HWND page = controls_[pages_[i]].hwnd) ShowWindow(page, int(i) == index ? SW_SHOW : SW_HIDE);
  if (!pages_.empty()) {
    const Control& page = controls_[pages_[0]];
    if (Control* tab = Find(page.row->parent)) SendMessageW(tab->hwnd, TCM_SETCURSEL, index, 0);
  }
}

void Window::DrawGradientLabel(const DRAWITEMSTRUCT& item) {
  Control* c = FindByWindow(item.hwndItem);
  if (!c) return;
  const ControlRow& row = *c->row;
  const RECT& rc = item.rcItem;
  // From the label's colour at the top to white at the middle, white below.
  const COLORREF from = Colour(row.bg, COLOR_BTNFACE);
  const int h = rc.bottom - rc.top, half = h > 1 ? (h - 1) / 2 : 1;
  for (int y = 0; y < h; ++y) {
    const int t = y >= half ? 255 : 255 * y / half;
    auto mix = [t](int a) { return a + (255 - a) * t / 255; };
    HBRUSH b = CreateSolidBrush(RGB(mix(GetRValue(from)), mix(GetGValue(from)), mix(GetBValue(from))));
    RECT line{rc.left, rc.top + y, rc.right, rc.top + y + 1};
    FillRect(item.hDC, &line, b);
    DeleteObject(b);
  }
  wchar_t text[256];
  GetWindowTextW(item.hwndItem, text, int(std::size(text)));
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, Colour(row.fg, COLOR_WINDOWTEXT));
  HGDIOBJ old = SelectObject(item.hDC, c->font ? c->font : defaultFont_);
  RECT textRect = rc;
  DrawTextW(item.hDC, text, -1, &textRect, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(item.hDC, old);
}

// Layout places of tab-page children are relative to the tab control; their windows sit under the header strip.
static int PageOffset(const Control* parent) {
  return parent && parent->row->kind == Kind::TabPage ? kTabHeaderHeight : 0;
}

Ui::Place Window::GetPlace(std::string_view control) {
  Control* c = Find(control);
  if (!c || !c->hwnd) return {};
  RECT rc;
  GetWindowRect(c->hwnd, &rc);
  MapWindowPoints(nullptr, GetParent(c->hwnd), reinterpret_cast<POINT*>(&rc), 2);
  const int dy = PageOffset(Find(c->row->parent));
  return {rc.left, rc.top + dy, rc.right - rc.left, rc.bottom - rc.top};
}

void Window::MoveTo(std::string_view control, int left, int top) {
  Control* c = Find(control);
  if (!c || !c->hwnd) return;
  const int dy = PageOffset(Find(c->row->parent));
  SetWindowPos(c->hwnd, nullptr, left, top - dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::string Window::CopyControl(std::string_view source) {
  Control* src = Find(source);
  if (!src || !src->hwnd) return {};
  const std::string text = GetText(source);
  copiedNames_.push_back(std::string(source) + kCopySeparator + std::to_string(copiedNames_.size() + 1));
  ControlRow row = *src->row;
  row.name = copiedNames_.back();
  copiedRows_.push_back(row);
  if (!::IsWindowVisible(src->hwnd)) copiedRows_.back().flags |= kHidden;
  const size_t index = controls_.size();
  controls_.push_back(Control{});
  controls_[index].row = &copiedRows_.back();
  byName_[copiedRows_.back().name] = index;
  CreateControl(index);
  Control& copy = controls_[index];
  if (!copy.hwnd) return {};
  SetWindowTextW(copy.hwnd, Wide(text).c_str());
  SetWindowPos(copy.hwnd, src->hwnd, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return copiedNames_.back();
}

void Window::AppendText(std::string_view edit, std::string_view text) {
  Control* c = Find(edit);
  if (!c || !c->hwnd) return;
  const int end = GetWindowTextLengthW(c->hwnd);
  SendMessageW(c->hwnd, EM_SETSEL, end, end);
  SendMessageW(c->hwnd, EM_SCROLLCARET, 0, 0);
  SendMessageW(c->hwnd, EM_REPLACESEL, FALSE, LPARAM(Wide(text).c_str()));
}

bool PreTranslate(HWND window, MSG& msg);

bool Window::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(int(msg.wParam));  // the outer loop must still see it
      return false;
    }
    if (IsWindow(hwnd_) && PreTranslate(hwnd_, msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return IsWindow(hwnd_) != FALSE;
}

Control* Window::Find(std::string_view name) {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : &controls_[it->second];
}

Control* Window::FindByWindow(HWND hwnd) {
  if (!hwnd) return nullptr;
  for (Control& c : controls_)
    if (c.hwnd == hwnd) return &c;
  return nullptr;
}

HBRUSH Window::ColourControl(HDC dc, HWND child) {
  Control* c = FindByWindow(child);
  if (!c) return nullptr;
  const ControlRow& row = *c->row;
  if (row.fg != kDefaultColour) SetTextColor(dc, COLORREF(row.fg));
  uint32_t bgColour = row.bg;
  if (row.kind == Kind::TransparentLabel) {
    // A hollow brush leaves garbage behind under a parent that clips its children; the containers
    // are solid, so drawing their colour is what transparency looks like.
    SetBkMode(dc, TRANSPARENT);
    const Control* parent = Find(row.parent);
    bgColour = parent ? parent->row->bg : kFaceColour;
    if (bgColour == kDefaultColour) bgColour = kFaceColour;
  }
  if (bgColour == kDefaultColour) return nullptr;
  const COLORREF bg = Colour(bgColour, COLOR_WINDOW);
  SetBkColor(dc, bg);
  if (!c->brush) c->brush = CreateSolidBrush(bg);
  return c->brush;
}

LRESULT Window::Proc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
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
      return TRUE;
    }
    case WM_SIZE:
      for (Control& c : controls_)
        if (c.row->kind == Kind::StatusBar && c.hwnd) SendMessageW(c.hwnd, WM_SIZE, 0, 0);
      return 0;
    case WM_TIMER: {
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
    case kDestroyMessage:
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      if (trayAdded_) {
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof nid;
        nid.hWnd = hwnd_;
        nid.uID = kTrayId;
        Shell_NotifyIconW(NIM_DELETE, &nid);
        trayAdded_ = false;
      }
      for (size_t i = 0; i < controls_.size(); ++i)
        if (controls_[i].period > 0) KillTimer(hwnd_, kFirstControlId + i);
      for (Control& c : controls_) c.browser.reset();
      PostQuitMessage(0);
      return 0;
  }
  if (msg == taskbarCreated_ && trayAdded_) AddOrModifyTrayIcon(NIM_ADD);  // the shell restarted
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

void Window::ReleaseGdi() {
  if (trayIcon_) DestroyIcon(trayIcon_);
  trayIcon_ = nullptr;
  for (Control& c : controls_) {
    if (c.brush) DeleteObject(c.brush);
    if (c.font) DeleteObject(c.font);
    c.brush = nullptr;
    c.font = nullptr;
  }
  if (backgroundBrush_) DeleteObject(backgroundBrush_);
  if (bigIcon_) DestroyIcon(bigIcon_);
  if (smallIcon_) DestroyIcon(smallIcon_);
  backgroundBrush_ = nullptr;
  bigIcon_ = smallIcon_ = nullptr;
}

Text Window::GetText(std::string_view control) {
  Control* c = Find(control);
  if (!c || !c->hwnd) return {};
  std::wstring text(size_t(GetWindowTextLengthW(c->hwnd)) + 1, L'\0');
  text.resize(size_t(GetWindowTextW(c->hwnd, text.data(), int(text.size()))));
  return Narrow(text);
}

void Window::SetText(std::string_view control, std::string_view text) {
  if (Control* c = Find(control); c && c->hwnd) SetWindowTextW(c->hwnd, Wide(text).c_str());
}

int Window::GetPeriod(std::string_view timer) {
  Control* c = Find(timer);
  return c ? c->period : 0;
}

void Window::SetPeriod(std::string_view timer, int ms) {
  auto it = byName_.find(timer);
  if (it == byName_.end() || controls_[it->second].row->kind != Kind::Timer) return;
  Control* c = &controls_[it->second];
  const UINT_PTR id = kFirstControlId + it->second;
  switch (WritePeriod(c->period, ms)) {
    case TimerChange::None:
      break;
    case TimerChange::Stop:
      KillTimer(hwnd_, id);
      break;
    case TimerChange::Start:  // SetTimer on a running id restarts its count from now
      KillTimer(hwnd_, id);
      SetTimer(hwnd_, id, UINT(c->period), nullptr);
      break;
  }
}

void Window::Navigate(std::string_view browser, std::string_view address) {
  if (Control* c = Find(browser); c && c->browser) c->browser->Navigate(Wide(address));
}

int Window::ShowMessage(std::string_view text, unsigned style) {
  return MessageBoxW(nullptr, Wide(text).c_str(), Wide("信息：").c_str(), style | MB_OK | MB_TASKMODAL);
}

// A process from a whole command line, in our current directory; not waited for, except (if asked)
// until it is ready for input, for at most a second.
static bool RunCommand(std::wstring line, int show, bool waitInputIdle) {
  STARTUPINFOW si{sizeof si};
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = WORD(show);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  if (waitInputIdle) WaitForInputIdle(pi.hProcess, 1000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

bool Window::AddOrModifyTrayIcon(DWORD action) {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = hwnd_;
  nid.uID = kTrayId;
  nid.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
  nid.uCallbackMessage = kTrayMessage;
  nid.hIcon = trayIcon_;
  trayTip_.copy(nid.szTip, std::size(nid.szTip) - 1);
  return Shell_NotifyIconW(action, &nid) != FALSE;
}

void Window::SetTrayIcon(int icon, std::string_view tooltip) {
  HICON previous = trayIcon_;
  trayIcon_ = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  // Cut in GBK bytes, so no half character reaches the shell.
  trayTip_ = Wide(CutAtCharBoundary(tooltip, kTooltipBytes));
  if (trayAdded_) {
    AddOrModifyTrayIcon(NIM_MODIFY);
  } else {
    trayAdded_ = AddOrModifyTrayIcon(NIM_ADD);
  }
  if (previous) DestroyIcon(previous);
}

int Window::RegisterHotkey(std::string_view receiver, int modifiers, int virtualKey) {
  const UINT system = ((modifiers & kModCtrl) ? MOD_CONTROL : 0) | ((modifiers & kModShift) ? MOD_SHIFT : 0) |
                      ((modifiers & kModAlt) ? MOD_ALT : 0);
  if (!Find(receiver) || !RegisterHotKey(hwnd_, kHotkeyId, system, UINT(virtualKey))) return 0;
  hotkeyReceiver_ = Find(receiver)->row->name;
  return kHotkeyId;
}

HMENU Window::Submenu(std::string_view menu) {
  auto it = submenus_.find(menu);
  return it == submenus_.end() ? nullptr : it->second;
}

void Window::Popup(std::string_view menu, int x, int y, UINT flags) {
  HMENU popup = Submenu(menu);
  if (!popup) return;
  // Without the foreground window the menu would not close when the user clicks elsewhere, and
  // without the message after it a second popup would close at once (a known shell quirk).
  SetForegroundWindow(hwnd_);
  TrackPopupMenu(popup, flags, x, y, 0, hwnd_, nullptr);
  PostMessageW(hwnd_, WM_NULL, 0, 0);
}

void Window::PopupTrayMenu(std::string_view menu) {
  POINT pt;
  GetCursorPos(&pt);
  Popup(menu, pt.x - 5, pt.y - 5, TPM_RIGHTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON);
}

void Window::PopupMenuAt(std::string_view menu, int x, int y) {
  Popup(menu, x, y, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON);
}

void Window::CursorPosition(int& x, int& y) {
  POINT pt{};
  GetCursorPos(&pt);
  x = pt.x;
  y = pt.y;
}

bool Window::OpenInShell(std::string_view address) {
  auto result = INT_PTR(ShellExecuteW(nullptr, L"open", Wide(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

void Window::SetLinkAddress(std::string_view link, std::string_view address) {
  if (Control* c = Find(link); c && c->row->kind == Kind::Hyperlink) linkAddresses_[c->row->name] = address;
}

void Window::NavigateLink(std::string_view link) {
  Control* c = Find(link);
  if (!c || c->row->kind != Kind::Hyperlink) return;
  const std::string& address = linkAddresses_[c->row->name];
  if (OpenInShell(address)) return;
  wchar_t command[2048];
  DWORD size = std::size(command);
  if (AssocQueryStringW(ASSOCF_NOTRUNCATE, ASSOCSTR_COMMAND, L".htm", L"open", command, &size) != S_OK) return;
  RunCommand(Wide(HtmOpenCommand(Narrow(command), address)), SW_SHOW, false);
}

// An unreachable or silent host must cost seconds of start-up, not minutes.
constexpr unsigned kReadDeadlineMs = 5000;

std::string Window::ReadUrl(std::string_view url, std::string_view userAgent) {
  return HttpGet(url, userAgent, kReadDeadlineMs);
}

bool Window::StartProcess(std::string_view commandLine) { return RunCommand(Wide(commandLine), SW_SHOWNORMAL, true); }

// Esc and Tab as in a dialog, also for the controls inside tab pages and frames.
bool PreTranslate(HWND window, MSG& msg) {
  return IsDialogMessageW(window, &msg) != FALSE;
}

}  // namespace

int RunWindow(const Layout& layout, std::span<const Binding> bindings) {
  Window window(layout, bindings);
  g_window = &window;
  if (window.Create()) {
    ShowWindow(window.hwnd(), SW_SHOW);
    UpdateWindow(window.hwnd());
    window.Raise("", Event::Created);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (IsWindow(window.hwnd()) && PreTranslate(window.hwnd(), msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  RunCleanup();
  g_window = nullptr;
  return 0;
}

}  // namespace rt::win32
