// Controls from the layout rows, tab pages, and copies of controls.
#include "runtime/win32/window.h"

#include <commctrl.h>

#include "runtime/win32/app.h"
#include "runtime/win32/html_line_win32.h"

namespace rt::win32 {

Control* Window::Find(std::string_view name) {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : &controls_[it->second];
}

Control* Window::FindByWindow(HWND hwnd) {
  if (!hwnd) return nullptr;
  const int index = GetDlgCtrlID(hwnd) - kFirstControlId;
  if (index >= 0 && size_t(index) < controls_.size() && controls_[size_t(index)].hwnd == hwnd)
    return &controls_[size_t(index)];
  for (Control& c : controls_)
    if (c.hwnd == hwnd) return &c;
  return nullptr;
}

HWND Window::ParentWindow(const ControlRow& row, int& dx, int& dy) {
  dx = dy = 0;
  if (row.parent.empty()) return hwnd_;
  Control* parent = Find(row.parent);
  if (!parent || !parent->hwnd) return hwnd_;
  if (parent->row->kind == Kind::TabPage) dy = -kTabHeaderHeight;
  return parent->hwnd;
}

void Window::CreateControls() {
  CreateMenuBar();
  controls_.resize(layout_.controls.size());
  for (size_t i = 0; i < layout_.controls.size(); ++i) {
    controls_[i].row = &layout_.controls[i];
    byName_[layout_.controls[i].name] = i;
  }
  for (size_t i = 0; i < controls_.size(); ++i) CreateControl(i);
}

void Window::CreateMenuBar() {
  if (layout_.menu.empty()) return;
  HMENU bar = CreateMenu();
  HMENU popup = nullptr;
  for (size_t i = 0; i < layout_.menu.size(); ++i) {
    const MenuRow& m = layout_.menu[i];
    menuNames_.push_back(m.name);
    menuTexts_.push_back({Wide(m.text), m.topLevel});
    auto drawn = reinterpret_cast<LPCWSTR>(&menuTexts_.back());  // owner-drawn: see MenuItemText
    if (m.topLevel) {
      popup = CreatePopupMenu();
      submenus_[m.name] = popup;
      AppendMenuW(bar, MF_POPUP | MF_OWNERDRAW, UINT_PTR(popup), drawn);
    } else if (popup) {
      AppendMenuW(popup, MF_OWNERDRAW, kFirstMenuId + i, drawn);
    }
  }
  SetMenu(hwnd_, bar);  // the window owns the bar and its popups from here on
}

void Window::CreateControl(size_t index) {
  Control& c = controls_[index];
  const ControlRow& row = *c.row;
  const int id = kFirstControlId + int(index);
  int dx, dy;
  HWND parent = ParentWindow(row, dx, dy);
  const int x = row.x + dx, y = row.y + dy;
  DWORD style =
      WS_CHILD | WS_CLIPSIBLINGS | ((row.flags & kHidden) ? 0 : WS_VISIBLE) | ((row.flags & kTabStop) ? WS_TABSTOP : 0);
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
                               rc.right, rc.bottom - kTabHeaderHeight, tab->hwnd, reinterpret_cast<HMENU>(INT_PTR(id)),
                               instance, nullptr);
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
      // The default limit (about 32,000 characters) would silently stop a log; 0 lifts it to what the
      // system allows.
      SendMessageW(c.hwnd, EM_SETLIMITTEXT, 0, 0);
      break;
    }
    case Kind::Button:
      c.hwnd = make(L"BUTTON", BS_PUSHBUTTON | BS_CENTER | BS_VCENTER, text.c_str(), x, y, row.w, row.h);
      break;
    case Kind::Label:
    case Kind::TransparentLabel: {
      DWORD ss =
          SS_NOPREFIX | ((row.flags & kCentre) ? SS_CENTER : SS_LEFT) | ((row.flags & kVCentre) ? SS_CENTERIMAGE : 0);
      if (row.flags & kGradient) ss = SS_OWNERDRAW;
      c.hwnd = make(L"STATIC", ss, text.c_str(), x, y, row.w, row.h);
      break;
    }
    case Kind::Hyperlink: c.hwnd = make(L"STATIC", SS_NOPREFIX | SS_NOTIFY, L"", x, y, row.w, row.h); break;
    case Kind::Browser: {
      std::string_view name = row.name;
      c.browser =
          BrowserHost::Create(parent, x, y, row.w, row.h, id, [this, name] { Raise(name, Event::BeforeNavigate); });
      if (c.browser) {
        c.hwnd = c.browser->Window();
        if (!row.text.empty()) c.browser->Navigate(text);
      }
      break;
    }
    case Kind::HtmlText: c.hwnd = CreateHtmlLineWindow(parent, x, y, row.w, row.h, id, row.text, row.extra); break;
    case Kind::StatusBar: c.hwnd = make(STATUSCLASSNAMEW, 0, L"", 0, 0, 0, 0); break;
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
    case Kind::Zip: break;
  }
  if (c.hwnd && row.kind != Kind::Browser && row.kind != Kind::HtmlText) {
    if (row.font) {
      c.font.reset(CreateFontW(row.font->height, 0, 0, 0, row.font->weight, FALSE, FALSE, FALSE,
                               BYTE(row.font->charset), OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                               DEFAULT_PITCH | FF_DONTCARE, Wide(row.font->face).c_str()));
    }
    SendMessageW(c.hwnd, WM_SETFONT, WPARAM(c.font ? c.font.get() : defaultFont_), FALSE);
  }
  // Later rows lie over earlier ones (the hint label over the tab strip).
  if (c.hwnd && row.parent.empty())
    SetWindowPos(c.hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Window::ShowPage(int index) {
  for (size_t i = 0; i < pages_.size(); ++i)
    if (HWND page = controls_[pages_[i]].hwnd) ShowWindow(page, int(i) == index ? SW_SHOW : SW_HIDE);
  if (!pages_.empty()) {
    const Control& page = controls_[pages_[0]];
    if (Control* tab = Find(page.row->parent)) SendMessageW(tab->hwnd, TCM_SETCURSEL, index, 0);
  }
}

// Layout places of tab-page children are relative to the tab control; their windows sit under the header strip.
static int PageOffset(const Control* parent) {
  return parent && parent->row->kind == Kind::TabPage ? kTabHeaderHeight : 0;
}

Ui::Place Window::GetPlace(std::string_view control) {
  return OnWindowThread([&]() -> Place {
    Control* c = Find(control);
    if (!c || !c->hwnd) return {};
    RECT rc;
    GetWindowRect(c->hwnd, &rc);
    MapWindowPoints(nullptr, GetParent(c->hwnd), reinterpret_cast<POINT*>(&rc), 2);
    const int dy = PageOffset(Find(c->row->parent));
    return {rc.left, rc.top + dy, rc.right - rc.left, rc.bottom - rc.top};
  });
}

void Window::MoveTo(std::string_view control, int left, int top) {
  OnWindowThread([&] {
    Control* c = Find(control);
    if (!c || !c->hwnd) return;
    const int dy = PageOffset(Find(c->row->parent));
    SetWindowPos(c->hwnd, nullptr, left, top - dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  });
}

std::string Window::CopyControl(std::string_view source) {
  return OnWindowThread([&]() -> std::string {
    Control* src = Find(source);
    if (!src || !src->hwnd) return {};
    FlushControl(*src);  // the copy takes what the source shows
    const std::string text = GetText(source);
    copiedNames_.push_back(std::string(source) + kCopySeparator + std::to_string(copiedNames_.size() + 1));
    ControlRow row = *src->row;
    row.name = copiedNames_.back();
    copiedRows_.push_back(row);
    if (!::IsWindowVisible(src->hwnd)) copiedRows_.back().flags |= kHidden;
    const size_t index = controls_.size();
    controls_.emplace_back();
    controls_[index].row = &copiedRows_.back();
    byName_[copiedRows_.back().name] = index;
    CreateControl(index);
    Control& copy = controls_[index];
    if (!copy.hwnd) return {};
    SetWindowTextW(copy.hwnd, Wide(text).c_str());
    SetWindowPos(copy.hwnd, src->hwnd, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return copiedNames_.back();
  });
}

}  // namespace rt::win32
