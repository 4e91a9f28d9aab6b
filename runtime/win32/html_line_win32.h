// The notice line: one line of HTML drawn by the run time itself (the browser control renders
// nothing under Wine), with links that open in the shell.
#pragma once
#include <windows.h>

#include <string_view>

namespace rt::win32 {

// A child window that paints the fragment's runs on one line, clipped at the right. Links show a
// hand cursor and open with ShellExecuteW on a left click. WM_GETTEXT answers the line's plain text.
// `html` and `css` are GBK. Null when the window cannot be created.
HWND CreateHtmlLineWindow(HWND parent, int x, int y, int w, int h, int id, std::string_view html, std::string_view css);

}  // namespace rt::win32
