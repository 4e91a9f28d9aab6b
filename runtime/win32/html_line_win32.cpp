#include "runtime/win32/html_line_win32.h"

#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/html_line.h"
#include "runtime/win32/app.h"
#include "runtime/win32/handle.h"

namespace rt::win32 {
namespace {

constexpr wchar_t kClass[] = L"RtHtmlLine";

COLORREF Colour(uint32_t colour, int system) {
  if (colour == kFaceColour) return GetSysColor(COLOR_BTNFACE);
  return colour == kDefaultColour ? GetSysColor(system) : COLORREF(colour);
}

int CALLBACK FoundFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;  // the first one answers the question
}

// A face counts as installed only with Chinese glyphs: asked for in GB2312, a Latin-only face is
// swapped by the font mapper anyway, and under Wine the Latin faces draw Chinese as boxes.
bool HasChineseFace(HDC dc, const std::wstring& face) {
  if (face.empty() || face.size() >= LF_FACESIZE) return false;
  LOGFONTW query{};
  query.lfCharSet = GB2312_CHARSET;
  face.copy(query.lfFaceName, face.size());
  bool found = false;
  EnumFontFamiliesExW(dc, &query, FoundFace, LPARAM(&found), 0);
  return found;
}

struct Piece {
  std::wstring text;
  COLORREF colour;
  bool bold;
  std::wstring href;  // empty: not a link
  int left, right;
};

struct LineWindow {
  COLORREF background = 0;
  bool underlineLinks = true;
  UniqueFont fonts[2][2];  // [bold][underlined]
  int ascent = 0;
  int height = 0;
  std::vector<Piece> pieces;
  int pressed = -1;  // the piece under the left button since it went down on a link

  HFONT FontOf(const Piece& piece) const { return fonts[piece.bold][!piece.href.empty() && underlineLinks].get(); }

  int Top(HWND hwnd) const {
    RECT client;
    GetClientRect(hwnd, &client);
    return (client.bottom - height) / 2;
  }

  int LinkAt(HWND hwnd, POINT at) const {
    int top = Top(hwnd);
    if (at.y < top || at.y >= top + height) return -1;
    for (size_t k = 0; k < pieces.size(); ++k)
      if (!pieces[k].href.empty() && at.x >= pieces[k].left && at.x < pieces[k].right) return int(k);
    return -1;
  }
};

std::unique_ptr<LineWindow> Build(const HtmlLine& line) {
  auto state = std::make_unique<LineWindow>();
  const HtmlBodyStyle& body = line.body;
  state->background = Colour(body.background, COLOR_WINDOW);
  state->underlineLinks = body.underlineLinks;

  ScreenDc dc;
  std::wstring face = Wide(body.face);
  if (!HasChineseFace(dc.get(), face) && !body.fallbackFace.empty()) face = Wide(body.fallbackFace);
  int height = -MulDiv(body.pointSize, GetDeviceCaps(dc.get(), LOGPIXELSY), 72);
  for (int bold = 0; bold < 2; ++bold)
    for (int underlined = 0; underlined < 2; ++underlined) {
      LOGFONTW lf{};
      lf.lfHeight = height;
      lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
      lf.lfUnderline = BYTE(underlined);
      lf.lfCharSet = GB2312_CHARSET;  // with a face that is not there, the mapper still picks Chinese glyphs
      face.copy(lf.lfFaceName, std::min<size_t>(face.size(), LF_FACESIZE - 1));
      state->fonts[bold][underlined].reset(CreateFontIndirectW(&lf));
    }

  HGDIOBJ old = SelectObject(dc.get(), state->fonts[0][0].get());
  for (int bold = 0; bold < 2; ++bold) {
    TEXTMETRICW metrics;
    SelectObject(dc.get(), state->fonts[bold][0].get());
    GetTextMetricsW(dc.get(), &metrics);
    state->ascent = std::max(state->ascent, int(metrics.tmAscent));
    state->height = std::max(state->height, int(metrics.tmHeight));
  }
  int x = 0;
  for (const HtmlRun& run : line.runs) {
    Piece piece{Wide(run.text),
                Colour(run.colour == kDefaultColour ? body.colour : run.colour, COLOR_WINDOWTEXT),
                run.bold,
                Wide(run.href),
                x,
                x};
    SelectObject(dc.get(), state->FontOf(piece));
    SIZE extent{};
    GetTextExtentPoint32W(dc.get(), piece.text.c_str(), int(piece.text.size()), &extent);
    x = piece.right = x + extent.cx;
    state->pieces.push_back(std::move(piece));
  }
  SelectObject(dc.get(), old);
  return state;
}

void Paint(HWND hwnd, const LineWindow& line) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT client;
  GetClientRect(hwnd, &client);
  SetBkColor(dc, line.background);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &client, nullptr, 0, nullptr);
  SetBkMode(dc, TRANSPARENT);
  // One baseline for all runs, so bold and plain text stand on the same line.
  SetTextAlign(dc, TA_BASELINE | TA_LEFT | TA_NOUPDATECP);
  int baseline = line.Top(hwnd) + line.ascent;
  HGDIOBJ old = SelectObject(dc, line.fonts[0][0].get());
  for (const Piece& piece : line.pieces) {
    if (piece.left >= client.right) break;
    SelectObject(dc, line.FontOf(piece));
    SetTextColor(dc, piece.colour);
    ExtTextOutW(dc, piece.left, baseline, ETO_CLIPPED, &client, piece.text.c_str(), UINT(piece.text.size()), nullptr);
  }
  SelectObject(dc, old);
  EndPaint(hwnd, &ps);
}

