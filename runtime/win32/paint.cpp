#include "runtime/win32/paint.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/win32/handle.h"
#include "runtime/win32/window.h"

namespace rt::win32 {

COLORREF Colour(uint32_t c, int systemFallback) {
  if (c == kDefaultColour || c == kFaceColour) return GetSysColor(c == kFaceColour ? COLOR_BTNFACE : systemFallback);
  return COLORREF(c);
}

// Fills with the DC brush: no GDI object is made per paint.
static void Fill(HDC dc, const RECT& rc, COLORREF colour) {
  SetDCBrushColor(dc, colour);
  FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

static void PaintPanel(HWND hwnd) {
  auto* row = reinterpret_cast<const ControlRow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT rc;
  GetClientRect(hwnd, &rc);
  const bool line = row && row->kind == Kind::Line;
  Fill(dc, rc, line ? COLORREF(row->lineColour) : Colour(row ? row->bg : kFaceColour, COLOR_BTNFACE));
  if (row && !line && row->lineWidth > 0) {
    SetDCBrushColor(dc, COLORREF(row->lineColour));
    for (int i = 0; i < row->lineWidth; ++i) {
      RECT r{rc.left + i, rc.top + i, rc.right - i, rc.bottom - i};
      FrameRect(dc, &r, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    }
  }
  EndPaint(hwnd, &ps);
}

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    switch (msg) {
      case WM_COMMAND:
      case WM_NOTIFY:
      case WM_CTLCOLORSTATIC:
      case WM_CTLCOLOREDIT:
      case WM_CTLCOLORBTN:
      case WM_DRAWITEM:
      case WM_HSCROLL:
      case WM_VSCROLL: return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wp, lp);
      case WM_ERASEBKGND: return 1;
      case WM_PAINT: PaintPanel(hwnd); return 0;
    }
  } catch (...) {  // nothing unwinds through user32
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void PaintGradientLabel(const DRAWITEMSTRUCT& item, const ControlRow& row, HFONT font) {
  const RECT& rc = item.rcItem;
  const COLORREF from = Colour(row.bg, COLOR_BTNFACE);
  const int h = rc.bottom - rc.top, half = h > 1 ? (h - 1) / 2 : 1;
  // One vertical gradient from the colour to white over the top half; white below it.
  TRIVERTEX ends[2] = {
      {rc.left, rc.top, COLOR16(GetRValue(from) << 8), COLOR16(GetGValue(from) << 8), COLOR16(GetBValue(from) << 8), 0},
      {rc.right, rc.top + half, 0xFF00, 0xFF00, 0xFF00, 0},
  };
  GRADIENT_RECT span{0, 1};
  GradientFill(item.hDC, ends, 2, &span, 1, GRADIENT_FILL_RECT_V);
  Fill(item.hDC, RECT{rc.left, rc.top + half, rc.right, rc.bottom}, RGB(255, 255, 255));
  wchar_t text[256];
  GetWindowTextW(item.hwndItem, text, int(std::size(text)));
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, Colour(row.fg, COLOR_WINDOWTEXT));
  HGDIOBJ old = SelectObject(item.hDC, font);
  RECT textRect = rc;
  DrawTextW(item.hDC, text, -1, &textRect, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(item.hDC, old);
}

namespace {

int CALLBACK CollectFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM faces) {
  if (font->lfFaceName[0] != L'@')  // "@" faces are the vertical variants
    reinterpret_cast<std::vector<std::wstring>*>(faces)->push_back(font->lfFaceName);
  return 1;
}

}  // namespace

HFONT CreateChineseUiFont() {
  LOGFONTW lf{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  if (lf.lfHeight > -12 && lf.lfHeight < 0) lf.lfHeight = -12;  // Chinese needs 12 pixels to be legible
  lf.lfCharSet = GB2312_CHARSET;
  std::vector<std::wstring> faces;
  LOGFONTW wanted{};
  wanted.lfCharSet = GB2312_CHARSET;
  EnumFontFamiliesExW(ScreenDc().get(), &wanted, CollectFace, reinterpret_cast<LPARAM>(&faces), 0);
  // The usual faces of a Chinese system first, then whatever holds the characters.
  std::wstring face = faces.empty() ? L"" : faces.front();
  for (const wchar_t* preferred : {L"Microsoft YaHei", L"SimSun", L"NSimSun", L"WenQuanYi Micro Hei"}) {
    if (std::find(faces.begin(), faces.end(), preferred) != faces.end()) {
      face = preferred;
      break;
    }
  }
  face.copy(lf.lfFaceName, LF_FACESIZE - 1);
  lf.lfFaceName[std::min<size_t>(face.size(), LF_FACESIZE - 1)] = L'\0';
  return CreateFontIndirectW(&lf);
}

void MeasureMenuItem(MEASUREITEMSTRUCT& item, HFONT font) {
  const auto* menu = reinterpret_cast<const MenuItemText*>(item.itemData);
  if (!menu) return;
  ScreenDc dc;
  HGDIOBJ old = SelectObject(dc.get(), font);
  SIZE size{};
  GetTextExtentPoint32W(dc.get(), menu->text.c_str(), int(menu->text.size()), &size);
  SelectObject(dc.get(), old);
  const int margin = menu->inBar ? 6 : GetSystemMetrics(SM_CXMENUCHECK) + 8;
  item.itemWidth = UINT(size.cx + 2 * margin);
  item.itemHeight = UINT(std::max<LONG>(size.cy + 6, GetSystemMetrics(SM_CYMENU) - 1));
}

void PaintMenuItem(const DRAWITEMSTRUCT& item, HFONT font) {
  const auto* menu = reinterpret_cast<const MenuItemText*>(item.itemData);
  if (!menu) return;
  const bool selected = (item.itemState & (ODS_SELECTED | ODS_HOTLIGHT)) != 0;
  Fill(item.hDC, item.rcItem, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_MENU));
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, GetSysColor((item.itemState & ODS_GRAYED) ? COLOR_GRAYTEXT
                                     : selected                    ? COLOR_HIGHLIGHTTEXT
                                                                   : COLOR_MENUTEXT));
  HGDIOBJ old = SelectObject(item.hDC, font);
  RECT text = item.rcItem;
  if (!menu->inBar) text.left += GetSystemMetrics(SM_CXMENUCHECK) + 8;
  DrawTextW(item.hDC, menu->text.c_str(), int(menu->text.size()), &text,
            (menu->inBar ? DT_CENTER : DT_LEFT) | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(item.hDC, old);
}

void Window::DrawGradientLabel(const DRAWITEMSTRUCT& item) {
  if (Control* c = FindByWindow(item.hwndItem))
    PaintGradientLabel(item, *c->row, c->font ? c->font.get() : defaultFont_);
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
  if (!c->brush) c->brush.reset(CreateSolidBrush(bg));
  return c->brush.get();
}

}  // namespace rt::win32
