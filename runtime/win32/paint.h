// Painting of what the run time draws itself: containers (tab pages, frames, picture boxes, lines)
// and gradient labels.
#pragma once
#include <windows.h>

#include <string>

#include "runtime/layout.h"

namespace rt::win32 {

// A layout colour, or the system colour its sentinel stands for.
COLORREF Colour(uint32_t c, int systemFallback);

// The window procedure of containers: they draw their background and outline and hand every
// notification of their children to the top-level window, where the controls are known by name.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// A label from its colour at the top to white at the middle, white below, with its text over it.
void PaintGradientLabel(const DRAWITEMSTRUCT& item, const ControlRow& row, HFONT font);

// The controls' font when their row names none: the default GUI font's size in a face that holds
// GB2312's characters, chosen by character set, so the texts read right whatever the system's
// locale (under a Western one the default face draws Chinese as boxes).
HFONT CreateChineseUiFont();

// Menu items drawn by us in that font, for the same reason: the system's menu font is the locale's.
struct MenuItemText {
  std::wstring text;
  bool inBar;
};
void MeasureMenuItem(MEASUREITEMSTRUCT& item, HFONT font);
void PaintMenuItem(const DRAWITEMSTRUCT& item, HFONT font);

}  // namespace rt::win32
