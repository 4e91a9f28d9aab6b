// Painting of what the run time draws itself: containers (tab pages, frames, picture boxes, lines)
// and gradient labels.
#pragma once
#include <windows.h>

#include "runtime/layout.h"

namespace rt::win32 {

// A layout colour, or the system colour its sentinel stands for.
COLORREF Colour(uint32_t c, int systemFallback);

// The window procedure of containers: they draw their background and outline and hand every
// notification of their children to the top-level window, where the controls are known by name.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// A label from its colour at the top to white at the middle, white below, with its text over it.
void PaintGradientLabel(const DRAWITEMSTRUCT& item, const ControlRow& row, HFONT font);

}  // namespace rt::win32