LRESULT Handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* owner = static_cast<std::unique_ptr<LineWindow>*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, LONG_PTR(owner->release()));
  }
  auto* line = reinterpret_cast<LineWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!line) return DefWindowProcW(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      delete line;
      break;
    case WM_ERASEBKGND: return 1;  // WM_PAINT fills the whole client area
    case WM_PAINT: Paint(hwnd, *line); return 0;
    case WM_SETCURSOR:
      if (LOWORD(lp) == HTCLIENT) {
        POINT at;
        GetCursorPos(&at);
        ScreenToClient(hwnd, &at);
        SetCursor(LoadCursorW(nullptr, line->LinkAt(hwnd, at) >= 0 ? IDC_HAND : IDC_ARROW));
        return TRUE;
      }
      break;
    case WM_LBUTTONDOWN:
      line->pressed = line->LinkAt(hwnd, {short(LOWORD(lp)), short(HIWORD(lp))});
      if (line->pressed >= 0) SetCapture(hwnd);
      return 0;
    case WM_LBUTTONUP: {
      // A click is down and up on the same link. ReleaseCapture sends WM_CAPTURECHANGED at once,
      // which clears `pressed`, so it is read first.
      int pressed = line->pressed;
      line->pressed = -1;
      if (pressed < 0) return 0;
      ReleaseCapture();
      int released = line->LinkAt(hwnd, {short(LOWORD(lp)), short(HIWORD(lp))});
      if (released >= 0 && line->pieces[size_t(released)].href == line->pieces[size_t(pressed)].href)
        ShellExecuteW(nullptr, L"open", line->pieces[size_t(pressed)].href.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      return 0;
    }
    case WM_CAPTURECHANGED: line->pressed = -1; return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    return Handle(hwnd, msg, wp, lp);
  } catch (...) {  // nothing unwinds through user32
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

HWND CreateHtmlLineWindow(HWND parent, int x, int y, int w, int h, int id, std::string_view html,
                          std::string_view css) {
  static const ATOM registered = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClass;
    return RegisterClassW(&wc);  // no class cursor: WM_SETCURSOR chooses hand or arrow
  }();
  if (!registered) return nullptr;
  HtmlLine line = ParseHtmlLine(html, css);
  std::unique_ptr<LineWindow> state = Build(line);
  // The window text is the plain line: DefWindowProc then answers WM_GETTEXT, also across processes.
  // The window takes `state` over in WM_NCCREATE; if it never gets that far, `state` frees itself here.
  return CreateWindowExW(0, kClass, Wide(PlainText(line)).c_str(), WS_CHILD | WS_VISIBLE, x, y, w, h, parent,
                         HMENU(INT_PTR(id)), GetModuleHandleW(nullptr), &state);
}

}  // namespace rt::win32
